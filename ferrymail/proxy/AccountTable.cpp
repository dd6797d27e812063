#include "ferrymail/AccountTable.h"

#include <algorithm>
#include <map>
#include <unordered_map>

#include "kinbook/HostNames.h"
#include "kinbook/RegistryKey.h"
#include "kinbook/Sync.h"
#include "kinbook/TextHelpers.h"

namespace {

constexpr const char kClientsKey[] = "Software\\Brevant\\Quillon\\Clients";

struct SAccountTable {
    CCritical lock;
    std::vector<CAccountData*> records;                      // guarded by lock
    std::unordered_map<std::string, bool> nameResolved;      // guarded by lock
    std::map<uint32_t, std::vector<std::string>> addresses;  // guarded by lock
    MailClientAccountSource source;                          // guarded by lock
    HostResolver resolver;                                   // guarded by lock
};

SAccountTable& Table() {
    static SAccountTable* table = new SAccountTable;  // lives until the process ends
    return *table;
}

bool SameNoCase(const std::string& a, const std::string& b) {
    return CompareNoCase(a.c_str(), b.c_str()) == 0;
}

// Enters `host` in the address lists of `addresses`, sorted without regard to case and
// without repeats.
void EnterHost(SAccountTable& table, const std::string& host, const std::vector<uint32_t>& found) {
    for (uint32_t address : found) {
        std::vector<std::string>& hosts = table.addresses[address];
        auto at = std::lower_bound(hosts.begin(), hosts.end(), host,
                                   [](const std::string& a, const std::string& b) {
                                       return CompareNoCase(a.c_str(), b.c_str()) < 0;
                                   });
        if (at == hosts.end() || !SameNoCase(*at, host))
            hosts.insert(at, host);
    }
}

void NoteServerName(SAccountTable& table, const std::string& host, bool resolve) {
    if (host.empty())
        return;
    auto known = table.nameResolved.find(host);
    if (known != table.nameResolved.end() && known->second)
        return;
    if (!resolve) {
        table.nameResolved.emplace(host, false);
        return;
    }
    std::vector<uint32_t> found;
    bool resolved = table.resolver ? table.resolver(host, found) : ResolveHostIPv4(host, found);
    resolved = resolved && !found.empty();
    if (resolved)
        EnterHost(table, host, found);
    table.nameResolved[host] = resolved;
}

void AddRecord(SAccountTable& table, CAccountData* record, bool resolve) {
    NoteServerName(table, record->m_serverName, resolve);
    if (SameNoCase(record->m_serverName, "localhost")) {
        // A client that reaches its server through a local tunnel names the real server
        // after the user name: user/host.
        size_t slash = record->m_userName.find('/');
        if (slash != std::string::npos)
            NoteServerName(table, record->m_userName.substr(slash + 1), resolve);
    }
    record->AddRef();
    table.records.push_back(record);
}

void ClearRecords(SAccountTable& table, bool alsoAddressCache) {
    for (CAccountData* record : table.records)
        CRefCount::DoRelease(record);
    table.records.clear();
    if (alsoAddressCache) {
        table.nameResolved.clear();
        table.addresses.clear();
    }
}

bool ClientKnown(const SAccountTable& table, const std::string& client) {
    for (const CAccountData* record : table.records)
        if (SameNoCase(record->m_programName, client) || SameNoCase(record->m_registryName, client))
            return true;
    return false;
}

void LoadRegisteredAccounts(SAccountTable& table, bool resolve) {
    CRegistryKey clients;
    if (!clients.Open(HKEY_CURRENT_USER, kClientsKey, KEY_READ))
        return;
    // Clients already known from the mail-client enumeration are taken from there.
    std::vector<std::string> clientNames;
    BOOL done = FALSE;
    std::string name;
    for (DWORD index = 0; clients.EnumKey(index, name, done); ++index)
        if (!ClientKnown(table, name))
            clientNames.push_back(name);
    for (const std::string& clientName : clientNames) {
        CRegistryKey client;
        if (!client.Open(clients, clientName.c_str(), KEY_READ))
            continue;
        std::string accountName;
        BOOL accountsDone = FALSE;
        for (DWORD index = 0; client.EnumKey(index, accountName, accountsDone); ++index) {
            CRegistryKey account;
            std::string server, user;
            if (!account.Open(client, accountName.c_str(), KEY_READ) ||
                !account.QueryValue("ServerName", server) || !account.QueryValue("UserName", user))
                continue;
            int port = 110;
            if (!account.QueryValue("ServerPort", port, FALSE))
                port = 110;
            CAccountData* record = new CAccountData;
            record->m_description = accountName;
            record->m_accountName = accountName;
            record->m_programName = clientName;
            record->m_registryName = clientName;
            record->m_serverName = server;
            record->m_userName = user;
            record->m_serverPort = port;
            record->m_isPOP3 = true;
            record->m_leaveMailOnServer = false;
            AddRecord(table, record, resolve);
        }
    }
}

void LoadLocked(SAccountTable& table, bool resolve) {
    ClearRecords(table, false);
    if (table.source) {
        for (const SMailClientAccount& account : table.source()) {
            if (!account.isPOP3)
                continue;
            CAccountData* record = new CAccountData;
            record->m_description = account.description;
            record->m_accountName = account.accountName;
            record->m_programName = account.programName;
            record->m_registryName = account.registryName;
            record->m_serverName = account.serverName;
            record->m_userName = account.userName;
            record->m_accountValue = account.accountValue;
            record->m_serverPort = account.serverPort;
            record->m_isPOP3 = true;
            record->m_leaveMailOnServer = account.leaveMailOnServer;
            AddRecord(table, record, resolve);
        }
    }
    LoadRegisteredAccounts(table, resolve);
}

bool ClientMatches(const CAccountData* record, const char* client) {
    return client != nullptr && (record->m_programName == client || record->m_registryName == client);
}

}  // namespace

