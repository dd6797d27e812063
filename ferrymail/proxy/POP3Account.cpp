#include "proxy/POP3Account.h"

#include <cstdarg>
#include <cstdio>

#include "ferrymail/accounts/AccountTable.h"
#include "ferrymail/store/FerrymailStrings.h"
#include "ferrymail/store/MessageDatabase.h"
#include "ferrymail/proxy/ProxySettings.h"
#include "kinbook/foundation/StringTable.h"
#include "proxy/POP3Synchronizer.h"

namespace {

constexpr const char kDirectClient[] = "Direct client";

}  // namespace

CPOP3Account::CPOP3Account(IPOP3SessionHost& host, CPOP3Synchronizer& sync,
                           CProxySettings& settings, void* values)
    : m_host(host),
      m_sync(sync),
      m_settings(settings),
      m_values(values),
      m_clientName(kDirectClient) {}

CPOP3Account::~CPOP3Account() {
    CRefCount::DoRelease(m_account);
}

void CPOP3Account::Post(UINT id, ...) {
    std::string format;
    if (!LoadLocalString(GetFerrymailModule(), id, format))
        return;
    char text[2048];
    va_list arguments;
    va_start(arguments, id);
    std::vsnprintf(text, sizeof text, format.c_str(), arguments);
    va_end(arguments);
    m_host.Notify(static_cast<UINT>((m_sync.StoreID() << 16) | MN_NEW_STATE), std::string(text));
}

void CPOP3Account::PostAboutAccount(UINT id) {
    if (m_account != nullptr)
        Post(id, m_userName.c_str(), m_account->m_serverName.c_str());
}

void CPOP3Account::Find(const SPOP3Command& command, uint32_t serverAddress) {
    const std::string& argument = command.argument;
    Post(20107);
    CAccountData* account = nullptr;
    const size_t slash = argument.find('/');
    if (command.Is(EPOP3Command::kUser) && slash != std::string::npos && slash > 0) {
        m_userName = argument.substr(0, slash);
        account = FindAccountByServer(argument.substr(slash + 1).c_str(), m_userName.c_str(),
                                      m_clientName.c_str());
    } else {
        if (command.Is(EPOP3Command::kUser)) {
            m_userName = argument;
        } else {
            const size_t blank = argument.find_first_of(" \t");
            m_userName = blank == std::string::npos ? std::string() : argument.substr(0, blank);
        }
        account = FindAccountByAddress(serverAddress, m_userName.c_str(), m_clientName.c_str());
    }
    Take(account);
}

void CPOP3Account::Take(CAccountData* account) {
    if (account == nullptr) {
        Post(20111, m_clientName.c_str(), m_userName.c_str());
        m_filtering = false;
        return;
    }
    CRefCount::DoRelease(m_account);
    m_account = account;  // the lookup's reference
    m_filtering = IsAccountEnabled(account);
    Post(m_filtering ? 20108 : 20109, m_clientName.c_str(), m_userName.c_str(),
         account->m_serverName.c_str());
    if (!m_filtering)
        return;
    const std::string specific = m_userName + "-" + account->m_serverName;
    m_settings.ReloadSettings(specific.c_str(), m_values);
}

bool CPOP3Account::OpenStore(bool report) {
    if (m_account == nullptr || !m_filtering)
        return true;
    if (!m_sync.OpenStore(m_account)) {
        if (!report)
            return false;
        std::string format;
        char text[1024] = "";
        if (LoadLocalString(GetFerrymailModule(), 20110, format))
            std::snprintf(text, sizeof text, format.c_str(), m_userName.c_str(),
                          m_account->m_serverName.c_str());
        m_host.Notify(static_cast<UINT>(MN_ERROR), std::string(text));
        return false;
    }
    PostAboutAccount(20118);
    return true;
}
