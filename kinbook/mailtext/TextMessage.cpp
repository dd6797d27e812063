#include "kinbook/TextMessage.h"

#include <cstring>

#include "kinbook/ParseDate.h"

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

int CTextMessage::Initialize(CTextMessageGen& gen) {
    m_initialized = 1;
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
    if (gen.GetLength() == 0)
        return 0;

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

    int result = 0;
    std::string* pendingTarget = nullptr;
    unsigned pendingStart = 0;
    unsigned pendingEnd = 0;
    int pendingReplace = 0;
    auto storePending = [&]() {
        if (pendingTarget != nullptr) {
            result = GetHeader(pendingTarget, gen, pendingStart, pendingEnd, pendingReplace);
            pendingTarget = nullptr;
        }
    };

    unsigned pos = 0;
    while (!gen.AtEnd(pos)) {
        unsigned lineLength = static_cast<unsigned>(gen.strcspn(pos, "\r\n"));
        if (lineLength == 0)
            break;  // the empty line that ends the header block, or a zero byte
        unsigned lineEnd = pos + lineLength;
        char first = gen[static_cast<int>(pos)];
        if (first == ' ' || first == '\t') {
            if (pendingTarget != nullptr)
                pendingEnd = lineEnd;
        } else if (std::strchr("CDFRSTcdfrst", first) != nullptr) {
            storePending();
            unsigned colon = pos + static_cast<unsigned>(gen.strcspn(pos, ":\r\n"));
            if (colon < lineEnd) {
                unsigned nameEnd = colon;
                while (nameEnd > pos && (gen[static_cast<int>(nameEnd - 1)] == ' ' ||
                                         gen[static_cast<int>(nameEnd - 1)] == '\t'))
                    --nameEnd;
                unsigned nameLength = nameEnd - pos;
                for (const SKnownHeader& known : kKnown) {
                    if (gen.strnicmp(pos, known.name, nameLength) == 0) {
                        if (known.target == &m_currentReceived)
                            m_currentReceived.clear();
                        pendingTarget = known.target;
                        pendingStart = colon + 1;
                        pendingEnd = lineEnd;
                        pendingReplace = known.target == &m_date ? 1 : 0;
                        break;
                    }
                }
            }
        } else {
            storePending();
        }
        pos = lineEnd;
        if (gen[static_cast<int>(pos)] == '\r')
            ++pos;
        if (gen[static_cast<int>(pos)] == '\n')
            ++pos;
    }
    storePending();
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

int CTextMessage::ScanField(CAddressHandler* handler, const std::string& field,
                            ADDRESS_SOURCE source, long date, const char* fixedName,
                            FR_NAME nameKind) {
    const char* text = field.data();
    unsigned length = static_cast<unsigned>(field.size());
    if (const void* zero = std::memchr(text, '\0', length))
        length = static_cast<unsigned>(static_cast<const char*>(zero) - text);

    SSpan angle;
    SSpan word;
    SSpan quoted;
    SSpan comment;
    int result = 0;

    auto finishAddress = [&]() {
        if (!angle.IsSet() && !word.IsSet() && !quoted.IsSet()) {
            // A comment alone is no address, and it is no name for the next one either.
            comment.Clear();
            return;
        }
        std::string address;
        std::string name;
        SSpan* from = angle.IsSet() ? &angle : word.IsSet() ? &word : &quoted;
        FillString(address, text + from->start, static_cast<int>(from->length));
        from->Clear();
        if (!address.empty()) {
            SSpan* nameSpan = quoted.IsSet()    ? &quoted
                              : word.IsSet()    ? &word
                              : comment.IsSet() ? &comment
                                                : nullptr;
            if (nameSpan != nullptr)
                FillString(name, text + nameSpan->start, static_cast<int>(nameSpan->length));
        }
        word.Clear();
        quoted.Clear();
        comment.Clear();
        if (fixedName != nullptr)
            name = fixedName;
        if (handler != nullptr &&
            handler->ProcessAddress(name.c_str(), address.c_str(), source, date, nameKind))
            result = 1;
    };
    auto skipSpace = [&](unsigned pos) {
        while (pos < length && IsTrimSpace(text[pos])) ++pos;
        return pos;
    };
    // Past the byte at pos, or past it and the byte it escapes when it is a backslash.
    auto step = [&](unsigned pos) {
        return (text[pos] == '\\' && pos + 1 < length) ? pos + 2 : pos + 1;
    };

    enum class State { Between, Word, Quoted, Angle, Bracket, Comment };
    State state = State::Between;
    char closer = '\0';
    unsigned pos = 0;
    for (;;) {
        switch (state) {
            case State::Between: {
                pos = skipSpace(pos);
                if (pos >= length) {
                    finishAddress();
                    return result;
                }
                char c = text[pos];
                switch (c) {
                    case '"':
                    case '\'':
                        closer = c;
                        state = State::Quoted;
                        pos = skipSpace(pos + 1);
                        break;
                    case '<':
                        closer = '>';
                        state = State::Angle;
                        pos = skipSpace(pos + 1);
                        break;
                    case '[':
                        closer = ']';
                        state = State::Bracket;
                        pos = skipSpace(pos + 1);
                        break;
                    case '(':
                        closer = ')';
                        state = State::Comment;
                        pos = skipSpace(pos + 1);
                        break;
                    case ',':
                    case ';':
                        finishAddress();
                        ++pos;
                        break;
                    case '\\':
                        if (pos + 1 >= length) {
                            // A lone backslash at the end: the field ends here.
                            finishAddress();
                            return result;
                        }
                        pos += 2;
                        break;
                    default:
                        state = State::Word;
                        break;
                }
                break;
            }
            case State::Word: {
                unsigned start = pos;
                while (pos < length && std::strchr(",;<([", text[pos]) == nullptr) pos = step(pos);
                word.start = start;
                word.length =
                    static_cast<unsigned>(RightTrim(text + start, static_cast<int>(pos - start)));
                state = State::Between;
                break;
            }
            case State::Quoted:
            case State::Angle:
            case State::Bracket:
            case State::Comment: {
                unsigned start = pos;
                while (pos < length && text[pos] != closer) pos = step(pos);
                unsigned spanLength =
                    static_cast<unsigned>(RightTrim(text + start, static_cast<int>(pos - start)));
                if (spanLength != 0) {
                    SSpan& span = state == State::Quoted    ? quoted
                                  : state == State::Comment ? comment
                                                            : angle;
                    span.start = start;
                    span.length = spanLength;
                }
                if (pos < length)
                    ++pos;  // the closing byte
                state = State::Between;
                break;
            }
        }
    }
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