void SetMailClientAccountSource(MailClientAccountSource source) {
    SAccountTable& table = Table();
    CLock lock(&table.lock);
    table.source = std::move(source);
}

void SetHostResolver(HostResolver resolver) {
    SAccountTable& table = Table();
    CLock lock(&table.lock);
    table.resolver = std::move(resolver);
}

void LoadAccountTable(BOOL resolve) {
    SAccountTable& table = Table();
    CLock lock(&table.lock);
    LoadLocked(table, resolve != FALSE);
}

CAccountData* FindAccountByAddress(uint32_t address, const char* user, const char* client) {
    SAccountTable& table = Table();
    CLock lock(&table.lock);
    LoadLocked(table, true);
    auto found = table.addresses.find(address);
    if (found == table.addresses.end() || found->second.empty() || user == nullptr)
        return nullptr;
    const std::vector<std::string>& hosts = found->second;
    std::string combined = std::string(user) + "/" + hosts.front();
    for (CAccountData* record : table.records) {
        bool byServer = ClientMatches(record, client) &&
                        std::find(hosts.begin(), hosts.end(), record->m_serverName) != hosts.end() &&
                        record->m_userName == user;
        if (byServer || record->m_userName == combined) {
            record->AddRef();
            return record;
        }
    }
    return nullptr;
}

CAccountData* FindAccountByServer(const char* server, const char* user, const char* client) {
    SAccountTable& table = Table();
    CLock lock(&table.lock);
    LoadLocked(table, true);
    if (server == nullptr || user == nullptr)
        return nullptr;
    std::string combined = std::string(user) + "/" + server;
    for (CAccountData* record : table.records) {
        bool byServer = ClientMatches(record, client) && record->m_serverName == server &&
                        record->m_userName == user;
        if (byServer || record->m_userName == combined) {
            record->AddRef();
            return record;
        }
    }
    return nullptr;
}

int EnumAccountData(int (*callback)(CAccountData* account, void* parameter), void* parameter) {
    SAccountTable& table = Table();
    CLock lock(&table.lock);
    for (CAccountData* record : table.records) {
        record->AddRef();
        int result = callback(record, parameter);
        CRefCount::DoRelease(record);
        if (result != 0)
            return result;
    }
    return 0;
}

void ClearAccountTable(BOOL alsoAddressCache) {
    SAccountTable& table = Table();
    CLock lock(&table.lock);
    ClearRecords(table, alsoAddressCache != FALSE);
}

bool IsAccountEnabled(CAccountData* account) {
    SAccountTable& table = Table();
    CLock lock(&table.lock);
    if (account->m_enabledKnown)
        return account->m_enabled;
    account->m_enabled = true;
    account->m_enabledKnown = true;
    CRegistryKey client;
    std::string clientPath = std::string(kClientsKey) + "\\" + account->m_registryName;
    if (account->m_registryName.empty() || !client.Open(HKEY_CURRENT_USER, clientPath.c_str(), KEY_READ))
        return true;
    std::string name;
    BOOL done = FALSE;
    for (DWORD index = 0; client.EnumKey(index, name, done); ++index) {
        if (name != account->m_description)
            continue;
        CRegistryKey entry;
        std::string server, user;
        if (!entry.Open(client, name.c_str(), KEY_READ) || !entry.QueryValue("ServerName", server) ||
            !entry.QueryValue("UserName", user) || server != account->m_serverName ||
            user != account->m_userName)
            continue;
        DWORD enabled = 1;
        if (entry.QueryValue("IsEnabled", enabled))
            account->m_enabled = enabled != 0;
        break;
    }
    return account->m_enabled;
}

std::vector<std::string> GetAccountHostsForAddress(uint32_t address) {
    SAccountTable& table = Table();
    CLock lock(&table.lock);
    auto found = table.addresses.find(address);
    return found != table.addresses.end() ? found->second : std::vector<std::string>();
}
