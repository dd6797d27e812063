// The keep-alive of a waiting client: what each clock tick sends and what ends the line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proxy/SlowResponse.h"

namespace {

// What the client receives at each step, and when the wait ends.
TEST(SlowResponseTest, SlowResponseGivesTheLineOutAndAlwaysCompletesIt) {
    struct SCase {
        bool extra;
        int ticks;
        std::vector<std::string> sent;  // tick by tick
        std::string finish;
    };
    const SCase cases[] = {
        {true, 0, {}, "+OK\r\n"},
        {true, 2, {"+", "O"}, "K\r\n"},
        {true, 5, {"+", "O", "K", "X", "X"}, "\r\n"},
        {false, 4, {"+", "O", "K", "\r"}, "\n"},
        {false, 6, {"+", "O", "K", "\r", "\n", ""}, ""},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.ticks);
        CSlowResponse slow;
        EXPECT_EQ(slow.Tick().bytes, "");  // not started
        slow.Start("+OK", c.extra);
        std::vector<std::string> sent;
        for (int i = 0; i < c.ticks; ++i) sent.push_back(slow.Tick().bytes);
        EXPECT_EQ(sent, c.sent);
        EXPECT_TRUE(slow.IsActive());
        EXPECT_EQ(slow.Finish().bytes, c.finish);
        EXPECT_FALSE(slow.IsActive());
        EXPECT_EQ(slow.Finish().bytes, "");
    }
}

}  // namespace
