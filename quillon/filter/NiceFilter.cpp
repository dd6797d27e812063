#include "filter/NiceFilter.h"

#include <cstdlib>
#include <ctime>

#include "ferrymail/store/Message.h"
#include "filter/FilterChain.h"
#include "filter/FilterProfile.h"
#include "filter/LinkList.h"
#include "kinbook/foundation/CalendarTime.h"
#include "kinbook/foundation/TextHelpers.h"

namespace {

constexpr long kDaySeconds = 86400;

bool Contains(const std::string& text, const char* needle) {
    const size_t length = std::char_traits<char>::length(needle);
    for (size_t i = 0; i + length <= text.size(); ++i)
        if (StartsWithNoCase(text.c_str() + i, length, needle))
            return true;
    return false;
}

bool IsLinkCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_' || c == '@';
}

// 00:00:01 local time of the universal-time calendar day of `when`.
std::time_t DayStart(long when) {
    std::tm day{};
    if (!ToUniversalTime(static_cast<std::time_t>(when), day))
        return when;
    day.tm_hour = 0;
    day.tm_min = 0;
    day.tm_sec = 1;
    day.tm_isdst = -1;
    return std::mktime(&day);
}

std::string LocalText(long when) {
    std::tm local{};
    char text[128] = "";
    if (ToLocalTime(static_cast<std::time_t>(when), local))
        std::strftime(text, sizeof text, "%c", &local);
    return text;
}

}  // namespace

CNiceFilter::CNiceFilter(CFilterChain* chain)
    : CFilter(chain, "Nice",
              {"Short Message - Invoked", "Short Message", "To Me - Invoked", "To Me",
               "To Addresses - Invoked", "To Addresses", "Date - Invoked", "Date",
               "Attachment - Invoked", "Attachment", "Plain Text - Invoked", "Plain Text",
               "Hyperlinks - Invoked", "Hyperlinks"},
              {{"Length Check", 1},
               {"Message Length", 2000},
               {"To Check", 1},
               {"Addressee Count Check", 1},
               {"Max Addressees", 5},
               {"Date Check", 1},
               {"Max Days", 2},
               {"Attachments Check", 1},
               {"Formatted Check", 1},
               {"Hyperlinks Check", 1}}) {
    LoadSettings();
    LoadStats();
}

void CNiceFilter::LoadSettings() {
    CFilter::LoadSettings();
    m_action = ActionFromText(ReadProfileText(GetSection(), "Action", "hold"));
}

bool CNiceFilter::Examine(CMessage* message) {
    Count(kInvoked);
    const std::string failure = FirstFailure(message);
    if (!failure.empty()) {
        m_chain->AddAnalysisNote(message, failure);
        return false;
    }
    m_chain->AddAnalysisNote(message, "nice");
    Count(kTrue);
    return true;
}

std::string CNiceFilter::FirstFailure(CMessage* message) {
    for (auto check :
         {&CNiceFilter::CheckLength, &CNiceFilter::CheckToMe, &CNiceFilter::CheckAddressees,
          &CNiceFilter::CheckDate, &CNiceFilter::CheckContentType, &CNiceFilter::CheckLinks}) {
        std::string failure = (this->*check)(message);
        if (!failure.empty())
            return failure;
    }
    return {};
}

std::string CNiceFilter::CheckLength(CMessage* message) {
    const int limit = GetSetting(kMessageLength);
    const int size = message->GetSizeInStore();
    if (!IsOn(kLengthCheck) || limit == 0 || size == 0)
        return {};
    Count(kShortMessageInvoked);
    if (size < limit)
        return {};
    Count(kShortMessage);
    return "other: size " + std::to_string(size) + " >= " + std::to_string(limit) + " too big";
}

std::string CNiceFilter::CheckToMe(CMessage* message) {
    if (!IsOn(kToCheck))
        return {};
    Count(kToMeInvoked);
    for (const std::vector<SAddress>* field : {message->GetTo(), message->GetCC()})
        for (const SAddress& address : *field)
            if (!address.m_address.empty() &&
                m_chain->AddressFriendly(address.m_address) == FRIENDLY_ME)
                return {};
    Count(kToMe);
    return "other: not to or cc me";
}

std::string CNiceFilter::CheckAddressees(CMessage* message) {
    const int most = GetSetting(kMaxAddressees);
    if (!IsOn(kAddresseeCountCheck) || most == 0)
        return {};
    Count(kToAddressesInvoked);
    const int count = static_cast<int>(message->GetTo()->size() + message->GetCC()->size());
    if (count < most)
        return {};
    Count(kToAddresses);
    return "other: to/cc " + std::to_string(count) + " >= " + std::to_string(most) +
           " too many addressees";
}

long CNiceFilter::CalendarDistance(long sent, long received) {
    return static_cast<long>(DayStart(received) - DayStart(sent));
}

std::string CNiceFilter::CheckDate(CMessage* message) {
    const int days = GetSetting(kMaxDays);
    if (!IsOn(kDateCheck) || days == 0)
        return {};
    Count(kDateInvoked);
    const long received = message->GetReceivedDate(1);
    const long sent = message->GetDate();
    if (received <= 0 || sent <= 0)
        return {};
    if (std::labs(CalendarDistance(sent, received)) <= static_cast<long>(days) * kDaySeconds)
        return {};
    Count(kDate);
    return "other: email date (" + LocalText(sent) + ") not within " + std::to_string(days) +
           " days of received date (" + LocalText(received) + ")";
}

std::string CNiceFilter::CheckContentType(CMessage* message) {
    const std::string type = message->GetContentType();
    if (IsOn(kAttachmentsCheck)) {
        Count(kAttachmentInvoked);
        if (!type.empty() && Contains(type, "multipart/mixed")) {
            Count(kAttachment);
            return "other: attachment";
        }
    }
    if (IsOn(kFormattedCheck)) {
        Count(kPlainTextInvoked);
        if (!type.empty() && !Contains(type, "text/plain")) {
            Count(kPlainText);
            return "other: not plain text";
        }
    }
    return {};
}

std::string CNiceFilter::CheckLinks(CMessage* message) {
    CLinkList* links = m_chain->GetLinkList();
    if (!IsOn(kHyperlinksCheck) || links == nullptr)
        return {};
    const std::string& body = m_chain->GetFilterBody(message);
    Count(kHyperlinksInvoked);
    CPatternList* acceptable = m_chain->GetList(FL_OK_LINKS);
    size_t at = 0;
    while (at < body.size() && links->Match(body.data() + at, body.size() - at)) {
        const size_t prefixEnd = static_cast<size_t>(links->GetMatchEnd() - body.data());
        size_t end = prefixEnd;
        while (end < body.size() && IsLinkCharacter(body[end])) ++end;
        const size_t start = static_cast<size_t>(links->GetMatchStart() - body.data());
        const std::string link = body.substr(start, end - start);
        if (acceptable != nullptr && acceptable->Match(link.data(), link.size())) {
            at = prefixEnd;
            continue;
        }
        Count(kHyperlinks);
        return "other: contains hyperlinks (" + link + ")";
    }
    return {};
}
