// Scope timer: adds the seconds it lived to a running total. Not shared between threads.
#pragma once

#include <cstdint>

#include "kinbook/foundation/Types.h"
#include "kinbook/kinbook_export.h"

class KINBOOK_API CFunctionTimer {
public:
    // `total` may be null; it must outlive the timer.
    explicit CFunctionTimer(double* total = nullptr);
    virtual ~CFunctionTimer();
    CFunctionTimer(const CFunctionTimer&) = delete;
    CFunctionTimer& operator=(const CFunctionTimer&) = delete;

    // Seconds since the start; with `restart` the start moves to now.
    double Query(BOOL restart = FALSE);

    // Asked once per process by the first timer. A frequency of 0 means no
    // high-resolution counter: timers then count milliseconds.
    static bool cm_fGotHPTimer;
    static int64_t cm_lgHPTimerFreq;
    static double cm_dblHPTimerFreq;

private:
    static int64_t Now();

    int64_t m_start;
    double* m_total;
};
