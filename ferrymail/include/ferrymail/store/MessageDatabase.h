// The one message database of the process: the message stores of all accounts, the
// notifications to the user interface (and their log lines), the examine call-back and the
// user-interface password. Reached from every proxy thread and the GUI thread; the stores
// lock (m_storesLock) is always taken before any store's own lock.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ferrymail/accounts/AccountData.h"
#include "ferrymail/store/DatabaseLogger.h"
#include "ferrymail/store/Message.h"
#include "ferrymail/store/MessageStatus.h"
#include "ferrymail/store/NotificationSink.h"
#include "ferrymail/store/RefString.h"
#include "ferrymail/store/StoreStats.h"
#include "ferrymail/ferrymail_export.h"
#include "kinbook/foundation/MapStringToPtrI.h"
#include "kinbook/foundation/RefCount.h"
#include "kinbook/foundation/Sync.h"
#include "kinbook/foundation/Types.h"

class CMessageStore;

enum MSG_NOTIFICATION : int {
    MN_NEW_STATE = 0,
    MN_START_SYNCH = 1,
    MN_SYNCH_MESSAGE_LIST = 2,
    MN_SYNCH_MESSAGE_SIZES = 3,
    MN_SYNCH_NEW_COUNT = 4,
    MN_SYNCH_MESSAGE_PROCESSED = 5,
    MN_FINISH_SYNCH = 6,
    MN_SYNCH_REMOVE_MESSAGE = 7,
    MN_TO_DELETED = 8,
    MN_TO_JAIL = 9,
    MN_TO_HOLD = 10,
    MN_TO_INBOX = 11,
    MN_TO_DELIVERED = 12,
    MN_FROM_DELETED = 13,
    MN_FROM_JAIL = 14,
    MN_FROM_HOLD = 15,
    MN_FROM_INBOX = 16,
    MN_FROM_DELIVERED = 17,
    MN_DELETED_FROM_SERVER = 18,
    MN_NEW_CONNECTION = 19,
    MN_END_CONNECTION = 20,
    MN_ERROR = 21,
    MN_NEW_EMAIL_ADDRESS = 22,
    MN_SMTP_SCRAPED = 23,
    MN_PASSING_ALL = 24,
};

// Names one message across threads and over time.
struct SMessageHandle {
    int m_storeID = 0;
    std::string m_uidl;
};

using ExamineFunction = MSSTATUS (*)(CMessage* message);

// Asks the user for the password (ask mode): 1 when the typed text's digest matched
// `storedDigest` and the user confirmed, 0 otherwise.
using PasswordPrompt = std::function<int(const std::string& storedDigest)>;

class FERRYMAIL_API CMessageDatabase : public CRefCount {
public:
    // The process's database, made on first call; registers `sink` with `message` and sets
    // `examine` when they are given. No reference for the caller.
    static CMessageDatabase* GetMessageDatabase(ExamineFunction examine = nullptr,
                                                INotificationSink* sink = nullptr,
                                                UINT message = 0);
    // Releases the instance; the next GetMessageDatabase makes a new one. Threads that
    // use the instance have ended before (it is not kept alive for them).
    static void Shutdown();
    // The account-table call-back of Initialize: 0 when the account has a store, 1 to stop.
    static int EnumAccount(CAccountData* account, void* database);

    void Initialize();
    // The store of `user` on `server` (a user "name/host" names its server itself), opened
    // on first use; null when it cannot be opened, when identifiers are used up (65535)
    // or, with `acquire`, when another session owns it. No reference for the caller.
    CMessageStore* FindStore(const std::string& server, const std::string& user, int acquire,
                             int passAll);
    CMessageStore* GetStore(const std::string& key);
    // Safe without the stores lock (the table never moves); null when unknown.
    CMessageStore* GetStore(int storeID);
    int GetStoreCount();
    int GetContents(std::vector<SMessageHandle>& handles, MSSTATUS location);
    CMessage* GetMessage(int storeID, const std::string* uidl);
    CMessage* GetMessage(const SMessageHandle& handle);
    // The stats of every store added together.
    SStoreStats GetStoreStats();

    void SetExamineFunction(ExamineFunction examine);
    ExamineFunction GetExamineMessage();
    // Runs the examine call-back; examinations never overlap, whatever the store. Stores
    // call this rather than the bare call-back. The call-back runs with its message's store
    // lock held and must not take another store's lock. MS_INBOX when there is no call-back.
    MSSTATUS ExamineMessage(CMessage* message);

