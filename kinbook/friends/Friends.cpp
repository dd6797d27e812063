// The plain exported functions of the friends data.
#include "kinbook/friends/Friends.h"

#include <atomic>
#include <mutex>

#include "kinbook/mailtext/AddressHandler.h"
#include "kinbook/friends/EmailDomain.h"
#include "kinbook/friends/Friend.h"
#include "kinbook/mailtext/ParseDate.h"
#include "kinbook/foundation/RegistryKey.h"

namespace {

constexpr const char* kSettingsKey = "SOFTWARE\\Brevant\\Quillon\\Settings";

std::atomic<const SFriendsUI*> s_ui{nullptr};
std::atomic<bool> s_shutDown{false};

// Frees the friends data when the library goes without KinbookShutdown having run.
struct SShutdownAtExit {
    ~SShutdownAtExit() { KinbookShutdown(); }
} s_shutdownAtExit;

}  // namespace

FRIENDLY IsAddressFriendly(const char* address) {
    return CFriend::AddressFriendly(address);
}

int GetMe(CFriendDataArray** out) {
    return CFriend::GetFriendsList(AS_ME, out);
}

int GetMailingLists(CFriendDataArray** out) {
    return CFriend::GetFriendsList(AS_MAILING_LIST, out);
}

int ValidateAddress(const char* address) {
    if (address == nullptr || *address == '\0')
        return 0;
    enum { kStart, kLocal, kAfterAt, kLabel, kAfterDot } state = kStart;
    bool dotSeen = false;
    for (const char* p = address; *p != '\0'; ++p) {
        char c = *p;
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f')
            return 0;
        switch (state) {
            case kStart:
                if (c == '@')
                    return 0;
                state = kLocal;
                break;
            case kLocal:
                if (c == '@')
                    state = kAfterAt;
                break;
            case kAfterAt:
            case kAfterDot:
                if (c == '@' || c == '.')
                    return 0;
                state = kLabel;
                break;
            case kLabel:
                if (c == '@')
                    return 0;
                if (c == '.') {
                    state = kAfterDot;
                    dotSeen = true;
                }
                break;
        }
    }
    return state == kLabel && dotSeen;
}

int SaveFriendsFile() {
    return CFriend::SaveFriends(0);
}

int SaveCompaniesFile() {
    return CEmailDomain::SaveCompanies();
}

int SaveAll() {
    int friends = SaveFriendsFile();
    int companies = SaveCompaniesFile();
    return friends && companies;
}

void KinbookShutdown() {
    if (s_shutDown.exchange(true))
        return;
    CLock lock(&CFriend::GetLock());
    CEmailDomain::Shutdown();
    CFriend::Shutdown();
}

long ParseDate(const char* text) {
    return parsedate(text);
}

const char* AddressSourceDesc(ADDRESS_SOURCE source) {
    return CAddressHandler::SourceDesc(source);
}

int AddressSourceSortOrder(ADDRESS_SOURCE source) {
    return CAddressHandler::SortOrder(source);
}

void SetFriendsUI(const SFriendsUI* ui) {
    s_ui.store(ui);
}

void FRRunWizard(int always) {
    if (!always) {
        CRegistryKey key;
        DWORD ran = 0;
        if (key.Open(HKEY_CURRENT_USER, kSettingsKey, KEY_READ) &&
            key.QueryValue("RanWizard", ran) && ran != 0)
            return;
    }
    const SFriendsUI* ui = s_ui.load();
    if (ui == nullptr || ui->runWizard == nullptr || !ui->runWizard())
        return;
    CRegistryKey key;
    if (key.OpenCarefully(HKEY_CURRENT_USER, kSettingsKey))
        key.SetValue("RanWizard", 1);
}

int InvokeAddUI() {
    const SFriendsUI* ui = s_ui.load();
    return ui != nullptr && ui->invokeAdd != nullptr ? ui->invokeAdd() : 2;
}

int InvokeAddCompanyUI() {
    const SFriendsUI* ui = s_ui.load();
    return ui != nullptr && ui->invokeAddCompany != nullptr ? ui->invokeAddCompany() : 2;
}

void* GetFriendsPage(int which) {
    const SFriendsUI* ui = s_ui.load();
    if (which < 0 || which > 2 || ui == nullptr || ui->getFriendsPage == nullptr)
        return nullptr;
    return ui->getFriendsPage(which);
}
