// Who a POP3 session's client is: its name (from the CONNECT line, or "Direct client"),
// its user name, the account the account table finds for it and whether that account
// is filtered. Taking a filtered account opens its store and loads the account's own
// settings; the user interface hears of each step.
#pragma once

#include <cstdint>
#include <string>

#include "kinbook/foundation/Types.h"
#include "proxy/POP3Command.h"
#include "proxy/POP3SessionHost.h"

class CAccountData;
class CPOP3Synchronizer;
class CProxySettings;

class CPOP3Account {
public:
    // `settings` and `values` are the session's settings, reloaded for the account.
    CPOP3Account(IPOP3SessionHost& host, CPOP3Synchronizer& sync, CProxySettings& settings,
                 void* values);
    ~CPOP3Account();
    CPOP3Account(const CPOP3Account&) = delete;
    CPOP3Account& operator=(const CPOP3Account&) = delete;

    const std::string& ClientName() const { return m_clientName; }
    void SetClientName(const std::string& name) { m_clientName = name; }
    const std::string& UserName() const { return m_userName; }
    void SetUserName(const std::string& name) { m_userName = name; }
    bool IsFiltering() const { return m_filtering; }

    // USER or APOP in the authorization state: looks the account up (by the host of a
    // user/host argument, else by the connected server's address) and takes it. Its
    // store is not opened here: a client that never logs in must not hold it.
    void Find(const SPOP3Command& command, uint32_t serverAddress);
    // The server accepted the log-in: the filtered account's store is opened for this
    // session. False while another session holds it (`report`: the user interface
    // hears of it).
    bool OpenStore(bool report);
    // Posts a text of the string table formatted with the arguments.
    void Post(UINT id, ...);
    // Posts a text that names the user and the account's server (none without one).
    void PostAboutAccount(UINT id);

private:
    void Take(CAccountData* account);

    IPOP3SessionHost& m_host;
    CPOP3Synchronizer& m_sync;
    CProxySettings& m_settings;
    void* m_values;
    std::string m_clientName;
    std::string m_userName;
    CAccountData* m_account = nullptr;  // one reference
    bool m_filtering = false;
};
