#include "filter/FilterStatistics.h"

#include <cstdio>
#include <ctime>

#include "filter/BadFilter.h"
#include "filter/FilterChain.h"
#include "filter/FilterProfile.h"
#include "filter/FriendlyFilter.h"
#include "filter/NiceFilter.h"
#include "kinbook/foundation/CalendarTime.h"
#include "kinbook/foundation/Lock.h"

namespace {

constexpr const char kDateValue[] = "Filter Stats Date";

std::string Format(const char* pattern, int a, int b) {
    char text[256];
    std::snprintf(text, sizeof text, pattern, a, b);
    return text;
}

std::string Ratio(int result, int tried) {
    return std::to_string(result) + "/" + std::to_string(tried);
}

const char* WasWere(int count) {
    return count == 1 ? "was" : "were";
}

std::string Opening(const std::string& date, int count) {
    return "Since " + date + " Quillon has scanned " + std::to_string(count) + " email" +
           (count == 1 ? "" : "s") + ". ";
}

const char* Quantity(int count) {
    return count == 1 ? "It" : count == 2 ? "Both" : "All";
}

std::string HeldSecondText(int held, int sent, int deleted) {
    if (sent > 0 && deleted > 0)
        return "Of the " + std::to_string(held) + " emails placed in hold, you deleted " +
               std::to_string(deleted) + " and sent " + std::to_string(sent) + " to your inbox.";
    if (sent > 0)
        return sent == held
                   ? Format("You sent all %d emails placed in hold to your inbox.", held, 0)
                   : Format("Of the %d emails placed in hold, you sent %d to your inbox.", held,
                            sent);
    return deleted == held
               ? Format("You deleted all %d emails placed in hold.", held, 0)
               : Format("You deleted %d of the %d emails placed in hold.", deleted, held);
}

// Adds the rows "label" -> result/tried for consecutive (tried, result) counter pairs.
void AddPairs(std::vector<StatisticsRow>& rows, const CFilter& filter, int first,
              std::initializer_list<const char*> labels) {
    int index = first;
    for (const char* label : labels) {
        rows.emplace_back(label, Ratio(filter.GetCounter(index + 1), filter.GetCounter(index)));
        index += 2;
    }
}

}  // namespace

std::string ShortDateToday() {
    std::tm local{};
    char text[64] = "";
    if (ToLocalTime(std::time(nullptr), local))
        std::strftime(text, sizeof text, "%x", &local);
    return text;
}

std::string GetFilterStatsDate(bool store) {
    std::string date = ReadProfileText(kSettingsSection, kDateValue, "");
    if (date.empty()) {
        date = ShortDateToday();
        if (store)
            WriteProfileText(kSettingsSection, kDateValue, date);
    }
    return date;
}

std::string SummaryFirstText(int passed, int held, const std::string& date) {
    if (passed > 0 && held > 0)
        return "Since " + date + " Quillon has scanned " + std::to_string(passed + held) +
               " emails." + std::to_string(passed) + " " + WasWere(passed) +
               " sent directly to your Inbox, and " + std::to_string(held) + " " + WasWere(held) +
               " placed in the hold window.";
    if (passed > 0)
        return Opening(date, passed) + Quantity(passed) + " " + WasWere(passed) +
               " sent directly to your Inbox.";
    if (held > 0)
        return Opening(date, held) + Quantity(held) + " " + WasWere(held) +
               " placed in the hold window.";
    return "Quillon will track the number of emails processed and display the information here.";
}

std::string SummarySecondText(int held, int sent, int deleted) {
    if (held <= 0 || sent + deleted <= 0)
        return {};
    if (held == 1)
        return sent == 0 ? "You deleted the email placed in hold."
                         : "You sent the email placed in hold to your inbox.";
    if (held == 2) {
        if (sent == 0)
            return "You deleted both emails placed in hold.";
        return deleted > 0 ? "From hold you deleted one email and sent one email to your inbox."
                           : "You sent both emails placed in hold to your inbox.";
    }
    return HeldSecondText(held, sent, deleted);
}

