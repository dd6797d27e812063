// One friend (one mail address) and the friends list: the map of all friends, the store
// lock, loading and saving "friends.csv". The map owns the friends; a friend owns its
// sources and empties the CFriendData handles linked to it when it is deleted or goes.
//
// One lock, GetLock(), guards the whole friends store: the friends, the domain tree and
// both dirty counters. Every static function below and every member of CFriendData takes
// it; a caller that keeps a CFriend* or CEmailDomain* between calls (and calls members on
// it) holds it for that time.
#pragma once

#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kinbook/friends/AddressSource.h"
#include "kinbook/friends/EmailEntity.h"
#include "kinbook/foundation/Sync.h"
#include "kinbook/kinbook_export.h"

class CFriendData;
class CImportSource;
class CImporter;

class KINBOOK_API CFriend : public CEmailEntity {
public:
    // The friends dialog that is open, told of new and changed friends.
    class IDialog {
    public:
        virtual ~IDialog() = default;
        virtual void FriendAdded(CFriend* added) = 0;
        virtual void FriendChanged(CFriend* changed) = 0;
    };
    // A walk over the friends; empty (null) at the end.
    struct SPosition;
    using POSITION = std::shared_ptr<SPosition>;

    explicit CFriend(const std::string& address);
    ~CFriend() override;

    BOOL OKToDelete() override { return TRUE; }
    BOOL IsDomain() const override { return FALSE; }
    std::string GetName() const override { return m_name; }
    std::string GetAddress() const override { return m_address; }
    std::string_view AddressView() const { return m_address; }
    CEmailDomain* GetContainer() const override { return m_domain; }
    int GetCount() const override { return m_hitCount + m_addressBookCount; }
    void SetState(int state) override { SetState(state, 0); }
    // With `quiet` the dirty count stays as it was. Setting the deleted bit empties the
    // linked handles.
    virtual void SetState(int state, int quiet);

    static CCritical& GetLock();

    // Trims `address` in place; 1 when the rest has no blank, tab, CR or LF and exactly
    // one "@".
    static BOOL ValidateAddress(std::string& address);
    // A new friend (no look-up for an existing one: callers look up first) that takes
    // `source`; null, and `source` not taken, for an invalid address.
    static CFriend* AddFriend(const char* address, CImportSource* source, const char* name,
                              FR_NAME quality);
    // The user's request to make `address` a friend of kind `type`; a deleted record is
    // removed first. Null for an invalid address.
    static CFriend* CreateFriendManually(const char* address, const char* name, ADDRESS_SOURCE type,
                                         const char* note);
    // Loads the files when needed; case is ignored; deleted records are found too.
    static CFriend* FindByAddress(const char* address);
    // The filter's question: the accepted friend or the accepted domain that makes
    // `address` friendly (its hit count bumped), or null.
    static CEmailEntity* IsAddressFriend(const char* address);
    // The kind of friendliness of IsAddressFriend's answer (never FRIENDLY_COMPANY for a
    // friend).
    static FRIENDLY FriendlyOf(const CEmailEntity* entity);
    // FriendlyOf(IsAddressFriend(address)) under one taking of the lock.
    static FRIENDLY AddressFriendly(const char* address);

    static POSITION StartFriends();
    static BOOL EnumFriends(POSITION& position, std::string& key, CFriend*& found,
                            int includeDeleted);
    static int StartBulkAdd();
    static int EndBulkAdd();
    // Marks each friend deleted (a tombstone that is saved); its handles become empty.
    static void DeleteList(CFriend** list, int count);
    // Removes and destroys each friend.
    static void RemoveList(CFriend** list, int count);
    static void ClearScrapeHits();
    // Destroys every friend.
    static void Shutdown();
    static BOOL FriendsListDirty();
    static int GetDirtyCount();
    static void SetDialog(IDialog* dialog);
    static CImporter* GetManualImporter();
    // A new array (the caller's) with a handle for each live friend whose best source is
    // of `type`, each with its position handle. Returns 1.
    static BOOL GetFriendsList(ADDRESS_SOURCE type, std::vector<CFriendData>** out);

