// The SMTP proxy session as a machine: client lines and server lines in, lines and
// actions out through its host, no socket of its own. It relays the conversation
// unchanged but for the message header lines of the program's own "X-Quillon-" fields,
// records sender, addressees and subject of every message the server accepts, and
// collects the addressees that are not friends for the notification at the session's
// end. The real server is named by a CONNECT line, by the client's AUTH user name
// user/host[:port], or by the account of the envelope sender (CSMTPUpstream reaches it).
// docs/smtp-session.md draws its states. Used by the session's thread only.
#pragma once

#include <deque>
#include <string>

#include "ferrymail/proxy/ProxySettings.h"
#include "proxy/SASLRelay.h"
#include "proxy/SMTPSessionHost.h"
#include "proxy/SMTPUpstream.h"

class CLogger;
class CNonFriendCollection;
class CSMTPMessage;

enum class ESMTPState {
    kWaitConnect = 0,  // no server yet: CONNECT, or EHLO/AUTH/MAIL of named-host mode
    kConnecting = 1,   // the server connection is being made
    kIdle = 2,         // connected, no command outstanding
    kCommand = 3,      // a command other than MAIL relayed
    kMail = 4,         // MAIL relayed, a message open
    kRcpt = 5,         // RCPT relayed
    kData = 6,         // DATA relayed, the server's 354 awaited
    kHeader = 7,       // inside the message header
    kSubject = 8,      // inside a "Subject:" field
    kOwnHeader = 9,    // inside an "X-Quillon-" field, which is removed
    kBody = 10,        // the message body, up to and including the final "."
};

enum class ESMTPCommand {
    kOther = 1,
    kConnect = 2,
    kMail = 3,
    kRcpt = 4,
    kRset = 5,
    kData = 6,
    kQuit = 7,
    // Answered by the proxy itself before a server is known (named-host mode).
    kEhlo = 8,
    kHelo = 9,
    kAuth = 10,
    kNoop = 11,
};

struct SSMTPCommand {
    ESMTPCommand code = ESMTPCommand::kOther;
    std::string line;      // trimmed at both ends: what is relayed
    std::string argument;  // after the first blank or tab, trimmed

    static SSMTPCommand Parse(const std::string& line);
};

class CSMTPSession {
public:
    struct SSessionSettings {
        int autoAddSender;
    };
    static const SSetting cm_pSessionSettings[];
    // Message text a client sends before the server's 354 is held up to this size.
    static constexpr size_t kMaxEarlyText = 1024 * 1024;

    CSMTPSession(ISMTPSessionHost& host, CLogger& log);
    ~CSMTPSession();
    CSMTPSession(const CSMTPSession&) = delete;
    CSMTPSession& operator=(const CSMTPSession&) = delete;

    ESMTPState GetState() const { return m_state; }
    CSMTPMessage* Message() const { return m_message; }
    CNonFriendCollection* Collection() const { return m_collection; }
    bool AutoAddSender() const { return m_settings.autoAddSender != 0; }

    // The proxy's greeting.
    void Start();
    void OnClientLine(const std::string& line);
    void OnServerLine(const std::string& line);
    void OnServerConnect(int errorCode);
    void OnServerSecured(const std::string& error);
    // The server has gone: a client waiting for a named host is told why.
    void OnServerClose();
    // A tick of the clock that runs while a named host is being reached.
    void OnClock();
    // The session ends: notification 20, then 23 with the non-friend collection, once.
    void OnSessionEnd(int errorCode);
    // The log category of a line in `direction` (DIR_*) at this moment.
    unsigned LogCategory(int direction) const;

private:
    enum class EPending { kNone, kAuth, kMail };

    void SetState(ESMTPState state);
    void SendClient(const std::string& line) { m_host.SendClient(line); }
    // A 503 of the proxy's own, with an enhanced code once the client has its EHLO.
    void BadSequence();
    void HeaderLine(const std::string& line);
    void CommandLine(const std::string& line);
    bool RefusedUnoffered(const std::string& line);
    void WaitConnect(const SSMTPCommand& command);
    void Relay(const SSMTPCommand& command);
    void HoldEarlyText(const std::string& line);
    void ReplayEarlyText();
    void OnReply(const std::string& line);
    void RecordEnvelope();
    void DropMessage();
    void FinishMessage();
    void AddSenderAsSelf(const std::string& sender);

    // Named-host mode.
    void Greet(const SSMTPCommand& command);
    void StartAuth(const SSMTPCommand& command);
    void AfterFirstResponse(const std::string& reply);
    void StartMailWithoutAuth(const SSMTPCommand& command);
    // The client's AUTH to the connected server, the user name rewritten.
    void SendAuthToServer();
    void AfterUpstream(CSMTPUpstream::EStep step);
    bool OnAuthExchangeLine(const std::string& line);
    bool FilterCapabilities(const std::string& line);

    ISMTPSessionHost& m_host;
    CLogger& m_log;
    SSessionSettings m_settings{0};
    CProxySettings m_settingsTable;
    ESMTPState m_state = ESMTPState::kWaitConnect;
    ESMTPCommand m_lastCode = ESMTPCommand::kOther;
    std::string m_lastArgument;
    CSMTPMessage* m_message = nullptr;              // one reference, null between messages
    CNonFriendCollection* m_collection = nullptr;   // one reference, null until needed
    std::deque<std::string> m_earlyText;            // client lines before the 354
    size_t m_earlySize = 0;
    bool m_ended = false;

    CSMTPUpstream m_upstream;
    CSASLRelay m_sasl;
    bool m_namedHost = false;       // a server named by AUTH or the sender is being reached or reached
    bool m_clientGreeted = false;   // the client sent EHLO or HELO to the proxy
    bool m_extended = false;        // ... and it was EHLO
    std::string m_clientName;       // the EHLO/HELO argument
    EPending m_pending = EPending::kNone;
    std::string m_heldMail;         // MAIL that waits for the server
    bool m_filteringEhlo = false;   // the reply to a relayed EHLO is coming
    bool m_textRefused = false;     // the server refused the message while its text came
    bool m_textEnded = false;       // the client's final "." of the message went out
    std::deque<std::string> m_capabilityLines;  // its lines kept so far
};
