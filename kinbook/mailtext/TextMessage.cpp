#include "kinbook/mailtext/TextMessage.h"

#include <cstring>

#include "kinbook/mailtext/ParseDate.h"

namespace {

bool IsTrimSpace(char c) {
    return c == '\r' || c == '\n' || c == '\t' || c == ' ';
}

void TrimInPlace(std::string& text) {
    size_t end = text.size();
    while (end > 0 && IsTrimSpace(text[end - 1])) --end;
    size_t begin = 0;
    while (begin < end && IsTrimSpace(text[begin])) ++begin;
    if (begin != 0 || end != text.size())
        text = text.substr(begin, end - begin);
}

// A remembered piece of an address field; empty when length is 0.
struct SSpan {
    unsigned start = 0;
    unsigned length = 0;

    bool IsSet() const { return length != 0; }
    void Clear() { start = length = 0; }
};

}  // namespace

CTextMessage::CTextMessage() = default;

CTextMessage::~CTextMessage() = default;

int CTextMessage::Initialize(const char* text, unsigned length) {
    CTextMessageGen gen(text, length);
    return Initialize(gen);
}

void CTextMessage::ClearHeaders() {
    m_to.clear();
    m_from.clear();
    m_replyTo.clear();
    m_sender.clear();
    m_returnPath.clear();
    m_cc.clear();
    m_subject.clear();
    m_date.clear();
    m_contentType.clear();
    m_contentTransferEncoding.clear();
    m_dateParsed = 0;
    m_dateValue = 0;
}

void CTextMessage::StartHeader(CTextMessageGen& gen, unsigned pos, unsigned lineEnd,
                               SPendingHeader& pending) {
    struct SKnownHeader {
        const char* name;
        std::string* target;
    };
    // Order matters: a line's name that is a leading part of several known names is the
    // first of them ("T" is "To", "Re" is "Reply-To").
    const SKnownHeader kKnown[] = {
        {"To", &m_to},
        {"CC", &m_cc},
        {"From", &m_from},
        {"Reply-To", &m_replyTo},
        {"Sender", &m_sender},
        {"Return-Path", &m_returnPath},
        {"Date", &m_date},
        {"Subject", &m_subject},
        {"Content-Type", &m_contentType},
        {"Content-Transfer-Encoding", &m_contentTransferEncoding},
        {"Received", &m_currentReceived},
    };
    unsigned colon = pos + static_cast<unsigned>(gen.strcspn(pos, ":\r\n"));
    if (colon >= lineEnd)
        return;
    unsigned nameEnd = colon;
    while (nameEnd > pos && (gen[static_cast<int>(nameEnd - 1)] == ' ' ||
                             gen[static_cast<int>(nameEnd - 1)] == '\t'))
        --nameEnd;
    unsigned nameLength = nameEnd - pos;
    for (const SKnownHeader& known : kKnown) {
        if (gen.strnicmp(pos, known.name, nameLength) == 0) {
            if (known.target == &m_currentReceived)
                m_currentReceived.clear();
            pending.target = known.target;
            pending.start = colon + 1;
            pending.end = lineEnd;
            pending.replace = known.target == &m_date ? 1 : 0;
            return;
        }
    }
}

void CTextMessage::StorePending(CTextMessageGen& gen, SPendingHeader& pending, int& result) {
    if (pending.target != nullptr) {
        result = GetHeader(pending.target, gen, pending.start, pending.end, pending.replace);
        pending.target = nullptr;
    }
}

int CTextMessage::Initialize(CTextMessageGen& gen) {
    m_initialized = 1;
    ClearHeaders();
    if (gen.GetLength() == 0)
        return 0;

    int result = 0;
    SPendingHeader pending;
    unsigned pos = 0;
    while (!gen.AtEnd(pos)) {
        unsigned lineLength = static_cast<unsigned>(gen.strcspn(pos, "\r\n"));
        if (lineLength == 0)
            break;  // the empty line that ends the header block, or a zero byte
        unsigned lineEnd = pos + lineLength;
        char first = gen[static_cast<int>(pos)];
        if (first == ' ' || first == '\t') {
            if (pending.target != nullptr)
                pending.end = lineEnd;
        } else {
            StorePending(gen, pending, result);
            if (std::strchr("CDFRSTcdfrst", first) != nullptr)
                StartHeader(gen, pos, lineEnd, pending);
        }
        pos = lineEnd;
        if (gen[static_cast<int>(pos)] == '\r')
            ++pos;
        if (gen[static_cast<int>(pos)] == '\n')
            ++pos;
    }
    StorePending(gen, pending, result);
    return result;
}

