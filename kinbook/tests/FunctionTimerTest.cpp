#include "kinbook/foundation/FunctionTimer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

bool WholeMilliseconds(double seconds) {
    double ms = seconds * 1000.0;
    return std::fabs(ms - std::round(ms)) < 1e-6;
}

class FunctionTimerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_gotHPTimer = CFunctionTimer::cm_fGotHPTimer;
        m_hpTimerFreq = CFunctionTimer::cm_lgHPTimerFreq;
        m_dblHPTimerFreq = CFunctionTimer::cm_dblHPTimerFreq;
    }
    void TearDown() override {
        CFunctionTimer::cm_fGotHPTimer = m_gotHPTimer;
        CFunctionTimer::cm_lgHPTimerFreq = m_hpTimerFreq;
        CFunctionTimer::cm_dblHPTimerFreq = m_dblHPTimerFreq;
    }

    // Pretends the first timer found no high-resolution counter.
    static void WithoutCounter() {
        CFunctionTimer::cm_fGotHPTimer = true;
        CFunctionTimer::cm_lgHPTimerFreq = 0;
        CFunctionTimer::cm_dblHPTimerFreq = 0.0;
    }

private:
    bool m_gotHPTimer = false;
    int64_t m_hpTimerFreq = 0;
    double m_dblHPTimerFreq = 0.0;
};

TEST_F(FunctionTimerTest, FirstTimerAsksTheFrequency) {
    CFunctionTimer::cm_fGotHPTimer = false;
    CFunctionTimer::cm_lgHPTimerFreq = 0;
    CFunctionTimer timer;
    EXPECT_TRUE(CFunctionTimer::cm_fGotHPTimer);
    EXPECT_GT(CFunctionTimer::cm_lgHPTimerFreq, 0);
    EXPECT_EQ(CFunctionTimer::cm_dblHPTimerFreq,
              static_cast<double>(CFunctionTimer::cm_lgHPTimerFreq));
}

TEST_F(FunctionTimerTest, AddsItsLifetimeSinceTheLastRestartToTheTotal) {
    double total = 1.5;
    Clock::time_point beforeRestart;
    double sinceRestart;
    {
        CFunctionTimer timer(&total);
        std::this_thread::sleep_for(milliseconds(20));
        beforeRestart = Clock::now();
        double first = timer.Query(TRUE);
        EXPECT_GE(first, 0.020);
        std::this_thread::sleep_for(milliseconds(10));
        double second = timer.Query(FALSE);
        sinceRestart = Seconds(Clock::now() - beforeRestart);
        EXPECT_GE(second, 0.010);
        EXPECT_LE(second, sinceRestart);
        EXPECT_GE(timer.Query(FALSE), second);  // without restart the start stays
    }
    // The destructor adds the time since the restart only.
    EXPECT_GE(total, 1.5 + 0.010);
    EXPECT_LE(total, 1.5 + Seconds(Clock::now() - beforeRestart));

    { CFunctionTimer untracked(nullptr); }
}

TEST_F(FunctionTimerTest, WithoutACounterTimesAreWholeMilliseconds) {
    WithoutCounter();
    double total = 0.25;
    {
        CFunctionTimer timer(&total);
        std::this_thread::sleep_for(milliseconds(15));
        double elapsed = timer.Query(FALSE);
        EXPECT_TRUE(WholeMilliseconds(elapsed)) << elapsed;
        EXPECT_GE(elapsed, 0.014);  // the tick may have advanced just before the start
        double beforeRestart = timer.Query(TRUE);
        EXPECT_TRUE(WholeMilliseconds(beforeRestart)) << beforeRestart;
        std::this_thread::sleep_for(milliseconds(5));
        EXPECT_TRUE(WholeMilliseconds(timer.Query(FALSE)));
    }
    EXPECT_TRUE(WholeMilliseconds(total - 0.25)) << total;
    EXPECT_GE(total, 0.25 + 0.004);
    EXPECT_EQ(CFunctionTimer::cm_lgHPTimerFreq, 0);  // a timer does not ask again
}

}  // namespace
