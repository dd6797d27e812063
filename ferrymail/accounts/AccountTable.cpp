#include "ferrymail/accounts/AccountTable.h"

#include <algorithm>
#include <map>
#include <unordered_map>
#include <utility>

#include "kinbook/foundation/HostNames.h"
#include "kinbook/foundation/RegistryKey.h"
#include "kinbook/foundation/Sync.h"
#include "kinbook/foundation/TextHelpers.h"

namespace {

constexpr const char kClientsKey[] = "Software\\Brevant\\Quillon\\Clients";
constexpr const char kProxySettingsKey[] = "Software\\Brevant\\Quillon\\Settings\\POP3Proxy";

// What is known of one server name: resolved (its addresses are entered), or not yet,
// with the time of the last failed lookup.
struct SNameState {
    bool resolved = false;
    bool failed = false;
    AccountTableClock::result_type failedAt{};
};

struct SAccountTable {
    CCritical lock;
    std::vector<CAccountData*> records;                      // guarded by lock
    std::unordered_map<std::string, SNameState> names;       // guarded by lock
    std::map<uint32_t, std::vector<std::string>> addresses;  // guarded by lock
    MailClientAccountSource source;                          // guarded by lock
    HostResolver resolver;                                   // guarded by lock
    AccountTableClock clock;                                 // guarded by lock
};

// One lookup made outside the table lock.
struct SLookup {
    std::string host;
    std::vector<uint32_t> found;
    bool resolved = false;
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

void NoteServerName(SAccountTable& table, const std::string& host) {
    if (!host.empty())
        table.names.try_emplace(host);
}

void AddRecord(SAccountTable& table, CAccountData* record) {
    NoteServerName(table, record->m_serverName);
    if (SameNoCase(record->m_serverName, "localhost")) {
        // A client that reaches its server through a local tunnel names the real server
        // after the user name: user/host.
        size_t slash = record->m_userName.find('/');
        if (slash != std::string::npos)
            NoteServerName(table, record->m_userName.substr(slash + 1));
    }
    record->AddRef();
    table.records.push_back(record);
}

void ClearRecords(SAccountTable& table, bool alsoAddressCache) {
    for (CAccountData* record : table.records)
        CRefCount::DoRelease(record);
    table.records.clear();
    if (alsoAddressCache) {
        table.names.clear();
        table.addresses.clear();
    }
}

bool ClientKnown(const SAccountTable& table, const std::string& client) {
    for (const CAccountData* record : table.records)
        if (SameNoCase(record->m_programName, client) || SameNoCase(record->m_registryName, client))
            return true;
    return false;
}

// An unknown "TLS" text counts as none given: the default then is never plain text.
void ReadTLSSettings(CRegistryKey& account, CAccountData* record) {
    std::string mode;
    record->m_tlsModeSet = account.QueryValue("TLS", mode) && ParseTLSMode(mode, record->m_tlsMode);
    if (!account.QueryValue("TLSCAFile", record->m_tlsCAFile))
        record->m_tlsCAFile.clear();
    int insecure = 0;
    account.QueryValue("TLSInsecure", insecure, TRUE);
    record->m_tlsInsecure = insecure != 0;
}

// The outgoing server of a registered account; a port out of range reads as the default.
void ReadSMTPServer(CRegistryKey& account, CAccountData* record) {
    std::string server;
    int port = kSMTPDefaultPort;
    if (!account.QueryValue("SMTPServer", server))
        return;
    if (!account.QueryValue("SMTPServerPort", port, FALSE))
        port = kSMTPDefaultPort;
    record->SetSMTPServer(server, port);
}

// `server` is `domain` or a host inside it.
bool HostInDomain(const std::string& server, const std::string& domain) {
    if (domain.empty() || server.size() < domain.size())
        return false;
    const std::string tail = server.substr(server.size() - domain.size());
    return SameNoCase(tail, domain) &&
           (server.size() == domain.size() || server[server.size() - domain.size() - 1] == '.');
}

// The one record of `candidates` (null when none or several), with a reference.
CAccountData* TakeOnly(const std::vector<CAccountData*>& candidates) {
    if (candidates.size() != 1)
        return nullptr;
    candidates.front()->AddRef();
    return candidates.front();
}

void LoadRegisteredAccounts(SAccountTable& table) {
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
            ReadTLSSettings(account, record);
            ReadSMTPServer(account, record);
            AddRecord(table, record);
        }
    }
}

void LoadLocked(SAccountTable& table) {
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
            AddRecord(table, record);
        }
    }
    LoadRegisteredAccounts(table);
}

bool ClientMatches(const CAccountData* record, const char* client) {
    return client != nullptr && (record->m_programName == client || record->m_registryName == client);
}

AccountTableClock::result_type Now(const SAccountTable& table) {
    return table.clock ? table.clock() : std::chrono::steady_clock::now();
}

// The names to look up: not resolved, and not failed within kFailedLookupMemory.
std::vector<SLookup> NamesToResolve(const SAccountTable& table) {
    std::vector<SLookup> lookups;
    const auto now = Now(table);
    for (const auto& [host, state] : table.names) {
        if (!state.resolved && (!state.failed || now - state.failedAt >= kFailedLookupMemory))
            lookups.push_back(SLookup{host, {}, false});
    }
    return lookups;
}

void EnterLookups(SAccountTable& table, const std::vector<SLookup>& lookups) {
    const auto now = Now(table);
    for (const SLookup& lookup : lookups) {
        SNameState& state = table.names[lookup.host];
        if (lookup.resolved) {
            EnterHost(table, lookup.host, lookup.found);
            state = SNameState{true, false, {}};
        } else if (!state.resolved) {
            state = SNameState{false, true, now};
        }
    }
}

