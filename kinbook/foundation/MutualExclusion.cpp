#include "kinbook/foundation/MutualExclusion.h"

#include <cerrno>
#include <ctime>

CMutualExclusion::CMutualExclusion() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&m_mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
}

CMutualExclusion::~CMutualExclusion() {
    pthread_mutex_destroy(&m_mutex);
}

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

BOOL CMutualExclusion::GetLock() {
    return LockResult(&m_mutex, pthread_mutex_lock(&m_mutex));
}

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

BOOL CMutualExclusion::ReleaseLock() {
    return pthread_mutex_unlock(&m_mutex) == 0;
}
