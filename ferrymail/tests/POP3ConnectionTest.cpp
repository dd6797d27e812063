// The POP3 connection over real loopback sockets: a mail client (TestClient) talks to the
// proxy started by StartFerrymail, which talks to a scripted POP3 server of this file
// serving a mailbox the test gives it. The message database is the real one, with an
// examine call-back that holds every message whose Subject says "hold". What the session
// answers, line by line, is tested without sockets in POP3SessionTest.cpp; these are the
// cases that need the sockets, the threads and the clock: reaching the server, lines in
// pieces, pipelining, bodies in blocks, bounded input, time-outs and the end of a session.
#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ProxyTestPeers.h"
#include "TestHome.h"
#include "ferrymail/accounts/AccountTable.h"
#include "ferrymail/proxy/ProxyStart.h"
#include "ferrymail/store/MessageDatabase.h"
#include "ferrymail/store/MessageStore.h"
#include "kinbook/foundation/RegistryKey.h"
#include "proxy/POP3Synchronizer.h"
#include "proxy/SASLRelay.h"

using namespace testpeers;

namespace {

constexpr char kPassNote[] = "Passed by the test";
constexpr char kGreeting[] = "+OK Quillon POP3 proxy server";
constexpr char kServerGreeting[] = "+OK fake POP3 server ready";

// The analysis note line as it appears in a header.
std::string NoteLine(const char* note) {
    return std::string("X-Quillon-Analysis: ") + note + "\r\n";
}

MSSTATUS ExamineForTest(CMessage* message) {
    const bool hold = message->GetSubject().find("hold") != std::string::npos;
    message->AddQLNote("Quillon-Analysis", hold ? "Held by the test" : kPassNote);
    return hold ? MS_HOLD : MS_INBOX;
}

// Releases every payload at once.
class CReleasingSink : public INotificationSink {
public:
    void Post(UINT, UINT, long, CRefCount* object) override { CRefCount::DoRelease(object); }
};

struct SFakeMessage {
    std::string uidl;
    std::string text;  // CRLF lines, as stored (not dot-stuffed)
};

std::string MakeMessage(const std::string& subject, int bodyLines,
                        const std::string& special = "") {
    std::string text = "From: Sender <sender@example.org>\r\nTo: anna@example.net\r\n";
    text += "Subject: " + subject + "\r\n";
    text += "Date: Mon, 3 Jun 2024 10:00:00 +0200\r\n\r\n";
    if (!special.empty())
        text += special + "\r\n";
    for (int i = 1; i <= bodyLines; ++i)
        text += "Body line " + std::to_string(i) + " of " + subject + "\r\n";
    return text;
}

// The lines of `text` as a POP3 server sends them: dot-stuffed, without the final ".".
std::string Stuffed(const std::string& text) {
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find("\r\n", at);
        end = end == std::string::npos ? text.size() : end + 2;
        if (text[at] == '.')
            out += '.';
        out.append(text, at, end - at);
        at = end;
    }
    return out;
}

// The header of a message text, through the CRLF of its last line; the body after it.
std::string HeaderOf(const std::string& text) {
    return text.substr(0, text.find("\r\n\r\n") + 2);
}
std::string BodyOf(const std::string& text) {
    return text.substr(text.find("\r\n\r\n") + 4);
}

// The first `lines` body lines of a message text.
std::string TopOf(const std::string& text, int lines) {
    const std::string body = BodyOf(text);
    size_t at = 0;
    for (int i = 0; i < lines && at < body.size(); ++i) at = body.find("\r\n", at) + 2;
    return HeaderOf(text) + "\r\n" + body.substr(0, at);
}

// A scripted POP3 server of one fixed mailbox; DELE marks for the connection only. Every
// command line is recorded by connection (numbered from 0 in order of arrival). Hooks, by
// command word: delay the reply, or close the connection on receipt; and one line answered
// with a huge reply.
class CFakePOP3Server {
public:
    explicit CFakePOP3Server(std::vector<SFakeMessage> mailbox) : m_mailbox(std::move(mailbox)) {
        m_server = std::make_unique<TestServer>("", [this](int fd) { Serve(fd); });
    }

    int GetPort() const { return m_server->GetPort(); }

