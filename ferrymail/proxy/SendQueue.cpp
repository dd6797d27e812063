#include "ferrymail/proxy/SendQueue.h"

#include <cstring>
#include <new>

struct CSendQueue::SBlock {
    SBlock* next;
    size_t capacity;
    size_t readPosition;
    size_t writePosition;

    char* Data() { return reinterpret_cast<char*>(this + 1); }
};

size_t CSendQueue::GetBlockCapacity() { return kBlockSize - sizeof(SBlock); }

CSendQueue::~CSendQueue() {
    for (SBlock* block : m_blocks) {
        block->~SBlock();
        ::operator delete(block);
    }
}

CSendQueue::SBlock* CSendQueue::TakeBlock() {
    SBlock* block;
    if (!m_reuse.empty()) {
        block = m_reuse.back();
        m_reuse.pop_back();
    } else {
        block = new (::operator new(kBlockSize)) SBlock;
        block->capacity = GetBlockCapacity();
        m_blocks.push_back(block);
    }
    block->next = nullptr;
    block->readPosition = 0;
    block->writePosition = 0;
    return block;
}

void CSendQueue::Append(const char* data, size_t length) {
    while (length > 0) {
        if (m_last == nullptr || m_last->writePosition == m_last->capacity) {
            SBlock* block = TakeBlock();
            if (m_last == nullptr)
                m_first = block;
            else
                m_last->next = block;
            m_last = block;
        }
        const size_t room = m_last->capacity - m_last->writePosition;
        const size_t piece = length < room ? length : room;
        std::memcpy(m_last->Data() + m_last->writePosition, data, piece);
        m_last->writePosition += piece;
        m_total += piece;
        data += piece;
        length -= piece;
    }
}

const char* CSendQueue::Front(size_t& length) const {
    if (m_first == nullptr || m_total == 0) {
        length = 0;
        return nullptr;
    }
    length = m_first->writePosition - m_first->readPosition;
    return m_first->Data() + m_first->readPosition;
}

void CSendQueue::Consume(size_t length) {
    if (m_first == nullptr)
        return;
    const size_t held = m_first->writePosition - m_first->readPosition;
    if (length > held)
        length = held;
    m_first->readPosition += length;
    m_total -= length;
    if (m_first->readPosition < m_first->writePosition)
        return;
    // Emptied: a block that is also the last one is simply rewound and keeps filling.
    if (m_first == m_last) {
        m_first->readPosition = 0;
        m_first->writePosition = 0;
        return;
    }
    SBlock* emptied = m_first;
    m_first = emptied->next;
    m_reuse.push_back(emptied);
}
