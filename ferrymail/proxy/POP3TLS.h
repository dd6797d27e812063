// How a POP3 session secures its connection to a named host: the account's TLS mode
// (POP3S, STLS or plain), the STLS exchange before the log-in and the end of the
// handshake. Every failure is final and names its cause; nothing of the client's
// log-in is sent before the connection is secured. Used by the session's thread only.
#pragma once

#include <string>
#include <vector>

#include "ferrymail/accounts/AccountData.h"
#include "proxy/POP3SessionHost.h"

class CLogger;

class CPOP3TLS {
public:
    enum class EStep {
        kProceed,  // the log-in goes on
        kWait,     // the server's reply or the handshake is awaited
        kFailed,   // the session ends; Failure() says why
    };

    CPOP3TLS(IPOP3SessionHost& host, CLogger& log);

    // Takes the mode, CA file and checks of `user` on `host`:`port`: the account
    // record's, with GetServerTLSMode and the global "TLSCAFile" for what it leaves open.
    void Choose(const std::string& host, int port, const std::string& user);
    ETLSMode Mode() const { return m_mode; }
    bool IsSecured() const { return m_secured; }
    // STLS has been sent and its reply is awaited: the server's lines go to OnReply.
    bool AwaitsReply() const { return m_awaitingReply; }
    // The server's reply to STLS or the end of the handshake is awaited.
    bool IsWaiting() const { return m_awaitingReply || m_handshaking; }
    // The server has not answered in `seconds`: the session ends (Failure() says why).
    EStep OnTimeout(int seconds);

    // The connection is made: POP3S starts the handshake.
    EStep OnConnected();
    // The capabilities the server gave before the log-in: in STLS mode, STLS is sent
    // when they offer it, and its absence is refused.
    EStep OnCapabilities(const std::vector<std::string>& lines);
    // The reply to STLS: "+OK" starts the handshake.
    EStep OnReply(const std::string& line);
    // The handshake has ended (`error` empty: it succeeded).
    EStep OnHandshake(const std::string& error);
    // The "-ERR" line (without CR LF) for the client after kFailed.
    const std::string& Failure() const { return m_failure; }

private:
    EStep StartHandshake();
    EStep Fail(const std::string& reason);

    IPOP3SessionHost& m_host;
    CLogger& m_log;
    std::string m_hostName;
    std::string m_caFile;
    ETLSMode m_mode = ETLSMode::kSTLS;
    bool m_insecure = false;
    bool m_secured = false;
    bool m_awaitingReply = false;
    bool m_handshaking = false;
    std::string m_failure;
};