    // Null removes the logger; once that returns, the old logger is not called again.
    void RegisterLogger(IDatabaseLogger* logger);
    // Registers, re-numbers or (message 0) removes a sink; 1 when something changed.
    // Sinks are called under the sinks lock: once a removal returns, the sink is not
    // called again and may be destroyed.
    int AddNotification(INotificationSink* sink, UINT message);

    // Notifications: the forms with a code log a line first, then every form posts to
    // every sink without waiting. The message form reads the message's header fields for
    // the log line, so its caller holds the message's store lock.
    void NotifyUI(MSG_NOTIFICATION code, CMessageStore* store);
    void NotifyUI(MSG_NOTIFICATION code, CMessageStore* store, int data);
    void NotifyUI(MSG_NOTIFICATION code, CMessage* message);
    void NotifyUI(UINT wParam, long data);
    void NotifyUI(UINT wParam, CRefCount* object);
    void NotifyUI(UINT wParam, const std::string& text);
    void NotifyLog(MSG_NOTIFICATION code, int storeID, CMessage* message, int data);
    void NotifyLog(MSG_NOTIFICATION code, int storeID, CMessage* message,
                   const std::string* text);

    // The user-interface password: its SHA-1 digest as 40 lowercase hexadecimal digits.
    static void HashPassword(std::string& digest, const std::string& password);
    // Sets (non-empty) or removes (empty) the password; 0 when the registry cannot be written.
    int SetPassword(const std::string& password, int always);
    // 1 when access is granted (no password, given already in this run, or entered now).
    int CheckPassword(int force);
    // Installed by the program; without one, asking is refused (0).
    static void SetPasswordPrompt(PasswordPrompt prompt);

    // 1 when the digest of `password` equals `storedDigest`, compared without regard to
    // case: the test of the ask dialog (and of the installed prompt).
    static int MatchPassword(const std::string& storedDigest, const std::string& password);

protected:
    CMessageDatabase();
    ~CMessageDatabase() override;
    int GetPassword(std::string& digest, int& always);

private:
    struct SSink {
        INotificationSink* sink;
        UINT message;
    };

    // The store table: identifier -> store, in chunks that are allocated once and never
    // move or shrink, so that GetStore(int) reads it without the stores lock while
    // FindStore appends. Identifiers travel in the upper 16 bits of a notification's word
    // parameter, so they run from 1 to 65535.
    static constexpr int kStoreChunkSize = 256;
    static constexpr int kStoreChunkCount = 256;
    static constexpr int kMaximumStoreID = kStoreChunkSize * kStoreChunkCount - 1;
    struct SStoreChunk {
        std::atomic<CMessageStore*> stores[kStoreChunkSize] = {};
    };

    static IMessageOwner* LookupOwner(int storeID);
    void EnterStore(int storeID, CMessageStore* store);
    // Hands wParam and the payload to every sink; `object` gets one reference per sink.
    void Post(UINT wParam, long data, CRefCount* object);
    std::string StoreName(int storeID);

    // The instance; holds one reference. Written under the instance lock of
    // MessageDatabase.cpp, read without it.
    static std::atomic<CMessageDatabase*> cm_spTheDatabase;

    CCritical m_storesLock;
    CMapStringToPtrI m_stores;  // guarded by m_storesLock; store key -> store, one reference each
    // Written under m_storesLock, read without it.
    std::array<std::atomic<SStoreChunk*>, kStoreChunkCount> m_storeTable = {};
    std::atomic<int> m_storeTableSize{0};  // one more than the highest identifier entered
    int m_lastStoreID = 0;                 // guarded by m_storesLock

    CCritical m_sinksLock;
    std::vector<SSink> m_sinks;  // guarded by m_sinksLock

    CCritical m_loggerLock;                 // held while a line is handed to the logger
    IDatabaseLogger* m_logger = nullptr;    // guarded by m_loggerLock

    std::atomic<ExamineFunction> m_examine{nullptr};
    CCritical m_examineLock;  // held while the examine call-back runs

    int m_passwordGiven = 0;  // GUI thread only
};

// The Retry/Cancel prompt for store file errors, installed by the program: returns 1 for
// Retry. Without one the answer is Cancel and the text is logged. Also the plain message
// box of a store that cannot be loaded (its answer is ignored).
using StoreErrorPrompt = std::function<int(const std::string& text, bool retryCancel)>;
void SetStoreErrorPrompt(StoreErrorPrompt prompt);
int ShowStoreError(const std::string& text, bool retryCancel);
