// The SMTP proxy session as a machine: client lines and server lines in, lines and
// actions out through its host, no socket of its own. It relays the conversation
// unchanged but for the message header lines of the program's own "X-Quillon-" fields,
// records sender, addressees and subject of every message the server accepts, and
// collects the addressees that are not friends for the notification at the session's
// end. The real server is named by a CONNECT line, by the client's AUTH user name
// user/host[:port], or by the account of the envelope sender (CSMTPLogin reaches it).
// docs/smtp-session.md draws its states. Used by the session's thread only.
#pragma once

#include <deque>
#include <string>

#include "ferrymail/proxy/ProxySettings.h"
#include "proxy/SMTPCapabilities.h"
#include "proxy/SMTPCommand.h"
#include "proxy/SMTPLogin.h"
#include "proxy/SMTPSessionHost.h"

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
    void SetState(ESMTPState state);
    void SendClient(const std::string& line) { m_host.SendClient(line); }
    void HeaderLine(const std::string& line);
    void CommandLine(const std::string& line);
    void IdleCommand(const SSMTPCommand& command);
    void Relay(const SSMTPCommand& command);
    // Carries out what the log-in asks of the session's state.
    void AfterLogin(CSMTPLogin::EStep step);
    void HoldEarlyText(const std::string& line);
    void ReplayEarlyText();
    void OnCapabilityLine(const std::string& line);
    void OnReply(const std::string& line);
    void RecordEnvelope();
    void DropMessage();
    void FinishMessage();
    void AddSenderAsSelf(const std::string& sender);

    ISMTPSessionHost& m_host;
    CLogger& m_log;
    SSessionSettings m_settings{0};
    CProxySettings m_settingsTable;
    ESMTPState m_state = ESMTPState::kWaitConnect;
    ESMTPCommand m_lastCode = ESMTPCommand::kOther;
    std::string m_lastArgument;
    CSMTPMessage* m_message = nullptr;             // one reference, null between messages
    CNonFriendCollection* m_collection = nullptr;  // one reference, null until needed
    std::deque<std::string> m_earlyText;           // client lines before the 354
    size_t m_earlySize = 0;
    bool m_ended = false;

    CSMTPLogin m_login;
    CSMTPCapabilities m_capabilities;
    bool m_textRefused = false;  // the server refused the message while its text came
    bool m_textEnded = false;    // the client's final "." of the message went out
};
