// How an SMTP session in named-host mode reaches the real server before it relays: the
// connect, TLS from the first byte on port 465, the greeting, its own EHLO, STARTTLS
// (required unless the account's TLS mode is none) and EHLO again once secured. The
// server's lines in these phases come here and never reach the client; every failure
// is a reply line of the proxy's own that names the cause; a server that stops answering
// fails it too. Used by the session's thread.
#pragma once

#include <string>
#include <vector>

#include "proxy/SMTPSessionHost.h"
#include "proxy/ServerTLS.h"

class CLogger;

class CSMTPUpstream {
public:
    enum class EStep {
        kWait,    // a connect, handshake or reply is awaited
        kReady,   // the server has greeted and answered EHLO (over TLS unless mode none)
        kFailed,  // the server connection is of no use; Failure() is the client's reply
    };

    CSMTPUpstream(ISMTPSessionHost& host, CLogger& log);

    // Connects to `host`:`port` for `user` (whose account's TLS settings count);
    // `heloName` is the name the proxy gives in its EHLO.
    EStep Start(const std::string& host, int port, const std::string& user,
                const std::string& heloName);
    EStep OnConnect(int errorCode);
    EStep OnSecured(const std::string& error);
    EStep OnServerLine(const std::string& line);
    // The server has gone before it was ready.
    EStep OnServerClose();
    // A tick of the clock that runs while the server is being reached: after
    // kSetupSeconds without progress the set-up fails.
    EStep OnClock();
    static constexpr int kSetupSeconds = 60;
    // Between Start and kReady or kFailed: the server's lines belong here.
    bool IsActive() const { return m_phase != EPhase::kIdle && m_phase != EPhase::kReady; }
    bool IsReady() const { return m_phase == EPhase::kReady; }
    const std::string& Failure() const { return m_failure; }
    const std::string& Host() const { return m_hostName; }
    int Port() const { return m_port; }
    bool IsSecured() const { return m_tls.IsSecured(); }
    // The keywords of the server's last EHLO reply (the reply code taken off).
    const std::vector<std::string>& Keywords() const { return m_keywords; }

private:
    enum class EPhase { kIdle, kConnecting, kHandshake, kGreeting, kEhlo, kStartTLS, kReady };

    EStep Fail(const std::string& line);
    EStep AfterTLS(CServerTLS::EStep step);
    EStep SendEhlo();
    EStep OnReply(const std::string& finalLine);

    ISMTPSessionHost& m_host;
    CLogger& m_log;
    CServerTLS m_tls;
    EPhase m_phase = EPhase::kIdle;
    std::string m_hostName;
    int m_port = 0;
    std::string m_heloName;
    std::vector<std::string> m_keywords;  // of the EHLO reply being read, then the last
    int m_idleTicks = 0;          // clock ticks since the last step of the set-up
    bool m_tlsUpgraded = false;  // STARTTLS was answered: EHLO follows the handshake
    std::string m_failure;
};
