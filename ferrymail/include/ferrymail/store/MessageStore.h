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
#include <utility>
#include <vector>

#include "ferrymail/store/Message.h"
#include "ferrymail/store/MessageOwner.h"
#include "ferrymail/store/RecordStore.h"
#include "ferrymail/store/StoreFile.h"
#include "ferrymail/store/StoreLock.h"
#include "ferrymail/store/StoreStats.h"
#include "ferrymail/ferrymail_export.h"
#include "kinbook/foundation/LockFile.h"
#include "kinbook/foundation/MapStringToPtrI.h"
#include "kinbook/foundation/RefCount.h"
#include "kinbook/foundation/Sync.h"

class CMessageDatabase;

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
    BOOL SetServerStat(int count, int size, int* same);
    void GetServerStat(int* count, int* size);
    BOOL SetServerSize(int serverNumber, int size);
    int GetServerNumber(int clientNumber);
    // Takes the server's UIDL listing (number, UIDL) as the server list, under one hold
    // of the store lock: no save, of any thread, sees the list half rebuilt. Messages the
    // listing no longer names leave the store.
    void ApplyUidlListing(const std::vector<std::pair<int, std::string>>& listing);
    // The session's synchronization is done: from now on a new store's mail is examined
    // like any other, and a save is asked for soon (SaveSoon).
    void SynchronizationDone();
    // Files the downloaded text of the message at server number `number` where the
    // examine call-back says. With `holdNote` the message also gets that analysis note
    // and, had it gone where the mail client sees it, is held instead.
    BOOL AddDownloadedMessage(int number, const std::string& text, int topLines,
                              const char* holdNote = nullptr);
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

    // The steps of ApplyUidlListing.
    void BeginUidlListing();
    BOOL SyncMessage(const std::string& uidl, int number);
    void EndUidlListing();
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
    void PassUnexamined(CMessage* message, MSSTATUS location = MS_INBOX);
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
std::string GetMessageStoreFolder();
// The store file of `user` on `server`: "<folder>/<server>-<user>.ms", with the names made
// safe for a file name (no separators, no "..", no control bytes).
std::string GetStoreFilePath(const std::string& server, const std::string& user);
