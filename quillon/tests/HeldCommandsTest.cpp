// The held-mail commands: parsing, and the built program beside a running quillon (the
// command goes through the instance, whose proxy then serves the released message and
// deletes the deleted one on the server) and without one (the command runs itself).
#include "app/HeldCommands.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdint>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "PortHolder.h"
#include "HeadlessChild.h"
#include "TestHome.h"
#include "app/DirectAccounts.h"
#include "ferrymail/accounts/AccountTable.h"
#include "ferrymail/store/MessageDatabase.h"
#include "ferrymail/store/MessageStore.h"
#include "kinbook/foundation/RegistryKey.h"

namespace {

// A POP3 server on a loopback port with a fixed mailbox, one client at a time; it
// records every line it is sent.
class CFakePOP3Server {
public:
    explicit CFakePOP3Server(std::vector<std::pair<std::string, std::string>> mailbox)
        : m_mailbox(std::move(mailbox)) {
        m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = LoopbackAddress(0);
        socklen_t length = sizeof address;
        EXPECT_EQ(bind(m_listener, reinterpret_cast<sockaddr*>(&address), length), 0);
        EXPECT_EQ(listen(m_listener, 4), 0);
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] {
            for (int client; (client = accept(m_listener, nullptr, nullptr)) >= 0; close(client))
                Session(client);
        });
    }
    ~CFakePOP3Server() {
        shutdown(m_listener, SHUT_RDWR);
        m_thread.join();
        close(m_listener);
    }
    int Port() const { return m_port; }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_lines;
    }

private:
    void Session(int client) {
        Say(client, "+OK fake POP3 ready");
        std::string buffer;
        char chunk[1024];
        for (ssize_t n; (n = read(client, chunk, sizeof chunk)) > 0;) {
            buffer.append(chunk, static_cast<size_t>(n));
            for (size_t end; (end = buffer.find("\r\n")) != std::string::npos;) {
                const std::string line = buffer.substr(0, end);
                buffer.erase(0, end + 2);
                {
                    std::lock_guard<std::mutex> guard(m_mutex);
                    m_lines.push_back(line);
                }
                if (!Answer(client, line))
                    return;
            }
        }
    }
    bool Answer(int client, const std::string& line) {
        std::istringstream words(line);
        std::string command;
        int number = 0;
        words >> command >> number;
        const bool valid = number >= 1 && number <= static_cast<int>(m_mailbox.size());
        const std::string* text = valid ? &m_mailbox[number - 1].second : nullptr;
        if (command == "USER" || command == "PASS" || command == "NOOP" || command == "RSET" ||
            (command == "DELE" && valid)) {
            Say(client, "+OK");
        } else if (command == "STAT") {
            size_t total = 0;
            for (const auto& entry : m_mailbox) total += entry.second.size();
            Say(client, "+OK " + std::to_string(m_mailbox.size()) + " " + std::to_string(total));
        } else if (command == "UIDL" && number == 0) {
            std::string listing = "+OK\r\n";
            for (size_t i = 0; i < m_mailbox.size(); ++i)
                listing += std::to_string(i + 1) + " " + m_mailbox[i].first + "\r\n";
            Say(client, listing + ".");
        } else if (command == "RETR" && valid) {
            Say(client, "+OK\r\n" + *text + ".");
        } else if (command == "QUIT") {
            Say(client, "+OK bye");
            return false;
        } else {
            Say(client, "-ERR not here");
        }
        return true;
    }
    static void Say(int client, const std::string& text) {
        const std::string line = text + "\r\n";
        EXPECT_EQ(send(client, line.data(), line.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(line.size()));
    }

    std::vector<std::pair<std::string, std::string>> m_mailbox;  // UIDL, text
    int m_listener = -1;
    int m_port = 0;
    std::mutex m_mutex;
    std::vector<std::string> m_lines;  // guarded by m_mutex
    std::thread m_thread;
};