    void DelayReply(const std::string& word, double seconds) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_delays[word] = seconds;
    }
    // Closes the connection on receipt of `word` once `pass` of them were answered.
    void CloseOn(const std::string& word, int pass = 0) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_closes[word] = pass;
    }
    void ClearHooks() {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_mostWaiting = 0;
        m_delays.clear();
        m_closes.clear();
    }
    // Answers `line` with a header and then `bytes` of body lines in one reply (one
    // line that never ends, with `oneLine`). Set before the connection.
    void SetHugeReply(const std::string& line, size_t bytes, bool oneLine = false) {
        m_hugeLine = line;
        m_hugeBytes = bytes;
        m_hugeOneLine = oneLine;
    }
    // The most commands that had arrived, not yet answered, behind the one being
    // answered: above 0 only when the client pipelined.
    int MostWaiting() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_mostWaiting;
    }
    std::vector<std::string> Commands(int connection) {
        std::lock_guard<std::mutex> guard(m_mutex);
        return connection < static_cast<int>(m_commands.size()) ? m_commands[connection]
                                                                : std::vector<std::string>();
    }
    int Connections() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return static_cast<int>(m_commands.size());
    }
    // Waits until connection `connection` has received `count` lines.
    bool WaitForCommands(int connection, size_t count, double seconds = 10.0) {
        return WaitFor([&] { return Commands(connection).size() >= count; }, seconds);
    }
    // What RETR n answers for this message (first line included).
    static std::string RetrReply(const SFakeMessage& message) {
        return "+OK " + std::to_string(message.text.size()) + " octets\r\n" +
               Stuffed(message.text) + ".\r\n";
    }

private:
    // What one connection has seen.
    struct SConnection {
        int index = 0;
        std::string user;
        bool transaction = false;
        std::set<int> deleted;  // 1-based numbers
    };

    // Records the command; the delay of its reply, or -1 to close on it.
    double Record(int connection, const std::string& line, const std::string& word,
                  const std::string& buffer) {
        std::lock_guard<std::mutex> guard(m_mutex);
        std::vector<std::string>& lines = m_commands[connection];
        lines.push_back(line);
        int waiting = 0;
        for (size_t at = buffer.find("\r\n"); at != std::string::npos;
             at = buffer.find("\r\n", at + 2))
            ++waiting;
        m_mostWaiting = std::max(m_mostWaiting, waiting);
        // How many of this word the connection has had, this one included.
        const long seen = std::count_if(lines.begin(), lines.end(),
                                        [&](const std::string& l) { return Word(l) == word; });
        if (m_closes.count(word) != 0 && seen > m_closes[word])
            return -1;
        return m_delays.count(word) != 0 ? m_delays[word] : 0;
    }

    static std::string Word(const std::string& line) {
        std::string word = line.substr(0, line.find(' '));
        for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return word;
    }

    void Serve(int fd) {
        SConnection c;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            c.index = static_cast<int>(m_commands.size());
            m_commands.emplace_back();
        }
        TestServer::SendAll(fd, std::string(kServerGreeting) + "\r\n");
        std::string buffer, line;
        while (TestServer::ReadLine(fd, buffer, line, 30.0)) {
            const std::string word = Word(line);
            const double delay = Record(c.index, line, word, buffer);
            if (delay < 0)
                return;
            if (line == m_hugeLine) {
                if (!SendHuge(fd))
                    return;
                continue;
            }
            std::this_thread::sleep_for(std::chrono::duration<double>(delay));
            if (!TestServer::SendAll(fd, Answer(c, line, word)) || word == "QUIT")
                return;
        }
    }

    std::string Answer(SConnection& c, const std::string& line, const std::string& word) {
        int n = 0, lines = 0;
        const int numbers = std::sscanf(line.c_str(), "%*s %d %d", &n, &lines);
        if (word == "QUIT")
            return "+OK bye\r\n";
        if (word == "CAPA")
            return "+OK Capability list follows\r\nTOP\r\nUIDL\r\nUSER\r\nPIPELINING\r\n.\r\n";
        if (word == "USER" && !c.transaction) {
            c.user = line.size() > 5 ? line.substr(5) : "";
            return "+OK " + c.user + " is welcome\r\n";
        }
        if ((word == "PASS" && !c.transaction && !c.user.empty()) ||
            (word == "APOP" && !c.transaction)) {
            if (word == "APOP")
                c.user = line.substr(5, line.find(' ', 5) - 5);
            c.transaction = true;
            return "+OK " + c.user + "'s maildrop has " + std::to_string(m_mailbox.size()) +
                   " messages\r\n";
        }
        if (!c.transaction)
            return "-ERR not in TRANSACTION state\r\n";
        if (word == "NOOP")
            return "+OK\r\n";
        if (word == "STAT" || ((word == "LIST" || word == "UIDL") && numbers < 1)) {
            size_t count = 0, size = 0;
            std::string listing;
            for (int i = 1; i <= static_cast<int>(m_mailbox.size()); ++i)
                if (c.deleted.count(i) == 0) {
                    ++count;
                    size += m_mailbox[i - 1].text.size();
                    listing += ListEntry(word, i) + "\r\n";
                }
            return word == "STAT"
                       ? "+OK " + std::to_string(count) + " " + std::to_string(size) + "\r\n"
                       : "+OK listing follows\r\n" + listing + ".\r\n";
        }
        const bool valid = numbers >= 1 && n >= 1 && n <= static_cast<int>(m_mailbox.size()) &&
                           c.deleted.count(n) == 0;
        if (!valid)
            return word == "LIST" || word == "UIDL" || word == "RETR" || word == "TOP" ||
                           word == "DELE"
                       ? "-ERR no such message\r\n"
                       : "-ERR unknown command\r\n";
        if (word == "LIST" || word == "UIDL")
            return "+OK " + ListEntry(word, n) + "\r\n";
        if (word == "RETR")
            return RetrReply(m_mailbox[n - 1]);
        if (word == "TOP" && numbers == 2)
            return "+OK top of message follows\r\n" + Stuffed(TopOf(m_mailbox[n - 1].text, lines)) +
                   ".\r\n";
        if (word == "DELE") {
            c.deleted.insert(n);
            return "+OK message " + std::to_string(n) + " deleted\r\n";
        }
        return "-ERR unknown command\r\n";
    }

    std::string ListEntry(const std::string& word, int n) const {
        return std::to_string(n) + " " +
               (word == "UIDL" ? m_mailbox[n - 1].uidl
                               : std::to_string(m_mailbox[n - 1].text.size()));
    }

    bool SendHuge(int fd) {
        std::string chunk;
        while (chunk.size() < (1 << 20))
            chunk += "Padding line of a reply that goes on and on and on and on and on.\r\n";
        if (m_hugeOneLine)
            std::replace(chunk.begin(), chunk.end(), '\n', ' ');
        if (!TestServer::SendAll(fd, "+OK\r\nSubject: huge\r\n\r\n"))
            return false;
        for (size_t sent = 0; sent < m_hugeBytes; sent += chunk.size())
            if (!TestServer::SendAll(fd, chunk))
                return false;
        return TestServer::SendAll(fd, ".\r\n");
    }

    const std::vector<SFakeMessage> m_mailbox;
    std::string m_hugeLine;  // set before the connection
    size_t m_hugeBytes = 0;
    bool m_hugeOneLine = false;
    std::mutex m_mutex;
    std::vector<std::vector<std::string>> m_commands;  // guarded by m_mutex
    std::map<std::string, double> m_delays;            // guarded by m_mutex
    std::map<std::string, int> m_closes;               // guarded by m_mutex
    int m_mostWaiting = 0;                             // guarded by m_mutex
    std::unique_ptr<TestServer> m_server;              // last: stops first
};

