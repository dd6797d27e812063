// A proxied connection over real loopback sockets: the CONNECT line, line reading,
// pending output, closing from either side, the line limit, named-host mode and the
// session's clock.
#include <gtest/gtest.h>

#include <netinet/tcp.h>

#include <chrono>
#include <memory>
#include <random>
#include <thread>

#include "ProxyTestPeers.h"
#include "TestHome.h"
#include "ferrymail/proxy/UINotifier.h"

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

    // A client relayed to the server at `port`, past its greeting; a slow one has a small
    // receive window.
    std::unique_ptr<TestClient> RelayedClient(int port, const std::string& greeting,
                                              bool slow = false) {
        auto client = std::make_unique<TestClient>(m_listener->GetPort());
        EXPECT_TRUE(client->IsConnected());
        if (slow)
            client->SetReceiveBuffer(65536);
        EXPECT_TRUE(client->SendLine(ConnectLine(port)));
        EXPECT_EQ(client->ReadLine(), "0");
        EXPECT_EQ(client->ReadLine(), greeting);
        return client;
    }
    // A server that greets, waits for "SEND" and then sends `data` (in pieces, or whole)
    // and closes.
    static std::unique_ptr<TestServer> PieceServer(const std::string& greeting,
                                                   const std::string& data, bool pieces);

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

// A CONNECT line that names no destination gets "-1", one refused "10061"; either way
// the session stays unconnected. Numbers out of range are refused, not wrapped at 32 bits
// onto a listening port.
TEST_F(ProxyConnectionTest, FailedConnectYieldsANumberAndStaysUnconnected) {
    TestServer server("+OK never reached");
    int freePort;
    {
        TestServer probe("");  // a port that was free a moment ago and is closed now
        freePort = probe.GetPort();
    }
    const std::string port = std::to_string(server.GetPort());
    const std::pair<std::string, const char*> kCases[] = {
        {"CONNECT ", "-1"},
        {"CONNECT 127.0.0.1", "-1"},
        {"CONNECT 127.0.0:110 x", "-1"},
        {"CONNECT 127.0.0.1:", "-1"},
        {"CONNECT host.example:110 x", "-1"},
        {"CONNECT 300.0.0.1:110 x", "-1"},
        {"CONNECT 127.0.0.256:" + port, "-1"},
        {"CONNECT 127.0.0.1:70000 x", "-1"},
        {"CONNECT -1.0.0.1:110 x", "-1"},
        {"CONNECT 4294967423.0.0.1:" + port, "-1"},
        {"CONNECT 127.0.0.1:" + std::to_string(server.GetPort() + 65536), "-1"},
        {"CONNECT 127.0.0.1:" + std::to_string(server.GetPort() + (int64_t{1} << 32)), "-1"},
        {"CONNECT 127.0.0.1:" + port + "x", "-1"},
        {ConnectLine(freePort), "10061"},
    };
    for (const auto& [line, reply] : kCases) {
        TestClient client(m_listener->GetPort());
        ASSERT_TRUE(client.IsConnected());
        ASSERT_TRUE(client.SendLine(line));
        EXPECT_EQ(client.ReadLine(), reply) << line;
        ASSERT_TRUE(client.SendLine("NOOP"));
        EXPECT_EQ(client.ReadLine(), "-ERR Not connected to server") << line;
    }
    EXPECT_EQ(server.GetAccepted(), 0);
}

// Every split of the CONNECT line over two reads, and a line over many reads; a NUL byte
// arrives as a blank.
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
    auto client = RelayedClient(server.GetPort(), "+OK split");
    const std::string pieces[] = {"US", "ER a", "lice\r", "\nNO", "OP\r\n"};
    for (const std::string& piece : pieces) {
        ASSERT_TRUE(client->Send(piece));
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    EXPECT_EQ(client->ReadLine(), "+OK USER alice");
    EXPECT_EQ(client->ReadLine(), "+OK NOOP");
    ASSERT_TRUE(client->Send(std::string("AB\0CD\0\r\n", 8)));
    EXPECT_EQ(client->ReadLine(), "+OK AB CD ");
}

