// The process-wide table of the user's mail accounts: the accounts of the installed mail
// clients and those registered under "Software\Brevant\Quillon\Clients", with a cache of
// the IPv4 addresses of their servers. Every call takes the table lock and may be made
// from any thread; names are looked up with the lock released. Records handed out carry
// a reference the caller drops with DoRelease.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ferrymail/accounts/AccountData.h"
#include "ferrymail/ferrymail_export.h"
#include "kinbook/foundation/Types.h"

// An account of an installed mail client, as the mail-client enumeration reports it.
struct SMailClientAccount {
    std::string description;
    std::string accountName;
    std::string programName;
    std::string registryName;
    std::string serverName;
    std::string userName;
    int accountValue = 0;
    int serverPort = 110;
    bool isPOP3 = true;
    bool leaveMailOnServer = false;
};

// Lists the accounts of the installed mail clients; until one is installed there are none.
using MailClientAccountSource = std::function<std::vector<SMailClientAccount>()>;
FERRYMAIL_API void SetMailClientAccountSource(MailClientAccountSource source);

// Resolves a host name to IPv4 addresses (network order); false when it cannot. The
// default asks getaddrinfo; tests install their own.
using HostResolver = std::function<bool(const std::string& host, std::vector<uint32_t>& addresses)>;
FERRYMAIL_API void SetHostResolver(HostResolver resolver);

// The clock that times the memory of failed lookups (steady clock when unset); tests
// install their own.
using AccountTableClock = std::function<std::chrono::steady_clock::time_point()>;
void SetAccountTableClock(AccountTableClock clock);
// A name whose lookup failed is not asked again for this long.
constexpr std::chrono::seconds kFailedLookupMemory{30};

// Rebuilds the records; with `resolve` the server names not yet resolved are resolved
// (except those that failed within kFailedLookupMemory).
FERRYMAIL_API void LoadAccountTable(BOOL resolve);
// The account whose server resolves to `address` (network order) for this user and mail
// client, or null.
FERRYMAIL_API CAccountData* FindAccountByAddress(uint32_t address, const char* user,
                                                 const char* client);
// The account on server `server` for this user and mail client, or null.
FERRYMAIL_API CAccountData* FindAccountByServer(const char* server, const char* user,
                                                const char* client);
// The registered account of `user` on `host` (any case) and `port`, or null; names are
// not resolved.
CAccountData* FindAccountByHostPort(const char* host, int port, const char* user);
// The account whose outgoing server is `host` (any case) on `port`, for `user`, or null.
FERRYMAIL_API CAccountData* FindAccountBySMTPServer(const char* host, int port, const char* user);
// The account that sends mail from `sender` (an envelope address), among those with an
// outgoing server: the one whose user name is the address (any case); else the one whose
// user name is the address's local part and whose outgoing server lies in the address's
// domain (smtp.example.org for anna@example.org); else the only account with an outgoing
// server. Null when none or several fit.
FERRYMAIL_API CAccountData* FindAccountForSMTPSender(const std::string& sender);
// Calls `callback` with each record in order until it returns non-zero; returns that value.
FERRYMAIL_API int EnumAccountData(int (*callback)(CAccountData* account, void* parameter),
                                  void* parameter);
// The TLS mode for a server on `port`: the one `account` names (may be null), else the
// POP3Proxy setting "ServerTLS", else DefaultTLSMode. A "ServerTLS" that is no mode is
// logged through `badSetting` (may be null) and counts as not set.
FERRYMAIL_API ETLSMode GetServerTLSMode(const CAccountData* account, int port,
                                        std::string* badSetting = nullptr);
// The POP3Proxy setting "TLSCAFile", or empty.
std::string GetGlobalTLSCAFile();
// Releases every record; with `alsoAddressCache` also forgets resolved names.
FERRYMAIL_API void ClearAccountTable(BOOL alsoAddressCache);
// Whether Quillon filters this account (default yes); asked once per record.
FERRYMAIL_API bool IsAccountEnabled(CAccountData* account);

// The host names that resolved to `address`, sorted (for the session's log lines).
std::vector<std::string> GetAccountHostsForAddress(uint32_t address);
