// The generic part of a message store (see MessageStore.h): the file, the lock, the
// messages keyed by UIDL, the server list, and loading and saving with the writer thread.
// Every operation takes the store lock (m_lock, re-entrant).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "ferrymail/store/Message.h"
#include "ferrymail/store/StoreFile.h"
#include "ferrymail/ferrymail_export.h"
#include "kinbook/foundation/LockFile.h"
#include "kinbook/foundation/RefCount.h"
#include "kinbook/foundation/Sync.h"

class CMessageDatabase;

// The account-specific part is CMessageStore.
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
    // costs anything. Every save writes the whole store, so the delay is long enough
    // for a short mail session's own save at its end to take the place of the one after
    // its synchronization.
    void SaveSoon();
    // A SaveSoon is asked for and not yet made or made useless.
    bool IsSaveSoonAsked();
    static constexpr std::chrono::milliseconds kSaveSoonDelay{1000};
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

    // A plain mutex, not a CCritical: the writer's condition variables wait on it.
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
