// A counting semaphore with a maximum count of 100.
#pragma once

#include <condition_variable>
#include <mutex>

#include "kinbook/foundation/Types.h"
#include "kinbook/kinbook_export.h"

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
