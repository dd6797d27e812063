#include "proxy/POP3ServerLogin.h"

#include <utility>

#include "ferrymail/proxy/Logger.h"
#include "proxy/POP3Account.h"
#include "proxy/POP3Capabilities.h"

CPOP3ServerLogin::CPOP3ServerLogin(IPOP3SessionHost& host, CLogger& log, CPOP3Account& account,
                                   CPOP3Capabilities& capabilities)
    : m_host(host),
      m_log(log),
      m_account(account),
      m_capabilities(capabilities),
      m_tls(host, log),
      m_login(host, log, account, m_tls) {}

void CPOP3ServerLogin::Send(const std::string& line) {
    const std::string text = line + "\r\n";
    m_host.SendClient(text.data(), text.size());
}

// ---------------------------------------------------------------------------------------
// Reaching the server and securing the connection.

CPOP3ServerLogin::EStep CPOP3ServerLogin::OnCommand(SPOP3Command& client) {
    if (!client.Is(EPOP3Command::kAuth))
        return AfterConnect(m_login.OnCommand(client));
    const std::string reply = m_sasl.OnAuth(client.argument);
    client.Reset();
    return AfterFirstResponse(reply, client);
}

CPOP3ServerLogin::EStep CPOP3ServerLogin::OnConnect(int errorCode) {
    return AfterConnect(m_login.OnConnect(errorCode));
}

CPOP3ServerLogin::EStep CPOP3ServerLogin::AfterConnect(CPOP3Login::EStep step) {
    switch (step) {
        case CPOP3Login::EStep::kNone:
            return EStep::kNone;
        case CPOP3Login::EStep::kConnecting:
            return EStep::kConnecting;
        case CPOP3Login::EStep::kConnected:
            return EStep::kConnected;
        case CPOP3Login::EStep::kAskCapabilities:
            return AfterTLS(m_tls.OnConnected(), EStep::kAskCapabilities);
        case CPOP3Login::EStep::kFailed:
            return EStep::kFailed;
        case CPOP3Login::EStep::kEnd:
            return EStep::kEnd;
    }
    return EStep::kNone;
}

// While the connection is being secured the session counts as connecting: the client's
// log-in waits, and goes nowhere if securing fails. The clock times a server that
// answers neither STLS nor the handshake.
CPOP3ServerLogin::EStep CPOP3ServerLogin::AfterTLS(CServerTLS::EStep step, EStep next) {
    if (step == CServerTLS::EStep::kProceed) {
        if (m_tls.Mode() != ETLSMode::kNone)
            m_host.StopClock();
        return next;
    }
    if (step == CServerTLS::EStep::kWait) {
        m_host.StartClock();
        return EStep::kSecuring;
    }
    m_host.StopClock();
    Send(m_tls.Failure());
    return EStep::kRefused;
}

// The capabilities heard in clear before STLS are forgotten (RFC 2595): once secured,
// they are asked again.
CPOP3ServerLogin::EStep CPOP3ServerLogin::OnSecured(const std::string& error) {
    return AfterTLS(m_tls.OnHandshake(error), EStep::kAskCapabilities);
}

CPOP3ServerLogin::EStep CPOP3ServerLogin::OnTimeout(int seconds) {
    return AfterTLS(m_tls.OnTimeout(seconds), EStep::kAskCapabilities);
}

// In named-host mode the proxy asks the server's capabilities before it logs in: a server
// that does not offer PIPELINING gets one command at a time.
CPOP3ServerLogin::EStep CPOP3ServerLogin::OnCapabilities(const std::vector<std::string>& lines,
                                                         SPOP3Command& client) {
    const EStep step = AfterTLS(m_tls.OnCapabilities(lines), EStep::kRelay);
    if (step != EStep::kRelay)
        return step;
    for (const std::string& capability : lines) m_capabilities.Note(capability);
    m_capabilities.End(false);
    return LogIn(client);
}

bool CPOP3ServerLogin::OnServerLine(const std::string& line, bool ownCommandPending, EStep& step) {
    step = EStep::kNone;
    if (m_login.IsNamedHost() && !m_greetingSeen) {
        m_greetingSeen = true;
        return true;
    }
    if (m_tls.AwaitsReply()) {
        step = AfterTLS(m_tls.OnReply(line), EStep::kAskCapabilities);
        return true;
    }
    if (!m_sasl.IsExchanging() || ownCommandPending)
        return false;
    // The exchange's challenges go to the client (or are answered with the held first
    // response); "+OK" and "-ERR" end it and are the reply to the client's AUTH.
    return m_sasl.PassServerLine(
        line, [this](const std::string& answer) { m_host.SendServer(answer); },
        [this](const std::string& challenge) { Send(challenge); });
}

// ---------------------------------------------------------------------------------------
// The log-in at the server.

// The log-in goes on as the client asked, now that the server is known.
CPOP3ServerLogin::EStep CPOP3ServerLogin::LogIn(SPOP3Command& client) {
    if (m_sasl.IsStarted())
        return AuthenticateAtServer(m_account.UserName(), client);
    client = SPOP3Command::Parse("USER " + m_account.UserName());
    return OnAuthorization(client);
}

