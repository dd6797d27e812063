// A proxied connection over real loopback sockets: the CONNECT line, line reading,
// pending output, closing from either side, the line limit and named-host mode.
#include <gtest/gtest.h>

#include <memory>

#include "ProxyTestPeers.h"
#include "TestHome.h"
#include "ferrymail/UINotifier.h"

using namespace testpeers;

class ProxyConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_listener = std::make_unique<CRelayListener>();
        int errorNumber = 0;
        std::string errorText;
        ASSERT_TRUE(m_listener->InitListener(5, errorNumber, errorText)) << errorText;
        ASSERT_NE(m_listener->GetPort(), 0);
    }
    void TearDown() override {
        // Destroying the listener ends and deletes every session.
        m_listener.reset();
        EXPECT_EQ(CRelaySession::cm_running.load(), 0);
        EXPECT_EQ(CRelaySession::cm_live.load(), 0);
    }

    // Logs every line to a spool file in the test folder.
    std::string StartSpool() {
        const std::string name = m_home.Path() + "/spool.log";
        const int file = CListener::OpenSpoolFile(name);
        EXPECT_GE(file, 0);
        m_listener->SetSpoolFile(name, file);
        m_listener->AddLogging(0xFFFF);
        return name;
    }

    CTestHome m_home;
    std::unique_ptr<CRelayListener> m_listener;
};

TEST_F(ProxyConnectionTest, ConnectLineYieldsZeroThenServerGreeting) {
    TestServer server("+OK test server ready");
    TestClient client(m_listener->GetPort());
    ASSERT_TRUE(client.IsConnected());
    ASSERT_TRUE(client.SendLine(ConnectLine(server.GetPort(), "Mail Client 5.0")));
    EXPECT_EQ(client.ReadLine(), "0");
    EXPECT_EQ(client.ReadLine(), "+OK test server ready");
    // Lines now pass both ways.
    ASSERT_TRUE(client.SendLine("USER bob"));
    EXPECT_EQ(client.ReadLine(), "+OK USER bob");
}

TEST_F(ProxyConnectionTest, MalformedConnectYieldsMinusOne) {
    const char* const kMalformed[] = {
        "CONNECT ",
        "CONNECT 127.0.0.1",
        "CONNECT 127.0.0:110 x",
        "CONNECT 127.0.0.1:",
        "CONNECT host.example:110 x",
        "CONNECT 300.0.0.1:110 x",   // an octet out of range
        "CONNECT 127.0.0.1:70000 x",  // a port out of range
        "CONNECT -1.0.0.1:110 x",
    };
    for (const char* line : kMalformed) {
        TestClient client(m_listener->GetPort());
        ASSERT_TRUE(client.IsConnected());
        ASSERT_TRUE(client.SendLine(line));
        EXPECT_EQ(client.ReadLine(), "-1") << line;
        // The session stays unconnected.
        ASSERT_TRUE(client.SendLine("NOOP"));
        EXPECT_EQ(client.ReadLine(), "-ERR Not connected to server") << line;
    }
}

TEST_F(ProxyConnectionTest, RefusedDestinationYieldsWinsockNumber) {
    int freePort;
    {
        TestServer probe("");  // a port that was free a moment ago and is closed now
        freePort = probe.GetPort();
    }
    TestClient client(m_listener->GetPort());
    ASSERT_TRUE(client.SendLine(ConnectLine(freePort)));
    EXPECT_EQ(client.ReadLine(), "10061");
}

