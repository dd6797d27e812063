#include "ferrymail/store/Message.h"

#include <atomic>
#include <cstring>
#include <ctime>

#include "kinbook/mailtext/ParseDate.h"
#include "store/AddressCollector.h"

namespace {

std::atomic<MessageOwnerLookup> s_ownerLookup{nullptr};

bool IsTrimSpace(char c) {
    return c == '\r' || c == '\n' || c == '\t' || c == ' ';
}

// The white space of the C locale, whatever the process locale says about bytes >= 0x80.
bool IsSpaceByte(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string Trimmed(const std::string& text, size_t begin, size_t end) {
    while (end > begin && IsTrimSpace(text[end - 1])) --end;
    while (begin < end && IsTrimSpace(text[begin])) ++begin;
    return text.substr(begin, end - begin);
}

long ReadDate(const std::string& text) {
    if (text.empty())
        return 0;
    long value = parsedate(text.c_str());
    return value == -1 ? 0 : value;
}

}  // namespace

CMessage::CMessage() = default;

CMessage::CMessage(const std::string& uidl, IMessageOwner* store)
    : m_uidl(uidl), m_storeID(store != nullptr ? store->GetStoreID() : 0) {}

CMessage::~CMessage() = default;

IMessageOwner* CMessage::GetOwner() const {
    MessageOwnerLookup lookup = s_ownerLookup.load();
    if (m_storeID == 0 || lookup == nullptr)
        return nullptr;
    return lookup(m_storeID);
}

void CMessage::SetOwnerLookup(MessageOwnerLookup lookup) {
    s_ownerLookup.store(lookup);
}

void CMessage::SetLocation(MSSTATUS location) {
    if (location == m_location)
        return;
    if (IMessageOwner* owner = GetOwner())
        owner->ChangeLocation(this, m_location, location);
    m_location = location;
}

int CMessage::SetHeader(const std::string& text, int topLines) {
    size_t blank = text.empty() ? std::string::npos : text.find("\r\n\r\n", 1);
    if (blank == std::string::npos) {
        m_header = text;
    } else {
        m_header = text.substr(0, blank + 2);
        m_body = text.substr(blank + 4);
        if (topLines == -1) {
            m_bodyLines = -1;
        } else {
            int lines = 0;
            for (size_t pos = m_body.find("\r\n"); pos != std::string::npos;
                 pos = m_body.find("\r\n", pos + 2))
                ++lines;
            // Fewer lines than asked for: the server sent the whole body.
            m_bodyLines = lines >= topLines ? lines : -1;
        }
    }

    // A new header text makes every value read from the old one stale.
    m_flags &= ~(kCachedDate | kCachedSubject | kCachedFrom | kCachedReplyTo | kCachedReturnPath |
                 kCachedSender | kCachedTo | kCachedCC | kCachedContentType |
                 kCachedContentTransferEncoding | kParsedHops);
    m_textMessage = CTextMessage();
    m_date = 0;
    m_subject.clear();
    m_contentType.clear();
    m_contentTransferEncoding.clear();
    m_from = SAddress();
    m_replyTo = SAddress();
    m_returnPath = SAddress();
    m_sender = SAddress();
    m_to.clear();
    m_cc.clear();
    m_hops.clear();

    m_flags |= kHasHeader;
    m_downloaded = static_cast<long>(std::time(nullptr));
    return 1;
}

void CMessage::AddQLNote(const char* name, const char* value) {
    m_notes.append("X-");
    m_notes.append(name != nullptr ? name : "");
    m_notes.append(": ");
    m_notes.append(value != nullptr ? value : "");
    m_notes.append("\r\n");
}

int CMessage::TextMessageInit() {
    if (!(m_flags & kHasHeader))
        return 0;
    if (!m_textMessage.Initialized())
        m_textMessage.Initialize(m_header.data(), static_cast<unsigned>(m_header.size()));
    // Scanned: the fields hold what the header has, also when its last known field is
    // empty (the result of Initialize).
    return 1;
}

long CMessage::GetDate() {
    if (!(m_flags & kCachedDate) && TextMessageInit()) {
        m_date = m_textMessage.Date();
        m_flags |= kCachedDate;
    }
    return m_date;
}

std::string CMessage::GetSubject() {
    if (!(m_flags & kCachedSubject) && TextMessageInit()) {
        m_subject = m_textMessage.Subject();
        m_flags |= kCachedSubject;
    }
    return m_subject;
}

std::string CMessage::GetContentType() {
    if (!(m_flags & kCachedContentType) && TextMessageInit()) {
        m_contentType = m_textMessage.ContentType();
        m_flags |= kCachedContentType;
    }
    return m_contentType;
}

std::string CMessage::GetContentTransferEncoding() {
    if (!(m_flags & kCachedContentTransferEncoding) && TextMessageInit()) {
        m_contentTransferEncoding = m_textMessage.ContentTransferEncoding();
        m_flags |= kCachedContentTransferEncoding;
    }
    return m_contentTransferEncoding;
}

SAddress* CMessage::GetFrom() {
    if (!(m_flags & kCachedFrom) && TextMessageInit()) {
        CAddressCollector collector(&m_from);
        if (m_textMessage.ScanFrom(&collector, 1))
            m_flags |= kCachedFrom;
    }
    return &m_from;
}

SAddress* CMessage::GetReplyTo() {
    if (!(m_flags & kCachedReplyTo) && TextMessageInit()) {
        CAddressCollector collector(&m_replyTo);
        if (m_textMessage.ScanReplyTo(&collector))
            m_flags |= kCachedReplyTo;
    }
    return &m_replyTo;
}

SAddress* CMessage::GetReturnPath() {
    if (!(m_flags & kCachedReturnPath) && TextMessageInit()) {
        CAddressCollector collector(&m_returnPath);
        if (m_textMessage.ScanReturnPath(&collector))
            m_flags |= kCachedReturnPath;
    }
    return &m_returnPath;
}

SAddress* CMessage::GetSender() {
    if (!(m_flags & kCachedSender) && TextMessageInit()) {
        CAddressCollector collector(&m_sender);
        if (m_textMessage.ScanSender(&collector))
            m_flags |= kCachedSender;
    }
    return &m_sender;
}

std::vector<SAddress>* CMessage::GetTo() {
    if (!(m_flags & kCachedTo) && TextMessageInit()) {
        CAddressCollector collector(&m_to);
        if (m_textMessage.ScanTo(&collector))
            m_flags |= kCachedTo;
    }
    return &m_to;
}

std::vector<SAddress>* CMessage::GetCC() {
    if (!(m_flags & kCachedCC) && TextMessageInit()) {
        CAddressCollector collector(&m_cc);
        if (m_textMessage.ScanCC(&collector))
            m_flags |= kCachedCC;
    }
    return &m_cc;
}

void CMessage::ParseHops() {
    if ((m_flags & kParsedHops) || !TextMessageInit())
        return;
    m_flags |= kParsedHops;
    for (int i = 0; i < m_textMessage.ReceivedCount(); ++i)
        ParseReceived(m_textMessage.Received(i));
}

long CMessage::GetReceivedDate(int first) {
    ParseHops();
    if (m_hops.empty())
        return 0;
    return first ? m_hops.front().m_date : m_hops.back().m_date;
}

const std::vector<SReceivedHop>* CMessage::GetReceivedHops() {
    ParseHops();
    return &m_hops;
}

void CMessage::ParseReceived(const std::string& value) {
    SReceivedHop hop;
    std::string clause;
    size_t semicolon = value.rfind(';');
    if (semicolon == std::string::npos) {
        hop.m_date = ReadDate(Trimmed(value, 0, value.size()));
    } else {
        hop.m_date = ReadDate(Trimmed(value, semicolon + 1, value.size()));
        clause = value.substr(0, semicolon);
    }

    static const char* const kKeywords[] = {"from", "by", "with", "id", "for"};
    constexpr int kKeywordCount = 5;
    std::string* fields[kKeywordCount] = {&hop.m_from, &hop.m_by, &hop.m_with, &hop.m_id,
                                          &hop.m_for};
    int keyword = 0;
    int found = -1;
    for (; keyword < kKeywordCount; ++keyword) {
        found = FindString(clause, kKeywords[keyword], 0);
        if (found >= 0)
            break;
    }
    size_t valueStart =
        keyword < kKeywordCount ? static_cast<size_t>(found) + std::strlen(kKeywords[keyword]) : 0;
    while (keyword < kKeywordCount) {
        // The value runs up to the first later keyword, in keyword order, that occurs.
        int next = keyword + 1;
        int nextPos = -1;
        for (; next < kKeywordCount; ++next) {
            nextPos = FindString(clause, kKeywords[next], static_cast<int>(valueStart));
            if (nextPos >= 0)
                break;
        }
        if (next >= kKeywordCount) {
            *fields[keyword] = Trimmed(clause, valueStart, clause.size());
            break;
        }
        *fields[keyword] = Trimmed(clause, valueStart, static_cast<size_t>(nextPos));
        clause = clause.substr(static_cast<size_t>(nextPos) + std::strlen(kKeywords[next]));
        valueStart = 0;
        keyword = next;
    }
    m_hops.push_back(std::move(hop));
}

int CMessage::FindString(const std::string& text, const char* word, int start) {
    size_t length = word != nullptr ? std::strlen(word) : 0;
    if (length == 0)
        return -1;
    size_t pos = start < 0 ? 0 : static_cast<size_t>(start);
    while ((pos = text.find(word, pos, length)) != std::string::npos) {
        if (pos + length >= text.size())
            return -1;  // this and every later occurrence reach the end of the text
        if (pos == 0 || IsSpaceByte(text[pos - 1]))
            return static_cast<int>(pos);
        ++pos;
    }
    return -1;
}
