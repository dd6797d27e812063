// A weak handle on one friend, for callers outside Kinbook: it is emptied when its friend
// is deleted or destroyed, and never refers to a deleted record. Any thread may use a
// handle; each member takes the friends store lock. A handle itself is not shared
// between threads without a lock of the caller's.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "kinbook/friends/AddressSource.h"
#include "kinbook/friends/EmailEntity.h"
#include "kinbook/friends/Friend.h"
#include "kinbook/kinbook_export.h"

// What CFriendData::Update changes.
enum FRD_UPDATE : int {
    FRD_MATCH_ADDRESS = 1,  // refuse unless the friend has this address (case ignored)
    FRD_SOURCE = 2,         // add a manual source of the given type and note
    FRD_NAME = 4,
    FRD_NOTE = 8,
};

class KINBOOK_API CFriendData {
public:
    // Where a handle sits in an array made by GetFriendsList.
    struct SPositionHandle {
        void* array;
        int index;
    };

    CFriendData() = default;
    CFriendData(const CFriendData& other);
    explicit CFriendData(void* friendRecord);
    virtual ~CFriendData();
    CFriendData& operator=(const CFriendData& other);
    CFriendData& operator=(void* friendRecord);

    // Refers to `friendRecord` (a CFriend*); a null or deleted one leaves it empty.
    void SetFriend(void* friendRecord);
    // Empties the handle when it refers to `friendRecord`.
    void Invalidate(void* friendRecord);
    void SetPositionHandle(void* array, int index);
    const SPositionHandle* GetPositionHandle() const { return m_position.get(); }
    bool IsEmpty() const;

    // 1 when a live friend has `address`; otherwise the handle is emptied.
    BOOL Lookup(const char* address);
    // Makes `address` a friend and saves the friends file: 0 for an invalid address,
    // else the save's result.
    BOOL Create(const char* address, const char* name, ADDRESS_SOURCE type, const char* note);
    // Changes what `flags` name, then saves the friends file; 0 on an empty handle or,
    // with FRD_MATCH_ADDRESS, another address.
    BOOL Update(int flags, const char* address, const char* name, ADDRESS_SOURCE type,
                const char* note);
    // Marks the friend deleted (not saved); every handle on it becomes empty.
    BOOL Delete();

    std::string GetAddress() const;
    std::string GetName() const;
    std::string GetNote() const;
    std::string GetSourceDesc() const;
    std::string GetSourceLocation() const;
    std::string GetDateString() const;
    std::string GetCountString() const;
    int GetCount() const;  // -1 on an empty handle
    // The last contact, 0 when never or on an empty handle.
    time_t GetDate() const;
    ADDRESS_SOURCE GetSourceQuality() const;
    // By the best source; never FRIENDLY_COMPANY.
    FRIENDLY GetFriendly() const;

    // Loads the files when needed; a start position, or null when there are no friends.
    static CFriend::POSITION StartFriends();
    // The next live friend into `handle`; 0 at the end.
    static BOOL EnumFriends(CFriend::POSITION& position, CFriendData& handle);

private:
    friend class CFriend;
    CFriend* m_friend = nullptr;  // guarded by CFriend::GetLock()
    std::unique_ptr<SPositionHandle> m_position;
};

using CFriendDataArray = std::vector<CFriendData>;
