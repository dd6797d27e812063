// The held-mail review without its window: the held messages (locations hold and jail)
// of every store of the message database, with their numbers and column texts, and the
// actions on them: release, release and make the sender a friend, delete. Each action
// is committed at once: locations change, the analysis notes and the delete log are
// written, the counters counted and the stores saved before it returns.
//
// Any thread (the control channel's, the main thread of a command); one action at a
// time. Lock order: m_lock, then the database's stores lock, then a store's lock, then
// the filter chain's lock; nothing takes a store lock while it holds the chain's lock.
// No store lock is held here while the counters are called (they may take the chain's
// lock) or a friend is made.
#pragma once

#include <string>
#include <vector>

#include "kinbook/foundation/Sync.h"
#include "review/DeleteLog.h"
#include "review/HeldRow.h"
#include "review/WordMask.h"

class CMessageDatabase;
class CMessageStore;
class IReviewCounters;

class CHeldMail {
public:
    // The review's settings in "Settings" of HKEY_CURRENT_USER.
    struct SSettings {
        bool expurgate = true;   // "Expurgate": mask offensive words in the list
        bool logDeletes = true;  // "Log Deletes": write "deletelog.txt"
    };
    static SSettings ReadSettings();

    // Both must outlive this object; the caller holds a reference to the database.
    CHeldMail(CMessageDatabase* database, IReviewCounters* counters);

    // Every held message of every store, store by store in the server's order, with its
    // number. False with `error` set when a number file could not be written (the rows
    // are complete all the same).
    bool List(std::vector<SHeldRow>& rows, std::string& error);
    // The rows named by `targets`: "N" (a number held in one store only) or "STORE:N"
    // (STORE is "user@server", compared without case). Each row once, in the order
    // named. False with `error` set, and no rows, when a target is malformed, unknown,
    // not held or ambiguous, or when the numbers cannot be kept (their file cannot be
    // written).
    bool Resolve(const std::vector<std::string>& targets, std::vector<SHeldRow>& rows,
                 std::string& error);
    // A name, address or subject as the list shows it: masked when "Expurgate" is on.
    std::string Shown(const std::string& text, const SSettings& settings);

    // Moves the rows to the inbox and notes it on each. With `makeFriend` also every
    // held message whose From address equals one of theirs (case ignored), and each
    // sender becomes a friend unless it is one already. The status texts go to `status`.
    // False with `error` set when a message was no longer held or a store could not be
    // saved; the others are released all the same.
    bool Release(const std::vector<SHeldRow>& rows, bool makeFriend,
                 std::vector<std::string>& status, std::string& error);
    // Logs the rows still held when "Log Deletes" is on, then moves them to the deleted
    // location: the proxy deletes them on the server when the mail client next logs out.
    // Results as for Release.
    bool Delete(const std::vector<SHeldRow>& rows, DELETE_SOURCE source,
                std::vector<std::string>& status, std::string& error);

private:
    bool ListLocked(std::vector<SHeldRow>& rows, std::string& error);
    // The rows of `uidls` in `store` that are still held, in the server's order.
    void CollectStore(CMessageStore* store, const std::vector<std::string>& uidls,
                      std::vector<SHeldRow>& rows);
    bool IsStillHeld(const SHeldRow& row);
    static std::string NotHeldText(const SHeldRow& row);
    // Moves one row's message to `target` with `note` (none when empty); its tag in
    // `tag`. False with `error` when it is gone or no longer held.
    bool Move(const SHeldRow& row, MSSTATUS target, const std::string& note, char& tag,
              std::string& error);
    // Makes the row's sender a friend; the analysis note of the release.
    std::string MakeFriend(const SHeldRow& row, const SSettings& settings,
                           std::vector<std::string>& status);
    bool SaveStores(const std::vector<int>& storeIDs, std::string& error);
    std::string RowName(const SHeldRow& row) const;

    CCritical m_lock;  // re-entrant; held by every public call
    CMessageDatabase* m_database;
    IReviewCounters* m_counters;
    CWordMask m_mask;  // guarded by m_lock
};
