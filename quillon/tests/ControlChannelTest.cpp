// The control channel over a real Unix-domain socket in a temporary folder: the socket
// file, a stale one, requests from several clients at once, bad requests, the wire texts.
#include "app/ControlChannel.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <thread>

namespace {

class ControlChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/quillon-control-XXXXXX";
        m_folder = mkdtemp(pattern);
        m_channel.Register("echo",
                           [](const std::vector<std::string>& arguments, SControlReply& reply) {
                               for (const std::string& argument : arguments)
                                   reply.output.push_back(argument);
                               return static_cast<int>(arguments.size());
                           });
        m_channel.Register("fail", [](const std::vector<std::string>&, SControlReply& reply) {
            reply.output.push_back("first\nsecond");
            reply.errors.push_back("it failed");
            return 1;
        });
    }
    void TearDown() override {
        m_channel.Stop();
        std::filesystem::remove_all(m_folder);
    }
    std::string SocketPath() const { return m_folder + "/" + CControlChannel::kFileName; }
    // A raw client: connected, nothing sent yet.
    int Connect() const {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, SocketPath().c_str());
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        return fd;
    }
    static std::string ReadAll(int fd) {
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<size_t>(n));
        close(fd);
        return text;
    }
    SControlReply Send(const std::vector<std::string>& words) {
        SControlReply reply;
        std::string error;
        EXPECT_TRUE(CControlChannel::Send(m_folder, words, 5000, reply, error, nullptr)) << error;
        return reply;
    }

    std::string m_folder;
    CControlChannel m_channel;
};

TEST_F(ControlChannelTest, AStaleSocketFileIsReplacedAndTheNewOneIsPrivate) {
    {
        // What a killed instance leaves: a socket file nobody listens at.
        const int stale = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, SocketPath().c_str());
        ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        close(stale);
    }
    SControlReply reply;
    std::string error;
    bool refused = false;
    EXPECT_FALSE(CControlChannel::Send(m_folder, {"echo"}, 1000, reply, error, &refused));
    EXPECT_TRUE(refused) << error;

    ASSERT_TRUE(m_channel.Start(m_folder, error)) << error;
    struct stat status = {};
    ASSERT_EQ(lstat(SocketPath().c_str(), &status), 0);
    EXPECT_TRUE(S_ISSOCK(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    reply = Send({"echo", "a b", "c"});
    EXPECT_EQ(reply.output, (std::vector<std::string>{"a b", "c"}));
    EXPECT_EQ(reply.status, 2);
    for (const auto& entry : std::filesystem::directory_iterator(m_folder))
        EXPECT_EQ(entry.path().filename(), CControlChannel::kFileName) << "no temporary left";

    m_channel.Stop();
    EXPECT_NE(access(SocketPath().c_str(), F_OK), 0) << "removed at the end";
    EXPECT_FALSE(CControlChannel::Send(m_folder, {"echo"}, 1000, reply, error, &refused));
    EXPECT_TRUE(refused);
}

TEST_F(ControlChannelTest, AClientThatIsSlowToAskDoesNotHoldUpTheOthers) {
    std::string error;
    ASSERT_TRUE(m_channel.Start(m_folder, error)) << error;
    const int slow = Connect();
    ASSERT_EQ(write(slow, "echo\tslo", 8), 8);
    SControlReply quick[2];
    std::thread second([&] { quick[1] = Send({"echo", "two"}); });
    quick[0] = Send({"echo", "one"});
    second.join();
    EXPECT_EQ(quick[0].output, std::vector<std::string>{"one"});
    EXPECT_EQ(quick[1].output, std::vector<std::string>{"two"});
    ASSERT_EQ(write(slow, "w\n", 2), 2);
    EXPECT_EQ(ReadAll(slow), "out\tslow\nexit\t1\n");
}

TEST_F(ControlChannelTest, BadRequestsGetAnErrorAndTheChannelGoesOn) {
    std::string error;
    ASSERT_TRUE(m_channel.Start(m_folder, error)) << error;
    const std::pair<std::string, std::string> cases[] = {
        {"nope\targ\n", "err\tunknown command 'nope'\nexit\t2\n"},
        {"\n", "err\tempty request\nexit\t2\n"},
        {"\r\n", "err\tempty request\nexit\t2\n"},
        {"ECHO\n", "err\tunknown command 'ECHO'\nexit\t2\n"},
        {"fail\n", "out\tfirst\nout\tsecond\nerr\tit failed\nexit\t1\n"},
        {"echo\tx\r\n", "out\tx\nexit\t1\n"},
        {std::string(CControlChannel::kMaxRequest + 10, 'e'),
         "err\trequest longer than 65536 bytes\nexit\t2\n"},
        {"", ""},  // a client that leaves without asking
    };
    for (const auto& [request, reply] : cases) {
        const int fd = Connect();
        ASSERT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));
        if (request.empty())
            shutdown(fd, SHUT_WR);
        EXPECT_EQ(ReadAll(fd), reply) << request.substr(0, 20);
    }
    SControlReply reply;
    EXPECT_FALSE(CControlChannel::Send(m_folder, {"echo", "a\tb"}, 1000, reply, error, nullptr));
    EXPECT_EQ(Send({"echo", "still", "here"}).status, 2);
}

TEST(ControlWireTest, RepliesReadBackOrAreRefused) {
    SControlReply reply;
    reply.output = {"one", ""};
    reply.errors = {"bad"};
    reply.status = 3;
    const std::string text = CControlChannel::FormatReply(reply);
    EXPECT_EQ(text, "out\tone\nout\t\nerr\tbad\nexit\t3\n");
    SControlReply back;
    ASSERT_TRUE(CControlChannel::ParseReply(text, back));
    EXPECT_EQ(back.output, reply.output);
    EXPECT_EQ(back.errors, reply.errors);
    EXPECT_EQ(back.status, 3);
    for (const char* broken : {"", "out\tone\n", "exit\t\n", "exit\tx\n", "exit\t0\nout\tlate\n",
                               "what\tever\nexit\t0\n", "exit\t12345\n"})
        EXPECT_FALSE(CControlChannel::ParseReply(broken, back)) << broken;
    EXPECT_EQ(CControlChannel::ParseRequest("a\t\tb"), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(CControlChannel::FormatRequest({"release", "1", "x:2"}), "release\t1\tx:2\n");
}

}  // namespace
