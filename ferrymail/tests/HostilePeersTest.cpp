// The POP3 proxy over real loopback sockets against a server that sends lines longer
// than the proxy's reader holds (CProxyConnection::kMaxLineLength): the line goes to the
// session in pieces, a download is stored cut before it and held, a relayed message
// passes on whole, and the rest of the mailbox is served at every login.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ProxyTestPeers.h"
#include "TestHome.h"
#include "ferrymail/accounts/AccountTable.h"
#include "ferrymail/store/MessageDatabase.h"
#include "ferrymail/store/MessageStore.h"
#include "ferrymail/proxy/ProxyStart.h"
#include "kinbook/foundation/RegistryKey.h"
#include "proxy/POP3Synchronizer.h"

using namespace testpeers;

namespace {

constexpr char kPassNote[] = "X-Quillon-Analysis: passed\r\n";
constexpr size_t kLimit = CProxyConnection::kMaxLineLength;

MSSTATUS PassEverything(CMessage* message) {
    message->AddQLNote("Quillon-Analysis", "passed");
    return MS_INBOX;
}

// Header and `before` body lines, then a line of `length` bytes and one more line.
std::string Mail(const std::string& subject, int before, size_t length = 0) {
    std::string text = "From: sender@example.org\r\nSubject: " + subject + "\r\n\r\n";
    for (int i = 1; i <= before; ++i) text += "Line " + std::to_string(i) + "\r\n";
    if (length > 0)
        text += std::string(length, 'x') + "\r\nLast line\r\n";
    return text;
}

// One MiB of a long line: a CR at its end that is no line end, so that a read may end
// between it and what follows.
std::string EndlessChunk() {
    std::string chunk(1 << 20, 'x');
    chunk.back() = '\r';
    return chunk;
}

// FNV-1a over everything added, to compare a stream too large to keep.
struct SDigest {
    uint64_t value = 1469598103934665603ull;
    void Add(const std::string& bytes) {
        for (unsigned char byte : bytes) value = (value ^ byte) * 1099511628211ull;
    }
};

std::string WithNote(const std::string& text) {
    const size_t at = text.find("\r\n\r\n") + 2;
    return text.substr(0, at) + kPassNote + text.substr(at);
}

// A POP3 server of one mailbox (UIDLs "uid-1"...), no pipelining; it records the
// commands it is sent. The message `endless` (0: none) is its text, then a line of
// `endlessBytes` (whole MiB of EndlessChunk) made as it is sent, then "Last line"; the
// CR LF that ends the long line comes in two sends, a moment apart.
class CWideServer {
public:
    explicit CWideServer(std::vector<std::string> mailbox, int endless = 0, size_t endlessBytes = 0)
        : m_mailbox(std::move(mailbox)),
          m_endless(endless),
          m_endlessBytes(endlessBytes),
          m_server("+OK wide server", [this](int fd) { Serve(fd); }) {}

