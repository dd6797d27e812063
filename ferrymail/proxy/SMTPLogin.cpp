#include "proxy/SMTPLogin.h"

#include "ferrymail/accounts/AccountTable.h"
#include "ferrymail/proxy/Logger.h"
#include "ferrymail/proxy/SMTPMessage.h"
#include "kinbook/foundation/TextHelpers.h"
#include "proxy/ProxyConnection.h"
#include "proxy/SMTPCapabilities.h"

CSMTPLogin::CSMTPLogin(ISMTPSessionHost& host, CLogger& log)
    : m_host(host), m_log(log), m_upstream(host, log), m_sasl(CSASLRelay::EProtocol::kSMTP) {}

void CSMTPLogin::BadSequence() {
    SendClient(m_extended ? "503 5.5.1 Bad sequence of commands" : "503 Bad sequence of commands");
}

CSMTPLogin::EStep CSMTPLogin::OnCommand(const SSMTPCommand& command) {
    switch (command.code) {
        case ESMTPCommand::kConnect: {
            const int result = m_host.ConnectRelayed(command.argument);
            if (result == CTS_PENDING)
                return EStep::kConnecting;
            if (result != CTS_CONNECTED)
                return EStep::kNone;
            SendClient("0");
            m_log.LogFormat(LOG_INFO, "Connection completed");
            return EStep::kConnected;
        }
        case ESMTPCommand::kEhlo:
        case ESMTPCommand::kHelo:
            Greet(command);
            return EStep::kNone;
        case ESMTPCommand::kAuth:
            return StartAuth(command);
        case ESMTPCommand::kMail:
            return StartMailWithoutAuth(command);
        case ESMTPCommand::kNoop:
        case ESMTPCommand::kRset:
            SendClient(m_extended ? "250 2.0.0 OK" : "250 OK");
            return EStep::kNone;
        case ESMTPCommand::kQuit:
            SendClient(m_extended ? "221 2.0.0 localhost closing connection"
                                  : "221 localhost closing connection");
            m_host.EndSession();
            return EStep::kNone;
        default:
            BadSequence();
            return EStep::kNone;
    }
}

void CSMTPLogin::Greet(const SSMTPCommand& command) {
    m_clientGreeted = true;
    m_extended = command.code == ESMTPCommand::kEhlo;
    m_clientName = command.argument.substr(0, command.argument.find_first_of(" \t"));
    if (!m_extended) {
        SendClient("250 localhost");
        return;
    }
    for (const std::string& line : CSMTPCapabilities::OwnReply()) SendClient(line);
}

CSMTPLogin::EStep CSMTPLogin::StartAuth(const SSMTPCommand& command) {
    if (!m_extended) {
        BadSequence();
        return EStep::kNone;
    }
    return AfterFirstResponse(m_sasl.OnAuth(command.argument));
}

CSMTPLogin::EStep CSMTPLogin::OnLaterAuth(const SSMTPCommand& command) {
    return AfterFirstResponse(m_sasl.OnAuth(command.argument, m_upstream.IsReady()));
}

CSMTPLogin::EStep CSMTPLogin::OnClientLine(const std::string& line) {
    if (m_sasl.AwaitsFirstResponse())
        return AfterFirstResponse(m_sasl.OnClientResponse(line));
    m_host.SendServer(line);
    return EStep::kNone;
}

// The client's AUTH has its first response (or `reply` is the proxy's line for it): the
// user name names the server to reach, or the one reached already.
CSMTPLogin::EStep CSMTPLogin::AfterFirstResponse(const std::string& reply) {
    if (!reply.empty()) {
        SendClient(reply);
        return EStep::kNone;
    }
    std::string user, host;
    int port = 0;
    if (!m_sasl.SplitLoginName(user, host, port, kSMTPDefaultPort) && m_sasl.IsForConnected()) {
        // A new try that names no server is for the one connected.
        host = m_upstream.Host();
        port = m_upstream.Port();
    }
    if (host.empty() || port <= 0 || port > 65535) {
        m_sasl.Reset();
        SendClient("501 5.5.4 The user name user/host[:port] names no valid server");
        return EStep::kNone;
    }
    if (m_upstream.IsReady()) {
        // Connected already: only the same server can be logged in to.
        if (port != m_upstream.Port() ||
            CompareNoCase(host.c_str(), m_upstream.Host().c_str()) != 0) {
            m_sasl.Reset();
            SendClient("504 5.5.4 Connected to " + m_upstream.Host() + ":" +
                       std::to_string(m_upstream.Port()) + "; log in there or reconnect");
            return EStep::kNone;
        }
        return EStep::kLogIn;
    }
    m_pending = EPending::kAuth;
    m_namedHost = true;
    m_targetHost = host;
    m_targetPort = port;
    m_targetUser = user;
    return EStep::kReachNamed;
}

