#include "review/RegistryReviewCounters.h"

#include "kinbook/foundation/RegistryKey.h"

namespace {

constexpr const char kSettingsKey[] = "Software\\Brevant\\Quillon\\Settings";

}  // namespace

const char* CRegistryReviewCounters::CounterName(char tag, bool released) {
    switch (tag) {
        case 'X':
            return released ? "Evil Emails Sent to Inbox" : "Evil Emails Deleted";
        case 'N':
            return released ? "Nice Emails Sent to Inbox" : "Nice Emails Deleted";
        case 'Q':
            return released ? "Questionable Emails Sent to Inbox" : "Questionable Emails Deleted";
        default:
            return nullptr;
    }
}

void CRegistryReviewCounters::Count(const char* name) {
    if (name == nullptr)
        return;
    CRegistryKey key;
    if (!key.OpenCarefully(HKEY_CURRENT_USER, kSettingsKey))
        return;
    int value = 0;
    key.QueryValue(name, value, TRUE);
    key.SetValue(name, value + 1);
}