    // "friends.csv" (or the checkpoint "friends.tmp") in the user data folder. A load
    // that already happened returns at once, unless the file was replaced on disk by
    // another process since: its records are then merged in (records changed here and
    // not yet saved stay as they are; counts and dates keep the larger value). 0 when
    // there is no data folder.
    static BOOL LoadFriends(int reload, int fromCheckpoint);
    // Writes every friend, deleted ones included, through a temporary file and an atomic
    // rename; a normal save keeps the previous file as "friends.csv.bak". 0 (after the
    // prompt) when the file cannot be written; the list and its dirty count stay.
    static BOOL SaveFriends(int checkpoint);
    static BOOL CloseFriends() { return LoadFriends(1, 0); }
    static void DeleteBackup();

    // Reads one "friends.csv" line into the map: a second line for an address updates
    // the first one's record (`existed` set). 0 when a field does not read.
    static BOOL Read(const char* line, int length, int& existed);

    BOOL AddSource(CImportSource* source, int replace);
    int GetSourceCount() const { return static_cast<int>(m_sources.size()); }
    CImportSource* GetSource(int index) const;
    ADDRESS_SOURCE GetSourceQuality() const;
    void SetSourceQuality(ADDRESS_SOURCE type);
    std::string GetSourceDesc(int oneLine = 0) const;
    std::string GetSourceLocation() const;
    std::string GetSources() const;
    BOOL SetName(const char* name, FR_NAME quality);
    FR_NAME GetNameQuality() const { return m_nameQuality; }
    int GetAddressBookCount() const { return m_addressBookCount; }
    void SetAddressBookCount(int count) { m_addressBookCount = count; }
    void SetDate(time_t date) { m_date = date; }
    void SetNote(const std::string& note) override;
    BOOL IsImplicit() const;
    int GetStateIndex() const;
    void CheckCompany();
    void UpdateDisplay();
    bool GetScrapeHit() const { return m_scrapeHit; }
    void SetScrapeHit() { m_scrapeHit = true; }
    bool IsNew() const { return m_isNew; }
    void SetDomain(CEmailDomain* domain) { m_domain = domain; }
    void ShowInList(void* control, EntityUpdateCallback update);

    // The handles that refer to this friend (CFriendData only).
    void Link(CFriendData* handle);
    void Unlink(CFriendData* handle);

private:
    struct SRecord;
    static CFriend* Lookup(std::string_view address);
    static void EnsureLoaded();
    static CEmailEntity* FindFriendly(const char* address);
    static BOOL ParseRecord(const char* line, int length, SRecord& record);
    static void ApplyRecord(const SRecord& record, bool fromOutside, int* existed);
    static void ParseFriendsFile(const std::string& path, const std::string& contents,
                                 bool fromOutside);
    static void MergeReFile();
    static void MergeIfChangedOnDisk(bool now);
    static void RemoveFromStore(CFriend* target);
    void InvalidateHandles();
    void NotifyList();
    void MarkChanged();

    std::string m_address;
    std::string m_name;
    int m_addressBookCount = 0;
    CImportSource* m_bestSource = nullptr;
    ADDRESS_SOURCE m_bestType = AS_UNKNOWN;  // the best source's type, kept beside it for look-ups
    FR_NAME m_nameQuality = FRN_NONE;
    CEmailDomain* m_domain = nullptr;
    int m_bulkAddLevel = 0;
    bool m_scrapeHit = false;
    bool m_isNew = true;
    bool m_displaySelected = false;
    void* m_listControl = nullptr;
    EntityUpdateCallback m_listUpdate = nullptr;
    std::vector<CImportSource*> m_sources;  // owned
    std::vector<CFriendData*> m_handles;

    friend class CFriendsFiles;
};