// Every split of the CONNECT line over two reads, and a line over many reads.
TEST_F(ProxyConnectionTest, LineSplitOverReadsArrivesOnceComplete) {
    TestServer server("+OK split");
    const std::string line = ConnectLine(server.GetPort()) + "\r\n";
    for (size_t cut = 1; cut < line.size(); cut += 3) {
        TestClient client(m_listener->GetPort());
        ASSERT_TRUE(client.Send(line.substr(0, cut)));
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
        ASSERT_TRUE(client.Send(line.substr(cut)));
        EXPECT_EQ(client.ReadLine(), "0") << "cut at " << cut;
        EXPECT_EQ(client.ReadLine(), "+OK split") << "cut at " << cut;
    }
    TestClient client(m_listener->GetPort());
    ASSERT_TRUE(client.SendLine(ConnectLine(server.GetPort())));
    EXPECT_EQ(client.ReadLine(), "0");
    EXPECT_EQ(client.ReadLine(), "+OK split");
    const std::string pieces[] = {"US", "ER a", "lice\r", "\nNO", "OP\r\n"};
    for (const std::string& piece : pieces) {
        ASSERT_TRUE(client.Send(piece));
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    EXPECT_EQ(client.ReadLine(), "+OK USER alice");
    EXPECT_EQ(client.ReadLine(), "+OK NOOP");
}

TEST_F(ProxyConnectionTest, ZeroByteArrivesAsBlank) {
    TestServer server("+OK zero");
    TestClient client(m_listener->GetPort());
    ASSERT_TRUE(client.SendLine(ConnectLine(server.GetPort())));
    EXPECT_EQ(client.ReadLine(), "0");
    EXPECT_EQ(client.ReadLine(), "+OK zero");
    ASSERT_TRUE(client.Send(std::string("AB\0CD\0\r\n", 8)));
    EXPECT_EQ(client.ReadLine(), "+OK AB CD ");
}

// The server sends several megabytes at once to a client that reads slowly, then
// closes: everything arrives, in order, before the client sees the close.
TEST_F(ProxyConnectionTest, OutputToSlowClientArrivesLaterInOrderAndComplete) {
    constexpr int kLines = 120000;  // 12 MB: more than the socket buffers hold
    std::string expected;
    for (int i = 0; i < kLines; ++i) {
        char line[128];
        std::snprintf(line, sizeof(line), "%08d abcdefghijklmnopqrstuvwxyz0123456789"
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZ-abcdefghijklmnopqrstuvwxyz\r\n", i);
        expected += line;
    }
    TestServer server("+OK bulk", [&expected](int fd) {
        std::string buffer;
        std::string line;
        if (TestServer::ReadLine(fd, buffer, line) && line == "SEND")
            TestServer::SendAll(fd, expected);
    });
    TestClient client(m_listener->GetPort());
    client.SetReceiveBuffer(65536);
    ASSERT_TRUE(client.SendLine(ConnectLine(server.GetPort())));
    EXPECT_EQ(client.ReadLine(), "0");
    EXPECT_EQ(client.ReadLine(), "+OK bulk");
    ASSERT_TRUE(client.SendLine("SEND"));
    std::string received;
    for (int i = 0; i < 20; ++i) {  // slow at first, so the proxy has to queue
        received += client.ReadSome(4096);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    received += client.ReadUntilClosed(60.0);
    EXPECT_TRUE(client.IsClosed());
    ASSERT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected);
}

TEST_F(ProxyConnectionTest, ClientCloseClosesServerEndsThreadAndIsReaped) {
    std::atomic<bool> serverSawClose{false};
    TestServer server("+OK closing", [&serverSawClose](int fd) {
        std::string buffer;
        std::string line;
        while (TestServer::ReadLine(fd, buffer, line, 30.0)) {
        }
        serverSawClose = true;
    });
    {
        TestClient client(m_listener->GetPort());
        ASSERT_TRUE(client.SendLine(ConnectLine(server.GetPort())));
        EXPECT_EQ(client.ReadLine(), "0");
        EXPECT_EQ(client.ReadLine(), "+OK closing");
        EXPECT_EQ(m_listener->GetConnectionCount(), 1);
        EXPECT_EQ(CRelaySession::cm_running.load(), 1);
    }
    EXPECT_TRUE(WaitFor([&] { return serverSawClose.load(); }));
    EXPECT_TRUE(WaitFor([&] { return CRelaySession::cm_running.load() == 0; }));
    EXPECT_TRUE(WaitFor([&] { return m_listener->GetConnectionCount() == 0; }));
    EXPECT_TRUE(WaitFor([&] { return CRelaySession::cm_live.load() == 0; }));
}

TEST_F(ProxyConnectionTest, ServerCloseClosesClient) {
    TestServer server("+OK bye", [](int fd) {});  // closes right after the greeting
    TestClient client(m_listener->GetPort());
    ASSERT_TRUE(client.SendLine(ConnectLine(server.GetPort())));
    EXPECT_EQ(client.ReadLine(), "0");
    EXPECT_EQ(client.ReadLine(), "+OK bye");
    client.ReadUntilClosed(10.0);
    EXPECT_TRUE(client.IsClosed());
    EXPECT_TRUE(WaitFor([&] { return m_listener->GetConnectionCount() == 0; }));
}

TEST_F(ProxyConnectionTest, EndlessLineEndsSessionWithLogLine) {
    const std::string spool = StartSpool();
    std::atomic<bool> serverSawClose{false};
    TestServer server("+OK limit", [&serverSawClose](int fd) {
        TestServer::EchoLines(fd);
        serverSawClose = true;
    });
    TestClient client(m_listener->GetPort());
    ASSERT_TRUE(client.SendLine(ConnectLine(server.GetPort())));
    EXPECT_EQ(client.ReadLine(), "0");
    EXPECT_EQ(client.ReadLine(), "+OK limit");
    // A line just under the limit is still relayed whole.
    const std::string longLine(CProxyConnection::kMaxLineLength - 16, 'a');
    ASSERT_TRUE(client.SendLine(longLine));
    std::string reply;
    ASSERT_TRUE(client.ReadLine(reply, 30.0));
    EXPECT_EQ(reply.size(), longLine.size() + 4);
    // Beyond the limit without a line end, the session ends.
    const std::string endless(1 << 20, 'b');
    for (size_t sent = 0; sent <= CProxyConnection::kMaxLineLength + (1 << 20);
         sent += endless.size()) {
        if (!client.Send(endless))
            break;
    }
    client.ReadUntilClosed(30.0);
    EXPECT_TRUE(client.IsClosed());
    EXPECT_TRUE(WaitFor([&] { return serverSawClose.load(); }));
    EXPECT_TRUE(WaitFor([&] { return m_listener->GetConnectionCount() == 0; }));
    const std::string log = ReadFile(spool);
    EXPECT_NE(log.find("POP3(1): Line from client longer than 8388608 bytes; closing the "
                       "connection\r\n"),
              std::string::npos);
    EXPECT_NE(log.find("POP3(1): Connection closed\r\n"), std::string::npos);
}

TEST_F(ProxyConnectionTest, NamedHostThatCannotBeFoundFails) {
    const std::string spool = StartSpool();
    TestClient client(m_listener->GetPort());
    ASSERT_TRUE(client.SendLine("HOST no-such-host.invalid"));
    EXPECT_EQ(client.ReadLine(), "R0");
    EXPECT_NE(ReadFile(spool).find("Non-LSP connection couldn't find host no-such-host.invalid"),
              std::string::npos);
}

// Named-host mode always uses port 110; run only where this test may listen there.
TEST_F(ProxyConnectionTest, NamedHostConnectsToPort110) {
    TestServer server("+OK port 110", nullptr, CProxyConnection::kNamedHostPort);
    if (!server.IsListening())
        GTEST_SKIP() << "port 110 cannot be listened on here";
    TestClient client(m_listener->GetPort());
    ASSERT_TRUE(client.SendLine("HOST localhost"));
    const std::string result = client.ReadLine();
    EXPECT_TRUE(result == "R1" || result == "R2") << result;
    EXPECT_EQ(client.ReadLine(), "+OK port 110");
    EXPECT_TRUE(WaitFor([&] { return server.GetAccepted() == 1; }));
}

TEST(ProxyConnectionGetLine, CutsAtFirstCrLf) {
    struct Case {
        const char* buffer;
        bool cut;
        const char* line;
        const char* rest;
    };
    const Case kCases[] = {
        {"", false, "", ""},
        {"abc", false, "", "abc"},
        {"abc\r", false, "", "abc\r"},
        {"abc\n", false, "", "abc\n"},
        {"abc\r\n", true, "abc", ""},
        {"\r\nabc", true, "", "abc"},
        {"a\rb\r\nc\r\n", true, "a\rb", "c\r\n"},
    };
    for (const Case& c : kCases) {
        std::string buffer = c.buffer;
        std::string line;
        EXPECT_EQ(CProxyConnection::GetLine(buffer, line), c.cut ? TRUE : FALSE) << c.buffer;
        if (c.cut) {
            EXPECT_EQ(line, c.line);
        }
        EXPECT_EQ(buffer, c.rest);
    }
}

namespace {

// Records the notifications that sessions post.
class CRecordingNotifier : public CUINotifier {
public:
    void NotifyUI(UINT wParam, CRefCount* object) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back("object " + std::to_string(wParam));
    }
    void NotifyUI(UINT wParam, const std::string& text) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back("text " + std::to_string(wParam) + " " + text);
    }
    void NotifyUI(int code, CRefCount* store, int data) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back("store " + std::to_string(code) + (store ? " store " : " none ") +
                           std::to_string(data));
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_events;
};

}  // namespace

TEST_F(ProxyConnectionTest, SessionStartPostsNewConnectionNotification) {
    CRecordingNotifier notifier;
    SetUINotifier(&notifier);
    {
        TestClient client(m_listener->GetPort());
        ASSERT_TRUE(client.SendLine("NOOP"));
        EXPECT_EQ(client.ReadLine(), "-ERR Not connected to server");
    }
    EXPECT_TRUE(WaitFor([&] { return m_listener->GetConnectionCount() == 0; }));
    SetUINotifier(nullptr);
    // Code 19 for the session's store (none yet) with the protocol, POP3.
    EXPECT_EQ(notifier.Events(), std::vector<std::string>{"store 19 none 0"});

    // Texts from the string table, formatted.
    CRelaySession session(INVALID_SOCKET, 1);
    SetUINotifier(&notifier);
    session.NotifyString(0x00020015, 20110, "bob", "mail.example.com");
    session.NotifyUI(5, nullptr);
    SetUINotifier(nullptr);
    session.NotifyString(1, 20110, "not", "posted");
    const auto events = notifier.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1], "text 131093 Couldn't load Quillon database for bob on mail.example.com.");
    EXPECT_EQ(events[2], "object 5");
}