    int GetPort() const { return m_server.GetPort(); }
    std::vector<std::string> Commands() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_commands;
    }

private:
    void Serve(int fd) {
        std::string buffer, line;
        while (TestServer::ReadLine(fd, buffer, line, 30.0)) {
            {
                std::lock_guard<std::mutex> guard(m_mutex);
                m_commands.push_back(line);
            }
            const bool sent = StreamsEndless(line) ? SendEndless(fd, line)
                                                   : TestServer::SendAll(fd, Answer(line));
            if (!sent || line == "QUIT")
                return;
        }
    }
    // RETR of the endless message, or TOP of it down to its long line.
    bool StreamsEndless(const std::string& line) const {
        const std::string& text = m_endless > 0 ? m_mailbox[m_endless - 1] : line;
        const int lines = static_cast<int>(
            std::count(text.begin() + text.find("\r\n\r\n") + 4, text.end(), '\n'));
        int n = 0, k = -1;
        return m_endless > 0 &&
               (std::sscanf(line.c_str(), "RETR %d", &n) == 1 ||
                (std::sscanf(line.c_str(), "TOP %d %d", &n, &k) == 2 && k > lines)) &&
               n == m_endless;
    }
    bool SendEndless(int fd, const std::string& line) {
        const std::string chunk = EndlessChunk();
        if (!TestServer::SendAll(fd, "+OK\r\n" + m_mailbox[m_endless - 1]))
            return false;
        for (size_t sent = 0; sent < m_endlessBytes; sent += chunk.size())
            if (!TestServer::SendAll(fd, chunk))
                return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        if (!TestServer::SendAll(fd, "\r"))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        return TestServer::SendAll(fd, "\nLast line\r\n.\r\n");
    }
    std::string Answer(const std::string& line) {
        std::istringstream words(line);
        std::string word;
        int n = 0, k = -1;
        words >> word >> n >> k;
        const int count = static_cast<int>(m_mailbox.size());
        if (word == "CAPA")
            return "+OK\r\nTOP\r\nUIDL\r\nUSER\r\n.\r\n";
        if (word == "STAT") {
            size_t size = 0;
            for (const std::string& text : m_mailbox) size += text.size();
            return "+OK " + std::to_string(count) + " " + std::to_string(size) + "\r\n";
        }
        if (word == "UIDL" || word == "LIST") {
            std::string reply = "+OK\r\n";
            for (int i = 1; i <= count; ++i)
                reply += std::to_string(i) + " " +
                         (word == "UIDL" ? "uid-" + std::to_string(i)
                                         : std::to_string(m_mailbox[i - 1].size())) +
                         "\r\n";
            return reply + ".\r\n";
        }
        if ((word == "RETR" || word == "TOP") && (n < 1 || n > count))
            return "-ERR no such message\r\n";
        if (word == "RETR" || word == "TOP") {
            const std::string& text = m_mailbox[n - 1];
            size_t end = text.size();
            if (word == "TOP") {
                end = text.find("\r\n\r\n") + 4;
                for (int i = 0; i < k && end < text.size(); ++i) end = text.find("\r\n", end) + 2;
            }
            return "+OK\r\n" + text.substr(0, end) + ".\r\n";
        }
        return word == "QUIT" ? "+OK bye\r\n" : "+OK\r\n";
    }

    const std::vector<std::string> m_mailbox;
    const int m_endless;
    const size_t m_endlessBytes;
    std::mutex m_mutex;
    std::vector<std::string> m_commands;  // guarded by m_mutex
    TestServer m_server;                  // last: its threads use the members above
};

class HostilePeersTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_home = std::make_unique<CTestHome>();
        ClearAccountTable(TRUE);
        CMessageDatabase::Shutdown();
        CRegistryKey settings;
        ASSERT_TRUE(settings.OpenCarefully(HKEY_CURRENT_USER,
                                           "Software\\Brevant\\Quillon\\Settings\\POP3Proxy"));
        ASSERT_TRUE(settings.SetValue("DirectProxyListener", 0));
        // The scripted servers speak in clear.
        ASSERT_TRUE(settings.SetValue("ServerTLS", "none"));
    }
    void TearDown() override {
        delete m_listener;
        m_listener = nullptr;
        CMessageDatabase::Shutdown();
        ClearAccountTable(TRUE);
        m_server.reset();
        m_home.reset();
    }
    // A new home, server and proxy for the next case of a table.
    void Reset() {
        TearDown();
        SetUp();
    }

    void Start(std::vector<std::string> mailbox, int endless = 0, size_t endlessBytes = 0) {
        m_server = std::make_unique<CWideServer>(std::move(mailbox), endless, endlessBytes);
        CRegistryKey key;
        const std::string path = "Software\\Brevant\\Quillon\\Clients\\Direct client\\anna@" +
                                 std::string("127.0.0.1:") + std::to_string(m_server->GetPort());
        ASSERT_TRUE(key.OpenCarefully(HKEY_CURRENT_USER, path.c_str()));
        ASSERT_TRUE(key.SetValue("ServerName", "127.0.0.1"));
        ASSERT_TRUE(key.SetValue("UserName", "anna"));
        ASSERT_TRUE(key.SetValue("ServerPort", m_server->GetPort()));
        CMessageDatabase::GetMessageDatabase(&PassEverything, nullptr, 1025);
        int errorNumber = 0;
        std::string errorText;
        m_listener = StartFerrymail(0, errorNumber, errorText);
        ASSERT_NE(m_listener, nullptr) << errorText;
        m_spool = m_home->Path() + "/proxy" + std::to_string(++m_starts) + ".log";
        m_listener->SetSpoolFile(m_spool, CListener::OpenSpoolFile(m_spool));
        m_listener->AddLogging(LOG_INFO);
    }
    std::unique_ptr<TestClient> Login() {
        auto client = std::make_unique<TestClient>(m_listener->GetPort());
        EXPECT_EQ(client->ReadLine(), "+OK Quillon POP3 proxy server");
        EXPECT_TRUE(client->SendLine("USER anna/127.0.0.1:" + std::to_string(m_server->GetPort())));
        EXPECT_EQ(client->ReadLine(), "+OK");
        EXPECT_TRUE(client->SendLine("PASS secret"));
        EXPECT_EQ(client->ReadLine(60.0), "+OK");
        return client;
    }
    // A multi-line reply, its "+OK" line and its "." included.
    static std::string ReadMultiLine(TestClient& client) {
        std::string all, line;
        while (client.ReadLine(line, 60.0)) {
            all += line + "\r\n";
            if (line == ".")
                break;
        }
        return all;
    }
    void Quit(TestClient& client) {
        ASSERT_TRUE(client.SendLine("QUIT"));
        EXPECT_EQ(client.ReadLine(), "+OK bye");
        EXPECT_TRUE(WaitFor([&] {
            CMessageStore* store = Store();
            return store != nullptr && !store->IsInSession();
        }));
    }
    CMessageStore* Store() {
        return CMessageDatabase::GetMessageDatabase()->GetStore(std::string("anna/127.0.0.1"));
    }

    std::unique_ptr<CTestHome> m_home;
    std::unique_ptr<CWideServer> m_server;
    CListener* m_listener = nullptr;
    std::string m_spool;
    int m_starts = 0;
};

TEST_F(HostilePeersTest, LinesBeyondTheReadersLimitCostOneMessageAtMostAndOnlyOnce) {
    // The second message's long line lies in what the proxy downloads (the header and
    // ten body lines), the third's beyond it, more than twice the limit.
    const std::vector<std::string> mailbox = {
        Mail("apple", 2), Mail("cut", 1, kLimit + CProxyConnection::kReadSize + 4096),
        Mail("wide", 12, 2 * kLimit + 100000), Mail("cherry", 3)};
    Start(mailbox);
    auto client = Login();
    ASSERT_TRUE(client->SendLine("UIDL"));
    EXPECT_EQ(ReadMultiLine(*client),
              "+OK UIDL listing follows\r\n1 uid-1\r\n2 uid-3\r\n3 uid-4\r\n.\r\n");
    {
        CMessageStore* store = Store();
        ASSERT_NE(store, nullptr);
        CStoreLock lock(store, false);
        CMessage* cut = store->GetMessage("uid-2");
        ASSERT_NE(cut, nullptr);
        EXPECT_EQ(cut->GetLocation(), MS_HOLD);
        EXPECT_EQ(cut->GetBody(), "Line 1\r\n");
        EXPECT_EQ(cut->GetQLNotes(), std::string(kPassNote) + "X-Quillon-Analysis: " +
                                         CPOP3Synchronizer::kLongLineNote + "\r\n");
    }
    // The wide message reaches the client whole, and the session goes on.
    ASSERT_TRUE(client->SendLine("RETR 2"));
    EXPECT_EQ(ReadMultiLine(*client), "+OK\r\n" + WithNote(mailbox[2]) + ".\r\n");
    ASSERT_TRUE(client->SendLine("RETR 3"));
    EXPECT_EQ(ReadMultiLine(*client), "+OK\r\n" + WithNote(mailbox[3]) + ".\r\n");
    Quit(*client);
    const std::string log = ReadFile(m_spool);
    EXPECT_NE(log.find("Message 2 has a line longer than 8388608 bytes: stored cut before it "
                       "and held"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Line from server longer than 8388608 bytes passed on to the client"),
              std::string::npos)
        << log;

    // The next fetch is served the same way without downloading anything again.
    const size_t before = m_server->Commands().size();
    auto again = Login();
    ASSERT_TRUE(again->SendLine("LIST"));
    const std::string listing = ReadMultiLine(*again);
    EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 5) << listing;
    Quit(*again);
    const std::vector<std::string> commands = m_server->Commands();
    for (size_t i = before; i < commands.size(); ++i)
        EXPECT_NE(commands[i].compare(0, 4, "TOP "), 0) << commands[i];
}