int CTextMessage::GetHeader(std::string* target, CTextMessageGen& gen, unsigned start, unsigned end,
                            int replace) {
    if (replace) {
        target->clear();
    } else if (!target->empty()) {
        // Joined as "A; B": the blanks after the colon do not widen the separator.
        target->append("; ");
        while (start < end && IsTrimSpace(gen[static_cast<int>(start)])) ++start;
    }
    if (end > start) {
        size_t old = target->size();
        target->resize(old + (end - start));
        unsigned copied = gen.strncpy(target->data() + old, start, end - start);
        target->resize(old + copied);
    }
    TrimInPlace(*target);
    if (target == &m_currentReceived)
        m_received.push_back(m_currentReceived);
    return target->empty() ? 0 : 1;
}

std::string CTextMessage::Received(int i) const {
    if (i < 0 || i >= static_cast<int>(m_received.size()))
        return std::string();
    return m_received[static_cast<size_t>(i)];
}

long CTextMessage::Date() {
    if (!m_dateParsed) {
        m_dateValue = m_date.empty() ? 0 : parsedate(m_date.c_str());
        if (m_dateValue == -1)
            m_dateValue = 0;  // not a date parsedate accepts
        m_dateParsed = 1;
    }
    return m_dateValue;
}

int CTextMessage::InDateRange(long from, long to) {
    long date = Date();
    if (from != 0 && from > date)
        return 0;
    return (to == 0 || to > date) ? 1 : 0;
}

int CTextMessage::ScanTo(CAddressHandler* handler) {
    return ScanField(handler, m_to, AS_TO, Date(), nullptr, FRN_NONE);
}

int CTextMessage::ScanCC(CAddressHandler* handler) {
    return ScanField(handler, m_cc, AS_CC, Date(), nullptr, FRN_NONE);
}

int CTextMessage::ScanFrom(CAddressHandler* handler, int fromOnly) {
    int took = ScanField(handler, m_from, AS_FROM, Date(), nullptr, FRN_NONE);
    if (!fromOnly && ScanReplyTo(handler))
        took = 1;
    return took;
}

int CTextMessage::ScanReplyTo(CAddressHandler* handler) {
    return ScanField(handler, m_replyTo, AS_FROM, Date(), nullptr, FRN_NONE);
}

int CTextMessage::ScanSender(CAddressHandler* handler) {
    return ScanField(handler, m_sender, AS_FROM, Date(), nullptr, FRN_NONE);
}

int CTextMessage::ScanReturnPath(CAddressHandler* handler) {
    return ScanField(handler, m_returnPath, AS_FROM, Date(), nullptr, FRN_NONE);
}

namespace {

// One pass of ScanField over an address field: the pieces of the address being read
// (angle address, bare word, quoted text, comment) and whether the handler took one.
class CFieldScan {
public:
    CFieldScan(const std::string& field, CAddressHandler* handler, ADDRESS_SOURCE source,
               long date, const char* fixedName, FR_NAME nameKind)
        : m_text(field.data()),
          m_length(static_cast<unsigned>(field.size())),
          m_handler(handler),
          m_source(source),
          m_date(date),
          m_fixedName(fixedName),
          m_nameKind(nameKind) {
        if (const void* zero = std::memchr(m_text, '\0', m_length))
            m_length = static_cast<unsigned>(static_cast<const char*>(zero) - m_text);
    }

    int Run() {
        unsigned pos = 0;
        for (;;) {
            switch (m_state) {
                case State::Between:
                    if (!Between(pos))
                        return m_result;
                    break;
                case State::Word:
                    Word(pos);
                    break;
                default:
                    Enclosed(pos);
                    break;
            }
        }
    }

private:
    enum class State { Between, Word, Quoted, Angle, Bracket, Comment };

    unsigned SkipSpace(unsigned pos) const {
        while (pos < m_length && IsTrimSpace(m_text[pos])) ++pos;
        return pos;
    }
    // Past the byte at pos, or past it and the byte it escapes when it is a backslash.
    unsigned Step(unsigned pos) const {
        return (m_text[pos] == '\\' && pos + 1 < m_length) ? pos + 2 : pos + 1;
    }
    void Open(State state, char closer, unsigned& pos) {
        m_state = state;
        m_closer = closer;
        pos = SkipSpace(pos + 1);
    }

    void FinishAddress();
    // Between the pieces: false when the field ends here.
    bool Between(unsigned& pos);
    void Word(unsigned& pos);
    // Inside quotes, angles, brackets or a comment, up to the closing byte.
    void Enclosed(unsigned& pos);