// The three messages of most tests: the second is held by the examine call-back, the
// third is longer than the 10 lines a TOP fetches, the first has a line that starts with
// a dot.
std::vector<SFakeMessage> ThreeMessages() {
    return {{"uid-apple", MakeMessage("Apple pie recipe", 3, ".a line with a leading dot")},
            {"uid-hold", MakeMessage("Please hold this one", 2)},
            {"uid-cherry", MakeMessage("Cherry season", 15)}};
}

// Reads a multi-line reply (first line through "."), joined with CR LF after each line.
std::string ReadMultiLine(TestClient& client, double seconds = 10.0) {
    std::string all;
    std::string line;
    while (client.ReadLine(line, seconds)) {
        all += line + "\r\n";
        if (line == ".")
            break;
    }
    return all;
}

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// What a named-host log-in sends: the server's capabilities are asked first.
const std::vector<std::string> kFirstLogin = {"CAPA", "USER anna", "PASS secret"};
const std::vector<std::string> kFirstSynch = {"STAT",     "UIDL",     "LIST",
                                              "TOP 1 10", "TOP 2 10", "TOP 3 10"};

class POP3ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_home = std::make_unique<CTestHome>();
        ClearAccountTable(TRUE);
        CMessageDatabase::Shutdown();
        // No listener on port 110 beside the one under test.
        WriteSetting("SOFTWARE\\Brevant\\Quillon\\Settings\\POP3Proxy", "DirectProxyListener", 0);
        // The fake server speaks in clear.
        CRegistryKey key;
        ASSERT_TRUE(key.OpenCarefully(HKEY_CURRENT_USER,
                                      "SOFTWARE\\Brevant\\Quillon\\Settings\\POP3Proxy"));
        ASSERT_TRUE(key.SetValue("ServerTLS", "none"));
    }

    void TearDown() override {
        if (m_listener != nullptr && HasFailure())
            std::fprintf(stderr, "--- proxy log ---\n%s\n", ReadFile(m_spool).c_str());
        delete m_listener;  // ends every session
        m_listener = nullptr;
        CMessageDatabase::Shutdown();
        ClearAccountTable(TRUE);
        m_server.reset();
        m_home.reset();
    }
    // A fresh start for the next case of a table.
    void Restart() {
        TearDown();
        SetUp();
    }

    static void WriteSetting(const char* path, const char* name, int value) {
        CRegistryKey key;
        ASSERT_TRUE(key.OpenCarefully(HKEY_CURRENT_USER, path));
        ASSERT_TRUE(key.SetValue(name, value));
    }
    static int ReadStatistic(const char* name) {
        CRegistryKey key;
        int value = 0;
        if (key.Open(HKEY_CURRENT_USER, "Software\\Brevant\\Quillon\\Statistics", KEY_READ))
            key.QueryValue(name, value, TRUE);
        return value;
    }

    // The server, the account (as "quillon --add-account anna@127.0.0.1:PORT" registers
    // it), the database and the proxy, logging everything.
    void Start(std::vector<SFakeMessage> mailbox) {
        m_server = std::make_unique<CFakePOP3Server>(std::move(mailbox));
        CRegistryKey key;
        ASSERT_TRUE(key.OpenCarefully(
            HKEY_CURRENT_USER,
            ("Software\\Brevant\\Quillon\\Clients\\Direct client\\anna@127.0.0.1:" +
             std::to_string(m_server->GetPort()))
                .c_str()));
        ASSERT_TRUE(key.SetValue("ServerName", "127.0.0.1"));
        ASSERT_TRUE(key.SetValue("UserName", "anna"));
        ASSERT_TRUE(key.SetValue("ServerPort", m_server->GetPort()));
        CMessageDatabase::GetMessageDatabase(&ExamineForTest, &m_sink, 1025);
        int errorNumber = 0;
        std::string errorText;
        m_listener = StartFerrymail(0, errorNumber, errorText);
        ASSERT_NE(m_listener, nullptr) << errorText;
        ASSERT_NE(m_listener->GetPort(), 0);
        m_spool = m_home->Path() + "/proxy.log";
        const int file = CListener::OpenSpoolFile(m_spool);
        ASSERT_GE(file, 0);
        m_listener->SetSpoolFile(m_spool, file);
        m_listener->AddLogging(0xFFFF);
    }

    std::string UserLine() const {
        return "USER anna/127.0.0.1:" + std::to_string(m_server->GetPort());
    }

    // A client that has had the greeting and, with `user`, the reply to its USER line.
    std::unique_ptr<TestClient> Connect(bool user) {
        auto client = std::make_unique<TestClient>(m_listener->GetPort());
        EXPECT_TRUE(client->IsConnected());
        EXPECT_EQ(client->ReadLine(), kGreeting);
        if (user) {
            EXPECT_TRUE(client->SendLine(UserLine()));
            EXPECT_EQ(client->ReadLine(), "+OK anna is welcome");
        }
        return client;
    }
    // A client logged in in named-host mode.
    std::unique_ptr<TestClient> Login() {
        auto client = Connect(true);
        EXPECT_TRUE(client->SendLine("PASS secret"));
        EXPECT_EQ(client->ReadLine(15.0), "+OK anna's maildrop has 3 messages");
        return client;
    }
    // QUIT, its reply, and the end of the connection.
    static void Quit(TestClient& client, const char* reply = "+OK bye") {
        ASSERT_TRUE(client.SendLine("QUIT"));
        EXPECT_EQ(client.ReadLine(), reply);
        client.ReadUntilClosed(10.0);
        EXPECT_TRUE(client.IsClosed());
    }

    CMessageStore* Store() {
        return CMessageDatabase::GetMessageDatabase()->GetStore(std::string("anna/127.0.0.1"));
    }
    // Waits until no session holds the account's store.
    bool WaitForStoreFree() {
        return WaitFor([&] {
            CMessageStore* store = Store();
            return store != nullptr && !store->IsInSession();
        });
    }

    // The size a client is told for a message that passed.
    static int ClientSize(const SFakeMessage& message) {
        return static_cast<int>(message.text.size() + NoteLine(kPassNote).size());
    }
    // The RETR reply a client gets for a message that passed: the server's with the note
    // closing the header (or with a plain "+OK" from the store).
    static std::string RetrWithNote(const SFakeMessage& message, bool local = false) {
        std::string reply = CFakePOP3Server::RetrReply(message);
        reply.insert(reply.find("\r\n\r\n") + 2, NoteLine(kPassNote));
        return local ? "+OK\r\n" + reply.substr(reply.find("\r\n") + 2) : reply;
    }

    std::unique_ptr<CTestHome> m_home;  // fresh for every SetUp
    CReleasingSink m_sink;
    std::unique_ptr<CFakePOP3Server> m_server;
    CListener* m_listener = nullptr;
    std::string m_spool;
};