// How much the resident memory may grow while a line of hundreds of MiB streams in: a
// few line buffers. AddressSanitizer keeps freed blocks in quarantine (256 MiB by
// default), so its builds get that much more.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kGrowthKiB = (64 + 256) * 1024;
#else
constexpr long kGrowthKiB = 64 * 1024;
#endif
constexpr size_t kEndless = size_t{192} << 20;

long ResidentKiB() {
    const std::string status = ReadFile("/proc/self/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

// Reads a multi-line reply without keeping it: its size and digest, and whether it
// ended whole.
size_t DrainMultiLine(TestClient& client, SDigest& digest, bool& ended) {
    size_t size = 0;
    std::string tail;
    ended = false;
    while (!ended) {
        const std::string more = client.ReadSome(1 << 20, 60.0);
        if (more.empty())
            break;
        size += more.size();
        digest.Add(more);
        tail =
            (tail + more).substr(tail.size() + more.size() > 5 ? tail.size() + more.size() - 5 : 0);
        ended = tail == "\r\n.\r\n";
    }
    return size;
}

TEST_F(HostilePeersTest, EndlessLineIsDroppedOrPassedOnInBoundedMemory) {
    const struct {
        const char* where;
        int before;  // body lines before the long line: 1 is in the download, 12 beyond
    } kCases[] = {{"download", 1}, {"relayed RETR", 12}};
    for (const auto& test : kCases) {
        SCOPED_TRACE(test.where);
        const std::string head = Mail("endless", test.before);
        Start({Mail("apple", 2), head}, 2, kEndless);
        const long before = ResidentKiB();
        std::atomic<bool> done{false};
        std::atomic<long> most{before};
        std::thread sampler([&] {
            for (; !done; std::this_thread::sleep_for(std::chrono::milliseconds(10)))
                most = std::max(most.load(), ResidentKiB());
        });
        auto client = Login();
        bool ended = false;
        SDigest digest;
        size_t size = 0;
        if (test.before > 10) {
            ASSERT_TRUE(client->SendLine("RETR 2"));
            size = DrainMultiLine(*client, digest, ended);
        }
        done = true;
        sampler.join();
        EXPECT_LT(most - before, kGrowthKiB) << "KiB grown";
        if (test.before > 10) {
            // Byte for byte what the server sent, with the note.
            SDigest expected;
            expected.Add("+OK\r\n" + WithNote(head));
            const std::string chunk = EndlessChunk();
            for (size_t i = 0; i < kEndless / chunk.size(); ++i) expected.Add(chunk);
            expected.Add("\r\nLast line\r\n.\r\n");
            EXPECT_TRUE(ended);
            EXPECT_EQ(size, 5 + WithNote(head).size() + kEndless + 16);
            EXPECT_EQ(digest.value, expected.value);
        }
        // The session goes on; the endless message is listed unless it was cut.
        ASSERT_TRUE(client->SendLine("LIST"));
        const std::string listing = ReadMultiLine(*client);
        const std::string first = "+OK Maildrop listing follows\r\n1 88\r\n";
        EXPECT_EQ(listing.substr(0, first.size() + 2), first + (test.before > 10 ? "2 " : ".\r"));
        Quit(*client);
        Reset();
    }
}

}  // namespace
