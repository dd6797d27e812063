// How a session secures its connection to a named host: the account's TLS mode (TLS
// from the first byte, the protocol's upgrade command before the log-in, or plain), the
// upgrade exchange and the end of the handshake. POP3 upgrades with STLS (RFC 2595, TLS
// at once on port 995), SMTP with STARTTLS (RFC 3207, TLS at once on port 465). Every
// failure is final and names its cause; nothing of the client's log-in is sent before
// the connection is secured. Used by the session's thread only.
#pragma once

#include <string>
#include <vector>

#include "ferrymail/accounts/AccountData.h"
#include "proxy/ServerTLSHost.h"

class CLogger;

class CServerTLS {
public:
    enum class EProtocol { kPOP3, kSMTP };
    enum class EStep {
        kProceed,  // the log-in goes on
        kWait,     // the server's reply or the handshake is awaited
        kFailed,   // the session ends; Failure() says why
    };

    CServerTLS(IServerTLSHost& host, CLogger& log, EProtocol protocol = EProtocol::kPOP3);

    // Reads the trusted certificates of every account that checks them, and of the
    // global "TLSCAFile", once at start-up: the first connection of a session then does
    // not parse a certificate bundle on the session's thread. A file that cannot be read
    // is left for the connection that uses it to report.
    static void PrepareContexts();

    // Takes the mode, CA file and checks of `user` on `host`:`port`: the account
    // record's, with GetServerTLSMode and the global "TLSCAFile" for what it leaves open.
    // For SMTP the record is the one whose SMTP server this is, and any mode but none
    // means TLS at once on port 465 and STARTTLS on every other port.
    void Choose(const std::string& host, int port, const std::string& user);
    ETLSMode Mode() const { return m_mode; }
    bool IsSecured() const { return m_secured; }
    // The upgrade command has been sent and its reply is awaited: the server's lines go
    // to OnReply.
    bool AwaitsReply() const { return m_awaitingReply; }
    // The server's reply to the upgrade or the end of the handshake is awaited.
    bool IsWaiting() const { return m_awaitingReply || m_handshaking; }
    // The server has not answered in `seconds`: the session ends (Failure() says why).
    EStep OnTimeout(int seconds);

    // The connection is made: TLS from the first byte starts the handshake.
    EStep OnConnected();
    // The capabilities the server gave before the log-in (POP3's CAPA lines, SMTP's
    // EHLO keywords without the reply code): in upgrade mode the upgrade command is sent
    // when they offer it, and its absence is refused.
    EStep OnCapabilities(const std::vector<std::string>& lines);
    // The reply to the upgrade command: "+OK" (POP3) or 220 (SMTP) starts the handshake.
    EStep OnReply(const std::string& line);
    // The handshake has ended (`error` empty: it succeeded).
    EStep OnHandshake(const std::string& error);
    // The refusal line (without CR LF) for the client after kFailed: "-ERR ..." for
    // POP3, "454 4.7.0 ..." for SMTP.
    const std::string& Failure() const { return m_failure; }

private:
    EStep StartHandshake();
    EStep Fail(const std::string& reason);
    const char* Command() const { return m_protocol == EProtocol::kPOP3 ? "STLS" : "STARTTLS"; }

    IServerTLSHost& m_host;
    CLogger& m_log;
    EProtocol m_protocol;
    std::string m_hostName;
    std::string m_caFile;
    ETLSMode m_mode = ETLSMode::kSTLS;
    bool m_insecure = false;
    bool m_secured = false;
    bool m_awaitingReply = false;
    bool m_handshaking = false;
    std::string m_failure;
};
