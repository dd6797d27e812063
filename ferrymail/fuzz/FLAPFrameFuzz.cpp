// Fuzzes the FLAP frame reader and the frames' log form with arbitrary bytes: the input
// is cut into frames as a session's buffer would be, fed in two reads split where its
// first byte says, and every frame and the whole input are rendered for the log.

#include <cstddef>
#include <cstdint>
#include <string>

#include "proxy/FLAPFrame.h"

namespace {

// The log form is one line of bytes from 0x20 to 0x7F, whatever came in (masked data is
// replaced by a count, so it may be shorter than the input).
void CheckLogForm(const char* data, size_t size) {
    std::string out;
    if (!CFLAPFrame::FormatLog(data, size, out))
        return;
    if (size > 0 && out.empty())
        __builtin_trap();
    for (char c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7F)
            __builtin_trap();
    }
    if (size >= CFLAPFrame::kHeaderSize && data[0] == CFLAPFrame::kStart &&
        out.compare(0, 2, "CH") != 0)
        __builtin_trap();
}

// Cuts every whole frame off the front of `buffer`; false once it cannot hold one.
bool CutFrames(std::string& buffer, std::string& joined) {
    for (;;) {
        size_t length = 0;
        switch (CFLAPFrame::Cut(buffer.data(), buffer.size(), length)) {
        case CFLAPFrame::ECut::kWait:
            if (buffer.size() >= CFLAPFrame::kMaxFrameSize)
                __builtin_trap();
            return true;
        case CFLAPFrame::ECut::kNotFrame:
            if (buffer.empty() || buffer[0] == CFLAPFrame::kStart)
                __builtin_trap();
            return false;
        case CFLAPFrame::ECut::kFrame:
            break;
        }
        const unsigned declared = (static_cast<unsigned char>(buffer[4]) << 8) |
                                  static_cast<unsigned char>(buffer[5]);
        if (length > buffer.size() || buffer[0] != CFLAPFrame::kStart ||
            length != CFLAPFrame::kHeaderSize + declared)
            __builtin_trap();
        CheckLogForm(buffer.data(), length);
        joined.append(buffer, 0, length);
        buffer.erase(0, length);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    CheckLogForm(bytes, size);

    // Whole, then in two reads: the same frames either way.
    std::string whole(bytes, size), joinedWhole;
    const bool wholeReadable = CutFrames(whole, joinedWhole);
    const size_t split = size > 0 ? data[0] % (size + 1) : 0;
    std::string pieces(bytes, split), joinedPieces;
    bool readable = CutFrames(pieces, joinedPieces);
    if (readable) {
        pieces.append(bytes + split, size - split);
        readable = CutFrames(pieces, joinedPieces);
    }
    if (readable != wholeReadable || joinedPieces != joinedWhole ||
        joinedWhole.size() + whole.size() != size)
        __builtin_trap();
    return 0;
}
