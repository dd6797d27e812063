// The POP3 session as a machine: client lines and server lines in, lines and actions
// out through its host, no socket of its own. It logs in to the real server on the
// client's behalf (CPOP3ServerLogin), finds the client's account and, when the account
// is filtered, keeps the account's store in step (CPOP3Synchronizer) and answers the
// client from it (CPOP3StoreAnswers): only the messages filed in the inbox are seen,
// renumbered 1..n, each with its analysis notes. docs/pop3-session.md draws its states
// and phases.
#pragma once

#include <deque>
#include <string>

#include "ferrymail/proxy/ProxySettings.h"
#include "proxy/POP3Account.h"
#include "proxy/POP3Capabilities.h"
#include "proxy/POP3Command.h"
#include "proxy/POP3ServerLogin.h"
#include "proxy/POP3SessionHost.h"
#include "proxy/POP3Statistics.h"
#include "proxy/POP3StoreAnswers.h"
#include "proxy/POP3Synchronizer.h"
#include "proxy/SlowResponse.h"

class CLogger;
class CMessageStore;

enum class EPOP3State {
    kNotConnected = 0,   // no server connection
    kConnecting = 1,     // the connect is under way
    kAuthorization = 2,  // connected; AUTHORIZATION at the server
    kTransaction = 3,    // "+OK" to PASS, APOP or AUTH
    kDisconnecting = 4,  // QUIT relayed
};

class CPOP3Session {
public:
    // The session's own settings: how many body lines of a new message are downloaded
    // (-1: all of it), and how many seconds a synchronization waits for the server's
    // next line before it gives up (0: for ever).
    struct SSessionSettings {
        int topLines;
        int serverTimeout;
    };
    static const SSetting cm_pSessionSettings[];
    // How many seconds a log-in waits for another session of its account to end.
    static constexpr int kStoreWaitSeconds = CPOP3ServerLogin::kStoreWaitSeconds;

    // `deliverLocal`: RETR and TOP may be answered from the store's copy.
    CPOP3Session(IPOP3SessionHost& host, CLogger& log, bool deliverLocal);
    ~CPOP3Session();
    CPOP3Session(const CPOP3Session&) = delete;
    CPOP3Session& operator=(const CPOP3Session&) = delete;

    EPOP3State GetState() const { return m_state; }
    bool IsFiltering() const { return m_account.IsFiltering(); }
    CMessageStore* Store() const { return m_sync.Store(); }
    CPOP3Statistics& Statistics() { return m_statistics; }
    const CPOP3Synchronizer& Synchronizer() const { return m_sync; }

    // The proxy's greeting.
    void Start();
    void OnClientLine(const std::string& line);
    void OnServerLine(const std::string& line);
    // Whole lines at the front of the server's input that the session takes as they
    // are (message bodies); how many bytes it took.
    size_t OnServerBlock(const char* data, size_t size);
    // A server line too long to hold, in pieces (see CProxyConnection::OnServerLinePiece):
    // a message being downloaded is stored cut before it and held, the text of a reply
    // relayed to the client passes on as it comes. False refuses it.
    bool OnServerLinePiece(const char* data, size_t size, bool first, bool last);
    void OnServerConnect(int errorCode);
    // The TLS handshake with the server has ended (`error` empty: it succeeded).
    void OnServerSecured(const std::string& error);
    // The server has gone (`reason`): the client gets whole lines before it is closed,
    // and "-ERR" with the reason when it waited for the server.
    void OnServerClose(const std::string& reason);
    // A tick of the slow response's clock.
    void OnClock();
    // The log category of a line in `direction` (DIR_*) at this moment.
    unsigned LogCategory(int direction) const;
    void CloseStore() { m_sync.CloseStore(); }

private:
    // What is done once the session's own command, and any chain it started, is over.
    enum class EInternalJob {
        kRelayClientCommand,  // the client's deferred command goes to the server
        kAnswerClient,        // a waiting STAT is answered from the store
        kContinueLogin,       // the capabilities are known: the log-in goes on
    };

    void Send(const std::string& text);
    void SendLine(const std::string& line);
    bool Busy() const;
    void HandleClientLine(const std::string& line);
    void ParseClientLine(const std::string& line);
    bool RelayAhead(const std::string& line);
    void DrainQueuedLines();
    void RelayClientCommand();
    void NotConnected();
    // Carries out what the log-in asks.
    void AfterLogin(CPOP3ServerLogin::EStep step);

    void OnClientReplyLine(const std::string& line);
    void OnClientReplyOk(const std::string& line);
    void OnClientReplyData(const std::string& line);
    void ClientCommandDone();
    void OnInternalLine(const std::string& line);
    void AfterInternal(EInternalOutcome outcome);
    void SendInternal(EPOP3Command code, int number, EInternalJob job);

    void StartSynchronization(const std::string& heldReply);
    void ServerTimedOut();
    void AnswerQuit();
    void FinishSlowResponse();
    void SendSlow(const CSlowResponse::SStep& step);

    IPOP3SessionHost& m_host;
    CLogger& m_log;
    SSessionSettings m_sessionSettings{10, 300};
    CProxySettings m_settings;
    CPOP3Statistics m_statistics;
    CPOP3Synchronizer m_sync;
    CSlowResponse m_slow;
    EPOP3State m_state = EPOP3State::kNotConnected;
    EInternalJob m_job = EInternalJob::kRelayClientCommand;
    SPOP3Command m_client;
    std::deque<std::string> m_queuedLines;  // client lines that wait for the current command
    // Client commands relayed while m_client's reply was still coming; their replies
    // follow in this order.
    std::deque<SPOP3Command> m_clientAhead;
    CPOP3Account m_account;
    CPOP3Capabilities m_capabilities;
    CPOP3ServerLogin m_login;
    CPOP3StoreAnswers m_answers;
    int m_serverIdle = 0;  // clock ticks of a synchronization since the server's last line
};
