// The frames of the AOL client's protocol (FLAP) as the AOL proxy cuts and logs them:
// '*', a channel byte, a big-endian sequence number and data length, then the data.
// Stateless functions over bytes; safe on any thread.
#pragma once

#include <cstddef>
#include <string>

class CFLAPFrame {
public:
    static constexpr char kStart = '*';
    static constexpr size_t kHeaderSize = 6;
    static constexpr size_t kMaxFrameSize = kHeaderSize + 0xFFFF;

    enum class ECut {
        kWait,      // the frame at the front is not complete yet
        kFrame,     // a whole frame is at the front
        kNotFrame,  // the bytes do not begin with '*': no frame can ever be cut from them
    };

    // Looks at the frame at the front of [data, data + size); for kFrame, `length` is
    // its size with the header (6 bytes plus its data length). A frame is cut as soon
    // as its header and data are all there, however short its data.
    static ECut Cut(const char* data, size_t size, size_t& length);

    // The readable log form of [data, data + size) into `out`: for bytes that begin with
    // '*' and hold a header, "CH%02d Seq %d fam %d subtype %d len %d " (a family or
    // subtype whose bytes are missing shows as 0), then every byte, those from 0x20 to
    // 0x7F as they are, tab, LF and CR as "\t", "\n" and "\r", any other as "\" and the
    // hex of its value taken as a signed byte ("\00".."\1f", "\ff80".."\ffff"). Frames
    // that may carry credentials show only their headers, then "<N bytes masked>": the
    // data of channels 1 and 4 (family and subtype show as 0), and of channel-2 frames of
    // family 0x0017 all after the 10-byte SNAC header. False,
    // with `out` untouched, for text that is logged as it is: not beginning with '*',
    // only bytes from 0x20 to 0x7F, perhaps ending in CR LF.
    static bool FormatLog(const char* data, size_t size, std::string& out);
};
