// The header fields of one mail message that the system looks at, and the scanner that
// fills them from an RFC 822 header block and breaks address fields into addresses.
// Owned by its message; one thread at a time (callers hold the lock of the message's store).
#pragma once

#include <string>
#include <vector>

#include "kinbook/mailtext/AddressHandler.h"
#include "kinbook/friends/AddressSource.h"
#include "kinbook/mailtext/TextMessageGen.h"
#include "kinbook/kinbook_export.h"

class KINBOOK_API CTextMessage {
public:
    CTextMessage();
    CTextMessage(const CTextMessage& other) = default;
    CTextMessage& operator=(const CTextMessage& other) = default;
    virtual ~CTextMessage();

    // Scans `length` bytes of `text` (no terminating zero byte needed).
    int Initialize(const char* text, unsigned length);
    // Scans the header block of the view: header lines up to the first empty line, a zero
    // byte or the end of the view, lines ended by CRLF, LF or CR, folded lines kept as they
    // stand. Returns 1 when the last known header stored was non-empty after trimming, 0
    // otherwise (also for an empty view). Always marks the object initialized. The list of
    // Received values is not cleared: initialize an object once.
    int Initialize(CTextMessageGen& gen);
    int Initialized() const { return m_initialized; }

    std::string To() const { return m_to; }
    std::string From() const { return m_from; }
    std::string ReplyTo() const { return m_replyTo; }
    std::string Sender() const { return m_sender; }
    std::string ReturnPath() const { return m_returnPath; }
    std::string CC() const { return m_cc; }
    std::string Subject() const { return m_subject; }
    std::string DateText() const { return m_date; }
    std::string ContentType() const { return m_contentType; }
    std::string ContentTransferEncoding() const { return m_contentTransferEncoding; }

    // The i-th Received value, 0 = topmost; empty outside 0 to ReceivedCount() - 1.
    std::string Received(int i) const;
    int ReceivedCount() const { return static_cast<int>(m_received.size()); }

    // The Date header as seconds since 1970; 0 when there is none or parsedate cannot
    // read it. Parsed on the first call after Initialize, then cached.
    virtual long Date();
    // 0 when `from` is nonzero and later than Date(); otherwise 1 when `to` is 0 or later
    // than Date(), else 0.
    int InDateRange(long from, long to);

    // Address scans of one field with the date of the message, no fixed name and
    // FRN_NONE. Nonzero when the handler took at least one address.
    int ScanTo(CAddressHandler* handler);                  // AS_TO
    int ScanCC(CAddressHandler* handler);                  // AS_CC
    int ScanFrom(CAddressHandler* handler, int fromOnly);  // AS_FROM; Reply-To too unless fromOnly
    int ScanReplyTo(CAddressHandler* handler);             // AS_FROM
    int ScanSender(CAddressHandler* handler);              // AS_FROM
    int ScanReturnPath(CAddressHandler* handler);          // AS_FROM

    // Breaks an address field (RFC 822 address list, also the common broken forms: bare
    // names, unterminated quotes, angles and comments, ';' as separator) into addresses
    // and hands each to `handler` with its display name, or `fixedName` when given.
    // A zero byte ends the field. Returns 1 when the handler took at least one address.
    static int ScanField(CAddressHandler* handler, const std::string& field, ADDRESS_SOURCE source,
                         long date, const char* fixedName, FR_NAME nameKind);
    // out = `length` bytes of `text` with backslash escapes resolved, parenthesised
    // comments dropped (not nested; an unclosed one drops the rest) and trailing CR, LF,
    // TAB and SPACE removed.
    static void FillString(std::string& out, const char* text, int length);
    // `text` past its leading CR, LF, TAB and SPACE.
    static const char* LeftTrim(const char* text);
    // `length` less the trailing CR, LF, TAB and SPACE of text[0..length).
    static int RightTrim(const char* text, int length);

protected:
    // Stores bytes [start, end) of the view in *target: replacing it, or joined to what it
    // holds by "; "; then trims the whole target. Returns 1 when the target is not empty.
    // A value stored in the Received scratch field is also appended to the Received list.
    int GetHeader(std::string* target, CTextMessageGen& gen, unsigned start, unsigned end,
                  int replace);

private:
    // The known header being read: its field, where its value lies in the view, and
    // whether a repeat replaces the value (Date) or is joined to it.
    struct SPendingHeader {
        std::string* target = nullptr;
        unsigned start = 0;
        unsigned end = 0;
        int replace = 0;
    };

    void ClearHeaders();
    // For a header line at `pos` (ending at `lineEnd`) whose name is a known header's,
    // makes it the pending header.
    void StartHeader(CTextMessageGen& gen, unsigned pos, unsigned lineEnd,
                     SPendingHeader& pending);
    // Stores the pending header, if any, and sets `result` as GetHeader does.
    void StorePending(CTextMessageGen& gen, SPendingHeader& pending, int& result);

    int m_initialized = 0;
    std::string m_to;
    std::string m_from;
    std::string m_replyTo;
    std::string m_sender;
    std::string m_returnPath;
    std::string m_cc;
    std::string m_subject;
    std::string m_date;
    std::string m_contentType;
    std::string m_contentTransferEncoding;
    std::string m_currentReceived;        // scratch: the Received header being read
    std::vector<std::string> m_received;  // topmost first
    long m_dateValue = 0;
    int m_dateParsed = 0;
};
