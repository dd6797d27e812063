// Bytes that a socket did not take yet, oldest first, kept in 409,600-byte blocks that
// are reused once emptied and freed only with the queue. Owned by one CEventSocket and
// used only by the thread of the connection that owns that socket.
#pragma once

#include <cstddef>
#include <vector>

#include "ferrymail/ferrymail_export.h"

class CSendQueue {
public:
    // The size of one allocation; its header comes first, the data after it.
    static constexpr size_t kBlockSize = 409600;

    CSendQueue() = default;
    ~CSendQueue();
    CSendQueue(const CSendQueue&) = delete;
    CSendQueue& operator=(const CSendQueue&) = delete;

    // Appends `length` bytes: into the free space of the last block, then into emptied
    // blocks, and only then into new ones.
    void Append(const char* data, size_t length);
    bool IsEmpty() const { return m_total == 0; }
    size_t GetSize() const { return m_total; }
    // The oldest bytes that lie together in one block (null and 0 when empty).
    const char* Front(size_t& length) const;
    // Drops `length` (at most the Front length) bytes from the front; an emptied block
    // goes to the reuse list.
    void Consume(size_t length);
    // Blocks allocated so far (they stay until the queue is destroyed).
    size_t GetBlockCount() const { return m_blocks.size(); }
    // The data bytes one block holds.
    static size_t GetBlockCapacity();

private:
    struct SBlock;
    SBlock* TakeBlock();

    std::vector<SBlock*> m_blocks;  // every block allocated, for freeing
    std::vector<SBlock*> m_reuse;   // emptied blocks
    SBlock* m_first = nullptr;      // oldest block with data
    SBlock* m_last = nullptr;       // block being filled
    size_t m_total = 0;             // bytes queued
};
