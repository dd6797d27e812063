#include "friends/FriendIndex.h"

#include "friends/FriendsFiles.h"
#include "kinbook/friends/Friend.h"

CFriend* CFriendIndex::Find(std::string_view address) const {
    if (m_count == 0)
        return nullptr;
    const uint64_t hash = SNoCaseHash()(address);
    const size_t mask = m_slots.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        const SSlot& slot = m_slots[i];
        if (slot.entry == nullptr)
            return nullptr;
        if (slot.hash == hash && SNoCaseEqual()(slot.entry->AddressView(), address))
            return slot.entry;
    }
}

void CFriendIndex::Place(const SSlot& slot) {
    const size_t mask = m_slots.size() - 1;
    size_t i = slot.hash & mask;
    while (m_slots[i].entry != nullptr) i = (i + 1) & mask;
    m_slots[i] = slot;
}

void CFriendIndex::Grow() {
    std::vector<SSlot> old;
    old.swap(m_slots);
    m_slots.assign(old.empty() ? 1024 : old.size() * 2, SSlot());
    for (const SSlot& slot : old)
        if (slot.entry != nullptr)
            Place(slot);
}

void CFriendIndex::Insert(CFriend* entry) {
    if ((m_count + 1) * 2 > m_slots.size())
        Grow();
    Place(SSlot{SNoCaseHash()(entry->AddressView()), entry});
    ++m_count;
}

void CFriendIndex::Erase(CFriend* entry) {
    if (m_count == 0)
        return;
    const size_t mask = m_slots.size() - 1;
    size_t i = SNoCaseHash()(entry->AddressView()) & mask;
    while (m_slots[i].entry != entry) {
        if (m_slots[i].entry == nullptr)
            return;
        i = (i + 1) & mask;
    }
    // Backward shift: each later slot of the run moves up unless it already sits between
    // its home slot and the gap.
    m_slots[i] = SSlot();
    --m_count;
    for (size_t j = (i + 1) & mask; m_slots[j].entry != nullptr; j = (j + 1) & mask) {
        size_t home = m_slots[j].hash & mask;
        bool stays = i <= j ? (home > i && home <= j) : (home > i || home <= j);
        if (stays)
            continue;
        m_slots[i] = m_slots[j];
        m_slots[j] = SSlot();
        i = j;
    }
}

void CFriendIndex::Clear() {
    m_slots.clear();
    m_count = 0;
}
