// The POP3 session over real loopback sockets: a mail client (TestClient) talks to the
// proxy started by StartFerrymail, which talks to a scripted POP3 server of this file
// serving a mailbox the test gives it. The message database is the real one, with an
// examine call-back that holds every message whose Subject says "hold". The session's
// protocol, line by line, is tested without sockets in POP3SessionTest.cpp; these are the
// cases that need the sockets, the threads and the clock.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ProxyTestPeers.h"
#include "TestHome.h"
#include "ferrymail/AccountTable.h"
#include "ferrymail/MessageDatabase.h"
#include "ferrymail/MessageStore.h"
#include "ferrymail/ProxyStart.h"
#include "proxy/POP3Synchronizer.h"
#include "kinbook/RegistryKey.h"

using namespace testpeers;

namespace {

constexpr char kPassNote[] = "Passed by the test";
constexpr char kHoldNote[] = "Held by the test";
constexpr char kGreeting[] = "+OK Quillon POP3 proxy server";
constexpr char kServerGreeting[] = "+OK fake POP3 server ready";
constexpr char kStoreKey[] = "anna/127.0.0.1";

// The analysis note line as it appears in a header.
std::string NoteLine(const char* note) {
    return std::string("X-Quillon-Analysis: ") + note + "\r\n";
}

MSSTATUS ExamineForTest(CMessage* message) {
    if (message->GetSubject().find("hold") != std::string::npos) {
        message->AddQLNote("Quillon-Analysis", kHoldNote);
        return MS_HOLD;
    }
    message->AddQLNote("Quillon-Analysis", kPassNote);
    return MS_INBOX;
}

// Releases every payload at once; keeps the word parameters.
class CCountingSink : public INotificationSink {
public:
    void Post(UINT message, UINT wParam, long data, CRefCount* object) override {
        CRefCount::DoRelease(object);
        std::lock_guard<std::mutex> guard(m_mutex);
        m_codes.push_back(static_cast<int>(wParam & 0xFFFF));
    }
    int Count(int code) {
        std::lock_guard<std::mutex> guard(m_mutex);
        return static_cast<int>(std::count(m_codes.begin(), m_codes.end(), code));
    }

private:
    std::mutex m_mutex;
    std::vector<int> m_codes;
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

// The header of a message text, through the CRLF of its last line.
std::string HeaderOf(const std::string& text) {
    return text.substr(0, text.find("\r\n\r\n") + 2);
}
std::string BodyOf(const std::string& text) {
    return text.substr(text.find("\r\n\r\n") + 4);
}

// A scripted POP3 server. Each connection sees the shared mailbox as it was at PASS;
// DELE marks, RSET unmarks and QUIT removes the marked messages from the mailbox. Every
// command line is recorded by connection (numbered from 0 in order of arrival). Hooks, by
// command word: delay the reply, answer "-ERR", or close the connection on receipt.
class CFakePOP3Server {
public:
    explicit CFakePOP3Server(std::vector<SFakeMessage> mailbox) : m_mailbox(std::move(mailbox)) {
        m_server = std::make_unique<TestServer>("", [this](int fd) { Serve(fd); });
    }
    ~CFakePOP3Server() { m_server.reset(); }

    int GetPort() const { return m_server->GetPort(); }

    void DelayReply(const std::string& word, double seconds) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_delays[word] = seconds;
    }
    // Answers "-ERR" to `word` once a connection has had `pass` of them answered.
    void FailCommand(const std::string& word, int pass = 0) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_failures[word] = pass;
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
        m_failures.clear();
        m_closes.clear();
    }
    // New mail: seen by connections that log in afterwards.
    void AddMessage(const SFakeMessage& message) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_mailbox.push_back(message);
    }
    // Answers `line` with a header and then `bytes` of body lines in one reply (one
    // line that never ends, with `oneLine`).
    void SetHugeReply(const std::string& line, size_t bytes, bool oneLine = false) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_hugeLine = line;
        m_hugeBytes = bytes;
        m_hugeOneLine = oneLine;
    }
    void SetPassReply(const std::string& reply) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_passReply = reply;
    }
    // The lines between "+OK" and "." of the CAPA reply.
    void SetCapabilities(const std::string& lines) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_capabilities = lines;
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
    std::vector<SFakeMessage> Mailbox() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_mailbox;
    }
    // What RETR n answers for this message (first line included).
    static std::string RetrReply(const SFakeMessage& message) {
        return "+OK " + std::to_string(message.text.size()) + " octets\r\n" +
               Stuffed(message.text) + ".\r\n";
    }