CSMTPLogin::EStep CSMTPLogin::StartMailWithoutAuth(const SSMTPCommand& command) {
    if (!m_clientGreeted) {
        BadSequence();
        return EStep::kNone;
    }
    if (!SSMTPCommand::StartsNoCase(command.argument, "FROM:")) {
        SendClient("501 5.5.4 Syntax: MAIL FROM:<address>");
        return EStep::kNone;
    }
    std::string sender = SSMTPCommand::EnvelopePath(command.argument.substr(5));
    CSMTPMessage::CleanAddress(sender);
    CAccountData* account = FindAccountForSMTPSender(sender);
    if (account == nullptr) {
        m_log.LogFormat(LOG_INFO, "No account with an SMTP server sends from '%s'", sender.c_str());
        SendClient("530 5.7.0 No account to send from <" + sender +
                   ">: log in as user/host[:port] or register the account's SMTP server");
        return EStep::kNone;
    }
    m_targetHost = account->GetSMTPServer();
    m_targetPort = account->GetSMTPServerPort();
    m_targetUser = account->m_userName;
    CRefCount::DoRelease(account);
    m_heldMail = command.line;
    m_pending = EPending::kMail;
    m_namedHost = true;
    return EStep::kReachNamed;
}

CSMTPLogin::EStep CSMTPLogin::ReachNamed() {
    return AfterUpstream(m_upstream.Start(m_targetHost, m_targetPort, m_targetUser, m_clientName));
}

CSMTPLogin::EStep CSMTPLogin::AfterUpstream(CSMTPUpstream::EStep step) {
    if (step == CSMTPUpstream::EStep::kWait)
        return EStep::kNone;
    const EPending pending = m_pending;
    m_pending = EPending::kNone;
    if (step == CSMTPUpstream::EStep::kFailed) {
        SendClient(m_upstream.Failure());
        m_host.CloseServer();
        m_sasl.Reset();
        m_heldMail.clear();
        m_namedHost = false;
        return EStep::kFailed;
    }
    m_log.LogFormat(LOG_INFO, "Connection completed");
    return pending == EPending::kAuth ? EStep::kLogIn : EStep::kSendMail;
}

void CSMTPLogin::SendAuth() {
    m_sasl.SetExchanging(true);
    m_host.SendServer(m_sasl.ServerCommand(m_upstream.Host(), m_upstream.Port()));
}

std::string CSMTPLogin::TakeHeldMail() {
    std::string mail;
    mail.swap(m_heldMail);
    return mail;
}

std::string CSMTPLogin::MailForServer(const std::string& line) const {
    if (!m_namedHost)
        return line;
    return CSMTPCapabilities::WithoutUnofferedParameters(line, m_upstream.Keywords());
}

// While the AUTH exchange runs, a challenge goes to the client (or is answered with the
// held first response); any other line ends the exchange and is the reply to the AUTH.
bool CSMTPLogin::OnServerLine(const std::string& line, EStep& step) {
    step = EStep::kNone;
    if (m_upstream.IsActive()) {
        step = AfterUpstream(m_upstream.OnServerLine(line));
        return true;
    }
    if (!m_sasl.IsExchanging())
        return false;
    return m_sasl.PassServerLine(
        line, [this](const std::string& answer) { m_host.SendServer(answer); },
        [this](const std::string& challenge) { SendClient(challenge); });
}

CSMTPLogin::EStep CSMTPLogin::OnConnect(int errorCode) {
    if (m_upstream.IsActive())
        return AfterUpstream(m_upstream.OnConnect(errorCode));
    if (errorCode != 0) {
        SendClient(std::to_string(errorCode));
        return EStep::kFailed;
    }
    SendClient("0");
    m_log.LogFormat(LOG_INFO, "Connection completed");
    return EStep::kConnected;
}

CSMTPLogin::EStep CSMTPLogin::OnSecured(const std::string& error) {
    return m_upstream.IsActive() ? AfterUpstream(m_upstream.OnSecured(error)) : EStep::kNone;
}

void CSMTPLogin::OnServerClose() {
    if (m_upstream.IsActive() && m_upstream.OnServerClose() == CSMTPUpstream::EStep::kFailed)
        SendClient(m_upstream.Failure());
}

CSMTPLogin::EStep CSMTPLogin::OnClock() {
    return m_upstream.IsActive() ? AfterUpstream(m_upstream.OnClock()) : EStep::kNone;
}
