// An in-process lock that is always obtained.
#pragma once

#include <mutex>

#include "kinbook/foundation/Sync.h"

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