// ---------------------------------------------------------------------------------------
// Reaching the server.

// A server that cannot be reached, or a CONNECT line that names none, leaves the session
// where it started; QUIT then ends it.
TEST_F(POP3ConnectionTest, FailedConnectLeavesTheSessionWhereItStarted) {
    int freePort;
    {
        TestServer probe("");  // a port that was free a moment ago and is closed now
        freePort = probe.GetPort();
    }
    Start(ThreeMessages());
    // The CONNECT line's forms are tested with the proxy connection; here the session
    // passes one on: a port out of range is refused, not wrapped at 32 bits onto the
    // server's.
    const std::string unreachable = "USER anna/127.0.0.1:" + std::to_string(freePort);
    const std::pair<std::string, std::string> kCases[] = {
        {unreachable, "-ERR Connection to 127.0.0.1 failed: 10061"},
        {"CONNECT 127.0.0.1:" + std::to_string(m_server->GetPort() + (int64_t{1} << 32)), "-1"},
    };
    for (const auto& [line, reply] : kCases) {
        SCOPED_TRACE(line);
        auto client = Connect(false);
        ASSERT_TRUE(client->SendLine(line));
        const std::string got = client->ReadLine();
        // Refused at once or once the connect was under way: either wording.
        EXPECT_TRUE(got == reply ||
                    (line == unreachable && got == "-ERR Can't connect to 127.0.0.1"))
            << got;
        ASSERT_TRUE(client->SendLine("NOOP"));
        EXPECT_EQ(client->ReadLine(), "-ERR Not connected to server");
        Quit(*client, "+OK");
    }
    EXPECT_EQ(m_server->Connections(), 0);
}