    const char* m_text;
    unsigned m_length;
    CAddressHandler* m_handler;
    ADDRESS_SOURCE m_source;
    long m_date;
    const char* m_fixedName;
    FR_NAME m_nameKind;
    SSpan m_angle;
    SSpan m_word;
    SSpan m_quoted;
    SSpan m_comment;
    State m_state = State::Between;
    char m_closer = '\0';
    int m_result = 0;
};

void CFieldScan::FinishAddress() {
    if (!m_angle.IsSet() && !m_word.IsSet() && !m_quoted.IsSet()) {
        // A comment alone is no address, and it is no name for the next one either.
        m_comment.Clear();
        return;
    }
    std::string address;
    std::string name;
    SSpan* from = m_angle.IsSet() ? &m_angle : m_word.IsSet() ? &m_word : &m_quoted;
    CTextMessage::FillString(address, m_text + from->start, static_cast<int>(from->length));
    from->Clear();
    if (!address.empty()) {
        SSpan* nameSpan = m_quoted.IsSet()    ? &m_quoted
                          : m_word.IsSet()    ? &m_word
                          : m_comment.IsSet() ? &m_comment
                                              : nullptr;
        if (nameSpan != nullptr)
            CTextMessage::FillString(name, m_text + nameSpan->start,
                                     static_cast<int>(nameSpan->length));
    }
    m_word.Clear();
    m_quoted.Clear();
    m_comment.Clear();
    if (m_fixedName != nullptr)
        name = m_fixedName;
    if (m_handler != nullptr && m_handler->ProcessAddress(name.c_str(), address.c_str(), m_source,
                                                          m_date, m_nameKind))
        m_result = 1;
}

bool CFieldScan::Between(unsigned& pos) {
    pos = SkipSpace(pos);
    if (pos >= m_length) {
        FinishAddress();
        return false;
    }
    const char c = m_text[pos];
    switch (c) {
        case '"':
        case '\'':
            Open(State::Quoted, c, pos);
            break;
        case '<':
            Open(State::Angle, '>', pos);
            break;
        case '[':
            Open(State::Bracket, ']', pos);
            break;
        case '(':
            Open(State::Comment, ')', pos);
            break;
        case ',':
        case ';':
            FinishAddress();
            ++pos;
            break;
        case '\\':
            if (pos + 1 >= m_length) {
                // A lone backslash at the end: the field ends here.
                FinishAddress();
                return false;
            }
            pos += 2;
            break;
        default:
            m_state = State::Word;
            break;
    }
    return true;
}

void CFieldScan::Word(unsigned& pos) {
    const unsigned start = pos;
    while (pos < m_length && std::strchr(",;<([", m_text[pos]) == nullptr) pos = Step(pos);
    m_word.start = start;
    m_word.length = static_cast<unsigned>(
        CTextMessage::RightTrim(m_text + start, static_cast<int>(pos - start)));
    m_state = State::Between;
}

void CFieldScan::Enclosed(unsigned& pos) {
    const unsigned start = pos;
    while (pos < m_length && m_text[pos] != m_closer) pos = Step(pos);
    const unsigned spanLength = static_cast<unsigned>(
        CTextMessage::RightTrim(m_text + start, static_cast<int>(pos - start)));
    if (spanLength != 0) {
        SSpan& span = m_state == State::Quoted    ? m_quoted
                      : m_state == State::Comment ? m_comment
                                                  : m_angle;
        span.start = start;
        span.length = spanLength;
    }
    if (pos < m_length)
        ++pos;  // the closing byte
    m_state = State::Between;
}

}  // namespace

int CTextMessage::ScanField(CAddressHandler* handler, const std::string& field,
                            ADDRESS_SOURCE source, long date, const char* fixedName,
                            FR_NAME nameKind) {
    return CFieldScan(field, handler, source, date, fixedName, nameKind).Run();
}

void CTextMessage::FillString(std::string& out, const char* text, int length) {
    out.clear();
    if (text == nullptr || length <= 0)
        return;
    out.reserve(static_cast<size_t>(length));
    int i = 0;
    while (i < length) {
        char c = text[i];
        if (c == '\\') {
            if (i + 1 < length)
                out.push_back(text[i + 1]);
            i += 2;
        } else if (c == '(') {
            ++i;
            while (i < length && text[i] != ')') i += (text[i] == '\\') ? 2 : 1;
            ++i;  // the closing parenthesis, or past the end
        } else {
            out.push_back(c);
            ++i;
        }
    }
    size_t end = out.size();
    while (end > 0 && IsTrimSpace(out[end - 1])) --end;
    out.resize(end);
}

const char* CTextMessage::LeftTrim(const char* text) {
    if (text == nullptr)
        return text;
    while (IsTrimSpace(*text)) ++text;
    return text;
}

int CTextMessage::RightTrim(const char* text, int length) {
    if (text == nullptr)
        return 0;
    while (length > 0 && IsTrimSpace(text[length - 1])) --length;
    return length < 0 ? 0 : length;
}
