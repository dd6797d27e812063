#include "kinbook/foundation/Sync.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

class SyncTest : public ::testing::Test {
protected:
    // Whether a second thread gets the mutex at once (it gives it back when it does).
    static bool OtherThreadGets(CMutualExclusion& mutex) {
        BOOL got = FALSE;
        std::thread other([&] {
            got = mutex.TryLock(0);
            if (got)
                mutex.ReleaseLock();
        });
        other.join();
        return got == TRUE;
    }

    // Takes `mutex` on a thread that ends without releasing it.
    static void AbandonOnAnotherThread(CMutualExclusion& mutex) {
        std::thread owner([&] { ASSERT_TRUE(mutex.GetLock()); });
        owner.join();
    }
};

TEST_F(SyncTest, TryLockOnAMutexHeldElsewhereTimesOutThenSucceedsOnceReleased) {
    CMutualExclusion mutex;
    std::promise<void> held, letGo;
    std::thread holder([&] {
        mutex.GetLock();
        held.set_value();
        letGo.get_future().wait();
        mutex.ReleaseLock();
    });
    held.get_future().wait();
    // Waiting here would never end: the holder lets go only after the checks.
    EXPECT_FALSE(mutex.TryLock(0));
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(mutex.TryLock(50));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));

    letGo.set_value();
    const BOOL got = mutex.TryLock(60000);
    holder.join();
    ASSERT_TRUE(got);
    EXPECT_FALSE(OtherThreadGets(mutex));
    EXPECT_TRUE(mutex.ReleaseLock());
    EXPECT_TRUE(OtherThreadGets(mutex));
}

TEST_F(SyncTest, AbandonedMutexIsReportedOnceThenFree) {
    CMutualExclusion byTry;
    AbandonOnAnotherThread(byTry);
    EXPECT_FALSE(byTry.TryLock(0));
    ASSERT_TRUE(byTry.TryLock(0));
    EXPECT_TRUE(byTry.ReleaseLock());

    CMutualExclusion byTimedTry;
    AbandonOnAnotherThread(byTimedTry);
    EXPECT_FALSE(byTimedTry.TryLock(1000));
    EXPECT_TRUE(OtherThreadGets(byTimedTry));

    CMutualExclusion byWait;
    AbandonOnAnotherThread(byWait);
    EXPECT_FALSE(byWait.GetLock());
    ASSERT_TRUE(byWait.GetLock());
    EXPECT_FALSE(OtherThreadGets(byWait));
    EXPECT_TRUE(byWait.ReleaseLock());
}

TEST_F(SyncTest, WaiterLearnsWhenTheOwnerEndsWhileHoldingTheMutex) {
    CMutualExclusion mutex;
    std::promise<void> held;
    std::promise<void> end;
    std::thread owner([&] {
        mutex.GetLock();
        held.set_value();
        end.get_future().wait();
    });
    held.get_future().wait();
    end.set_value();
    EXPECT_FALSE(mutex.GetLock());  // before or after the owner ends, the answer is 0
    owner.join();
    EXPECT_TRUE(mutex.GetLock());
    EXPECT_TRUE(mutex.ReleaseLock());
}

TEST_F(SyncTest, MutexMayBeTakenAgainByItsOwner) {
    CMutualExclusion mutex;
    ASSERT_TRUE(mutex.GetLock());
    ASSERT_TRUE(mutex.TryLock(0));
    ASSERT_TRUE(mutex.TryLock(10));
    EXPECT_TRUE(mutex.ReleaseLock());
    EXPECT_TRUE(mutex.ReleaseLock());
    EXPECT_FALSE(OtherThreadGets(mutex));
    EXPECT_TRUE(mutex.ReleaseLock());
    EXPECT_TRUE(OtherThreadGets(mutex));
    EXPECT_FALSE(mutex.ReleaseLock());  // not held by this thread
}

TEST_F(SyncTest, CriticalIsReentrantAndExcludesOtherThreads) {
    CCritical critical;
    EXPECT_TRUE(critical.GetLock());
    EXPECT_TRUE(critical.GetLock());
    EXPECT_TRUE(critical.ReleaseLock());
    EXPECT_TRUE(critical.ReleaseLock());

    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                CLock lock(&critical);
                long seen = counter;
                std::this_thread::yield();
                counter = seen + 1;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(counter, 4 * 20000);
}

TEST_F(SyncTest, SemaphoreReleaseReturnsThePreviousCountUpToOneHundred) {
    CSem semaphore;
    EXPECT_EQ(semaphore.Release(1), 0);
    EXPECT_EQ(semaphore.Release(98), 1);
    EXPECT_EQ(semaphore.Release(2), -1);  // would pass 100
    EXPECT_EQ(semaphore.Release(1), 99);
    EXPECT_EQ(semaphore.Release(1), -1);
    EXPECT_EQ(semaphore.Release(0), -1);
    EXPECT_EQ(semaphore.Release(-1), -1);
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(semaphore.Wait(0)) << i;
    EXPECT_FALSE(semaphore.Wait(0));

    CSem five(5);
    EXPECT_EQ(five.Release(96), -1);
    EXPECT_EQ(five.Release(95), 5);
}

TEST_F(SyncTest, SemaphoreWaitTimesOutOrWakesOnRelease) {
    CSem semaphore(0);
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(semaphore.Wait(30));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(30));

    std::vector<std::future<BOOL>> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.push_back(std::async(std::launch::async, [&] { return semaphore.Wait(); }));
    EXPECT_EQ(semaphore.Release(1), 0);
    EXPECT_GE(semaphore.Release(2), 0);  // 0 or 1, as the first waiter may have run
    for (std::future<BOOL>& waiter : waiters) EXPECT_TRUE(waiter.get());
    EXPECT_FALSE(semaphore.Wait(0));
}

TEST_F(SyncTest, ScopedLockReleasesOnExitAndOnException) {
    CMutualExclusion mutex;
    {
        CLock lock(&mutex);
        EXPECT_FALSE(OtherThreadGets(mutex));
    }
    EXPECT_TRUE(OtherThreadGets(mutex));
    try {
        CLock lock(&mutex);
        EXPECT_FALSE(OtherThreadGets(mutex));
        throw std::runtime_error("leaving the block");
    } catch (const std::runtime_error&) {
    }
    EXPECT_TRUE(OtherThreadGets(mutex));
}

}  // namespace
