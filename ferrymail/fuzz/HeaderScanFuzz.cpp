// Fuzzes the header scanner and the message getters with arbitrary bytes: the raw bytes
// as a header block (from libFuzzer's buffer of exactly `size` bytes, so any read past the
// end is caught), as one address field, and as a downloaded message.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ferrymail/store/Message.h"
#include "kinbook/mailtext/AddressHandler.h"
#include "kinbook/mailtext/TextMessage.h"

namespace {

// Checks that every address and name handed over fits in the text it came from.
class CBoundedHandler : public CAddressHandler {
public:
    explicit CBoundedHandler(size_t limit) : m_limit(limit) {}

    int ProcessAddress(const char* name, const char* address, ADDRESS_SOURCE source,
                       long date) override {
        __builtin_trap();  // the scanner calls the five-argument form only
    }
    int ProcessAddress(const char* name, const char* address, ADDRESS_SOURCE source, long date,
                       FR_NAME nameKind) override {
        if (name == nullptr || address == nullptr)
            __builtin_trap();
        if (std::string(name).size() > m_limit || std::string(address).size() > m_limit)
            __builtin_trap();
        return 1;
    }

private:
    size_t m_limit;
};

bool SameAddresses(const std::vector<SAddress>& a, const std::vector<SAddress>& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].m_address != b[i].m_address || a[i].m_name != b[i].m_name)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);

    // The header scanner straight over the input buffer.
    CTextMessage text;
    text.Initialize(bytes, static_cast<unsigned>(size));
    // Joined repeated fields add "; " per header line, so a field stays below twice the
    // input plus the separator.
    CBoundedHandler handler(2 * size + 2);
    text.ScanFrom(&handler, 0);
    text.ScanTo(&handler);
    text.ScanCC(&handler);
    text.ScanSender(&handler);
    text.ScanReturnPath(&handler);
    text.InDateRange(text.Date(), 0);
    for (int i = 0; i < text.ReceivedCount(); ++i) {
        if (text.Received(i).size() > size)
            __builtin_trap();
    }

    // The input as one address field, and as a span to copy.
    const std::string field(bytes, size);
    CBoundedHandler fieldHandler(size);
    CTextMessage::ScanField(&fieldHandler, field, AS_MANUAL, 0, nullptr, FRN_NONE);
    std::string copy;
    CTextMessage::FillString(copy, bytes, static_cast<int>(size));
    if (copy.size() > size)
        __builtin_trap();

    // The input as downloaded text, with the number of kept body lines taken from its
    // first byte.
    const int topLines = size > 0 ? static_cast<int>(data[0] % 24) - 1 : -1;
    CMessage message;
    message.SetHeader(field, topLines);
    const std::string header = message.GetHeader();
    const size_t blank = size > 0 ? field.find("\r\n\r\n", 1) : std::string::npos;
    if (blank != std::string::npos && header + "\r\n" + message.GetBody() != field)
        __builtin_trap();
    const long date = message.GetDate();
    const std::string subject = message.GetSubject();
    message.GetContentType();
    message.GetContentTransferEncoding();
    const SAddress from = *message.GetFrom();
    message.GetReplyTo();
    message.GetReturnPath();
    message.GetSender();
    const std::vector<SAddress> to = *message.GetTo();
    const std::vector<SAddress> cc = *message.GetCC();
    const long first = message.GetReceivedDate(1);
    message.GetReceivedDate(0);

    // Asking again answers the same from the caches.
    if (message.GetDate() != date || message.GetSubject() != subject ||
        message.GetFrom()->m_address != from.m_address ||
        message.GetFrom()->m_name != from.m_name || !SameAddresses(*message.GetTo(), to) ||
        !SameAddresses(*message.GetCC(), cc) || message.GetReceivedDate(1) != first)
        __builtin_trap();
    return 0;
}
