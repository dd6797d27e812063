// Fuzzes the MIME decoder. The first byte chooses the options, the next two lines are the
// content type and the transfer encoding, the rest is the body; the subject decoder and
// the single decoders get the whole input.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "filter/MimeDecoder.h"

namespace {

std::string_view NextLine(std::string_view& text) {
    const std::size_t lf = text.find('\n');
    const std::string_view line = text.substr(0, lf);
    text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
    return line;
}

void Check(bool condition) {
    if (!condition)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    if (size == 0)
        return 0;
    std::string_view rest = input.substr(1);
    const std::string_view contentType = NextLine(rest);
    const std::string_view encoding = NextLine(rest);

    CMimeDecoder decoder((data[0] & 1) != 0, (data[0] & 2) != 0, rest.size());
    decoder.DecodeMimeEntity(contentType, encoding, rest);
    Check(decoder.GetText().size() <=
          rest.size() * CMimeDecoder::kMaxGrowth + CMimeDecoder::kSlack);

    // No decoder makes its text longer.
    Check(CMimeDecoder::DecodeEncodedWords(input).size() <= size);
    Check(CMimeDecoder::DecodeQuotedPrintable(input).size() <= size);
    Check(CMimeDecoder::DecodeQEncoding(input).size() <= size);
    Check(CMimeDecoder::DecodeBase64(input).size() <= size / 4 * 3 + 3);
    Check(CMimeDecoder::StripHtml(input).size() <= size);
    return 0;
}