namespace {

// Server output for the block tests, about `bytes` long: lines of mixed length (empty,
// short, a few longer than one read), some holding NUL bytes or a lone CR or LF; with
// `dotChance` n > 0, one line in n starts with ".".
std::string MakeMixedLines(size_t bytes, unsigned seed, int dotChance) {
    std::mt19937 random(seed);
    const char kText[] = "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-";
    std::string data;
    while (data.size() < bytes) {
        const unsigned kind = random() % 100;
        size_t length = kind < 5 ? 0 : kind < 90 ? random() % 120 : random() % 5000;
        if (random() % 2000 == 0)
            length = 300000 + random() % 100000;
        const size_t begin = data.size();
        for (size_t i = 0; i < length; ++i) {
            char c = kText[random() % (sizeof(kText) - 1)];
            const unsigned odd = random() % 1000;
            if (odd == 0)
                c = '\0';
            else if (odd == 1)
                c = '\r';
            else if (odd == 2 && (data.size() == begin || data.back() != '\r'))
                c = '\n';
            data += c;
        }
        if (dotChance > 0 && random() % dotChance == 0)
            data.insert(begin, 1, '.');
        data += "\r\n";
    }
    return data;
}

// What the client gets for `data`: NUL bytes as blanks; with `tagDots`, every line that
// starts with "." tagged "L:", as a BLOCK_UNTIL_DOT session sends it.
std::string Relayed(const std::string& data, bool tagDots) {
    std::string out;
    size_t at = 0;
    while (at < data.size()) {
        const size_t end = data.find("\r\n", at);
        if (tagDots && data[at] == '.')
            out += "L:";
        out.append(data, at, end + 2 - at);
        at = end + 2;
    }
    for (char& c : out) {
        if (c == '\0')
            c = ' ';
    }
    return out;
}

// The bytes of the lines that do not start with ".".
long long UndottedBytes(const std::string& data) {
    long long count = 0;
    size_t at = 0;
    while (at < data.size()) {
        const size_t end = data.find("\r\n", at);
        if (data[at] != '.')
            count += static_cast<long long>(end + 2 - at);
        at = end + 2;
    }
    return count;
}

// Sends `data` in pieces of random size, some ending between a CR and its LF, pausing
// after each so that the proxy reads them apart.
void SendInPieces(int fd, const std::string& data, unsigned seed) {
    std::mt19937 random(seed);
    size_t at = 0;
    while (at < data.size()) {
        size_t next = at + (random() % 4 == 0 ? 1 + random() % 100 : 1000 + random() % 300000);
        if (random() % 3 == 0) {
            const size_t crlf = data.find("\r\n", next);
            if (crlf != std::string::npos)
                next = crlf + 1;
        }
        if (next > data.size())
            next = data.size();
        if (!TestServer::SendAll(fd, data.substr(at, next - at)))
            return;
        at = next;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace

std::unique_ptr<TestServer> ProxyConnectionTest::PieceServer(const std::string& greeting,
                                                             const std::string& data, bool pieces) {
    return std::make_unique<TestServer>(greeting, [&data, pieces](int fd) {
        std::string buffer;
        std::string line;
        if (TestServer::ReadLine(fd, buffer, line) && line == "SEND")
            pieces ? SendInPieces(fd, data, 7) : (void)TestServer::SendAll(fd, data);
    });
}

// Server output relayed to the client: all of it, in order, untouched but for NUL bytes
// and the tags of the lines a BLOCK_UNTIL_DOT session passes line by line; lines cut
// across reads and longer than one read included.
TEST_F(ProxyConnectionTest, ServerOutputArrivesWholeAndInOrder) {
    struct SCase {
        const char* name;
        EBlockMode mode;
        size_t bytes;
        int dotChance;  // one line in n starts with "."
        bool pieces;    // sent in pieces of random size, not at once
        int slowReads;  // small reads at first, so that the proxy has to queue
        int stallMs;    // the client reads nothing this long after SEND
    };
    const SCase kCases[] = {
        // Every server line goes as part of a block, none line by line.
        {"whole blocks", BLOCK_ALL, 4 << 20, 0, true, 0, 0},
        // A session that takes only part of each block gets the rest line by line and is
        // offered the block again after each such line.
        {"blocks taken in part", BLOCK_UNTIL_DOT, 3 << 20, 20, true, 0, 0},
        {"bulk output to a slow client", BLOCK_ALL, 12 << 20, 0, false, 20, 0},
        // Large pieces go straight to the client socket only while nothing is queued.
        {"large and small pieces to a slow client", BLOCK_UNTIL_DOT, 12 << 20, 300, false, 40, 0},
        // A client that does not read makes the proxy stop reading the server once a few
        // megabytes wait for it, instead of holding all the server sends.
        {"a stalled client", BLOCK_ALL, 40 << 20, 200, false, 0, 1000},
    };
    unsigned seed = 0;
    for (const SCase& c : kCases) {
        SCOPED_TRACE(c.name);
        m_listener->SetBlockMode(c.mode);
        const std::string data = MakeMixedLines(c.bytes, ++seed, c.dotChance);
        const std::string greeting = std::string("+OK ") + c.name;
        auto server = PieceServer(greeting, data, c.pieces);
        auto client = RelayedClient(server->GetPort(), greeting, !c.pieces);
        CRelaySession::cm_blockBytes = 0;
        CRelaySession::cm_mostQueued = 0;
        ASSERT_TRUE(client->SendLine("SEND"));
        std::this_thread::sleep_for(std::chrono::milliseconds(c.stallMs));
        std::string received;
        for (int i = 0; i < c.slowReads; ++i) {
            received += client->ReadSome(4096);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        received += client->ReadUntilClosed(60.0);
        EXPECT_TRUE(client->IsClosed());
        const std::string expected = Relayed(data, c.mode == BLOCK_UNTIL_DOT);
        ASSERT_EQ(received.size(), expected.size());
        EXPECT_TRUE(received == expected);
        if (c.pieces) {
            EXPECT_EQ(CRelaySession::cm_blockBytes.load(), c.mode == BLOCK_ALL
                                                               ? static_cast<long long>(data.size())
                                                               : UndottedBytes(data));
        }
        if (c.stallMs > 0) {
            EXPECT_LE(CRelaySession::cm_mostQueued.load(),
                      static_cast<long long>(CProxyConnection::kMaxBacklog +
                                             2 * CProxyConnection::kReadSize));
        }
    }
}

// A short reply cut at every point into two reads.
TEST_F(ProxyConnectionTest, BlockCutAtEveryPointPassesEachLineOnce) {
    m_listener->SetBlockMode(BLOCK_UNTIL_DOT);
    const char kReply[] = "ab\r\n.x\0y\r\n\r\n..\r\ncd\r\ne\rf\ng\r\n\r\r\n.\r\nend\r\n";
    const std::string data(kReply, sizeof(kReply) - 1);
    TestServer server("+OK cut", [&data](int fd) {
        std::string buffer;
        std::string line;
        if (!TestServer::ReadLine(fd, buffer, line) || line.compare(0, 4, "CUT ") != 0)
            return;
        const size_t cut = std::stoul(line.substr(4));
        TestServer::SendAll(fd, data.substr(0, cut));
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
        TestServer::SendAll(fd, data.substr(cut));
    });
    const std::string expected = Relayed(data, true);
    for (size_t cut = 1; cut < data.size(); ++cut) {
        auto relayed = RelayedClient(server.GetPort(), "+OK cut");
        TestClient& client = *relayed;
        ASSERT_TRUE(client.SendLine("CUT " + std::to_string(cut)));
        EXPECT_EQ(client.ReadUntilClosed(10.0), expected) << "cut at " << cut;
    }
}

// Replies are gathered per read already; a small one waiting for an acknowledgement that
// a pipelining peer delays would stall the session for tens of milliseconds.
TEST_F(ProxyConnectionTest, SessionSocketsSendSmallPiecesAtOnce) {
    auto noDelay = [](const CEventSocket& socket) {
        int value = 0;
        socklen_t length = sizeof(value);
        EXPECT_EQ(::getsockopt(socket.GetHandle(), IPPROTO_TCP, TCP_NODELAY, &value, &length), 0);
        return value != 0;
    };
    CEventSocket server;
    ASSERT_TRUE(server.Create(FALSE));
    EXPECT_TRUE(noDelay(server));
    CEventSocket accepted;
    accepted.Attach(::socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_TRUE(noDelay(accepted));
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
        auto client = RelayedClient(server.GetPort(), "+OK closing");
        EXPECT_EQ(m_listener->GetConnectionCount(), 1);
        EXPECT_EQ(CRelaySession::cm_running.load(), 1);
    }
    EXPECT_TRUE(WaitFor([&] { return serverSawClose.load(); }));
    EXPECT_TRUE(WaitFor([&] { return CRelaySession::cm_running.load() == 0; }));
    EXPECT_TRUE(WaitFor([&] { return m_listener->GetConnectionCount() == 0; }));
    EXPECT_TRUE(WaitFor([&] { return CRelaySession::cm_live.load() == 0; }));
}

// The session's clock ticks once a period on the connection's thread until the session
// stops it (here from inside a tick), and one still running is given back at the end.
TEST_F(ProxyConnectionTest, SessionClockTicksUntilStoppedAndIsGivenBackAtTheEnd) {
    TestClient client(m_listener->GetPort());
    ASSERT_TRUE(client.IsConnected());
    ASSERT_TRUE(client.SendLine("CLOCK 2"));
    EXPECT_EQ(client.ReadLine(), "CLOCK");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.ReadLine(), "TICK 1");
    EXPECT_EQ(client.ReadLine(), "TICK 0");
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    EXPECT_GE(elapsed.count(), 2 * CProxyConnection::kClockPeriod - 200);
    EXPECT_TRUE(WaitFor([&] { return m_listener->ClocksHeld() == 0; }));
    // Stopped: a period later the next line is the reply to the client's.
    std::this_thread::sleep_for(std::chrono::milliseconds(CProxyConnection::kClockPeriod + 200));
    ASSERT_TRUE(client.SendLine("PING"));
    EXPECT_EQ(client.ReadLine(), "-ERR Not connected to server");
    ASSERT_TRUE(client.SendLine("CLOCK 100"));
    EXPECT_EQ(client.ReadLine(), "CLOCK");
    EXPECT_EQ(m_listener->ClocksHeld(), 1);
    client.Close();
    EXPECT_TRUE(WaitFor([&] { return m_listener->ClocksHeld() == 0; }));
}

TEST_F(ProxyConnectionTest, ServerCloseClosesClient) {
    TestServer server("+OK bye", [](int fd) {});  // closes right after the greeting
    auto relayed = RelayedClient(server.GetPort(), "+OK bye");
    TestClient& client = *relayed;
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
    auto relayed = RelayedClient(server.GetPort(), "+OK limit");
    TestClient& client = *relayed;
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
