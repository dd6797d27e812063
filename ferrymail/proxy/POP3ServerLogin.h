// Reaching the real server and logging in to it, for one POP3 session: the connect
// (CPOP3Login), securing it (CServerTLS), a named host's capabilities before the log-in,
// the commands of the authorization state (USER/PASS and APOP relayed, SASL passed
// through by CSASLRelay, its first response rewritten for the server) and the account's
// store, taken once the server has accepted the log-in. It answers the client itself
// where it can and returns what is left for the session as a step; the session's
// client command, where one is passed in, is reset when answered here and replaced by
// the line for the server before kRelay. Owned by the session, used by its thread.
#pragma once

#include <string>
#include <vector>

#include "proxy/POP3Command.h"
#include "proxy/POP3Login.h"
#include "proxy/POP3SessionHost.h"
#include "proxy/SASLRelay.h"
#include "proxy/ServerTLS.h"

class CLogger;
class CPOP3Account;
class CPOP3Capabilities;

class CPOP3ServerLogin {
public:
    // What the session does next (the numbers are its states).
    enum class EStep {
        kNone,             // nothing: the state stays
        kConnecting,       // 1: the connect is under way
        kSecuring,         // 1: STLS's reply or the handshake is awaited; the clock times it
        kConnected,        // 2: connected to a relayed destination
        kFailed,           // 0: no connection; the client's command is over
        kAskCapabilities,  // 2: the named host's capabilities are asked (into `capabilities`)
        kRelay,            // the client's command goes to the server
        kSynchronize,      // the store is taken: the synchronization holds TakeHeldReply()
        kEnd,              // the session ends (QUIT before a server; no store)
        kRefused,          // securing failed, the client has been told: 0, and the end
    };
    // How many seconds a log-in waits for another session of its account to end.
    static constexpr int kStoreWaitSeconds = 5;

    // `capabilities` receives what a named host offers before the log-in.
    CPOP3ServerLogin(IPOP3SessionHost& host, CLogger& log, CPOP3Account& account,
                     CPOP3Capabilities& capabilities);

    // A client line is a SASL response: to the proxy's challenge, or in an exchange with
    // the server, where it is relayed.
    bool TakesClientLine() const { return m_sasl.AwaitsFirstResponse() || m_sasl.IsExchanging(); }
    EStep OnClientLine(const std::string& line, SPOP3Command& client);
    // A client command in state 0 (no server): CONNECT and USER user/host[:port] connect,
    // AUTH starts a SASL log-in (and is reset at once), QUIT ends the session, anything
    // else is answered here. The session ends every command but CONNECT, whose reply is
    // the server's greeting.
    EStep OnCommand(SPOP3Command& client);
    // A client command in state 2 (authorization at the server). In named-host mode a
    // new USER or AUTH after a refusal goes to the same server, its user/host[:port]
    // rewritten to the user part; one that names another server is refused.
    EStep OnAuthorization(SPOP3Command& client);
    // The end of a connect that was under way (0: it succeeded).
    EStep OnConnect(int errorCode);
    // The TLS handshake with the server has ended (`error` empty: it succeeded).
    EStep OnSecured(const std::string& error);
    // STLS's reply or the handshake is awaited; OnTimeout ends that wait.
    bool IsSecuring() const { return m_tls.IsWaiting(); }
    EStep OnTimeout(int seconds);
    // A server line: true when it was taken here (a named host's greeting, the reply to
    // STLS, a SASL challenge), `step` then saying what follows. `ownCommandPending`: the
    // line answers one of the session's own commands.
    bool OnServerLine(const std::string& line, bool ownCommandPending, EStep& step);
    // The named host's capabilities (CAPA lines) before the log-in: the connection is
    // secured first when it must be, then the client's log-in goes on.
    EStep OnCapabilities(const std::vector<std::string>& lines, SPOP3Command& client);

    // "+OK" to the log-in of a filtered account whose store is not in step: the store is
    // taken, or the reply held (the clock running) while another session has it.
    EStep TakeStore(const std::string& reply, SPOP3Command& client);
    bool HoldsReply() const { return !m_heldReply.empty(); }
    // A clock tick while the reply is held.
    EStep OnStoreClock(SPOP3Command& client);
    std::string TakeHeldReply();

private:
    EStep AfterConnect(CPOP3Login::EStep step);
    // A step of securing the connection: `next` when it goes on.
    EStep AfterTLS(CServerTLS::EStep step, EStep next);
    EStep AfterFirstResponse(const std::string& reply, SPOP3Command& client);
    EStep LogIn(SPOP3Command& client);
    EStep AuthenticateAtServer(const std::string& user, SPOP3Command& client);
    EStep RenamedUser(SPOP3Command& client);
    void RefuseOtherServer(const std::string& refusal);
    void Send(const std::string& line);

    IPOP3SessionHost& m_host;
    CLogger& m_log;
    CPOP3Account& m_account;
    CPOP3Capabilities& m_capabilities;
    CServerTLS m_tls;
    CSASLRelay m_sasl;
    CPOP3Login m_login;
    bool m_greetingSeen = false;
    // The server's "+OK" to the log-in, held while another session has the store.
    std::string m_heldReply;
    int m_storeWaits = 0;  // clock ticks spent waiting for the store
};