// After a CONNECT line the client sees the server's greeting and logs in itself; the
// mail client's name decides whether its account is filtered.
TEST_F(POP3ConnectionTest, ConnectLineRelaysGreetingAndFiltersByClientName) {
    struct SCase {
        const char* clientName;
        std::vector<std::string> login;  // the client's lines, all relayed as they are
        const char* stat;                // the start of the STAT answer
        std::vector<std::string> synch;  // what the session sends after the login
    };
    const std::vector<std::string> userPass = {"USER anna", "PASS secret"};
    const SCase kCases[] = {
        {"Other Mailer 2.0", userPass, "+OK 3 ", {}},  // no account: a plain relay
        {"Direct client", userPass, "+OK 2 ", kFirstSynch},
        {"Direct client", {"APOP anna 0123456789abcdef"}, "+OK 2 ", kFirstSynch},
    };
    for (const SCase& test : kCases) {
        SCOPED_TRACE(test.clientName + (" " + test.login[0]));
        Restart();
        Start(ThreeMessages());
        auto client = Connect(false);
        ASSERT_TRUE(client->SendLine(ConnectLine(m_server->GetPort(), test.clientName)));
        EXPECT_EQ(client->ReadLine(), "0");
        EXPECT_EQ(client->ReadLine(), kServerGreeting);
        for (const std::string& line : test.login) {
            ASSERT_TRUE(client->SendLine(line));
            EXPECT_EQ(client->ReadLine(15.0), line[0] == 'U'
                                                  ? "+OK anna is welcome"
                                                  : "+OK anna's maildrop has 3 messages");
        }
        ASSERT_TRUE(client->SendLine("STAT"));
        const std::string stat = client->ReadLine();
        EXPECT_EQ(stat.compare(0, 6, test.stat), 0) << stat;
        EXPECT_EQ(m_server->Commands(0), Join({test.login, test.synch, {"STAT"}}));
    }
}

// Named-host mode: a new log-in after the server refused one goes to the same server as
// "user", one that names another server is refused by the proxy; the log shows neither
// the password nor the responses that carry it.
TEST_F(POP3ConnectionTest, SecondLogInGoesToTheConnectedServerAndItsSecretStaysOutOfTheLog) {
    Start(ThreeMessages());
    auto client = Connect(true);
    const std::string port = std::to_string(m_server->GetPort());
    const std::string named = std::string("\0anna/127.0.0.1:", 16) + port + '\0' + "t0ps3cret";
    const std::string other = std::string("\0anna/127.0.0.1:", 16) +
                              (m_server->GetPort() == 995 ? "996" : "995") + '\0' + "t0ps3cret";
    const std::string rewritten = CSASLRelay::EncodeBase64(std::string("\0anna\0t0ps3cret", 15));
    // The fake server takes no AUTH: it refuses it as it refuses anything before PASS.
    ASSERT_TRUE(client->SendLine("AUTH PLAIN " + CSASLRelay::EncodeBase64(named)));
    EXPECT_EQ(client->ReadLine(), "-ERR not in TRANSACTION state");
    ASSERT_TRUE(client->SendLine("AUTH PLAIN " + CSASLRelay::EncodeBase64(other)));
    EXPECT_EQ(client->ReadLine(),
              "-ERR Connected to 127.0.0.1:" + port + "; log in there or reconnect");
    ASSERT_TRUE(client->SendLine(UserLine()));
    EXPECT_EQ(client->ReadLine(), "+OK anna is welcome");
    ASSERT_TRUE(client->SendLine("PASS secret"));
    EXPECT_EQ(client->ReadLine(15.0), "+OK anna's maildrop has 3 messages");
    EXPECT_EQ(m_server->Commands(0),
              Join({{"CAPA", "USER anna", "AUTH PLAIN " + rewritten, "USER anna", "PASS secret"},
                    kFirstSynch}));
    Quit(*client);
    const std::string log = ReadFile(m_spool);
    EXPECT_NE(log.find(" ->S AUTH PLAIN xxxx"), std::string::npos);
    EXPECT_NE(log.find("Log-in for another server than 127.0.0.1:" + port + " refused"),
              std::string::npos);
    for (const std::string& secret :
         {std::string("t0ps3cret"), std::string("PASS secret"), CSASLRelay::EncodeBase64(named),
          CSASLRelay::EncodeBase64(other), rewritten})
        EXPECT_EQ(log.find(secret), std::string::npos) << secret;
}

