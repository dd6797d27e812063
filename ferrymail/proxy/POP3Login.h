// Reaching the real server for a POP3 session: the CONNECT line of the relaying
// component, or a user name of the form user/host[:port] (named-host mode), and what the
// client is told while there is no server connection or while it is being made.
#pragma once

#include <string>

#include "proxy/POP3Command.h"
#include "proxy/POP3SessionHost.h"

class CLogger;
class CPOP3Account;
class CServerTLS;

class CPOP3Login {
public:
    // Where the session goes after a command or a connect.
    enum class EStep {
        kNone,             // answered; the state stays
        kConnecting,       // the connect is under way
        kConnected,        // connected to a relayed destination
        kAskCapabilities,  // connected to a named host, whose capabilities come first
        kFailed,           // no connection
        kEnd,              // QUIT: the session ends
    };

    CPOP3Login(IPOP3SessionHost& host, CLogger& log, CPOP3Account& account, CServerTLS& tls);

    bool IsNamedHost() const { return m_namedHost; }
    // Named-host mode: the host (without its port) and the port connected to.
    const std::string& ServerHost() const { return m_serverHost; }
    int ServerPort() const { return m_serverPort; }
    // Named-host mode, once connected: whether a user name given again, "user" or
    // "user/host[:port]", is for the server connected to (the host's case ignored, port
    // 110 when none is named); `user` receives its user part. False, with `refusal` the
    // line for the client (without CR LF), when it names another server.
    bool IsForServer(const std::string& name, std::string& user, std::string& refusal) const;
    // A command while there is no server connection.
    EStep OnCommand(const SPOP3Command& command);
    // The end of a connect that was under way (0: it succeeded).
    EStep OnConnect(int errorCode);

private:
    EStep ConnectNamedHost(const std::string& argument);
    EStep AfterConnect(int result);
    void Send(const std::string& text);

    IPOP3SessionHost& m_host;
    CLogger& m_log;
    CPOP3Account& m_account;
    CServerTLS& m_tls;
    std::string m_serverHost;  // named-host mode: the host without its port
    int m_serverPort = 0;
    bool m_namedHost = false;
};
