// The message store of one mail account: its messages in memory, keyed by UIDL, in the
// server's numbering and in the mail client's view, and its store file. Made and kept by
// the message database; reached from the POP3 session that owns it and from the user
// interface. Every operation takes the store lock (m_lock, re-entrant); the database
// lock, when both are needed, is taken first.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "ferrymail/Message.h"
#include "ferrymail/MessageOwner.h"
#include "ferrymail/StoreFile.h"
#include "ferrymail/StoreStats.h"
#include "ferrymail/ferrymail_export.h"
#include "kinbook/LockFile.h"
#include "kinbook/MapStringToPtrI.h"
#include "kinbook/RefCount.h"
#include "kinbook/Sync.h"

class CMessageDatabase;

// The generic part of a store: the file, the lock, the messages, the server list, and
// loading and saving. The account-specific part is CMessageStore.
class FERRYMAIL_API CRecordStore : public CRefCount {
public:
    CRecordStore();
    ~CRecordStore() override;

    // Reads the open store file; 1 also for an empty or bad file (the store then starts
    // empty), 0 when a record cannot be read or installed.
    virtual BOOL Load(int passAll);
    // Writes the store when it is dirty: to the ".new" file, flushed, then renamed over the
    // store file. 1 on success or when nothing was to be saved; a failed save leaves the
    // store dirty. With `skipDeleted` the messages marked deleted are left out (and leave
    // the store afterwards).
    virtual BOOL Save(int skipDeleted);
    // The same save, but only the records' bytes are made here, under the store lock; the
    // store's writer thread writes, flushes and renames them while the caller goes on.
    // Saves reach the file in the order they were made. One that fails is logged and
    // leaves the store dirty for the next save. 0 only when the records cannot be made.
    virtual BOOL SaveInBackground(int skipDeleted);
    // Waits until every save handed to the writer thread is on disk or has failed.
    void FlushSaves();
    // Asks for a save within kSaveSoonDelay, made by the writer thread, unless another
    // save comes first (which makes it useless): of a burst of saves, only the last one
    // costs anything.
    void SaveSoon();
    static constexpr std::chrono::milliseconds kSaveSoonDelay{250};
    // Replaces a message of the same UIDL; the store takes a reference. With `addToList`
    // the message is appended to the server list.
    virtual BOOL InstallMessage(CMessage* message, int addToList);

    virtual int GetStoreID() = 0;
    virtual std::string GetName() { return m_name; }
    const std::string& GetPath() const { return m_path; }
    bool IsDirty() const { return m_dirty != 0 || m_writeFailed; }
    CSync* GetLock() { return &m_lock; }

    // Shows the Retry/Cancel error box through the installed prompt; 1 for Retry.
    BOOL ReportFileError(const std::string& file, DWORD error, const char* operation,
                         const char* secondFile);

protected:
    // The last background save could not be written.
    bool BackgroundSaveFailed() const { return m_writeFailed; }
    // Drops an asked-for SaveSoon; true when there was one.
    bool TakeSaveSoon();
    virtual void OnEmptyFile(int passAll) = 0;
    virtual void OnBadFile() = 0;
    virtual BOOL WriteHeader(CStoreFile& file) = 0;
    virtual void AfterSave(int skipped) = 0;
    virtual BOOL ReadHeader(CStoreFile& file) = 0;
    virtual void OnLoadFailed() = 0;
    virtual BOOL AddToServerList(CMessage* message, int position) = 0;
    virtual void RemoveMessage(CMessage* message) = 0;