// ---------------------------------------------------------------------------------------
// Waiting for the store, and servers that fail.

TEST_F(POP3ConnectionTest, StoreHeldBySessionRefusesSecondSessionAfterAWait) {
    Start(ThreeMessages());
    auto first = Login();
    auto second = Connect(true);
    ASSERT_TRUE(second->SendLine("PASS secret"));
    EXPECT_EQ(second->ReadLine(15.0), "-ERR Quillon proxy couldn't open local store");
    second->ReadUntilClosed(10.0);
    EXPECT_TRUE(second->IsClosed());

    // Once the first session has ended the store is free again.
    Quit(*first);
    ASSERT_TRUE(WaitForStoreFree());
    auto third = Login();
    ASSERT_TRUE(third->SendLine("STAT"));
    EXPECT_EQ(third->ReadLine().compare(0, 6, "+OK 2 "), 0);
    Quit(*third);
}

TEST_F(POP3ConnectionTest, SynchronizationCutShortIsRedoneAtNextLogin) {
    struct SCase {
        const char* closeOn;  // the server closes on this command; null: the client leaves
        int pass;             // after answering this many of them
        std::vector<std::string> nextSynch;
    };
    const SCase kCases[] = {
        {"UIDL", 0, kFirstSynch},
        {"LIST", 0, kFirstSynch},
        {"TOP", 1, {"STAT", "UIDL", "TOP 2 10", "TOP 3 10"}},
        {nullptr, 0, kFirstSynch},
    };
    for (const SCase& test : kCases) {
        SCOPED_TRACE(test.closeOn != nullptr ? test.closeOn : "client leaves");
        Restart();
        Start(ThreeMessages());
        if (test.closeOn != nullptr)
            m_server->CloseOn(test.closeOn, test.pass);
        else
            m_server->DelayReply("UIDL", 1.0);
        {
            auto client = Connect(true);
            ASSERT_TRUE(client->SendLine("PASS secret"));
            if (test.closeOn != nullptr) {
                EXPECT_EQ(client->ReadLine(15.0), "+OK anna's maildrop has 3 messages");
                client->ReadUntilClosed(10.0);
                EXPECT_TRUE(client->IsClosed());
            } else {
                ASSERT_TRUE(m_server->WaitForCommands(0, 4));  // UIDL has been sent
            }
        }
        ASSERT_TRUE(WaitForStoreFree());
        // The mailbox has not changed, but the store never finished taking it in.
        m_server->ClearHooks();
        auto client = Login();
        EXPECT_EQ(m_server->Commands(1), Join({kFirstLogin, test.nextSynch}));
        ASSERT_TRUE(client->SendLine("UIDL"));
        EXPECT_EQ(ReadMultiLine(*client),
                  "+OK UIDL listing follows\r\n1 uid-apple\r\n2 uid-cherry\r\n.\r\n");
        Quit(*client);
        // Once in step, the store is trusted again.
        ASSERT_TRUE(WaitForStoreFree());
        auto last = Login();
        EXPECT_EQ(m_server->Commands(2), Join({kFirstLogin, {"STAT", "UIDL"}}));
        Quit(*last);
    }
}

// ---------------------------------------------------------------------------------------
// Bounded input.

// How much the resident memory may grow while 1 GiB streams in: a few 16 MiB buffers.
// AddressSanitizer keeps freed blocks in quarantine (256 MiB by default), so its builds
// get that much more; an unbounded download still passes either limit many times over.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kDownloadGrowthKiB = (64 + 256) * 1024;
#else
constexpr long kDownloadGrowthKiB = 64 * 1024;
#endif

