// The look-up index of the friends map: an open-addressed table of (hash, friend) kept
// beside the owning map, so that a look-up touches one slot for an unknown address and the
// friend itself for a known one. Guarded by CFriend::GetLock().
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

class CFriend;

class CFriendIndex {
public:
    CFriend* Find(std::string_view address) const;
    // `entry` must not be in the index under the same address.
    void Insert(CFriend* entry);
    void Erase(CFriend* entry);
    void Clear();

private:
    struct SSlot {
        uint64_t hash = 0;
        CFriend* entry = nullptr;  // null: free
    };
    void Grow();
    void Place(const SSlot& slot);

    std::vector<SSlot> m_slots;  // a power of two long, at most half full
    size_t m_count = 0;
};
