// One POP3 client of the proxy: logs in to the real server on the client's behalf, finds
// the client's account, and, when the account is filtered, keeps the account's message
// store in step with the server's mailbox and answers the client from the store (only
// the messages filed in the inbox are seen, renumbered 1..n, each with its analysis
// notes). Everything runs on the session's own thread; the store and the database take
// their own locks.
#pragma once

#include <deque>
#include <string>

#include "ferrymail/AccountData.h"
#include "ferrymail/MessageStore.h"
#include "ferrymail/ProxySettings.h"
#include "kinbook/FunctionTimer.h"
#include "proxy/ProxyConnection.h"

// POP3 command codes (the first word of a line; any unknown word is PC_NULL).
enum POP3_COMMAND {
    PC_APOP = 0,
    PC_CONNECT = 2,
    PC_DELE = 3,
    PC_LIST = 4,
    PC_NOOP = 5,
    PC_NULL = 6,
    PC_PASS = 7,
    PC_QUIT = 8,
    PC_RETR = 9,
    PC_RSET = 10,
    PC_STAT = 11,
    PC_TOP = 12,
    PC_UIDL = 13,
    PC_USER = 14,
    PC_XSENDER = 15,
    PC_CAPA = 16,
};

// A command in flight: the client's last one, or the one the session sent itself.
struct SPOP3Command {
    std::string text;      // the line sent to the server
    std::string argument;  // the argument as the client gave it
    int code = PC_NULL;
    bool multiLine = false;
    bool simple = true;
    bool replyStarted = false;
    bool replyRelayed = false;
    bool insertNotes = false;  // RETR and TOP: the notes still go into the header
    bool headerPassed = false;  // the notes went out (or had no place to go)
    int clientNumber = -1;
    std::string rest;  // what followed the message number
    int serverNumber = -1;

    void Reset() { *this = SPOP3Command(); }
    bool Outstanding() const { return code != PC_NULL; }
};

class CPOP3Connection : public CProxyConnection {
public:
    // The session's own setting: how many body lines of a new message are downloaded
    // (-1: all of it).
    struct SSessionSettings {
        int topLines;
    };
    static const SSetting cm_pSessionSettings[];

    CPOP3Connection(SOCKET client, int number);
    ~CPOP3Connection() override;

    // The text of every command word, by code ("" for codes without one).
    static const char* CommandWord(int code);
    // The code of a command word (case ignored), PC_NULL for any other.
    static int CommandCode(const std::string& word);

    int GetState() const { return m_state; }
    bool IsFiltering() const { return m_filtering; }