// The resident memory of this process in KiB.
long ResidentKiB() {
    const std::string status = ReadFile("/proc/self/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

TEST_F(POP3ConnectionTest, EndlessDownloadIsStoredCutShortInBoundedMemory) {
    Start(ThreeMessages());
    // Lines of server data are not logged here, as by default.
    m_listener->DeleteLogging(LOG_FROM_SERVER | LOG_DATA_FROM_SERVER);
    m_server->SetHugeReply("TOP 2 10", size_t{1} << 30);
    const long before = ResidentKiB();
    ASSERT_GT(before, 0);
    std::atomic<bool> done{false};
    std::atomic<long> most{before};
    std::thread sampler([&] {
        while (!done) {
            most = std::max(most.load(), ResidentKiB());
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    auto client = Connect(true);
    ASSERT_TRUE(client->SendLine("PASS secret"));
    const std::string reply = client->ReadLine(120.0);
    done = true;
    sampler.join();
    EXPECT_EQ(reply.compare(0, 4, "+OK "), 0) << reply;
    EXPECT_LT(most - before, kDownloadGrowthKiB) << "KiB grown";
    // The rest of the mailbox came in; the long one is a partial copy under the limit.
    EXPECT_EQ(m_server->Commands(0).back(), "TOP 3 10");
    {
        CMessageStore* store = Store();
        ASSERT_NE(store, nullptr);
        CStoreLock lock(store, false);
        CMessage* message = store->GetMessage("uid-hold");
        ASSERT_NE(message, nullptr);
        EXPECT_LE(message->GetHeader().size() + message->GetBody().size(),
                  CPOP3Synchronizer::kMaxDownload);
        EXPECT_GT(message->GetBody().size(), CPOP3Synchronizer::kMaxDownload / 2);
        EXPECT_NE(message->GetBodyLines(), -1);
    }
    EXPECT_NE(ReadFile(m_spool).find("Message 2 longer than"), std::string::npos);
    Quit(*client);
}

// ---------------------------------------------------------------------------------------
// Input in pieces, and pipelining.

TEST_F(POP3ConnectionTest, CommandsSplitAtEveryByteWork) {
    const std::vector<SFakeMessage> mailbox = ThreeMessages();
    Start(mailbox);
    auto client = Connect(false);
    const int on = 1;
    ::setsockopt(client->GetHandle(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    auto sendByBytes = [&](const std::string& line) {
        for (char c : line + "\r\n") {
            ASSERT_TRUE(client->Send(std::string(1, c)));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    };
    sendByBytes(UserLine());
    EXPECT_EQ(client->ReadLine(), "+OK anna is welcome");
    sendByBytes("PASS secret");
    EXPECT_EQ(client->ReadLine(15.0), "+OK anna's maildrop has 3 messages");
    // Every split point of a command that the store answers and one the server answers.
    for (const std::string line : {"UIDL 2\r\n", "RETR 1\r\n"}) {
        for (size_t split = 1; split < line.size(); ++split) {
            ASSERT_TRUE(client->Send(line.substr(0, split)));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ASSERT_TRUE(client->Send(line.substr(split)));
            if (line[0] == 'U')
                EXPECT_EQ(client->ReadLine(), "+OK 2 uid-cherry") << split;
            else
                EXPECT_EQ(ReadMultiLine(*client), RetrWithNote(mailbox[0])) << split;
        }
    }
}

// A whole session in one write, before the server is even reached: the log-in waits for
// the connection, the commands after PASS for the synchronization, and the replies come
// in order.
TEST_F(POP3ConnectionTest, PipelinedSessionIsAnsweredInOrder) {
    const std::vector<SFakeMessage> mailbox = ThreeMessages();
    Start(mailbox);
    m_server->DelayReply("UIDL", 0.5);
    auto client = Connect(false);
    ASSERT_TRUE(client->Send("CAPA\r\n" + UserLine() +
                             "\r\nPASS secret\r\nSTAT\r\nUIDL 1\r\nRETR 1\r\nLIST 2\r\nNOOP\r\n"
                             "DELE 1\r\nUIDL\r\nQUIT\r\nNOOP\r\n"));
    EXPECT_EQ(ReadMultiLine(*client).compare(0, 4, "+OK "), 0);
    EXPECT_EQ(client->ReadLine(), "+OK anna is welcome");
    EXPECT_EQ(client->ReadLine(15.0), "+OK anna's maildrop has 3 messages");
    EXPECT_EQ(client->ReadLine(),
              "+OK 2 " + std::to_string(ClientSize(mailbox[0]) + ClientSize(mailbox[2])));
    EXPECT_EQ(client->ReadLine(), "+OK 1 uid-apple");
    EXPECT_EQ(ReadMultiLine(*client), RetrWithNote(mailbox[0]));
    EXPECT_EQ(client->ReadLine(), "+OK 2 " + std::to_string(ClientSize(mailbox[2])));
    EXPECT_EQ(client->ReadLine(), "+OK");
    EXPECT_EQ(client->ReadLine(), "+OK message 1 deleted");
    EXPECT_EQ(ReadMultiLine(*client), "+OK UIDL listing follows\r\n2 uid-cherry\r\n.\r\n");
    EXPECT_EQ(client->ReadLine(), "+OK bye");
    EXPECT_EQ(client->ReadLine(), "-ERR Disconnecting from server");
    EXPECT_EQ(
        m_server->Commands(0),
        Join({kFirstLogin, kFirstSynch, {"STAT", "RETR 1", "NOOP", "DELE 1", "STAT", "QUIT"}}));
}

TEST_F(POP3ConnectionTest, PipelinedRetrievalsGoToTheServerTogether) {
    const std::vector<SFakeMessage> mailbox = ThreeMessages();
    Start(mailbox);
    auto client = Login();
    // Commands whose replies the server gives go to it at once; from the first that
    // is not one (an unknown number, then a LIST the store answers) on, commands wait
    // their turn. The first RETR is slow, so the server sees the rest waiting.
    m_server->ClearHooks();
    m_server->DelayReply("RETR", 0.2);
    ASSERT_TRUE(
        client->Send("RETR 2\r\nTOP 1 0\r\nDELE 1\r\nNOOP\r\nRETR 9\r\nLIST\r\n"
                     "RETR 1\r\n"));
    EXPECT_EQ(ReadMultiLine(*client), RetrWithNote(mailbox[2]));
    EXPECT_EQ(ReadMultiLine(*client), "+OK top of message follows\r\n" + HeaderOf(mailbox[0].text) +
                                          NoteLine(kPassNote) + "\r\n.\r\n");
    EXPECT_EQ(client->ReadLine(), "+OK message 1 deleted");
    EXPECT_EQ(client->ReadLine(), "+OK");
    EXPECT_EQ(client->ReadLine(), "-ERR no such message");
    EXPECT_EQ(ReadMultiLine(*client), "+OK Maildrop listing follows\r\n2 " +
                                          std::to_string(ClientSize(mailbox[2])) + "\r\n.\r\n");
    EXPECT_EQ(client->ReadLine(), "-ERR no such message");
    EXPECT_GE(m_server->MostWaiting(), 3);
    const std::vector<std::string> commands = m_server->Commands(0);
    ASSERT_GE(commands.size(), 6u);
    EXPECT_EQ(
        std::vector<std::string>(commands.end() - 6, commands.end()),
        (std::vector<std::string>{"RETR 3", "TOP 1 0", "DELE 1", "NOOP", "RETR -1", "RETR 1"}));
    Quit(*client);
    EXPECT_EQ(ReadStatistic("MessagesRetrieved"), 3);
}

// Without a log that wants the server's lines, message bodies move in whole blocks: the
// bytes must still be exact across reads, dot-stuffed lines included, and the notes still
// close the header.
TEST_F(POP3ConnectionTest, UnloggedSessionsPassBodiesExactly) {
    std::string tricky;
    for (int i = 0; i < 40000; ++i) {
        tricky += i % 997 == 0 ? "." : i % 13 == 0 ? ".leading dot" : i % 7 == 0 ? "" : "text";
        tricky += std::string(static_cast<size_t>(i % 90), static_cast<char>('a' + i % 26));
        tricky += "\r\n";
    }
    std::vector<SFakeMessage> mailbox = {
        {"uid-big", MakeMessage("Big one", 3, tricky)},
        {"uid-small", MakeMessage("Small one", 1, ".")},
        {"uid-big2", MakeMessage("Big two", 2, tricky.substr(0, 300000))}};
    for (bool local : {false, true}) {
        SCOPED_TRACE(local ? "downloaded whole, delivered from the store" : "relayed");
        Restart();
        if (local) {
            WriteSetting("SOFTWARE\\Brevant\\Quillon\\Settings\\POP3Proxy", "TopLines", -1);
            WriteSetting("Software\\Brevant\\Quillon\\Settings", "Deliver From Local Store", 1);
        }
        Start(mailbox);
        m_listener->DeleteLogging(LOG_FROM_SERVER | LOG_DATA_FROM_SERVER);
        auto client = Login();
        ASSERT_TRUE(client->Send("RETR 1\r\nRETR 2\r\nTOP 3 5\r\nRETR 3\r\n"));
        for (int n = 1; n <= 3; ++n) {
            if (n == 3) {
                std::string top = TopOf(mailbox[2].text, 5);
                top.insert(top.find("\r\n\r\n") + 2, NoteLine(kPassNote));
                EXPECT_EQ(ReadMultiLine(*client),
                          (local ? "+OK\r\n" : "+OK top of message follows\r\n") + Stuffed(top) +
                              ".\r\n");
            }
            EXPECT_EQ(ReadMultiLine(*client), RetrWithNote(mailbox[n - 1], local)) << n;
        }
        Quit(*client);
    }
}

}  // namespace
