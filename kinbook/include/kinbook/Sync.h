// Lock primitives and the scoped lock. Each object may be shared between threads;
// a thread may take a CCritical or CMutualExclusion again while it holds it.
#pragma once

#include <condition_variable>
#include <mutex>

#include <pthread.h>

#include "kinbook/Types.h"
#include "kinbook/kinbook_export.h"

// Abstract lock: GetLock and ReleaseLock return 1 on success.
class KINBOOK_API CSync {
public:
    virtual ~CSync();
    virtual BOOL GetLock() = 0;
    virtual BOOL ReleaseLock() = 0;
};

// An in-process lock that is always obtained.
class KINBOOK_API CCritical : public CSync {
public:
    CCritical();
    ~CCritical() override;
    CCritical(const CCritical&) = delete;
    CCritical& operator=(const CCritical&) = delete;

    BOOL GetLock() override;
    BOOL ReleaseLock() override;
    // Takes the lock only when that needs no waiting: 1 when taken.
    BOOL TryLock();

private:
    std::recursive_mutex m_mutex;
};

// A lock that can be waited for with a time limit. When its owner thread ends while
// holding it, the next waiter is told so (0) and the lock is left free again.
class KINBOOK_API CMutualExclusion : public CSync {
public:
    CMutualExclusion();
    ~CMutualExclusion() override;
    CMutualExclusion(const CMutualExclusion&) = delete;
    CMutualExclusion& operator=(const CMutualExclusion&) = delete;

    BOOL GetLock() override;  // waits without limit
    BOOL ReleaseLock() override;
    // 1 when the lock was obtained within `milliseconds`; 0 on time-out, failure or
    // when the previous owner ended without releasing it.
    BOOL TryLock(DWORD milliseconds);

private:
    pthread_mutex_t m_mutex;
};

// A counting semaphore with a maximum count of 100.
class CSem {
public:
    static constexpr long kMaximumCount = 100;

    explicit CSem(long initialCount = 0);
    virtual ~CSem();
    CSem(const CSem&) = delete;
    CSem& operator=(const CSem&) = delete;

    // Raises the count by `count`; returns the count before, or -1 when the call would
    // pass the maximum or `count` is not positive (the count is then unchanged).
    virtual long Release(int count);
    // Waits until the count is positive and takes one; 0 when `milliseconds` pass first.
    BOOL Wait(DWORD milliseconds = INFINITE);

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    long m_count;  // guarded by m_mutex
};

// Takes a lock for the lifetime of a block.
class KINBOOK_API CLock {
public:
    explicit CLock(CSync* sync);
    ~CLock();
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;

private:
    CSync* m_sync;
};
