// Message counts and size-field sums of one store, or of all stores added together: the
// whole server list, then by location. A plain value.
#pragma once

struct SStoreStats {
    int count = 0;  // every message of the server list
    int size = 0;
    int inboxCount = 0;  // MS_INBOX
    int inboxSize = 0;
    int jailCount = 0;  // MS_JAIL
    int jailSize = 0;
    int holdCount = 0;  // MS_HOLD
    int holdSize = 0;
    int deletedCount = 0;  // MS_DELETED
    int deletedSize = 0;

    void Add(const SStoreStats& other) {
        count += other.count;
        size += other.size;
        inboxCount += other.inboxCount;
        inboxSize += other.inboxSize;
        jailCount += other.jailCount;
        jailSize += other.jailSize;
        holdCount += other.holdCount;
        holdSize += other.holdSize;
        deletedCount += other.deletedCount;
        deletedSize += other.deletedSize;
    }
};
