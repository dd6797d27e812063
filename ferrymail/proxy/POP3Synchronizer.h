// Keeps a filtered account's message store in step with the server's mailbox: the
// session's link to its store, the session's own commands to the server and the phases
// of a synchronization (STAT; when the mailbox changed, UIDL, the sizes, then TOP or
// RETR of each new message). LIST n and the downloads go out in a window of pipelined
// commands when the server offers pipelining. Fed the server's reply lines; sends
// through the session's host.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "proxy/POP3Command.h"
#include "proxy/POP3SessionHost.h"
#include "proxy/POP3Statistics.h"

class CAccountData;
class CLogger;
class CMessageStore;

// Phases of a synchronization.
enum class ESynchPhase {
    kNone = 0,         // none yet (or the last one failed)
    kStat = 1,         // STAT sent
    kListing = 2,      // UIDL listing
    kChoosing = 3,     // sizes complete; choosing the next new message
    kSizes = 4,        // LIST for single messages
    kDownloading = 5,  // TOP or RETR of the new messages
    kFinished = 6,     // the store is in step
};

// What became of the session's own command with one more reply line.
enum class EInternalOutcome {
    kWaiting,       // more lines to come, or the chain's next command went out
    kDone,          // the command (and any chain it started) is over
    kSynchronized,  // the synchronization finished
    kSynchFailed,   // a server error ended the synchronization (LastError)
};

class CPOP3Synchronizer {
public:
    // How many of the session's own commands may wait for their replies at once: enough
    // that 200 new messages take two round trips of LIST n and two of TOP rather than
    // seven each (a server that needs a fresh look at its mailbox per batch makes each
    // round trip costly), and some 2 KB of commands, which no server's input buffer minds.
    static constexpr size_t kServerWindow = 128;
    // The most of one download the session holds: a generous message. A longer one is
    // stored cut at the last whole line before this, as a partial copy (the client's
    // RETR then goes to the server), and the rest of the reply is read and dropped.
    static constexpr size_t kMaxDownload = 16 * 1024 * 1024;
    // A UIDL listing is taken in whole before the store sees it, and refused when it
    // names a message or a UIDL twice, or is beyond these bounds.
    static constexpr size_t kMaxListing = 250000;
    static constexpr size_t kMaxUidl = 255;
    // The analysis note of a message stored cut before a line too long to hold.
    static constexpr char kLongLineNote[] =
        "Held: it has a line longer than 8 MiB; the copy here stops before that line";

    // `topLines` is the session's setting, read at every download.
    CPOP3Synchronizer(IPOP3SessionHost& host, CLogger& log, CPOP3Statistics& statistics,
                      const int& topLines);
    ~CPOP3Synchronizer();
    CPOP3Synchronizer(const CPOP3Synchronizer&) = delete;
    CPOP3Synchronizer& operator=(const CPOP3Synchronizer&) = delete;

    // The store holder: the account's store, held by this session, with the STAT its
    // mail client last saw.
    bool OpenStore(CAccountData* account);
    // The store's session ends; deletions without an accepted QUIT are undone.
    void CloseStore();
    CMessageStore* Store() const { return m_store; }
    int StoreID() const;
    // "+OK" to QUIT: saved without the deleted messages, and free for the next login.
    void OnQuitAccepted();
    // The client's DELE or RSET changes the server's count.
    void ForgetServerCount() { m_recordedCount = -1; }
    bool ServerCountKnown() const { return m_recordedCount != -1; }
    // The first message the user deleted that the server still has; 0 for none.
    int NextToDelete() const;

    // One command at a time, or a window of them.
    void SetPipelining(bool pipelining) { m_window = pipelining ? kServerWindow : 1; }
    bool IsPending() const { return m_pending; }
    bool IsSynchronized() const { return m_synchronized; }
    ESynchPhase Phase() const { return m_phase; }
    // The command whose reply comes next (kNull when none).
    const SPOP3Command& Command() const { return m_server; }
    const std::string& LastError() const { return m_lastError; }
    // The lines of the last CAPA reply.
    const std::vector<std::string>& CapabilityLines() const { return m_capabilityLines; }

    // Sends a command of the session's own, outside a synchronization's steps; the
    // logout's DELE goes on with the next deleted message when it completes.
    void Send(EPOP3Command code, int number = -1);
    // `login`: the first of the session, when the mailbox is listed even if its STAT
    // looks unchanged (later in the session the server keeps the mailbox as it is).
    void StartSynchronization(bool login);
    // A STAT reply (the client's or the session's own) compared with and recorded in the
    // store. True when the store is in step.
    bool OnStatReply(const std::string& line, bool fromClient);
    EInternalOutcome OnLine(const std::string& line);
    // The body of a download, whole lines at the front of `data`; how much was taken.
    size_t OnBlock(const char* data, size_t size);
    // A piece of a line too long to hold (`first`: its start). In a download the message
    // is stored cut before the line and held with a note that says why; the rest of the
    // reply is read and dropped. False for any other reply, which cannot go on.
    bool OnLongLine(bool first);
    void OnServerClosed();

private:
    void SendCommand(EPOP3Command code, int number, int second);
    void AppendDownload(const char* data, size_t size);
    EInternalOutcome OnFirstLine(const std::string& line);
    EInternalOutcome Complete(const std::string* error);
    EInternalOutcome Fail(const std::string& error);
    EInternalOutcome NextStep();
    EInternalOutcome AfterStat();
    EInternalOutcome AfterListing();
    void NoteListingLine(const std::string& line);
    bool CheckListing();
    EInternalOutcome AfterDownload();
    EInternalOutcome DownloadStep();
    EInternalOutcome Finish();
    int NextWindowNumber(int after) const;
    void SendWindowCommand(int number, bool head);
    void FillWindow();
    bool AdvanceWindow();

    IPOP3SessionHost& m_host;
    CLogger& m_log;
    CPOP3Statistics& m_statistics;
    const int& m_topLines;

    CMessageStore* m_store = nullptr;  // one reference while open
    bool m_storeSessionEnded = false;  // the store's session ended at QUIT; m_store still held
    std::string m_clientKey;
    int m_recordedCount = -1;
    int m_recordedSize = -1;

    bool m_pending = false;
    SPOP3Command m_server;
    // Commands sent after m_server (LIST n or TOP/RETR), the number of the last one
    // sent, and the first error among their replies.
    std::deque<SPOP3Command> m_ahead;
    int m_windowLast = 0;
    std::string m_windowError;
    size_t m_window = 1;
    std::string m_download;
    std::vector<std::pair<int, std::string>> m_listing;  // the UIDL reply coming in
    std::string m_listingError;                          // why it is refused
    bool m_downloadCut = false;  // m_download reached kMaxDownload; the rest is dropped
    bool m_longLine = false;     // the download had a line too long to hold: cut and held
    std::string m_lastError;
    std::vector<std::string> m_capabilityLines;

    ESynchPhase m_phase = ESynchPhase::kNone;
    bool m_synchronized = false;
    // The mailbox differed from the store's last STAT and its listing and downloads
    // have not been completed: the store is not in step, whatever a later STAT says.
    bool m_listingPending = false;
    // The listing of a mailbox whose STAT looked unchanged: the same count and size do
    // not prove the same messages. A server without UIDL ("-ERR") is taken at its STAT.
    bool m_checkListing = false;
    bool m_loginSynch = false;
    int m_listedCount = 0;  // the server's STAT while its listing is being taken in
    int m_listedSize = 0;
};
