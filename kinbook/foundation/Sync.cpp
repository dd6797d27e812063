#include "kinbook/Sync.h"

#include <cerrno>
#include <chrono>
#include <ctime>

CSync::~CSync() = default;

CCritical::CCritical() = default;
CCritical::~CCritical() = default;

BOOL CCritical::GetLock() {
    m_mutex.lock();
    return TRUE;
}

BOOL CCritical::ReleaseLock() {
    m_mutex.unlock();
    return TRUE;
}

BOOL CCritical::TryLock() { return m_mutex.try_lock() ? TRUE : FALSE; }

CMutualExclusion::CMutualExclusion() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&m_mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

CMutualExclusion::~CMutualExclusion() { pthread_mutex_destroy(&m_mutex); }

namespace {

// A lock whose owner ended while holding it is made consistent and given up again, so
// the waiter reports failure without keeping a lock it did not expect to hold.
BOOL LockResult(pthread_mutex_t* mutex, int result) {
    if (result == 0)
        return TRUE;
    if (result == EOWNERDEAD) {
        pthread_mutex_consistent(mutex);
        pthread_mutex_unlock(mutex);
    }
    return FALSE;
}

}  // namespace

BOOL CMutualExclusion::GetLock() { return LockResult(&m_mutex, pthread_mutex_lock(&m_mutex)); }

BOOL CMutualExclusion::TryLock(DWORD milliseconds) {
    if (milliseconds == INFINITE)
        return GetLock();
    if (milliseconds == 0)
        return LockResult(&m_mutex, pthread_mutex_trylock(&m_mutex));
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return LockResult(&m_mutex, pthread_mutex_clocklock(&m_mutex, CLOCK_MONOTONIC, &deadline));
}

BOOL CMutualExclusion::ReleaseLock() { return pthread_mutex_unlock(&m_mutex) == 0; }

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

CLock::CLock(CSync* sync) : m_sync(sync) { m_sync->GetLock(); }

CLock::~CLock() { m_sync->ReleaseLock(); }
