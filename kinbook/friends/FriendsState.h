// The class-wide state of the friends store, guarded by CFriend::GetLock(). Made on first
// use and never destroyed, so that threads still running at process exit find it.
#pragma once

#include <chrono>
#include <string>
#include <unordered_map>

#include "friends/FriendIndex.h"
#include "friends/FriendsFiles.h"
#include "kinbook/friends/EmailDomain.h"
#include "kinbook/friends/Friend.h"

class CEmailDomain;
class CImporter;

using FriendMap = std::unordered_map<std::string, CFriend*, SNoCaseHash, SNoCaseEqual>;

struct SFriendsState {
    FriendMap cm_mpFriends;  // address -> friend, owning
    CFriendIndex index;      // the same friends, for look-ups
    int cm_iDirtyCount = 0;
    int cm_iBulkAdd = 0;
    CFriend::IDialog* cm_pDialog = nullptr;
    CImporter* cm_pManualImporter = nullptr;
    std::string cm_sLastFileLoaded;        // full path of the friends file last loaded
    CFriendsFiles::SStamps friendsStamps;  // "friends.csv" and "friends.re" as last seen
    std::chrono::steady_clock::time_point friendsChecked;
    bool merging = false;  // reading "friends.re" or another process's file

    CEmailDomain* cm_pRoot = nullptr;
    int cm_iDomainDirtyCount = 0;
    std::string cm_sLastCompaniesLoaded;  // "companies.csv" once loaded
    CFriendsFiles::SStamps companiesStamps;
    std::chrono::steady_clock::time_point companiesChecked;
    bool companiesMerging = false;
};

inline SFriendsState& FriendsState() {
    static SFriendsState* state = new SFriendsState;
    return *state;
}

// Forgets everything: friends, domains, counters and what was loaded (tests relocate the
// data folder between cases).
inline void ResetFriendsState() {
    CEmailDomain::Shutdown();
    CFriend::Shutdown();
    SFriendsState& state = FriendsState();
    state.cm_iDirtyCount = 0;
    state.cm_iBulkAdd = 0;
    state.cm_iDomainDirtyCount = 0;
    state.cm_sLastFileLoaded.clear();
    state.cm_sLastCompaniesLoaded.clear();
    state.friendsStamps = {};
    state.companiesStamps = {};
}
