// The friends commands: parsing, and the built program changing the data folder while
// another quillon runs on it and while this process holds the friends loaded.
#include "app/FriendCommands.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include "HeadlessChild.h"
#include "TestHome.h"
#include "friends/FriendsState.h"
#include "kinbook/friends/Friends.h"

namespace {

class FriendCommandsTest : public ::testing::Test {
protected:
    void SetUp() override { ResetFriendsState(); }
    void TearDown() override { ResetFriendsState(); }

    static int Quillon(std::vector<std::string> arguments, std::string* output = nullptr) {
        arguments.insert(arguments.begin(), std::string(QUILLON_BIN_DIR) + "/quillon");
        return RunProgram(arguments, output);
    }

    CTestHome m_home;
};

TEST_F(FriendCommandsTest, Parsing) {
    struct Case {
        std::vector<std::string> arguments;
        FRIEND_COMMAND command;  // FC_NONE: refused
        const char* target;
    } cases[] = {
        {{"--add-friend", "ann@x.org", "--name", "Ann", "--note=met"}, FC_ADD_FRIEND, "ann@x.org"},
        {{"--add-me=me@x.org"}, FC_ADD_ME, "me@x.org"},
        {{"--add-list", "list@lists.x.org"}, FC_ADD_LIST, "list@lists.x.org"},
        {{"--add-company", "*.corp.net"}, FC_ADD_COMPANY, "*.corp.net"},
        {{"--add-company", "corp.net"}, FC_ADD_COMPANY, "corp.net"},
        {{"--delete-friend", "ann@x.org"}, FC_DELETE_FRIEND, "ann@x.org"},
        {{"--list-friends"}, FC_LIST_FRIENDS, ""},
        {{"--add-friend", "not-an-address"}, FC_NONE, ""},
        {{"--add-friend", "ann@x"}, FC_NONE, ""},
        {{"--add-friend"}, FC_NONE, ""},
        {{"--add-company", "a@b.com"}, FC_NONE, ""},
        {{"--add-company", "*.com."}, FC_NONE, ""},
        {{"--add-company", "com"}, FC_NONE, ""},
        {{"--list-friends", "--name", "x"}, FC_NONE, ""},
        {{"--list-friends=yes"}, FC_NONE, ""},
        {{"--add-me", "a@x.org", "--add-list", "b@x.org"}, FC_NONE, ""},
        {{"--add-friend", "a@x.org", "--name", "A", "--name", "B"}, FC_NONE, ""},
        {{"--add-friend", "a@x.org", "--headless"}, FC_NONE, ""},
    };
    for (const Case& c : cases) {
        SFriendCommand command;
        std::string error;
        const bool ok = ParseFriendCommand(c.arguments, command, error);
        EXPECT_EQ(ok, c.command != FC_NONE) << c.arguments[0] << " " << error;
        if (ok) {
            EXPECT_EQ(command.command, c.command);
            EXPECT_EQ(command.target, c.target);
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
    EXPECT_TRUE(IsFriendCommandLine({"--headless", "--list-friends"}));
    EXPECT_FALSE(IsFriendCommandLine({"--headless", "--name", "x"}));
}

TEST_F(FriendCommandsTest, CommandsWorkBesideARunningQuillon) {
    CHeadlessChild engine;
    ASSERT_GT(engine.Start(), 0) << engine.Output();
    // This process holds the lists loaded, as a running filter does.
    CFriendData ann;
    ASSERT_TRUE(ann.Create("ann@x.org", "Ann", AS_MANUAL, "keep this note"));
    EXPECT_EQ(IsAddressFriendly("x@corp.net"), FRIENDLY_NONE);

    EXPECT_EQ(Quillon({"--add-friend", "bob@x.org", "--name", "Bob"}), 0);
    EXPECT_EQ(Quillon({"--add-me", "me@home.org"}), 0);
    EXPECT_EQ(Quillon({"--add-list", "news@lists.org"}), 0);
    EXPECT_EQ(Quillon({"--add-company", "*.corp.net"}), 0);
    EXPECT_EQ(Quillon({"--add-company", "exact.org"}), 0);
    EXPECT_EQ(Quillon({"--add-friend", "ann@x.org", "--name", "Ann Example"}), 0);
    EXPECT_EQ(Quillon({"--delete-friend", "nobody@x.org"}), 1);
    EXPECT_EQ(Quillon({"--add-friend", "bad"}), 2);
    EXPECT_EQ(Quillon({"--add-me", "gone@x.org"}), 0);
    EXPECT_EQ(Quillon({"--delete-friend", "gone@x.org"}), 0);
    std::string list;
    EXPECT_EQ(Quillon({"--list-friends"}, &list), 0);

    usleep(30000);
    struct Case {
        const char* address;
        FRIENDLY expected;
    } cases[] = {
        {"bob@x.org", FRIENDLY_FRIEND},
        {"me@home.org", FRIENDLY_ME},
        {"news@lists.org", FRIENDLY_MAILING_LIST},
        {"x@a.corp.net", FRIENDLY_COMPANY},
        {"x@exact.org", FRIENDLY_COMPANY},
        {"x@sub.exact.org", FRIENDLY_NONE},
        {"gone@x.org", FRIENDLY_NONE},
        {"ann@x.org", FRIENDLY_FRIEND},
    };
    for (const Case& c : cases) EXPECT_EQ(IsAddressFriendly(c.address), c.expected) << c.address;
    EXPECT_EQ(ann.GetName(), "Ann Example");
    EXPECT_EQ(ann.GetNote(), "keep this note") << "only what the command names changes";

    const std::string bobLine = "bob@x.org\tfriend\tBob\t1\t";
    EXPECT_NE(list.find("\n" + bobLine), std::string::npos) << list;
    EXPECT_NE(list.find("me@home.org\tme\tme@home.org\t1\t"), std::string::npos) << list;
    EXPECT_NE(list.find("news@lists.org\tlist\t"), std::string::npos) << list;
    EXPECT_EQ(list.find("gone@x.org"), std::string::npos) << list;
    EXPECT_EQ(list.rfind("ann@x.org\t", 0), 0u) << "sorted by address\n" << list;

    EXPECT_EQ(engine.Stop(), 0) << "the engine ran beside them";
}

}  // namespace