    void InitializeThread() override;
    void TerminateThread(int exitCode) override;
    void FillEventVec(int& count) override;
    BOOL ProcessEvents(SWaitHandle& handle, EVENTACTION& action, int& exitCode) override;
    void StartWait() override;
    void EndWait() override;
    void OnClientLine(std::string& line) override;
    void OnServerLine(std::string& line) override;
    size_t OnServerBlock(const char* data, size_t size) override;
    void OnServerConnect(int errorCode) override;
    void OnClientClose(int errorCode) override;
    void OnServerClose(int errorCode) override;
    void CloseServer() override;
    unsigned GetLogCategory(int direction) override;
    CRefCount* GetStore() override;
    int ConnectToServer(const char* argument, std::string& text, int mode, int offset) override;

private:
    // Client side.
    void HandleClientLine(const std::string& line);
    void ParseClientLine(const std::string& line);
    void ClientCommandState0(const std::string& line);
    void ClientCommandState2(const std::string& line);
    void ClientCommandState3(const std::string& line);
    void RelayClientCommand();
    bool RelayAhead(const std::string& line);
    void AnswerCapabilities();
    void AskServerCapabilities();
    void NoteCapability(const std::string& line);
    size_t ServerWindow() const;
    bool FiltersCapabilities() const;
    void OnCapabilityLine(const std::string& line);
    void DrainQueuedLines();
    bool Busy() const;
    BOOL TakeAccount(CAccountData* account);
    void SendError(const char* text);
    void SendErrorFormat(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Server side.
    void OnClientReplyLine(const std::string& line);
    void OnClientReplyData(const std::string& line);
    void ClientCommandDone();
    void StartRetrieveStatistics();
    void OnInternalLine(const std::string& line);
    void CompleteInternal(const std::string* error);
    bool AdvanceServerWindow();
    void FillServerWindow();
    int NextWindowNumber(int after);
    void SendWindowCommand(int number, bool head);
    void CompleteWithWindowError();

    // Synchronization and the store.
    BOOL OpenStore();
    void CloseStore();
    void SendServerCommand(int code, int number, int secondNumber, int replyMode);
    void ProcessStatReply(const std::string& line);
    void StartSynchronization(const std::string& heldReply);
    void FinishSynchronization();
    void DownloadStep();
    void AnswerStat();
    void AnswerList(bool uidl);
    void AnswerRetrieve();
    void AnswerQuit();
    bool DeliverLocally(CMessage* message, int lines);

    // The slow response that keeps a waiting client's connection busy.
    void StartSlowResponse(const std::string& text, bool extraCharacters);
    void TickSlowResponse();
    void FinishSlowResponse();

    void WriteStatistics(int errorCode);
    void PostString(UINT id, ...);

    SSessionSettings m_sessionSettings{10};
    CProxySettings m_settings;
    int m_state = 0;
    SPOP3Command m_client;
    SPOP3Command m_server;
    std::deque<std::string> m_queuedLines;  // client lines that wait for the current command
    // Client commands relayed while m_client's reply was still coming; their replies
    // follow in this order.
    std::deque<SPOP3Command> m_clientAhead;
    // The session's own commands sent after m_server (LIST n or TOP/RETR during a
    // synchronization), the number of the last one sent, and the first error among them.
    std::deque<SPOP3Command> m_serverAhead;
    int m_windowLast = 0;
    std::string m_windowError;
    // The server's capabilities as the client may see them (empty: none heard yet).
    std::string m_capabilities;
    // Whether the server offered PIPELINING: -1 not known (one command at a time), 0 no.
    int m_serverPipelining = -1;
    std::string m_clientName;
    std::string m_userName;
    std::string m_accountUser;
    std::string m_serverHost;
    int m_serverPort = kNamedHostPort;
    CAccountData* m_account = nullptr;  // one reference
    bool m_filtering = false;

    bool m_internalPending = false;
    int m_phase = 0;
    int m_replyMode = 0;
    std::string m_download;
    std::string m_heldReply;
    bool m_synchronized = false;
    bool m_saveAfterReply = false;  // the synchronization's save waits for the reply
    int m_listedCount = 0;  // the server's STAT while its listing is being taken in
    int m_listedSize = 0;
    // The mailbox differed from the store's last STAT and its listing and downloads
    // have not been completed: the store is not in step, whatever a later STAT says.
    bool m_listingPending = false;

    // The store holder.
    CMessageStore* m_store = nullptr;  // one reference while open
    bool m_storeSessionEnded = false;  // the store's session ended at QUIT; m_store still held
    std::string m_clientKey;
    int m_recordedCount = -1;
    int m_recordedSize = -1;

    CPollEvent* m_clock = nullptr;
    std::string m_slowText;
    size_t m_slowPosition = 0;
    bool m_extraCharacters = false;
    bool m_slowActive = false;

    bool m_namedHost = false;
    bool m_greetingSeen = false;
    bool m_deliverLocal = false;
    bool m_statisticsWritten = false;

    // Statistics.
    CFunctionTimer m_sessionTimer;
    int m_filtered = 0;
    double m_filterTime = 0;
    int m_retrieved = 0;
    double m_retrieveTime = 0;
    long long m_retrieveSent = 0;
    long long m_retrieveReceived = 0;
    CFunctionTimer m_retrieveTimer;
    long long m_retrieveSentMark = 0;
    long long m_retrieveReceivedMark = 0;
    int m_synchNew = 0;
    double m_synchTime = 0;
    long long m_synchSent = 0;
    long long m_synchReceived = 0;
    CFunctionTimer m_synchTimer;
    long long m_synchSentMark = 0;
    long long m_synchReceivedMark = 0;
    double m_verifyTime = 0;
    CFunctionTimer m_uidlTimer;
    int m_shutdownDeletes = 0;
    double m_shutdownDeleteTime = 0;
    CFunctionTimer m_shutdownTimer;
    double m_waitTime = 0;
    CFunctionTimer m_waitTimer;
};