// A line-reading POP3 client with a time limit.
class CPOP3Client {
public:
    explicit CPOP3Client(int port) : m_fd(ConnectLoopback(port)) {}
    ~CPOP3Client() {
        if (m_fd >= 0)
            close(m_fd);
    }
    std::string Ask(const std::string& line, bool multiLine = false) {
        const std::string text = line + "\r\n";
        EXPECT_EQ(send(m_fd, text.data(), text.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(text.size()));
        return Read(multiLine);
    }
    std::string Read(bool multiLine = false) {
        const std::string end = multiLine ? "\r\n.\r\n" : "\r\n";
        for (size_t at; (at = m_buffer.find(end)) == std::string::npos;) {
            SWaitEntry entry = {m_fd, kWaitRead, 0};
            char chunk[4096];
            ssize_t n = 0;
            if (poll(&entry, 1, 30000) <= 0 || (n = read(m_fd, chunk, sizeof chunk)) <= 0)
                return std::exchange(m_buffer, {});
            m_buffer.append(chunk, static_cast<size_t>(n));
        }
        const size_t at = m_buffer.find(end) + end.size();
        std::string reply = m_buffer.substr(0, at);
        m_buffer.erase(0, at);
        return reply;
    }

private:
    int m_fd;
    std::string m_buffer;
};

std::string Mail(const std::string& from, const std::string& subject) {
    return "From: " + from + "\r\nSubject: " + subject + "\r\nMessage-ID: <" + subject +
           "@example>\r\n\r\nbody of " + subject + "\r\n";
}

class HeldCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        CMessageDatabase::Shutdown();
        ClearAccountTable(TRUE);
        // The fake POP3 server speaks in clear.
        CRegistryKey settings;
        ASSERT_TRUE(settings.OpenCarefully(HKEY_CURRENT_USER,
                                           "Software\\Brevant\\Quillon\\Settings\\POP3Proxy"));
        ASSERT_TRUE(settings.SetValue("ServerTLS", "none"));
    }
    void TearDown() override {
        StopInstance();
        CMessageDatabase::Shutdown();
        ClearAccountTable(TRUE);
    }
    static int Quillon(std::vector<std::string> arguments, std::string* output = nullptr) {
        arguments.insert(arguments.begin(), std::string(QUILLON_BIN_DIR) + "/quillon");
        return RunProgram(arguments, output);
    }
    // Files messages in the store of bob on 127.0.0.1 the way the filter leaves them; the
    // database is closed again, so that the store file is free for another process.
    static void FileMessages(
        const std::vector<std::tuple<std::string, std::string, char, MSSTATUS>>& messages) {
        CMessageDatabase* database = CMessageDatabase::GetMessageDatabase();
        CMessageStore* store = database->FindStore("127.0.0.1", "bob", 0, 0);
        ASSERT_NE(store, nullptr);
        for (const auto& [uidl, text, tag, location] : messages) {
            CMessage* message = new CMessage(uidl, nullptr);
            message->SetHeader(text, -1);
            message->SetSize(static_cast<int>(text.size()));
            message->SetTag(reinterpret_cast<void*>(static_cast<intptr_t>(tag)));
            message->AddQLNote("Quillon-Analysis", "bad: numeric hyperlinks in body");
            message->AddRef();
            ASSERT_TRUE(store->InstallMessage(message, 1));
            message->SetLocation(location);
            CRefCount::DoRelease(message);
        }
        ASSERT_TRUE(store->Save(0));
        CMessageDatabase::Shutdown();
    }
    static MSSTATUS Location(const std::string& uidl) {
        CMessageDatabase* database = CMessageDatabase::GetMessageDatabase();
        CMessageStore* store = database->FindStore("127.0.0.1", "bob", 0, 0);
        const CMessage* message = database->GetMessage(store->GetStoreID(), &uidl);
        const MSSTATUS location = message != nullptr ? message->GetLocation() : MS_ANY;
        CMessageDatabase::Shutdown();
        return location;
    }
    int StartInstance() {
        const int port = m_instance.Start();
        EXPECT_GT(port, 0) << m_instance.Output();
        return port;
    }
    void StopInstance() {
        if (m_instance.IsRunning()) {
            EXPECT_EQ(m_instance.Stop(), 0);
        }
    }

    CTestHome m_home;
    CHeadlessChild m_instance;
};

TEST_F(HeldCommandsTest, Parsing) {
    struct Case {
        std::vector<std::string> arguments;
        HELD_COMMAND command;  // HC_NONE: refused
        std::vector<std::string> targets;
    } cases[] = {
        {{"--list-held"}, HC_LIST_HELD, {}},
        {{"--release", "3", "a@b.org:4"}, HC_RELEASE, {"3", "a@b.org:4"}},
        {{"--release-friend", "1"}, HC_RELEASE_FRIEND, {"1"}},
        {{"--delete", "2", "2"}, HC_DELETE, {"2", "2"}},
        {{"--release"}, HC_NONE, {}},
        {{"--list-held", "3"}, HC_NONE, {}},
        {{"--release", "1", "--delete", "2"}, HC_NONE, {}},
        {{"--delete", "1", "--force"}, HC_NONE, {}},
        {{"7", "--delete"}, HC_NONE, {}},
    };
    for (const Case& c : cases) {
        SHeldCommand command;
        std::string error;
        EXPECT_EQ(ParseHeldCommand(c.arguments, command, error), c.command != HC_NONE)
            << c.arguments[0];
        EXPECT_EQ(command.command, c.command) << c.arguments[0];
        EXPECT_EQ(command.targets, c.targets) << c.arguments[0];
        EXPECT_EQ(error.empty(), c.command != HC_NONE) << c.arguments[0];
    }
    EXPECT_TRUE(IsHeldCommandLine({"--headless", "--delete", "1"}));
    EXPECT_FALSE(IsHeldCommandLine({"--headless", "--list-friends"}));
}