// Rebuilds the records and resolves the names that need it. The name service is asked
// with the table lock released: a slow or hanging lookup must not stop other sessions.
void LoadAndResolve(SAccountTable& table) {
    std::vector<SLookup> lookups;
    HostResolver resolver;
    {
        CLock lock(&table.lock);
        LoadLocked(table);
        lookups = NamesToResolve(table);
        resolver = table.resolver;
    }
    if (lookups.empty())
        return;
    for (SLookup& lookup : lookups) {
        lookup.resolved = resolver ? resolver(lookup.host, lookup.found)
                                   : ResolveHostIPv4(lookup.host, lookup.found);
        lookup.resolved = lookup.resolved && !lookup.found.empty();
    }
    CLock lock(&table.lock);
    EnterLookups(table, lookups);
}

// Replaces one of the table's installed functions under its lock.
template <typename Function>
void Install(Function SAccountTable::*member, Function function) {
    SAccountTable& table = Table();
    CLock lock(&table.lock);
    table.*member = std::move(function);
}

}  // namespace

void SetMailClientAccountSource(MailClientAccountSource source) {
    Install(&SAccountTable::source, std::move(source));
}

void SetHostResolver(HostResolver resolver) {
    Install(&SAccountTable::resolver, std::move(resolver));
}

void SetAccountTableClock(AccountTableClock clock) {
    Install(&SAccountTable::clock, std::move(clock));
}

void LoadAccountTable(BOOL resolve) {
    SAccountTable& table = Table();
    if (resolve) {
        LoadAndResolve(table);
        return;
    }
    CLock lock(&table.lock);
    LoadLocked(table);
}

CAccountData* FindAccountByAddress(uint32_t address, const char* user, const char* client) {
    SAccountTable& table = Table();
    LoadAndResolve(table);
    CLock lock(&table.lock);
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
    LoadAndResolve(table);
    CLock lock(&table.lock);
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

namespace {

// The first record of the loaded table that `matches`, with a reference for the caller.
template <typename Match>
CAccountData* FindFirstAccount(Match matches) {
    SAccountTable& table = Table();
    CLock lock(&table.lock);
    LoadLocked(table);
    for (CAccountData* record : table.records) {
        if (matches(*record)) {
            record->AddRef();
            return record;
        }
    }
    return nullptr;
}

}  // namespace

CAccountData* FindAccountByHostPort(const char* host, int port, const char* user) {
    if (host == nullptr || user == nullptr)
        return nullptr;
    return FindFirstAccount([&](const CAccountData& record) {
        return record.m_serverPort == port && SameNoCase(record.m_serverName, host) &&
               record.m_userName == user;
    });
}

CAccountData* FindAccountBySMTPServer(const char* host, int port, const char* user) {
    if (host == nullptr || user == nullptr)
        return nullptr;
    return FindFirstAccount([&](const CAccountData& record) {
        return record.HasSMTPServer() && record.GetSMTPServerPort() == port &&
               SameNoCase(record.GetSMTPServer(), host) && record.m_userName == user;
    });
}

CAccountData* FindAccountForSMTPSender(const std::string& sender) {
    SAccountTable& table = Table();
    CLock lock(&table.lock);
    LoadLocked(table);
    const size_t at = sender.rfind('@');
    const std::string local = at == std::string::npos ? sender : sender.substr(0, at);
    const std::string domain = at == std::string::npos ? std::string() : sender.substr(at + 1);
    std::vector<CAccountData*> byAddress, byDomain, all;
    for (CAccountData* record : table.records) {
        if (!record->HasSMTPServer())
            continue;
        all.push_back(record);
        if (!sender.empty() && SameNoCase(record->m_userName, sender))
            byAddress.push_back(record);
        else if (!local.empty() && SameNoCase(record->m_userName, local) &&
                 HostInDomain(record->GetSMTPServer(), domain))
            byDomain.push_back(record);
    }
    if (!byAddress.empty())
        return TakeOnly(byAddress);
    if (!byDomain.empty())
        return TakeOnly(byDomain);
    return TakeOnly(all);
}

const char* TLSModeName(ETLSMode mode) {
    switch (mode) {
        case ETLSMode::kPOP3S:
            return "pop3s";
        case ETLSMode::kSTLS:
            return "stls";
        case ETLSMode::kNone:
            return "none";
    }
    return "stls";
}

bool ParseTLSMode(const std::string& text, ETLSMode& mode) {
    for (ETLSMode candidate : {ETLSMode::kPOP3S, ETLSMode::kSTLS, ETLSMode::kNone}) {
        if (SameNoCase(text, TLSModeName(candidate))) {
            mode = candidate;
            return true;
        }
    }
    return false;
}

ETLSMode DefaultTLSMode(int port) {
    return port == 995 ? ETLSMode::kPOP3S : ETLSMode::kSTLS;
}

ETLSMode GetServerTLSMode(const CAccountData* account, int port, std::string* badSetting) {
    if (account != nullptr && account->m_tlsModeSet)
        return account->m_tlsMode;
    ETLSMode mode = DefaultTLSMode(port);
    CRegistryKey settings;
    std::string text;
    if (settings.Open(HKEY_CURRENT_USER, kProxySettingsKey, KEY_READ) &&
        settings.QueryValue("ServerTLS", text) && !ParseTLSMode(text, mode) &&
        badSetting != nullptr)
        *badSetting = text;
    return mode;
}

std::string GetGlobalTLSCAFile() {
    CRegistryKey settings;
    std::string file;
    if (!settings.Open(HKEY_CURRENT_USER, kProxySettingsKey, KEY_READ) ||
        !settings.QueryValue("TLSCAFile", file))
        file.clear();
    return file;
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
