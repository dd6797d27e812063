// A lock that can be waited for with a time limit. When its owner thread ends while
// holding it, the next waiter is told so (0) and the lock is left free again.
#pragma once

#include <pthread.h>

#include "kinbook/foundation/Sync.h"

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