CPOP3ServerLogin::EStep CPOP3ServerLogin::OnAuthorization(SPOP3Command& client) {
    const EPOP3Command code = client.code;
    if (code == EPOP3Command::kPass || code == EPOP3Command::kQuit || code == EPOP3Command::kCapa)
        return EStep::kRelay;
    if (code == EPOP3Command::kAuth && m_login.IsNamedHost()) {
        // A new try after a refusal: the first response is rewritten as the first one was.
        const std::string reply = m_sasl.OnAuth(client.argument, true);
        client.Reset();
        return AfterFirstResponse(reply, client);
    }
    if (code == EPOP3Command::kAuth) {
        // The server is known (CONNECT): the exchange is relayed as it is (RFC 5034), the
        // account found by the user name of its first response.
        std::string user;
        if (m_sasl.RelayAuth(client.argument, user))
            m_account.Find(SPOP3Command::Parse("USER " + user), m_host.ServerAddress());
        return EStep::kRelay;
    }
    if (code != EPOP3Command::kUser && code != EPOP3Command::kApop) {
        client.Reset();
        Send("-ERR Illegal command in AUTHORIZATION state");
        return EStep::kNone;
    }
    if (code == EPOP3Command::kUser && m_login.IsNamedHost())
        return RenamedUser(client);
    m_account.Find(client, m_host.ServerAddress());
    return EStep::kRelay;
}

// Named-host mode: USER again (after a refusal) is for the server connected to.
CPOP3ServerLogin::EStep CPOP3ServerLogin::RenamedUser(SPOP3Command& client) {
    std::string user, refusal;
    if (!m_login.IsForServer(client.argument, user, refusal)) {
        client.Reset();
        RefuseOtherServer(refusal);
        return EStep::kNone;
    }
    if (user != client.argument)
        client = SPOP3Command::Parse("USER " + user);
    m_account.Find(client, m_host.ServerAddress());
    return EStep::kRelay;
}

CPOP3ServerLogin::EStep CPOP3ServerLogin::OnClientLine(const std::string& line,
                                                       SPOP3Command& client) {
    if (m_sasl.AwaitsFirstResponse())
        return AfterFirstResponse(m_sasl.OnClientResponse(line), client);
    std::string user;
    if (m_sasl.OnRelayedResponse(line, user))
        m_account.Find(SPOP3Command::Parse("USER " + user), m_host.ServerAddress());
    m_host.SendServer(line);
    return EStep::kNone;
}

// A challenge or a refusal goes to the client. Once the first response has named the
// server, the proxy connects to it as for USER user/host[:port]; when connected already,
// the log-in goes to that server if it is the one named.
CPOP3ServerLogin::EStep CPOP3ServerLogin::AfterFirstResponse(const std::string& reply,
                                                             SPOP3Command& client) {
    if (!reply.empty()) {
        Send(reply);
        return EStep::kNone;
    }
    if (m_sasl.IsForConnected()) {
        std::string user, refusal;
        if (m_login.IsForServer(m_sasl.LoginName(), user, refusal))
            return AuthenticateAtServer(user, client);
        m_sasl.Reset();
        RefuseOtherServer(refusal);
        return EStep::kNone;
    }
    const CPOP3Login::EStep step =
        m_login.OnCommand(SPOP3Command::Parse("USER " + m_sasl.LoginName()));
    if (step == CPOP3Login::EStep::kFailed)
        m_sasl.Reset();
    return AfterConnect(step);
}

// The refusal goes to the client as the answer to a command that is over, and the log
// says why at any level.
void CPOP3ServerLogin::RefuseOtherServer(const std::string& refusal) {
    m_log.LogFormat(LOG_INFO, "Log-in for another server than %s:%d refused",
                    m_login.ServerHost().c_str(), m_login.ServerPort());
    Send(refusal);
}

CPOP3ServerLogin::EStep CPOP3ServerLogin::AuthenticateAtServer(const std::string& user,
                                                               SPOP3Command& client) {
    m_account.Find(SPOP3Command::Parse("USER " + user), m_host.ServerAddress());
    client = SPOP3Command::Parse(m_sasl.ServerCommand(m_login.ServerHost(), m_login.ServerPort()));
    m_sasl.SetExchanging(true);
    return EStep::kRelay;
}

// ---------------------------------------------------------------------------------------
// The account's store.

// The store is taken once the server has accepted the log-in; while another session
// of the account has it, the reply is held (the client's command stays outstanding) a
// few seconds.
CPOP3ServerLogin::EStep CPOP3ServerLogin::TakeStore(const std::string& reply,
                                                    SPOP3Command& client) {
    m_heldReply = reply;
    if (m_account.OpenStore(false)) {
        // The reply is held while the store is brought in step.
        client.Reset();
        return EStep::kSynchronize;
    }
    m_storeWaits = 0;
    m_host.StartClock();
    return EStep::kNone;
}

CPOP3ServerLogin::EStep CPOP3ServerLogin::OnStoreClock(SPOP3Command& client) {
    const bool last = ++m_storeWaits >= kStoreWaitSeconds;
    const bool open = m_account.OpenStore(last);
    if (!open && !last)
        return EStep::kNone;
    m_host.StopClock();
    client.Reset();
    if (open)
        return EStep::kSynchronize;
    m_heldReply.clear();
    m_log.LogFormat(LOG_INFO, "Store of %s held by another session", m_account.UserName().c_str());
    Send("-ERR Quillon proxy couldn't open local store");
    return EStep::kEnd;
}

std::string CPOP3ServerLogin::TakeHeldReply() {
    return std::exchange(m_heldReply, std::string());
}