    friend class CStoreLock;

private:
    // The store file's bytes, with the messages marked deleted left out on request.
    BOOL WriteRecords(CStoreFile& file, int skipDeleted, int& skipped);
    // The store file's bytes in `buffer`'s memory (see WriteRecords); false (logged)
    // when a record cannot be written. Under m_lock.
    bool MakeFileBytes(int skipDeleted, int& skipped, std::string&& buffer, std::string& bytes);
    // A spare buffer of the writer thread, or an empty one.
    std::string TakeSpareBuffer();
    // Replaces the store file by `bytes` through the ".new" file; false when that failed.
    // With `askOnRename` a failed rename raises the Retry/Cancel prompt.
    bool WriteStoreFile(const std::string& bytes, bool askOnRename);
    void WriterLoop();
    // The writer thread's SaveSoon: the records under the store lock (not waited for),
    // handed to the file like any other save.
    void WriteSaveSoon(std::unique_lock<std::mutex>& guard);

    std::mutex m_writerMutex;
    std::condition_variable m_writerWake;  // a save to write, or the end
    std::condition_variable m_writerIdle;  // nothing left to write
    std::deque<std::string> m_pendingSaves;  // guarded by m_writerMutex
    bool m_writing = false;                  // guarded by m_writerMutex
    bool m_writerStop = false;               // guarded by m_writerMutex
    bool m_saveSoon = false;                 // guarded by m_writerMutex
    std::chrono::steady_clock::time_point m_saveSoonAt;  // guarded by m_writerMutex
    std::thread m_writer;
    size_t m_lastSaveSize = 0;  // guarded by m_lock; room to reserve for the next save
    // Guarded by m_writerMutex: the memory of written saves, for the next ones (two, so
    // that a save made while the last one is being written has one too).
    std::vector<std::string> m_spareBuffers;
    std::atomic<bool> m_writeFailed{false};

protected:

    CMessageDatabase* m_database = nullptr;
    std::string m_path;   // the store file
    std::string m_name;   // "user@server"
    CStoreFile m_file;    // guarded by m_lock
    CLockFile m_lockFile;  // the ".lck" file, locked while the store is open
    CCritical m_lock;
    int m_dirty = 0;      // guarded by m_lock
    std::unordered_map<std::string, CMessage*> m_messages;  // guarded by m_lock; one reference each
    std::vector<std::string> m_serverList;  // guarded by m_lock; entry n-1 is server message n
};

// Takes a store's lock for a block; taken for modification, it marks the store dirty
// when released.
class FERRYMAIL_API CStoreLock {
public:
    CStoreLock(CRecordStore* store, bool modify);
    ~CStoreLock();
    CStoreLock(const CStoreLock&) = delete;
    CStoreLock& operator=(const CStoreLock&) = delete;

private:
    CRecordStore* m_store;
    bool m_modify;
};

class FERRYMAIL_API CMessageStore : public CRecordStore, public IMessageOwner {
public:
    CMessageStore();
    ~CMessageStore() override;

    // Opens the store of `user` on `server`: takes the ".lck" file's exclusive lock (0 when
    // another process holds it), opens and loads the store file (made when missing).
    BOOL Open(CMessageDatabase* database, int storeID, const std::string& server,
              const std::string& user, int passAll);
    // With `acquire`, makes the calling session the store's owner (0 when another
    // session owns it) and rebuilds the client view; without, 1.
    BOOL BeginSession(int acquire);
    void EndSession();
    bool IsInSession() const { return m_inSession != 0; }
    void SetStatAnswered(int answered);
    bool IsNewStore() const { return m_newStore != 0; }
    const std::string& GetKey() const { return m_key; }
    int GetStoreID() override { return m_storeID; }
    // A finished save (also one with nothing to write) ends the store's first
    // synchronization: from then on new mail is examined.
    BOOL Save(int skipDeleted) override;
    BOOL SaveInBackground(int skipDeleted) override;

    // IMessageOwner: keeps the client view and posts the notifications of a move.
    void ChangeLocation(CMessage* message, MSSTATUS oldLocation, MSSTATUS newLocation) override;

