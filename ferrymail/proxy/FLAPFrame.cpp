#include "proxy/FLAPFrame.h"

#include <cstdio>

namespace {

unsigned BigEndian16(const char* data) {
    return (static_cast<unsigned>(static_cast<unsigned char>(data[0])) << 8) |
           static_cast<unsigned>(static_cast<unsigned char>(data[1]));
}

bool IsPlain(unsigned char byte) { return byte >= 0x20 && byte <= 0x7F; }

bool IsPlainText(const char* data, size_t size) {
    if (size > 0 && data[0] == CFLAPFrame::kStart)
        return false;
    if (size >= 2 && data[size - 2] == '\r' && data[size - 1] == '\n')
        size -= 2;
    for (size_t i = 0; i < size; ++i) {
        if (!IsPlain(static_cast<unsigned char>(data[i])))
            return false;
    }
    return true;
}

void AppendEscaped(unsigned char byte, std::string& out) {
    switch (byte) {
    case '\t':
        out += "\\t";
        return;
    case '\n':
        out += "\\n";
        return;
    case '\r':
        out += "\\r";
        return;
    default:
        break;
    }
    if (IsPlain(byte)) {
        out += static_cast<char>(byte);
        return;
    }
    // A signed byte widened to 16 bits: 0x80 and above carry "ff" before them.
    char text[8];
    std::snprintf(text, sizeof(text), byte < 0x80 ? "\\%02x" : "\\ff%02x", byte);
    out += text;
}

// How many bytes of a frame the log may show. Sign-on (channel 1) carries the scrambled
// password or the log-in cookie and sign-off (channel 4) hands out that cookie: only their
// header is shown. Of the authorization family (0x0017, log-in name, password hash and
// cookie) the header and the SNAC header are shown.
size_t VisibleBytes(const char* data, size_t size) {
    constexpr unsigned kSignOn = 1, kData = 2, kSignOff = 4, kAuthFamily = 0x0017;
    constexpr size_t kSNACHeader = 10;
    const auto channel = static_cast<unsigned char>(data[1]);
    if (channel == kSignOn || channel == kSignOff)
        return CFLAPFrame::kHeaderSize;
    if (channel == kData && size >= CFLAPFrame::kHeaderSize + 2 &&
        BigEndian16(data + CFLAPFrame::kHeaderSize) == kAuthFamily)
        return CFLAPFrame::kHeaderSize + kSNACHeader;
    return size;
}

}  // namespace

CFLAPFrame::ECut CFLAPFrame::Cut(const char* data, size_t size, size_t& length) {
    if (size == 0)
        return ECut::kWait;
    if (data[0] != kStart)
        return ECut::kNotFrame;
    if (size < kHeaderSize)
        return ECut::kWait;
    const size_t frame = kHeaderSize + BigEndian16(data + 4);
    if (size < frame)
        return ECut::kWait;
    length = frame;
    return ECut::kFrame;
}

bool CFLAPFrame::FormatLog(const char* data, size_t size, std::string& out) {
    if (IsPlainText(data, size))
        return false;
    out.clear();
    out.reserve(size * 2 + 64);
    size_t visible = size;
    if (size >= kHeaderSize && data[0] == kStart) {
        visible = VisibleBytes(data, size);
        const unsigned family = visible >= 8 && size >= 8 ? BigEndian16(data + 6) : 0;
        const unsigned subtype = visible >= 10 && size >= 10 ? BigEndian16(data + 8) : 0;
        char header[96];
        std::snprintf(header, sizeof(header), "CH%02d Seq %d fam %d subtype %d len %d ",
                      static_cast<int>(static_cast<unsigned char>(data[1])),
                      static_cast<int>(BigEndian16(data + 2)), static_cast<int>(family),
                      static_cast<int>(subtype), static_cast<int>(BigEndian16(data + 4)));
        out += header;
    }
    if (visible > size)
        visible = size;
    for (size_t i = 0; i < visible; ++i)
        AppendEscaped(static_cast<unsigned char>(data[i]), out);
    if (visible < size)
        out.append(1, '<').append(std::to_string(size - visible)).append(" bytes masked>");
    return true;
}
