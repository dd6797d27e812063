// The pending-output queue: order, block boundaries, reuse of emptied blocks.
#include <gtest/gtest.h>

#include <string>

#include "ferrymail/proxy/SendQueue.h"

namespace {

// Takes up to `chunk` bytes at a time from the front, as a socket that takes little would.
std::string Drain(CSendQueue& queue, size_t chunk, size_t limit = SIZE_MAX) {
    std::string out;
    while (!queue.IsEmpty() && out.size() < limit) {
        size_t length = 0;
        const char* data = queue.Front(length);
        EXPECT_NE(data, nullptr);
        EXPECT_GT(length, 0u);
        const size_t take = std::min({length, chunk, limit - out.size()});
        out.append(data, take);
        queue.Consume(take);
    }
    return out;
}

std::string Pattern(size_t size, int seed) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>('a' + (i * 7 + static_cast<size_t>(seed)) % 26);
    return text;
}

}  // namespace

class SendQueueTest : public ::testing::Test {
protected:
    CSendQueue m_queue;
};

// Blocks are one allocation of 409600 bytes each; an empty queue holds none.
TEST_F(SendQueueTest, EmptyQueueAndBlockSize) {
    size_t length = 99;
    EXPECT_TRUE(m_queue.IsEmpty());
    EXPECT_EQ(m_queue.Front(length), nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(m_queue.GetBlockCount(), 0u);
    EXPECT_EQ(CSendQueue::kBlockSize, 409600u);
    EXPECT_GT(CSendQueue::GetBlockCapacity(), 409500u);
    EXPECT_LT(CSendQueue::GetBlockCapacity(), CSendQueue::kBlockSize);
}

TEST_F(SendQueueTest, BytesLeaveInOrderAcrossBlockBoundaries) {
    const size_t capacity = CSendQueue::GetBlockCapacity();
    const size_t sizes[] = {1, capacity - 1, capacity, capacity + 1, 3 * capacity + 17};
    for (size_t size : sizes) {
        const std::string data = Pattern(size, static_cast<int>(size));
        // Appended in uneven pieces, taken in other uneven pieces.
        for (size_t at = 0; at < size; at += 100003)
            m_queue.Append(data.data() + at, std::min<size_t>(100003, size - at));
        EXPECT_EQ(m_queue.GetSize(), size);
        EXPECT_EQ(Drain(m_queue, 65521), data) << size;
        EXPECT_TRUE(m_queue.IsEmpty());
    }
}

TEST_F(SendQueueTest, FrontNeverSpansTwoBlocks) {
    const size_t capacity = CSendQueue::GetBlockCapacity();
    const std::string data = Pattern(capacity + 10, 3);
    m_queue.Append(data.data(), data.size());
    size_t length = 0;
    m_queue.Front(length);
    EXPECT_EQ(length, capacity);
    m_queue.Consume(length);
    m_queue.Front(length);
    EXPECT_EQ(length, 10u);
}

TEST_F(SendQueueTest, EmptiedBlocksAreReusedNotReallocated) {
    const size_t capacity = CSendQueue::GetBlockCapacity();
    const std::string data = Pattern(capacity * 2, 5);
    std::string expected;
    std::string received;
    // A steady stream through the queue that never holds more than three blocks.
    for (int round = 0; round < 50; ++round) {
        m_queue.Append(data.data(), data.size());
        expected += data;
        received += Drain(m_queue, 40000, data.size());
    }
    received += Drain(m_queue, 40000);
    EXPECT_TRUE(received == expected);
    EXPECT_LE(m_queue.GetBlockCount(), 4u);
}

TEST_F(SendQueueTest, ConsumeMoreThanFrontTakesOnlyFront) {
    m_queue.Append("abc", 3);
    m_queue.Consume(10);
    EXPECT_TRUE(m_queue.IsEmpty());
    m_queue.Append("de", 2);
    EXPECT_EQ(Drain(m_queue, 1), "de");
}