TEST_F(HeldCommandsTest, ThroughTheRunningInstanceAndWithoutOne) {
    CFakePOP3Server server({{"u1", Mail("Hal <hal@spam.example>", "first")},
                            {"u2", Mail("quinn@example.org", "second")},
                            {"u3", Mail("friend@example.org", "third")}});
    std::string error;
    ASSERT_TRUE(RegisterDirectAccount({"bob", "127.0.0.1", server.Port()}, error)) << error;
    FileMessages({{"u1", Mail("Hal <hal@spam.example>", "first"), 'X', MS_HOLD},
                  {"u2", Mail("quinn@example.org", "second"), 'Q', MS_HOLD},
                  {"u3", Mail("friend@example.org", "third"), 0, MS_INBOX}});
    // An instance killed outright leaves its socket file; the next one replaces it.
    ASSERT_GT(StartInstance(), 0);
    m_instance.Kill();
    ASSERT_EQ(access((m_home.Path() + "/quillon.control").c_str(), F_OK), 0);
    const int proxyPort = StartInstance();
    ASSERT_GT(proxyPort, 0);

    std::string output;
    EXPECT_EQ(Quillon({"--list-held"}, &output), 0);
    EXPECT_EQ(output,
              "bob@127.0.0.1\t1\tX\tHal <hal@spam.example>\tfirst\tnumeric hyperlinks in body\n"
              "bob@127.0.0.1\t2\t?\tquinn@example.org\tsecond\tnumeric hyperlinks in body\n");
    EXPECT_EQ(Quillon({"--release", "1"}, &output), 0);
    EXPECT_EQ(output, "Released \"Hal\" to inbox.\n");
    EXPECT_EQ(Quillon({"--delete", "2", "7"}, &output), 1) << "7 is not held";
    EXPECT_EQ(output, "");
    EXPECT_EQ(Quillon({"--delete", "bob@127.0.0.1:2"}, &output), 0);
    EXPECT_EQ(output, "Deleted \"quinn@example.org\".\n");

    {
        // The mail client's next check: the released message is there, the deleted one
        // goes from the server when it logs out.
        CPOP3Client client(proxyPort);
        EXPECT_EQ(client.Read().rfind("+OK", 0), 0u);
        EXPECT_EQ(client.Ask("USER bob/127.0.0.1:" + std::to_string(server.Port())).rfind("+OK", 0),
                  0u);
        EXPECT_NE(client.Ask("PASS secret").find("OK"), std::string::npos);
        const std::string stat = client.Ask("STAT");
        EXPECT_EQ(stat.rfind("+OK 2 ", 0), 0u) << stat;
        const std::string first = client.Ask("RETR 1", true);
        EXPECT_NE(first.find("Subject: first"), std::string::npos) << first;
        EXPECT_NE(first.find("X-Quillon-Analysis: user moved message to inbox."), std::string::npos)
            << first;
        EXPECT_EQ(client.Ask("QUIT").rfind("+OK", 0), 0u);
    }
    const std::vector<std::string> lines = server.Lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "DELE 2"), lines.end());
    EXPECT_EQ(std::find(lines.begin(), lines.end(), "DELE 1"), lines.end());
    StopInstance();

    // Without an instance the command runs here; the numbers go on where they were.
    FileMessages({{"u4", Mail("Hal <hal@spam.example>", "fourth"), 'X', MS_JAIL}});
    EXPECT_EQ(Quillon({"--list-held"}, &output), 0);
    EXPECT_EQ(output.rfind("bob@127.0.0.1\t3\tX\tHal <hal@spam.example>\tfourth\t", 0), 0u)
        << output;
    EXPECT_EQ(Quillon({"--release-friend", "3"}, &output), 0);
    EXPECT_EQ(output, "Released \"Hal\" to inbox.\nAdd \"hal@spam.example\" as new friend!\n");
    EXPECT_EQ(Location("u4"), MS_INBOX);

    RegResetHives();
    CRegistryKey settings;
    int released = 0, deleted = 0;
    ASSERT_TRUE(settings.Open(HKEY_CURRENT_USER, "Software\\Brevant\\Quillon\\Settings", KEY_READ));
    EXPECT_TRUE(settings.QueryValue("Evil Emails Sent to Inbox", released, TRUE));
    EXPECT_TRUE(settings.QueryValue("Questionable Emails Deleted", deleted, TRUE));
    EXPECT_EQ(released, 2);
    EXPECT_EQ(deleted, 1);
    std::ifstream log(m_home.Path() + "/deletelog.txt");
    std::stringstream logText;
    logText << log.rdbuf();
    EXPECT_NE(logText.str().find("\tquinn@example.org\t"), std::string::npos) << logText.str();
}

}  // namespace
