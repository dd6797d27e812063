#include "kinbook/foundation/RefCount.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <thread>
#include <vector>

namespace {

// Counts its destructions in a counter that outlives it.
class CCounted : public CRefCount {
public:
    explicit CCounted(std::atomic<int>* destroyed) : m_destroyed(destroyed) {}
    ~CCounted() override { ++*m_destroyed; }

private:
    std::atomic<int>* m_destroyed;
};

class RefCountTest : public ::testing::Test {
protected:
    std::atomic<int> m_destroyed{0};
};

TEST_F(RefCountTest, DoReleaseDeletesAtZeroOrBelowAndReleaseNever) {
    EXPECT_FALSE(CRefCount::DoRelease(nullptr));
    // Never referenced: the first DoRelease deletes.
    EXPECT_TRUE(CRefCount::DoRelease(new CCounted(&m_destroyed)));
    EXPECT_EQ(m_destroyed, 1);

    CCounted* object = new CCounted(&m_destroyed);
    EXPECT_EQ(object->AddRef(), 1);
    EXPECT_EQ(object->AddRef(), 2);
    EXPECT_FALSE(CRefCount::DoRelease(object));
    EXPECT_EQ(object->GetRefCount(), 1);
    EXPECT_EQ(m_destroyed, 1);
    EXPECT_TRUE(CRefCount::DoRelease(object));  // the last reference
    EXPECT_EQ(m_destroyed, 2);

    object = new CCounted(&m_destroyed);
    object->AddRef();
    EXPECT_EQ(object->Release(), 0);
    EXPECT_EQ(object->Release(), -1);
    EXPECT_EQ(m_destroyed, 2);
    EXPECT_TRUE(CRefCount::DoRelease(object));
    EXPECT_EQ(m_destroyed, 3);
}

TEST_F(RefCountTest, ConcurrentReferencesDeleteExactlyOnceAtTheEnd) {
    const int kThreads = 8;
    const int kRounds = 20000;
    CCounted* object = new CCounted(&m_destroyed);
    for (int t = 0; t < kThreads; ++t)
        object->AddRef();  // one reference per thread, dropped when it ends

    std::latch start(kThreads);
    std::atomic<int> deletions{0};
    std::atomic<int> earlyDeletions{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            start.arrive_and_wait();
            for (int i = 0; i < kRounds; ++i) {
                object->AddRef();
                if (CRefCount::DoRelease(object) || m_destroyed != 0)
                    ++earlyDeletions;
            }
            if (CRefCount::DoRelease(object))
                ++deletions;
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(earlyDeletions, 0);
    EXPECT_EQ(deletions, 1);
    EXPECT_EQ(m_destroyed, 1);
}

}  // namespace
