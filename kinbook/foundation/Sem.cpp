#include "kinbook/foundation/Sem.h"

#include <chrono>

CSem::CSem(long initialCount) : m_count(initialCount) {}

CSem::~CSem() = default;

long CSem::Release(int count) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (count <= 0 || m_count + count > kMaximumCount)
        return -1;
    long previous = m_count;
    m_count += count;
    if (count == 1)
        m_changed.notify_one();
    else
        m_changed.notify_all();
    return previous;
}

BOOL CSem::Wait(DWORD milliseconds) {
    std::unique_lock<std::mutex> guard(m_mutex);
    auto available = [this] { return m_count > 0; };
    if (milliseconds == INFINITE)
        m_changed.wait(guard, available);
    else if (!m_changed.wait_for(guard, std::chrono::milliseconds(milliseconds), available))
        return FALSE;
    --m_count;
    return TRUE;
}
