// Reaching the real server for an SMTP session that has none yet. There are two ways:
// the CONNECT line of a relaying component, or named-host mode, where the proxy answers
// EHLO and HELO itself and the client's AUTH user name user/host[:port] (taken apart by
// CSASLRelay) or the account of its envelope sender names the server. CSMTPUpstream
// reaches that server, then the client's AUTH goes out rewritten, or its MAIL goes out.
// The session keeps its state: each call here returns the step the session takes next.
// Owned by one session and used by its thread.
#pragma once

#include <string>

#include "proxy/SASLRelay.h"
#include "proxy/SMTPCommand.h"
#include "proxy/SMTPSessionHost.h"
#include "proxy/SMTPUpstream.h"

class CLogger;

class CSMTPLogin {
public:
    enum class EStep {
        kNone,        // answered, or the client or the server is awaited: the state stays
        kConnecting,  // the connect to a relayed destination is under way
        kConnected,   // connected to the relayed destination; the client has "0"
        kReachNamed,  // a named server is to be reached: the session connects, then ReachNamed()
        kLogIn,       // the named server awaits the AUTH: the session awaits a command's
                      // reply, then SendAuth()
        kSendMail,    // the named server is ready: the session relays TakeHeldMail() as if idle
        kFailed,      // no server: the client has been told why; a server connection is closed
    };

    CSMTPLogin(ISMTPSessionHost& host, CLogger& log);

    // The server was named by AUTH or by the sender and is being reached or reached.
    bool IsNamedHost() const { return m_namedHost; }
    // The named server's set-up runs: the server's connect, handshake and lines are its.
    bool IsReaching() const { return m_upstream.IsActive(); }

    // A command while there is no server connection.
    EStep OnCommand(const SSMTPCommand& command);
    // A 503 of the proxy's own, with an enhanced code once the client has sent EHLO.
    void BadSequence();
    // AUTH once a named server is reached: a new try after a refusal, rewritten as the
    // first one was, for the same server only.
    EStep OnLaterAuth(const SSMTPCommand& command);
    // The second halves of kReachNamed and kLogIn.
    EStep ReachNamed();
    void SendAuth();
    // The MAIL that waited for the named server; handed over once.
    std::string TakeHeldMail();
    // A MAIL line as the server gets it: in named-host mode the client has seen the
    // proxy's EHLO reply, so parameters that the server did not offer are left out.
    std::string MailForServer(const std::string& line) const;

    // The client's next line answers a SASL challenge (of the proxy or of the server).
    bool TakesClientLine() const { return m_sasl.AwaitsFirstResponse() || m_sasl.IsExchanging(); }
    EStep OnClientLine(const std::string& line);
    // True when the server's line belonged to the log-in (the set-up, or a challenge of
    // the AUTH exchange), `step` saying what follows. False for a line the session
    // relays, the reply that ends the AUTH exchange among them.
    bool OnServerLine(const std::string& line, EStep& step);
    // The end of a connect (0: it succeeded): of the named server while IsReaching(),
    // else of a relayed destination that was kConnecting.
    EStep OnConnect(int errorCode);
    EStep OnSecured(const std::string& error);
    // The server has gone: a client waiting for a named host is told why.
    void OnServerClose();
    // A tick of the clock that runs while a named host is being reached.
    EStep OnClock();

private:
    enum class EPending { kNone, kAuth, kMail };

    void SendClient(const std::string& line) { m_host.SendClient(line); }
    void Greet(const SSMTPCommand& command);
    EStep StartAuth(const SSMTPCommand& command);
    EStep AfterFirstResponse(const std::string& reply);
    EStep StartMailWithoutAuth(const SSMTPCommand& command);
    EStep AfterUpstream(CSMTPUpstream::EStep step);

    ISMTPSessionHost& m_host;
    CLogger& m_log;
    CSMTPUpstream m_upstream;
    CSASLRelay m_sasl;
    bool m_namedHost = false;
    bool m_clientGreeted = false;  // the client sent EHLO or HELO to the proxy
    bool m_extended = false;       // ... and it was EHLO
    std::string m_clientName;      // the EHLO/HELO argument
    EPending m_pending = EPending::kNone;
    std::string m_heldMail;  // MAIL that waits for the server
    // The named server to reach, between kReachNamed and ReachNamed().
    std::string m_targetHost;
    int m_targetPort = 0;
    std::string m_targetUser;
};