    // Server numbering.
    int FindNext(MSSTATUS location, int after, int* count, std::string* uidl);
    int FindNextUnsized(int after, int* count, std::string* uidl);
    BOOL SyncMessage(const std::string& uidl, int number);
    BOOL SetServerStat(int count, int size, int* same);
    void GetServerStat(int* count, int* size);
    BOOL SetServerSize(int serverNumber, int size);
    int GetServerNumber(int clientNumber);
    void BeginUidlListing();
    void EndUidlListing();
    BOOL AddDownloadedMessage(int number, const std::string& text, int topLines);
    BOOL MarkDeletedFromServer(int number, int byServerNumber);
    // The message at a server number, or null; no reference is taken.
    CMessage* GetServerMessage(int serverNumber);

    // Client view.
    int FindNextClient(MSSTATUS location, int after, int* count);
    CMessage* GetClientMessage(int clientNumber);
    BOOL GetClientViewStat(int* count, int* size);
    BOOL UndeleteAll();
    BOOL MarkDelivered(int clientNumber);
    BOOL GetClientStat(const std::string& clientKey, int* count, int* size);
    void SetClientStat(const std::string& clientKey, int count, int size);

    // The message of `uidl`, or null; no reference is taken.
    CMessage* GetMessage(const std::string& uidl);
    // Counts and size-field sums of the server list's messages, in all and by location.
    SStoreStats GetStats();

    BOOL AddToServerList(CMessage* message, int position) override;
    void RemoveMessage(CMessage* message) override;

protected:
    void OnEmptyFile(int passAll) override;
    void OnBadFile() override;
    BOOL WriteHeader(CStoreFile& file) override;
    void AfterSave(int skipped) override;
    BOOL ReadHeader(CStoreFile& file) override;
    void OnLoadFailed() override;

private:
    struct SClientStat {
        int count;
        int size;
    };

    void RebuildClientView();
    // The first server number after `after` whose message exists, is not marked deleted
    // and `counts`; with `count`, how many such messages there are.
    int FindInServerList(int after, int* count, std::string* uidl,
                         const std::function<bool(CMessage*)>& counts);
    void ClearView();
    void AppendToView(CMessage* message);
    void EraseFromView(CMessage* message);  // only for a message in the view
    bool InView(const CMessage* message) const {
        return message->GetViewMark() == m_viewGeneration;
    }
    // The server number of `message` (1-based), 0 when it is not in the server list.
    int ServerPosition(CMessage* message);
    bool IsViewFrozen() const { return m_inSession != 0 && m_statAnswered != 0; }
    void PassUnexamined(CMessage* message);
    void Notify(int code, CMessage* message);

    bool m_opened = false;  // guarded by m_lock
    std::string m_key;  // "server-user"
    int m_storeID = 0;
    CMutualExclusion m_sessionMutex;
    int m_inSession = 0;     // guarded by m_lock
    int m_statAnswered = 0;  // guarded by m_lock
    int m_serverCount = -1;  // guarded by m_lock
    int m_serverSize = -1;   // guarded by m_lock
    int m_clientCount = -1;  // guarded by m_lock
    int m_clientSize = 0;    // guarded by m_lock
    int m_clientStatCount = 0;
    int m_newStore = 0;
    int m_passAll = 0;
    int m_passAllNotified = 0;
    std::vector<std::pair<std::string, SClientStat>> m_clientStats;  // guarded by m_lock; key compared without case
    // Guarded by m_lock: entry n-1 is client message n, with one reference each (a
    // message leaves the view before or when it leaves the store).
    std::vector<CMessage*> m_clientView;
    // Guarded by m_lock: the view mark of the messages in m_clientView; a new view takes
    // a new mark, so the old one is dropped without visiting its messages.
    int m_viewGeneration = 1;
};

// The folder of the store files ("MessageStore" in the data folder), made on first use.
FERRYMAIL_API std::string GetMessageStoreFolder();
// The store file of `user` on `server`: "<folder>/<server>-<user>.ms", with the names made
// safe for a file name (no separators, no "..", no control bytes).
FERRYMAIL_API std::string GetStoreFilePath(const std::string& server, const std::string& user);
