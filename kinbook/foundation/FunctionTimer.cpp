#include "kinbook/foundation/FunctionTimer.h"

#include <ctime>

bool CFunctionTimer::cm_fGotHPTimer = false;
int64_t CFunctionTimer::cm_lgHPTimerFreq = 0;
double CFunctionTimer::cm_dblHPTimerFreq = 0.0;

namespace {

// The monotonic clock in nanoseconds stands for the high-resolution counter.
constexpr int64_t kNanosecondsPerSecond = 1000000000;

}  // namespace

int64_t CFunctionTimer::Now() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t nanoseconds = static_cast<int64_t>(now.tv_sec) * kNanosecondsPerSecond + now.tv_nsec;
    if (cm_lgHPTimerFreq == 0)
        return nanoseconds / 1000000;  // millisecond ticks
    return nanoseconds;
}

CFunctionTimer::CFunctionTimer(double* total) : m_total(total) {
    if (!cm_fGotHPTimer) {
        cm_lgHPTimerFreq = kNanosecondsPerSecond;
        cm_dblHPTimerFreq = static_cast<double>(kNanosecondsPerSecond);
        cm_fGotHPTimer = true;
    }
    m_start = Now();
}

CFunctionTimer::~CFunctionTimer() {
    if (m_total != nullptr)
        *m_total += Query(FALSE);
}

double CFunctionTimer::Query(BOOL restart) {
    int64_t now = Now();
    int64_t elapsed = now - m_start;
    if (restart)
        m_start = now;
    if (cm_lgHPTimerFreq == 0)
        return static_cast<double>(elapsed) * 0.001;
    int64_t whole = elapsed / cm_lgHPTimerFreq;
    int64_t rest = elapsed % cm_lgHPTimerFreq;
    return static_cast<double>(whole) + static_cast<double>(rest) / cm_dblHPTimerFreq;
}