std::string SummaryDetails(CFilterChain& chain) {
    CLock lock(&chain.GetLock());
    char line[128];
    std::string text = "Details:\n";
    std::snprintf(line, sizeof line, "%-8s%8s%10s%16s\n", "", "Held", "Deleted", "Sent to Inbox");
    text += line;
    const char* labels[] = {"Bad", "Nice", "Other"};
    for (int i = 0; i < 3; ++i) {
        std::snprintf(line, sizeof line, "%-8s%8d%10d%16d\n", labels[i],
                      chain.GetCounter(static_cast<CHAIN_COUNTER>(CC_EVIL_HELD + i)),
                      chain.GetCounter(static_cast<CHAIN_COUNTER>(CC_EVIL_DELETED + i)),
                      chain.GetCounter(static_cast<CHAIN_COUNTER>(CC_EVIL_TO_INBOX + i)));
        text += line;
    }
    return text;
}

std::string SummaryText(CFilterChain& chain, const std::string& date) {
    CLock lock(&chain.GetLock());
    int sent = 0;
    int deleted = 0;
    for (int i = 0; i < 3; ++i) {
        sent += chain.GetCounter(static_cast<CHAIN_COUNTER>(CC_EVIL_TO_INBOX + i));
        deleted += chain.GetCounter(static_cast<CHAIN_COUNTER>(CC_EVIL_DELETED + i));
    }
    const int held = chain.GetCounter(CC_HELD);
    std::string text = SummaryFirstText(chain.GetCounter(CC_PASSED), held, date) + "\n";
    const std::string second = SummarySecondText(held, sent, deleted);
    if (!second.empty())
        text += second + "\n";
    return text + "\n" + SummaryDetails(chain);
}

std::vector<StatisticsRow> FilterStatisticsRows(CFilterChain& chain) {
    CLock lock(&chain.GetLock());
    std::vector<StatisticsRow> rows;
    CFriendlyFilter* friendly = chain.GetFriendlyFilter();
    CBadFilter* bad = chain.GetBadFilter();
    CNiceFilter* nice = chain.GetNiceFilter();
    if (friendly == nullptr || bad == nullptr || nice == nullptr)
        return rows;
    for (const auto& [label, filter] :
         {std::pair<const char*, CFilter*>{"Friendly Filter", friendly},
          {"Bad Filter", bad},
          {"Nice Filter", nice}})
        rows.emplace_back(label, Ratio(filter->GetCounter(CFilter::kTrue),
                                       filter->GetCounter(CFilter::kInvoked)));
    rows.emplace_back("Other", Ratio(chain.GetOtherInvoked(), chain.GetOtherInvoked()));
    rows.emplace_back("", "");
    const char* friendlyLabels[] = {"Yourself",   "Friend",       "Friendly Company",
                                    "Email List", "To/Cc Friend", "Key Phrase"};
    for (int i = 0; i < 6; ++i)
        rows.emplace_back(friendlyLabels[i],
                          std::to_string(friendly->GetCounter(CFriendlyFilter::kMyself + i)));
    rows.emplace_back("", "");
    AddPairs(rows, *bad, CBadFilter::kInvalidHeaderInvoked,
             {"Invalid Header", "Domain Blacklist", "Non-western", "Offensive Subject",
              "Commercial Subject", "Offensive Body", "Commercial Body", "Numeric Hyperlinks"});
    rows.emplace_back("", "");
    AddPairs(rows, *nice, CNiceFilter::kShortMessageInvoked,
             {"Long Message", "Not to Me", "Many Addressees", "Not Current", "Attachments",
              "Formatting", "Hyperlinks"});
    return rows;
}

std::string FilterStatisticsFooter(CFilterChain& chain) {
    CLock lock(&chain.GetLock());
    CFriendlyFilter* friendly = chain.GetFriendlyFilter();
    if (friendly == nullptr)
        return {};
    const int strangers =
        friendly->GetCounter(CFilter::kInvoked) - friendly->GetCounter(CFilter::kTrue);
    if (strangers <= 1)
        return {};
    return Format("Of the %d non-friendly emails processed, %d required that the body be read.",
                  strangers, chain.GetCounter(CC_BODY_READ));
}

std::string FilterStatisticsText(CFilterChain& chain, const std::string& date) {
    CLock lock(&chain.GetLock());
    std::string text = "Filter statistics since " + date + "\n\n";
    char line[160];
    for (const StatisticsRow& row : FilterStatisticsRows(chain)) {
        if (row.first.empty()) {
            text += "\n";
            continue;
        }
        std::snprintf(line, sizeof line, "%-20s%12s\n", row.first.c_str(), row.second.c_str());
        text += line;
    }
    const std::string footer = FilterStatisticsFooter(chain);
    return footer.empty() ? text : text + "\n" + footer + "\n";
}