private:
    static std::string Upper(std::string word) {
        for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return word;
    }

    // What one connection of the fake server has seen.
    struct SConnection {
        int index = 0;
        std::string user;
        bool transaction = false;
        std::vector<SFakeMessage> view;
        std::set<int> deleted;  // 1-based numbers of this connection
    };
    // What the script says about one command.
    struct SScripted {
        double delay = 0;
        bool fail = false;
        bool close = false;
        std::string passReply;
        std::string capabilities;
    };

    static std::vector<int> NumbersOf(const std::string& line) {
        std::vector<int> numbers;
        for (size_t at = line.find(' '); at != std::string::npos; at = line.find(' ', at + 1))
            numbers.push_back(std::atoi(line.c_str() + at + 1));
        return numbers;
    }

    // Records the command and reads what the script wants done with it.
    SScripted Record(int connection, const std::string& line, const std::string& word,
                     const std::string& buffer) {
        SScripted scripted;
        std::lock_guard<std::mutex> guard(m_mutex);
        m_commands[connection].push_back(line);
        int waiting = 0;
        for (size_t at = buffer.find("\r\n"); at != std::string::npos;
             at = buffer.find("\r\n", at + 2))
            ++waiting;
        m_mostWaiting = std::max(m_mostWaiting, waiting);
        scripted.capabilities = m_capabilities;
        if (m_delays.count(word) != 0)
            scripted.delay = m_delays[word];
        // How many of this word the connection has had, this one included.
        const std::vector<std::string>& lines = m_commands[connection];
        const long seen = std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
            return Upper(l.substr(0, l.find(' '))) == word;
        });
        scripted.fail = m_failures.count(word) != 0 && seen > m_failures[word];
        scripted.close = m_closes.count(word) != 0 && seen > m_closes[word];
        scripted.passReply = m_passReply;
        return scripted;
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
            const std::string word = Upper(line.substr(0, line.find(' ')));
            const SScripted scripted = Record(c.index, line, word, buffer);
            if (scripted.close)
                return;
            if (line == m_hugeLine) {
                if (!SendHuge(fd))
                    return;
                continue;
            }
            if (scripted.delay > 0)
                std::this_thread::sleep_for(std::chrono::duration<double>(scripted.delay));
            if (scripted.fail) {
                TestServer::SendAll(fd, "-ERR " + word + " refused by the test\r\n");
                continue;
            }
            if (word == "QUIT") {
                Quit(c);
                TestServer::SendAll(fd, "+OK bye\r\n");
                return;
            }
            if (!TestServer::SendAll(fd, Answer(c, line, word, scripted)))
                return;
        }
    }

    // The mailbox loses what the connection deleted.
    void Quit(const SConnection& c) {
        if (!c.transaction)
            return;
        std::lock_guard<std::mutex> guard(m_mutex);
        for (int n : c.deleted) {
            const std::string& uidl = c.view[n - 1].uidl;
            m_mailbox.erase(std::remove_if(m_mailbox.begin(), m_mailbox.end(),
                                           [&](const SFakeMessage& m) { return m.uidl == uidl; }),
                            m_mailbox.end());
        }
    }

    std::string Answer(SConnection& c, const std::string& line, const std::string& word,
                       const SScripted& scripted) {
        const std::vector<int> numbers = NumbersOf(line);
        if (word == "USER" && !c.transaction) {
            c.user = line.size() > 5 ? line.substr(5) : "";
            return "+OK " + c.user + " is welcome\r\n";
        }
        if ((word == "PASS" && !c.transaction && !c.user.empty()) ||
            (word == "APOP" && !c.transaction && numbers.size() == 2)) {
            if (word == "APOP")
                c.user = line.substr(5, line.find(' ', 5) - 5);
            c.transaction = true;
            c.view = Mailbox();
            return scripted.passReply.empty() ? "+OK " + c.user + "'s maildrop has " +
                                                    std::to_string(c.view.size()) + " messages\r\n"
                                              : scripted.passReply + "\r\n";
        }
        if (word == "CAPA")
            return "+OK Capability list follows\r\n" + scripted.capabilities + ".\r\n";
        if (!c.transaction)
            return "-ERR not in TRANSACTION state\r\n";
        return AnswerTransaction(c, word, numbers);
    }

    static std::string ListEntry(const SConnection& c, const std::string& word, size_t n) {
        return std::to_string(n) + " " +
               (word == "LIST" ? std::to_string(c.view[n - 1].text.size()) : c.view[n - 1].uidl);
    }

    static std::string TopOf(const std::string& text, int lines) {
        std::string top = HeaderOf(text) + "\r\n";
        const std::string body = BodyOf(text);
        size_t at = 0;
        for (int i = 0; i < lines && at < body.size(); ++i) {
            const size_t end = body.find("\r\n", at) + 2;
            top.append(body, at, end - at);
            at = end;
        }
        return "+OK top of message follows\r\n" + Stuffed(top) + ".\r\n";
    }

    std::string AnswerTransaction(SConnection& c, const std::string& word,
                                  const std::vector<int>& numbers) {
        auto valid = [&](int n) {
            return n >= 1 && n <= static_cast<int>(c.view.size()) && c.deleted.count(n) == 0;
        };
        if (word == "STAT") {
            size_t count = 0, size = 0;
            for (size_t n = 1; n <= c.view.size(); ++n)
                if (c.deleted.count(static_cast<int>(n)) == 0) {
                    ++count;
                    size += c.view[n - 1].text.size();
                }
            return "+OK " + std::to_string(count) + " " + std::to_string(size) + "\r\n";
        }
        if ((word == "LIST" || word == "UIDL") && numbers.empty()) {
            std::string reply = "+OK listing follows\r\n";
            for (size_t n = 1; n <= c.view.size(); ++n)
                if (c.deleted.count(static_cast<int>(n)) == 0)
                    reply += ListEntry(c, word, n) + "\r\n";
            return reply + ".\r\n";
        }
        if (word == "LIST" || word == "UIDL")
            return !valid(numbers[0]) ? "-ERR no such message\r\n"
                                      : "+OK " + ListEntry(c, word, numbers[0]) + "\r\n";
        if (word == "RETR" && numbers.size() == 1 && valid(numbers[0]))
            return RetrReply(c.view[numbers[0] - 1]);
        if (word == "TOP" && numbers.size() == 2 && valid(numbers[0]) && numbers[1] >= 0)
            return TopOf(c.view[numbers[0] - 1].text, numbers[1]);
        if (word == "DELE" && numbers.size() == 1 && valid(numbers[0])) {
            c.deleted.insert(numbers[0]);
            return "+OK message " + std::to_string(numbers[0]) + " deleted\r\n";
        }
        if (word == "RSET") {
            c.deleted.clear();
            return "+OK\r\n";
        }
        if (word == "NOOP")
            return "+OK\r\n";
        if (word == "RETR" || word == "TOP" || word == "DELE")
            return "-ERR no such message\r\n";
        return "-ERR unknown command\r\n";
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

    std::mutex m_mutex;
    std::string m_hugeLine;  // set before the connection
    size_t m_hugeBytes = 0;
    bool m_hugeOneLine = false;
    std::vector<SFakeMessage> m_mailbox;               // guarded by m_mutex
    std::vector<std::vector<std::string>> m_commands;  // guarded by m_mutex
    std::map<std::string, double> m_delays;            // guarded by m_mutex
    std::map<std::string, int> m_failures;             // guarded by m_mutex
    std::map<std::string, int> m_closes;               // guarded by m_mutex
    std::string m_passReply;                           // guarded by m_mutex
    std::string m_capabilities = "TOP\r\nUIDL\r\nUSER\r\nPIPELINING\r\n";  // guarded by m_mutex
    int m_mostWaiting = 0;                             // guarded by m_mutex
    std::unique_ptr<TestServer> m_server;
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

class POP3ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_home = std::make_unique<CTestHome>();
        ClearAccountTable(TRUE);
        CMessageDatabase::Shutdown();
        // No listener on port 110 beside the one under test.
        WriteProxySetting("DirectProxyListener", 0);
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

    static void WriteProxySetting(const char* name, int value) {
        CRegistryKey key;
        ASSERT_TRUE(key.OpenCarefully(HKEY_CURRENT_USER,
                                      "SOFTWARE\\Brevant\\Quillon\\Settings\\POP3Proxy"));
        ASSERT_TRUE(key.SetValue(name, value));
    }
    static void WriteProgramSetting(const char* name, int value) {
        CRegistryKey key;
        ASSERT_TRUE(key.OpenCarefully(HKEY_CURRENT_USER, "Software\\Brevant\\Quillon\\Settings"));
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
    // it; `registered` false leaves it out), the database and the proxy.
    void Start(std::vector<SFakeMessage> mailbox, bool registered = true, bool enabled = true) {
        m_server = std::make_unique<CFakePOP3Server>(std::move(mailbox));
        if (registered) {
            const std::string path =
                "Software\\Brevant\\Quillon\\Clients\\Direct client\\anna@127.0.0.1:" +
                std::to_string(m_server->GetPort());
            CRegistryKey key;
            ASSERT_TRUE(key.OpenCarefully(HKEY_CURRENT_USER, path.c_str()));
            ASSERT_TRUE(key.SetValue("ServerName", "127.0.0.1"));
            ASSERT_TRUE(key.SetValue("UserName", "anna"));
            ASSERT_TRUE(key.SetValue("ServerPort", m_server->GetPort()));
            if (!enabled) {
                ASSERT_TRUE(key.SetValue("IsEnabled", 0));
            }
        }
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

    // A client logged in in named-host mode; `passReply` receives the PASS reply.
    std::unique_ptr<TestClient> Login(std::string* passReply = nullptr) {
        auto client = std::make_unique<TestClient>(m_listener->GetPort());
        EXPECT_TRUE(client->IsConnected());
        EXPECT_EQ(client->ReadLine(), kGreeting);
        EXPECT_TRUE(client->SendLine(UserLine()));
        EXPECT_EQ(client->ReadLine(), "+OK anna is welcome");
        EXPECT_TRUE(client->SendLine("PASS secret"));
        std::string reply = client->ReadLine(15.0);
        if (passReply != nullptr)
            *passReply = reply;
        else
            EXPECT_EQ(reply.compare(0, 4, "+OK "), 0) << reply;
        return client;
    }

    // QUIT, its reply, and the end of the connection.
    static void Quit(TestClient& client) {
        ASSERT_TRUE(client.SendLine("QUIT"));
        EXPECT_EQ(client.ReadLine(), "+OK bye");
        client.ReadUntilClosed(10.0);
        EXPECT_TRUE(client.IsClosed());
    }

    CMessageStore* Store() {
        return CMessageDatabase::GetMessageDatabase()->GetStore(std::string(kStoreKey));
    }
    // Waits until no session holds the account's store.
    bool WaitForStoreFree() {
        return WaitFor([&] {
            CMessageStore* store = Store();
            return store != nullptr && !store->IsInSession();
        });
    }
    // Moves a message, as the review window does.
    void MoveMessage(const std::string& uidl, MSSTATUS location) {
        CMessageStore* store = Store();
        ASSERT_NE(store, nullptr);
        CMessageDatabase* database = CMessageDatabase::GetMessageDatabase();
        CStoreLock lock(store, true);
        CMessage* message = database->GetMessage(store->GetStoreID(), &uidl);
        ASSERT_NE(message, nullptr) << uidl;
        message->SetLocation(location);
    }
    MSSTATUS LocationOf(const std::string& uidl) {
        CMessageStore* store = Store();
        if (store == nullptr)
            return MS_ANY;
        CStoreLock lock(store, false);
        CMessage* message = store->GetMessage(uidl);
        return message != nullptr ? message->GetLocation() : MS_ANY;
    }

    // The size a client is told for a fake message with one note.
    static int ClientSize(const SFakeMessage& message, const char* note) {
        return static_cast<int>(message.text.size() + NoteLine(note).size());
    }
    // The RETR reply a client gets: the server's with the note closing the header.
    static std::string RetrWithNote(const SFakeMessage& message, const char* note) {
        std::string reply = CFakePOP3Server::RetrReply(message);
        reply.insert(reply.find("\r\n\r\n") + 2, NoteLine(note));
        return reply;
    }

    std::unique_ptr<CTestHome> m_home;  // fresh for every SetUp
    CCountingSink m_sink;
    std::unique_ptr<CFakePOP3Server> m_server;
    CListener* m_listener = nullptr;
    std::string m_spool;
};

// What a named-host log-in sends: the server's capabilities are asked first.
const std::vector<std::string> kFirstLogin = {"CAPA", "USER anna", "PASS secret"};
// What a client that gave a CONNECT line sends itself.
const std::vector<std::string> kClientLogin = {"USER anna", "PASS secret"};
const std::vector<std::string> kFirstSynch = {"STAT",     "UIDL",     "LIST",
                                              "TOP 1 10", "TOP 2 10", "TOP 3 10"};

// ---------------------------------------------------------------------------------------
// Reaching the server.

TEST_F(POP3ConnectionTest, QuitBeforeConnectingEndsTheSession) {
    Start(ThreeMessages());
    TestClient client(m_listener->GetPort());
    EXPECT_EQ(client.ReadLine(), kGreeting);
    ASSERT_TRUE(client.SendLine("QUIT"));
    EXPECT_EQ(client.ReadLine(), "+OK");
    client.ReadUntilClosed(10.0);
    EXPECT_TRUE(client.IsClosed());
}

TEST_F(POP3ConnectionTest, UnreachableNamedHostIsReported) {
    int freePort;
    {
        TestServer probe("");  // a port that was free a moment ago and is closed now
        freePort = probe.GetPort();
    }
    Start(ThreeMessages());
    TestClient client(m_listener->GetPort());
    EXPECT_EQ(client.ReadLine(), kGreeting);
    ASSERT_TRUE(client.SendLine("USER anna/127.0.0.1:" + std::to_string(freePort)));
    const std::string reply = client.ReadLine();
    EXPECT_TRUE(reply == "-ERR Connection to 127.0.0.1 failed: 10061" ||
                reply == "-ERR Can't connect to 127.0.0.1")
        << reply;
    // The session is back where it started.
    ASSERT_TRUE(client.SendLine("NOOP"));
    EXPECT_EQ(client.ReadLine(), "-ERR Not connected to server");
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
    const SCase kCases[] = {
        {"Other Mailer 2.0", kClientLogin, "+OK 3 ", {}},  // no account: a plain relay
        {"Direct client", kClientLogin, "+OK 2 ", kFirstSynch},
        {"Direct client", {"APOP anna 0123456789abcdef"}, "+OK 2 ", kFirstSynch},
    };
    for (const SCase& test : kCases) {
        SCOPED_TRACE(test.clientName + (" " + test.login[0]));
        TearDown();
        SetUp();
        Start(ThreeMessages());
        TestClient client(m_listener->GetPort());
        EXPECT_EQ(client.ReadLine(), kGreeting);
        ASSERT_TRUE(client.SendLine(ConnectLine(m_server->GetPort(), test.clientName)));
        EXPECT_EQ(client.ReadLine(), "0");
        EXPECT_EQ(client.ReadLine(), kServerGreeting);
        for (const std::string& line : test.login) {
            ASSERT_TRUE(client.SendLine(line));
            EXPECT_EQ(client.ReadLine(15.0), line[0] == 'U' ? "+OK anna is welcome"
                                                            : "+OK anna's maildrop has 3 messages");
        }
        ASSERT_TRUE(client.SendLine("STAT"));
        const std::string stat = client.ReadLine();
        EXPECT_EQ(stat.compare(0, 6, test.stat), 0) << stat;
        EXPECT_EQ(m_server->Commands(0), Join({test.login, test.synch, {"STAT"}}));
    }
}

TEST_F(POP3ConnectionTest, MalformedConnectLineGetsMinusOne) {
    Start(ThreeMessages());
    // Numbers out of range are refused, not wrapped at 32 bits onto the server's port.
    const std::string port = std::to_string(m_server->GetPort());
    const std::string lines[] = {"CONNECT",
                                 "CONNECT 127.0.0.1",
                                 "CONNECT pop.example.org:110 x",
                                 "CONNECT 4294967423.0.0.1:" + port,
                                 "CONNECT 127.0.0.1:" + std::to_string(m_server->GetPort() + 65536),
                                 "CONNECT 127.0.0.1:" + std::to_string(m_server->GetPort() +
                                                                        (int64_t{1} << 32)),
                                 "CONNECT 127.0.0.256:" + port,
                                 "CONNECT 127.0.0.1:" + port + "x"};
    for (const std::string& line : lines) {
        TestClient client(m_listener->GetPort());
        EXPECT_EQ(client.ReadLine(), kGreeting);
        ASSERT_TRUE(client.SendLine(line));
        EXPECT_EQ(client.ReadLine(), "-1") << line;
        ASSERT_TRUE(client.SendLine("NOOP"));
        EXPECT_EQ(client.ReadLine(), "-ERR Not connected to server") << line;
    }
    EXPECT_EQ(m_server->Connections(), 0);
}

// ---------------------------------------------------------------------------------------
// Synchronization and the client's view.

TEST_F(POP3ConnectionTest, ReleasedMessageAppearsAtNextSession) {
    const std::vector<SFakeMessage> mailbox = ThreeMessages();
    Start(mailbox);
    auto first = Login();
    Quit(*first);
    ASSERT_TRUE(WaitForStoreFree());
    MoveMessage("uid-hold", MS_INBOX);

    auto second = Login();
    ASSERT_TRUE(second->SendLine("UIDL"));
    EXPECT_EQ(ReadMultiLine(*second),
              "+OK UIDL listing follows\r\n1 uid-apple\r\n2 uid-hold\r\n3 uid-cherry\r\n.\r\n");
    ASSERT_TRUE(second->SendLine("RETR 2"));
    EXPECT_EQ(ReadMultiLine(*second), RetrWithNote(mailbox[1], kHoldNote));
    // An unchanged mailbox is only listed by its UIDLs.
    EXPECT_EQ(m_server->Commands(1), Join({kFirstLogin, {"STAT", "UIDL", "RETR 2"}}));
    Quit(*second);
}

TEST_F(POP3ConnectionTest, UnchangedMailboxIsNotDownloadedAgain) {
    const std::vector<SFakeMessage> mailbox = ThreeMessages();
    Start(mailbox);
    auto first = Login();
    Quit(*first);
    ASSERT_TRUE(WaitForStoreFree());
    auto storeFile = [this] {
        Store()->FlushSaves();
        struct stat file {};
        EXPECT_EQ(::stat(Store()->GetPath().c_str(), &file), 0);
        return std::make_pair(file.st_ino, file.st_mtim.tv_nsec);
    };
    const auto before = storeFile();

    std::string passReply;
    auto second = Login(&passReply);
    EXPECT_EQ(passReply, "+OK anna's maildrop has 3 messages");
    ASSERT_TRUE(second->SendLine("STAT"));
    EXPECT_EQ(second->ReadLine(), "+OK 2 " + std::to_string(ClientSize(mailbox[0], kPassNote) +
                                                            ClientSize(mailbox[2], kPassNote)));
    EXPECT_EQ(m_server->Commands(1), Join({kFirstLogin, {"STAT", "UIDL", "STAT"}}));
    Quit(*second);
    // Nothing changed, so nothing was written.
    ASSERT_TRUE(WaitForStoreFree());
    EXPECT_EQ(storeFile(), before);
}

TEST_F(POP3ConnectionTest, NewMailIsListedAndOnlyNewMessagesFetched) {
    std::vector<SFakeMessage> mailbox;
    for (int i = 1; i <= 10; ++i)
        mailbox.push_back(
            {"uid-" + std::to_string(i), MakeMessage("Number " + std::to_string(i), 2)});
    Start(mailbox);
    auto first = Login();
    EXPECT_EQ(m_server->Commands(0).size(), 3u + 3u + 10u);  // login, STAT UIDL LIST, 10 TOP
    Quit(*first);
    ASSERT_TRUE(WaitForStoreFree());

    // Two new messages among twelve: their sizes are asked one by one.
    m_server->AddMessage({"uid-11", MakeMessage("Number 11", 1)});
    m_server->AddMessage({"uid-12", MakeMessage("Number 12, hold it", 1)});
    auto second = Login();
    EXPECT_EQ(
        m_server->Commands(1),
        Join({kFirstLogin, {"STAT", "UIDL", "LIST 11", "LIST 12", "TOP 11 10", "TOP 12 10"}}));
    ASSERT_TRUE(second->SendLine("STAT"));
    EXPECT_EQ(second->ReadLine().compare(0, 7, "+OK 11 "), 0);
    ASSERT_TRUE(second->SendLine("UIDL 11"));
    EXPECT_EQ(second->ReadLine(), "+OK 11 uid-11");
    EXPECT_EQ(LocationOf("uid-12"), MS_HOLD);
    Quit(*second);
}

TEST_F(POP3ConnectionTest, LocalDeliveryAnswersFromStore) {
    WriteProxySetting("TopLines", -1);
    WriteProgramSetting("Deliver From Local Store", 1);
    const std::vector<SFakeMessage> mailbox = ThreeMessages();
    Start(mailbox);
    auto client = Login();
    const size_t afterSynch = m_server->Commands(0).size();

    for (int n : {1, 2}) {
        const SFakeMessage& message = mailbox[n == 1 ? 0 : 2];
        ASSERT_TRUE(client->SendLine("RETR " + std::to_string(n)));
        const std::string reply = ReadMultiLine(*client);
        const std::string relayed = RetrWithNote(message, kPassNote);
        // The same text as the server's, behind a plain "+OK".
        EXPECT_EQ(reply, "+OK\r\n" + relayed.substr(relayed.find("\r\n") + 2)) << n;
    }
    ASSERT_TRUE(client->SendLine("TOP 2 2"));
    EXPECT_EQ(ReadMultiLine(*client), "+OK\r\n" + HeaderOf(mailbox[2].text) + NoteLine(kPassNote) +
                                          "\r\nBody line 1 of Cherry season\r\n"
                                          "Body line 2 of Cherry season\r\n.\r\n");
    ASSERT_TRUE(client->SendLine("TOP 1 0"));
    EXPECT_EQ(ReadMultiLine(*client),
              "+OK\r\n" + HeaderOf(mailbox[0].text) + NoteLine(kPassNote) + ".\r\n");
    EXPECT_EQ(m_server->Commands(0).size(), afterSynch);
    EXPECT_EQ(LocationOf("uid-apple"), MS_DELIVERED);
    EXPECT_EQ(LocationOf("uid-cherry"), MS_DELIVERED);
    Quit(*client);
}

TEST_F(POP3ConnectionTest, LocalDeliveryOfTruncatedMessageGoesToServer) {
    WriteProgramSetting("Deliver From Local Store", 1);
    const std::vector<SFakeMessage> mailbox = ThreeMessages();
    Start(mailbox);
    auto client = Login();
    // The store has only 10 of the 15 body lines of the cherry message.
    ASSERT_TRUE(client->SendLine("RETR 2"));
    EXPECT_EQ(ReadMultiLine(*client), RetrWithNote(mailbox[2], kPassNote));
    EXPECT_EQ(m_server->Commands(0).back(), "RETR 3");
    // The first message was complete within its 10 lines.
    const size_t before = m_server->Commands(0).size();
    ASSERT_TRUE(client->SendLine("RETR 1"));
    const std::string relayed = RetrWithNote(mailbox[0], kPassNote);
    EXPECT_EQ(ReadMultiLine(*client), "+OK\r\n" + relayed.substr(relayed.find("\r\n") + 2));
    EXPECT_EQ(m_server->Commands(0).size(), before);
    Quit(*client);
}

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
    std::vector<SFakeMessage> mailbox = ThreeMessages();
    Start(mailbox);
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
    TestClient client(m_listener->GetPort());
    EXPECT_EQ(client.ReadLine(), kGreeting);
    ASSERT_TRUE(client.SendLine(UserLine()));
    EXPECT_EQ(client.ReadLine(), "+OK anna is welcome");
    ASSERT_TRUE(client.SendLine("PASS secret"));
    const std::string reply = client.ReadLine(120.0);
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
    Quit(client);
}

TEST_F(POP3ConnectionTest, OverLongServerLineEndsWithAnErrorLine) {
    Start(ThreeMessages());
    m_listener->DeleteLogging(LOG_FROM_SERVER | LOG_DATA_FROM_SERVER);
    m_server->SetHugeReply("RETR 3", size_t{12} << 20, true);
    auto client = Login();
    ASSERT_TRUE(client->SendLine("RETR 2"));
    const std::string all = client->ReadUntilClosed(20.0);
    EXPECT_TRUE(client->IsClosed());
    const std::string end = "-ERR Line from server too long\r\n";
    ASSERT_GE(all.size(), end.size());
    EXPECT_EQ(all.substr(all.size() - end.size()), end);
}

// ---------------------------------------------------------------------------------------
// Deletions.

TEST_F(POP3ConnectionTest, ClientDeletionLeavesStoreAfterQuit) {
    const std::vector<SFakeMessage> mailbox = ThreeMessages();
    Start(mailbox);
    auto client = Login();
    ASSERT_TRUE(client->SendLine("DELE 1"));
    EXPECT_EQ(client->ReadLine(), "+OK message 1 deleted");
    Quit(*client);
    ASSERT_TRUE(WaitForStoreFree());
    EXPECT_EQ(LocationOf("uid-apple"), MS_ANY);  // gone from the store
    EXPECT_EQ(m_server->Mailbox().size(), 2u);

    // The next session sees the server's new numbering.
    auto next = Login();
    ASSERT_TRUE(next->SendLine("UIDL"));
    EXPECT_EQ(ReadMultiLine(*next), "+OK UIDL listing follows\r\n1 uid-cherry\r\n.\r\n");
    ASSERT_TRUE(next->SendLine("RETR 1"));
    EXPECT_EQ(ReadMultiLine(*next), RetrWithNote(mailbox[2], kPassNote));
    EXPECT_EQ(m_server->Commands(1).back(), "RETR 2");
    Quit(*next);
}

// ---------------------------------------------------------------------------------------
// Accounts that are not filtered.

TEST_F(POP3ConnectionTest, DisabledAccountIsRelayedAsItCame) {
    const std::vector<SFakeMessage> mailbox = ThreeMessages();
    Start(mailbox, true, false);
    auto client = Login();
    ASSERT_TRUE(client->SendLine("  list  "));
    EXPECT_EQ(ReadMultiLine(*client), "+OK listing follows\r\n1 " +
                                          std::to_string(mailbox[0].text.size()) + "\r\n2 " +
                                          std::to_string(mailbox[1].text.size()) + "\r\n3 " +
                                          std::to_string(mailbox[2].text.size()) + "\r\n.\r\n");
    ASSERT_TRUE(client->SendLine("retr 2"));
    EXPECT_EQ(ReadMultiLine(*client), CFakePOP3Server::RetrReply(mailbox[1]));
    // Commands the session has no code for get their whole reply.
    ASSERT_TRUE(client->SendLine("XTND  XMIT"));
    EXPECT_EQ(client->ReadLine(), "-ERR unknown command");
    ASSERT_TRUE(client->SendLine("capa"));
    EXPECT_EQ(ReadMultiLine(*client),
              "+OK Capability list follows\r\nTOP\r\nUIDL\r\nUSER\r\nPIPELINING\r\n.\r\n");
    ASSERT_TRUE(client->SendLine("DELE 0"));
    EXPECT_EQ(client->ReadLine(), "-ERR no such message");
    Quit(*client);
    EXPECT_EQ(m_server->Commands(0),
              Join({kFirstLogin, {"list", "retr 2", "XTND  XMIT", "capa", "DELE 0", "QUIT"}}));
    EXPECT_EQ(LocationOf("uid-apple"), MS_ANY);
}

TEST_F(POP3ConnectionTest, UnknownAccountIsRelayed) {
    const std::vector<SFakeMessage> mailbox = ThreeMessages();
    Start(mailbox, false);
    auto client = Login();
    ASSERT_TRUE(client->SendLine("UIDL"));
    EXPECT_EQ(ReadMultiLine(*client),
              "+OK listing follows\r\n1 uid-apple\r\n2 uid-hold\r\n3 uid-cherry\r\n.\r\n");
    Quit(*client);
    EXPECT_EQ(m_server->Commands(0), Join({kFirstLogin, {"UIDL", "QUIT"}}));
}

TEST_F(POP3ConnectionTest, StoreHeldBySessionRefusesSecondSessionAfterAWait) {
    Start(ThreeMessages());
    // A client that stops after USER holds nothing.
    TestClient idle(m_listener->GetPort());
    EXPECT_EQ(idle.ReadLine(), kGreeting);
    ASSERT_TRUE(idle.SendLine(UserLine()));
    EXPECT_EQ(idle.ReadLine(), "+OK anna is welcome");
    auto first = Login();

    TestClient second(m_listener->GetPort());
    EXPECT_EQ(second.ReadLine(), kGreeting);
    ASSERT_TRUE(second.SendLine(UserLine()));
    EXPECT_EQ(second.ReadLine(), "+OK anna is welcome");
    ASSERT_TRUE(second.SendLine("PASS secret"));
    EXPECT_EQ(second.ReadLine(15.0), "-ERR Quillon proxy couldn't open local store");
    second.ReadUntilClosed(10.0);
    EXPECT_TRUE(second.IsClosed());

    // Once the first session has ended the store is free again.
    Quit(*first);
    ASSERT_TRUE(WaitForStoreFree());
    auto third = Login();
    ASSERT_TRUE(third->SendLine("STAT"));
    EXPECT_EQ(third->ReadLine().compare(0, 6, "+OK 2 "), 0);
    Quit(*third);
}

// ---------------------------------------------------------------------------------------
// Keeping the client waiting, and servers that fail.

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
        const std::string name = test.closeOn != nullptr ? test.closeOn : "client leaves";
        SCOPED_TRACE(name);
        TearDown();
        SetUp();
        Start(ThreeMessages());
        if (test.closeOn != nullptr)
            m_server->CloseOn(test.closeOn, test.pass);
        else
            m_server->DelayReply("UIDL", 1.0);
        {
            TestClient client(m_listener->GetPort());
            EXPECT_EQ(client.ReadLine(), kGreeting);
            ASSERT_TRUE(client.SendLine(UserLine()));
            EXPECT_EQ(client.ReadLine(), "+OK anna is welcome");
            ASSERT_TRUE(client.SendLine("PASS secret"));
            if (test.closeOn != nullptr) {
                EXPECT_EQ(client.ReadLine(15.0), "+OK anna's maildrop has 3 messages");
                client.ReadUntilClosed(10.0);
                EXPECT_TRUE(client.IsClosed());
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

TEST_F(POP3ConnectionTest, StatAfterDeletionCountsWhatIsLeftWithoutRenumbering) {
    const std::vector<SFakeMessage> mailbox = ThreeMessages();
    Start(mailbox);
    auto client = Login();
    ASSERT_TRUE(client->SendLine("DELE 1"));
    EXPECT_EQ(client->ReadLine(), "+OK message 1 deleted");
    // The server's count now differs from the store's: the session checks it again.
    ASSERT_TRUE(client->SendLine("STAT"));
    EXPECT_EQ(client->ReadLine(), "+OK 1 " + std::to_string(ClientSize(mailbox[2], kPassNote)));
    // The client's numbers stay as they were in this session.
    ASSERT_TRUE(client->SendLine("UIDL 2"));
    EXPECT_EQ(client->ReadLine(), "+OK 2 uid-cherry");
    ASSERT_TRUE(client->SendLine("RETR 2"));
    EXPECT_EQ(ReadMultiLine(*client), RetrWithNote(mailbox[2], kPassNote));
    const std::vector<std::string> commands = m_server->Commands(0);
    ASSERT_GE(commands.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(commands.end() - 4, commands.end()),
              (std::vector<std::string>{"DELE 1", "STAT", "STAT", "RETR 3"}));
    Quit(*client);
}

// ---------------------------------------------------------------------------------------
// Input in pieces.

TEST_F(POP3ConnectionTest, CommandsSplitAtEveryByteWork) {
    const std::vector<SFakeMessage> mailbox = ThreeMessages();
    Start(mailbox);
    TestClient client(m_listener->GetPort());
    const int on = 1;
    ::setsockopt(client.GetHandle(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    auto sendByBytes = [&](const std::string& line) {
        for (char c : line + "\r\n") {
            ASSERT_TRUE(client.Send(std::string(1, c)));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    };
    EXPECT_EQ(client.ReadLine(), kGreeting);
    sendByBytes(UserLine());
    EXPECT_EQ(client.ReadLine(), "+OK anna is welcome");
    sendByBytes("PASS secret");
    EXPECT_EQ(client.ReadLine(15.0), "+OK anna's maildrop has 3 messages");
    // Every split point of a command that the store answers and one the server answers.
    for (const std::string line : {"UIDL 2\r\n", "RETR 1\r\n"}) {
        for (size_t split = 1; split < line.size(); ++split) {
            ASSERT_TRUE(client.Send(line.substr(0, split)));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ASSERT_TRUE(client.Send(line.substr(split)));
            if (line[0] == 'U')
                EXPECT_EQ(client.ReadLine(), "+OK 2 uid-cherry") << split;
            else
                EXPECT_EQ(ReadMultiLine(client), RetrWithNote(mailbox[0], kPassNote)) << split;
        }
    }
}

TEST_F(POP3ConnectionTest, PipelinedCommandsAreAnsweredInOrder) {
    const std::vector<SFakeMessage> mailbox = ThreeMessages();
    Start(mailbox);
    m_server->DelayReply("UIDL", 0.5);
    TestClient client(m_listener->GetPort());
    EXPECT_EQ(client.ReadLine(), kGreeting);
    ASSERT_TRUE(client.SendLine(UserLine()));
    EXPECT_EQ(client.ReadLine(), "+OK anna is welcome");
    // Commands the server answers and commands the store answers, in one write with
    // PASS: they wait for the synchronization.
    ASSERT_TRUE(
        client.Send("PASS secret\r\nSTAT\r\nUIDL 1\r\nRETR 1\r\nLIST 2\r\nNOOP\r\n"
                    "DELE 1\r\nUIDL\r\nQUIT\r\nNOOP\r\n"));
    EXPECT_EQ(client.ReadLine(15.0), "+OK anna's maildrop has 3 messages");
    EXPECT_EQ(client.ReadLine().compare(0, 6, "+OK 2 "), 0);
    EXPECT_EQ(client.ReadLine(), "+OK 1 uid-apple");
    EXPECT_EQ(ReadMultiLine(client), RetrWithNote(mailbox[0], kPassNote));
    EXPECT_EQ(client.ReadLine(), "+OK 2 " + std::to_string(ClientSize(mailbox[2], kPassNote)));
    EXPECT_EQ(client.ReadLine(), "+OK");
    EXPECT_EQ(client.ReadLine(), "+OK message 1 deleted");
    EXPECT_EQ(ReadMultiLine(client), "+OK UIDL listing follows\r\n2 uid-cherry\r\n.\r\n");
    EXPECT_EQ(client.ReadLine(), "+OK bye");
    EXPECT_EQ(client.ReadLine(), "-ERR Disconnecting from server");
    EXPECT_EQ(
        m_server->Commands(0),
        Join({kFirstLogin, kFirstSynch, {"STAT", "RETR 1", "NOOP", "DELE 1", "STAT", "QUIT"}}));
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
        TearDown();
        SetUp();
        if (local) {
            WriteProxySetting("TopLines", -1);
            WriteProgramSetting("Deliver From Local Store", 1);
        }
        Start(mailbox);
        m_listener->DeleteLogging(LOG_FROM_SERVER | LOG_DATA_FROM_SERVER);
        auto client = Login();
        ASSERT_TRUE(client->Send("RETR 1\r\nRETR 2\r\nTOP 3 5\r\nRETR 3\r\n"));
        for (int n = 1; n <= 3; ++n) {
            std::string expected = RetrWithNote(mailbox[n - 1], kPassNote);
            if (local)
                expected = "+OK\r\n" + expected.substr(expected.find("\r\n") + 2);
            if (n == 3) {
                std::string top = HeaderOf(mailbox[2].text) + NoteLine(kPassNote) + "\r\n";
                const std::string body = BodyOf(mailbox[2].text);
                size_t at = 0;
                for (int line = 0; line < 5; ++line)
                    at = body.find("\r\n", at) + 2;
                top += body.substr(0, at);
                EXPECT_EQ(ReadMultiLine(*client),
                          (local ? "+OK\r\n" : "+OK top of message follows\r\n") + Stuffed(top) +
                              ".\r\n");
            }
            EXPECT_EQ(ReadMultiLine(*client), expected) << n;
        }
        Quit(*client);
    }
}

// ---------------------------------------------------------------------------------------
// Pipelining.

TEST_F(POP3ConnectionTest, CapabilitiesOfferPipeliningAndHideWhatIsNotCarried) {
    Start(ThreeMessages());
    m_server->SetCapabilities(
        "TOP\r\nSTLS\r\nSASL PLAIN LOGIN\r\nRESP-CODES\r\nUTF8 USER\r\nUSER\r\nUIDL\r\n"
        "IMPLEMENTATION Test server\r\n");
    const std::string own =
        "+OK Capability list follows\r\nUSER\r\nTOP\r\nUIDL\r\nPIPELINING\r\n"
        "SASL PLAIN LOGIN XOAUTH2 OAUTHBEARER\r\n.\r\n";
    const std::string server =
        "+OK Capability list follows\r\nTOP\r\nRESP-CODES\r\nUSER\r\nUIDL\r\n"
        "IMPLEMENTATION Test server\r\nPIPELINING\r\n.\r\n";
    TestClient client(m_listener->GetPort());
    EXPECT_EQ(client.ReadLine(), kGreeting);
    // Before the server is known: the proxy's own list. With the server: the server's,
    // cut to what passes through, and kept for the transaction state.
    ASSERT_TRUE(client.SendLine("CAPA"));
    EXPECT_EQ(ReadMultiLine(client), own);
    ASSERT_TRUE(client.SendLine(UserLine()));
    EXPECT_EQ(client.ReadLine(), "+OK anna is welcome");
    ASSERT_TRUE(client.SendLine("CAPA"));
    EXPECT_EQ(ReadMultiLine(client), server);
    ASSERT_TRUE(client.SendLine("PASS secret"));
    EXPECT_EQ(client.ReadLine(15.0), "+OK anna's maildrop has 3 messages");
    ASSERT_TRUE(client.SendLine("CAPA"));
    EXPECT_EQ(ReadMultiLine(client), server);
    EXPECT_EQ(m_server->Commands(0),
              Join({{"CAPA", "USER anna", "CAPA", "PASS secret"}, kFirstSynch}));
}

TEST_F(POP3ConnectionTest, PipelinedLoginWaitsForTheServerConnection) {
    const std::vector<SFakeMessage> mailbox = ThreeMessages();
    Start(mailbox);
    TestClient client(m_listener->GetPort());
    EXPECT_EQ(client.ReadLine(), kGreeting);
    ASSERT_TRUE(client.Send("CAPA\r\n" + UserLine() + "\r\nPASS secret\r\nSTAT\r\nUIDL\r\n"));
    EXPECT_EQ(ReadMultiLine(client).compare(0, 4, "+OK "), 0);
    EXPECT_EQ(client.ReadLine(), "+OK anna is welcome");
    EXPECT_EQ(client.ReadLine(15.0), "+OK anna's maildrop has 3 messages");
    EXPECT_EQ(client.ReadLine(), "+OK 2 " + std::to_string(ClientSize(mailbox[0], kPassNote) +
                                                           ClientSize(mailbox[2], kPassNote)));
    EXPECT_EQ(ReadMultiLine(client),
              "+OK UIDL listing follows\r\n1 uid-apple\r\n2 uid-cherry\r\n.\r\n");
    Quit(client);
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
    ASSERT_TRUE(client->Send("RETR 2\r\nTOP 1 0\r\nDELE 1\r\nNOOP\r\nRETR 9\r\nLIST\r\n"
                             "RETR 1\r\n"));
    EXPECT_EQ(ReadMultiLine(*client), RetrWithNote(mailbox[2], kPassNote));
    EXPECT_EQ(ReadMultiLine(*client), "+OK top of message follows\r\n" +
                                          HeaderOf(mailbox[0].text) + NoteLine(kPassNote) +
                                          "\r\n.\r\n");
    EXPECT_EQ(client->ReadLine(), "+OK message 1 deleted");
    EXPECT_EQ(client->ReadLine(), "+OK");
    EXPECT_EQ(client->ReadLine(), "-ERR no such message");
    EXPECT_EQ(ReadMultiLine(*client), "+OK Maildrop listing follows\r\n2 " +
                                          std::to_string(ClientSize(mailbox[2], kPassNote)) +
                                          "\r\n.\r\n");
    EXPECT_EQ(client->ReadLine(), "-ERR no such message");
    EXPECT_GE(m_server->MostWaiting(), 3);
    const std::vector<std::string> commands = m_server->Commands(0);
    ASSERT_GE(commands.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(commands.end() - 6, commands.end()),
              (std::vector<std::string>{"RETR 3", "TOP 1 0", "DELE 1", "NOOP", "RETR -1",
                                        "RETR 1"}));
    Quit(*client);
    EXPECT_EQ(ReadStatistic("MessagesRetrieved"), 3);
}

// While the mailbox is being listed and its new mail downloaded, a store saved (or left
// behind by a crash) does not claim to be in step with the server.
TEST_F(POP3ConnectionTest, StoreIsNotInStepUntilTheDownloadsAreDone) {
    const std::vector<SFakeMessage> mailbox = ThreeMessages();
    Start(mailbox);
    m_server->DelayReply("TOP", 0.3);
    TestClient client(m_listener->GetPort());
    EXPECT_EQ(client.ReadLine(), kGreeting);
    ASSERT_TRUE(client.SendLine(UserLine()));
    EXPECT_EQ(client.ReadLine(), "+OK anna is welcome");
    ASSERT_TRUE(client.SendLine("PASS secret"));
    ASSERT_TRUE(m_server->WaitForCommands(0, kFirstLogin.size() + 4));  // a TOP is out
    int count = 0, size = 0;
    Store()->GetServerStat(&count, &size);
    EXPECT_EQ(count, -1);
    EXPECT_EQ(client.ReadLine(15.0), "+OK anna's maildrop has 3 messages");
    Store()->GetServerStat(&count, &size);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(size, static_cast<int>(mailbox[0].text.size() + mailbox[1].text.size() +
                                     mailbox[2].text.size()));
    Quit(client);
}

// A server that does not offer PIPELINING (or has no CAPA at all) gets one command at a
// time, from the session and from a pipelining client alike.
TEST_F(POP3ConnectionTest, ServerWithoutPipeliningGetsOneCommandAtATime) {
    std::vector<SFakeMessage> mailbox;
    for (int n = 1; n <= 12; ++n)
        mailbox.push_back({"uid-" + std::to_string(n), MakeMessage("Note " + std::to_string(n), 1)});
    for (bool refuse : {false, true}) {
        SCOPED_TRACE(refuse ? "CAPA refused" : "no PIPELINING");
        TearDown();
        SetUp();
        Start(mailbox);
        if (refuse)
            m_server->FailCommand("CAPA");
        else
            m_server->SetCapabilities("TOP\r\nUIDL\r\nUSER\r\n");
        m_server->DelayReply("TOP", 0.005);
        m_server->DelayReply("RETR", 0.005);
        auto client = Login();
        ASSERT_TRUE(client->Send("RETR 1\r\nRETR 2\r\nRETR 3\r\n"));
        for (int n = 1; n <= 3; ++n)
            EXPECT_EQ(ReadMultiLine(*client), RetrWithNote(mailbox[n - 1], kPassNote));
        EXPECT_EQ(m_server->MostWaiting(), 0);
        // The client still hears that it may pipeline: the proxy queues for it.
        ASSERT_TRUE(client->SendLine("CAPA"));
        EXPECT_NE(ReadMultiLine(*client).find("\r\nPIPELINING\r\n"), std::string::npos);
        Quit(*client);
    }
}

}  // namespace
