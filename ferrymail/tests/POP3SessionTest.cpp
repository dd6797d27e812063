// The POP3 session machine fed lines directly, without sockets or waits: a recording
// host stands for the connection, a scripted mailbox answers every line the machine
// sends to the server, and the account table and message database are the real ones.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "TestHome.h"
#include "ferrymail/accounts/AccountTable.h"
#include "ferrymail/store/MessageDatabase.h"
#include "ferrymail/store/MessageStore.h"
#include "kinbook/foundation/Paths.h"
#include "kinbook/foundation/RegistryKey.h"
#include "proxy/POP3Session.h"
#include "proxy/POP3Synchronizer.h"
#include "proxy/ProxyConnection.h"

namespace {

struct SMail {
    std::string uidl;
    std::string text;
};

std::string MakeMail(const std::string& subject, int bodyLines) {
    std::string text =
        "From: Sender <sender@example.org>\r\nTo: anna@example.net\r\nSubject: " + subject +
        "\r\nDate: Mon, 3 Jun 2024 10:00:00 +0200\r\n\r\n";
    for (int i = 1; i <= bodyLines; ++i)
        text += "Line " + std::to_string(i) + " of " + subject + "\r\n";
    return text;
}

// A message of `before` body lines, then one line of `length` bytes and one more line.
std::string MailWithLongLine(const std::string& subject, int before, size_t length) {
    return MakeMail(subject, before) + std::string(length, 'x') + "\r\nLast line\r\n";
}

const char kNote[] = "X-Quillon-Analysis: passed\r\n";

MSSTATUS Examine(CMessage* message) {
    const bool hold = message->GetSubject().find("hold") != std::string::npos;
    message->AddQLNote("Quillon-Analysis", hold ? "held" : "passed");
    return hold ? MS_HOLD : MS_INBOX;
}

// The server's side: the mailbox as it is at PASS, DELE/RSET/QUIT, and "-ERR" for the
// lines of `failures` (each once).
class CScriptedServer {
public:
    std::vector<SMail> mailbox;
    std::multiset<std::string> failures;
    std::string capabilities = "TOP\r\nUIDL\r\nPIPELINING\r\n";
    std::string stlsReply = "+OK Begin TLS negotiation";
    std::string authReply = "+OK logged in";

    std::string Answer(const std::string& line) {
        if (m_saslSteps > 0)
            return SASLStep(line);
        const auto failure = failures.find(line);
        if (failure != failures.end()) {
            failures.erase(failure);
            return "-ERR refused\r\n";
        }
        const std::string word = line.substr(0, line.find(' '));
        int n = 0, k = 0;
        const int numbers = std::sscanf(line.c_str(), "%*s %d %d", &n, &k);
        const bool valid = numbers >= 1 && n >= 1 && n <= static_cast<int>(m_view.size()) &&
                           m_deleted.count(n) == 0;
        if (word == "CAPA")
            return "+OK\r\n" + capabilities + ".\r\n";
        if (word == "QUIT")
            return "+OK bye\r\n";
        if (word == "RSET") {
            m_deleted.clear();
            return "+OK\r\n";
        }
        if (word == "STLS")
            return stlsReply + "\r\n";
        if (word == "AUTH") {
            const bool initial = line.find(' ', 5) != std::string::npos;
            const bool login = line.compare(5, 5, "LOGIN") == 0;
            m_saslSteps = login ? 2 : initial ? 0 : 1;
            return m_saslSteps == 0 ? SASLStep(line) : login ? "+ VXNlcm5hbWU6\r\n" : "+ \r\n";
        }
        if (word == "USER" || word == "NOOP")
            return "+OK\r\n";
        if (word == "PASS") {
            m_view = mailbox;
            m_deleted.clear();
            return "+OK maildrop ready\r\n";
        }
        if (word == "STAT") {
            size_t count = 0, size = 0;
            for (int i = 1; i <= static_cast<int>(m_view.size()); ++i)
                if (m_deleted.count(i) == 0)
                    ++count, size += m_view[i - 1].text.size();
            return "+OK " + std::to_string(count) + " " + std::to_string(size) + "\r\n";
        }
        if ((word == "UIDL" || word == "LIST") && numbers < 1) {
            std::string reply = "+OK\r\n";
            for (int i = 1; i <= static_cast<int>(m_view.size()); ++i)
                reply += std::to_string(i) + " " +
                         (word == "UIDL" ? m_view[i - 1].uidl
                                         : std::to_string(m_view[i - 1].text.size())) +
                         "\r\n";
            return reply + ".\r\n";
        }
        if (!valid)
            return "-ERR no such message\r\n";
        const std::string& text = m_view[n - 1].text;
        if (word == "LIST")
            return "+OK " + std::to_string(n) + " " + std::to_string(text.size()) + "\r\n";
        if (word == "RETR")
            return "+OK\r\n" + text + ".\r\n";
        if (word == "TOP") {
            size_t end = text.find("\r\n\r\n") + 4;
            for (int i = 0; i < k && end < text.size(); ++i) end = text.find("\r\n", end) + 2;
            return "+OK\r\n" + text.substr(0, end) + ".\r\n";
        }
        if (word == "DELE") {
            m_deleted.insert(n);
            return "+OK deleted\r\n";
        }
        return "-ERR unknown\r\n";
    }
    // The SASL exchange: LOGIN asks for the password after the user name; the last
    // response gets authReply ("+OK" opens the maildrop, as PASS does).
    std::string SASLStep(const std::string& line) {
        if (m_saslSteps > 0 && --m_saslSteps > 0)
            return "+ UGFzc3dvcmQ6\r\n";
        if (authReply.compare(0, 3, "+OK") == 0) {
            m_view = mailbox;
            m_deleted.clear();
        }
        return authReply + "\r\n";
    }
    void Quit() {
        std::vector<SMail> left;
        for (int i = 1; i <= static_cast<int>(m_view.size()); ++i)
            if (m_deleted.count(i) == 0)
                left.push_back(m_view[i - 1]);
        mailbox = left;
    }

private:
    std::vector<SMail> m_view;
    std::set<int> m_deleted;
    int m_saslSteps = 0;  // responses still to come in a SASL exchange
};

// The connection: records what the machine sends, and answers its server lines from the
// scripted server, the greeting first.
class CRecordingHost : public IPOP3SessionHost, public CLogger {
public:
    explicit CRecordingHost(CScriptedServer& server) : m_server(server) {}

    CPOP3Session* session = nullptr;
    std::string client;  // everything the client was sent
    std::string data;    // what was sent to it under the data category
    std::vector<std::string> toServer;
    std::vector<std::string> notices;
    int connectResult = CTS_CONNECTED;
    std::string namedHost;  // "host port" of the last named-host connect
    bool clockRunning = false;
    bool ended = false;
    std::string holdAt;  // the server does not answer from this line on
    // Server lines longer than this come in pieces of this size, as the reader gives a
    // line it cannot hold (0: never); a refused one ends the session as the reader does.
    size_t pieceSize = 0;
    bool lineRefused = false;
    std::vector<std::string> tlsStarts;  // "host cafile verify|insecure" of each StartTLS
    std::string tlsStartError;           // StartTLS fails with this text
    std::function<void()> onFlush;       // called when the machine pushes the client's bytes

    // Answers what the machine has sent and not had answered.
    void Pump() {
        if (m_greeting) {
            m_greeting = false;
            session->OnServerLine("+OK scripted server");
        }
        while (m_answered < toServer.size() && toServer[m_answered] != holdAt) {
            const std::string line = toServer[m_answered++];
            const std::string reply = m_server.Answer(line);
            if (line == "QUIT")
                m_server.Quit();
            for (size_t at = 0; at < reply.size() && !ended;) {
                const size_t end = reply.find("\r\n", at);
                if (pieceSize > 0 && end - at > pieceSize)
                    FeedPieces(reply.substr(at, end - at));
                else
                    session->OnServerLine(reply.substr(at, end - at));
                at = end + 2;
            }
        }
    }
    void FeedPieces(const std::string& line) {
        for (size_t at = 0; at < line.size(); at += pieceSize) {
            const size_t size = std::min(pieceSize, line.size() - at);
            if (!session->OnServerLinePiece(line.data() + at, size, at == 0,
                                            at + size == line.size())) {
                lineRefused = true;
                session->OnServerClose("Line from server too long");
                ended = true;
                return;
            }
        }
    }

    void SendClient(const char* bytes, size_t size) override {
        client.append(bytes, size);
        if (session->LogCategory(DIR_TO_CLIENT) == LOG_DATA_TO_CLIENT)
            data.append(bytes, size);
    }
    void SendServer(const std::string& line) override { toServer.push_back(line); }
    bool IsClientOpen() override { return !ended; }
    bool IsServerOpen() override { return !ended; }
    void FlushClient() override {
        if (onFlush)
            onFlush();
    }
    int ConnectRelayed(const std::string&, std::string& text) override {
        text = "Relayed client";
        return connectResult;
    }
    int ConnectNamed(const std::string& host, int port) override {
        namedHost = host + " " + std::to_string(port);
        m_greeting = connectResult != CTS_FAILED;
        return connectResult;
    }
    bool StartTLS(const std::string& hostName, const std::string& caFile, bool verify,
                  std::string& error) override {
        tlsStarts.push_back(hostName + " " + caFile + (verify ? " verify" : " insecure"));
        error = tlsStartError;
        return error.empty();
    }
    uint32_t ServerAddress() override { return htonl(INADDR_LOOPBACK); }
    void EndSession() override { ended = true; }
    void StartClock() override { clockRunning = true; }
    void StopClock() override { clockRunning = false; }
    void Notify(UINT, const std::string& text) override { notices.push_back(text); }
    void NotifyStore(int, int) override {}
    CPOP3Statistics::SBytes ServerBytes() override { return {}; }
    const char* GetLogName() override { return "POP3(test)"; }

    bool Noticed(const std::string& text) const {
        return std::find(notices.begin(), notices.end(), text) != notices.end();
    }

private:
    CScriptedServer& m_server;
    size_t m_answered = 0;
    bool m_greeting = false;
};

class POP3SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_home = std::make_unique<CTestHome>();
        ClearAccountTable(TRUE);
        CMessageDatabase::Shutdown();
        CRegistryKey key;
        ASSERT_TRUE(key.OpenCarefully(
            HKEY_CURRENT_USER,
            "Software\\Brevant\\Quillon\\Clients\\Direct client\\anna@127.0.0.1"));
        ASSERT_TRUE(key.SetValue("ServerName", "127.0.0.1"));
        ASSERT_TRUE(key.SetValue("UserName", "anna"));
        // The scripted server speaks in clear, to hosts without an account too.
        ASSERT_TRUE(key.SetValue("TLS", "none"));
        WriteText(kProxyKey, "ServerTLS", "none");
        CMessageDatabase::GetMessageDatabase(&Examine, nullptr, 1025);
        m_server.mailbox = {{"uid-a", MakeMail("Apple", 3)},
                            {"uid-h", MakeMail("Please hold", 2)},
                            {"uid-c", MakeMail("Cherry", 15)}};
    }
    void TearDown() override {
        m_session.reset();
        m_host.reset();
        CMessageDatabase::Shutdown();
        ClearAccountTable(TRUE);
        m_home.reset();
    }

    // A new session (the last one ends), greeted.
    void NewSession(bool deliverLocal = false) {
        m_session.reset();
        m_host = std::make_unique<CRecordingHost>(m_server);
        m_session = std::make_unique<CPOP3Session>(*m_host, *m_host, deliverLocal);
        m_host->session = m_session.get();
        m_session->Start();
        m_host->client.clear();
    }
    // What the client is sent for one line, once the server has answered.
    std::string Send(const std::string& line) {
        const size_t mark = m_host->client.size();
        m_session->OnClientLine(line);
        m_host->Pump();
        return m_host->client.substr(mark);
    }
    // A named-host log-in; returns what the client got for PASS.
    std::string Login(bool deliverLocal = false) {
        NewSession(deliverLocal);
        EXPECT_EQ(Send("USER anna/127.0.0.1"), "+OK\r\n");
        return Send("PASS secret");
    }
    // The server lines of this session from `first` on.
    std::vector<std::string> ServerLinesFrom(const std::string& first) {
        const auto& lines = m_host->toServer;
        return {std::find(lines.begin(), lines.end(), first), lines.end()};
    }
    static constexpr const char kProxyKey[] = "Software\\Brevant\\Quillon\\Settings\\POP3Proxy";
    static void WriteText(const char* key, const char* name, const char* value) {
        CRegistryKey settings;
        ASSERT_TRUE(settings.OpenCarefully(HKEY_CURRENT_USER, key));
        ASSERT_TRUE(settings.SetValue(name, value));
    }
    static void WriteSetting(const char* key, const char* name, int value) {
        CRegistryKey settings;
        ASSERT_TRUE(settings.OpenCarefully(HKEY_CURRENT_USER, key));
        ASSERT_TRUE(settings.SetValue(name, value));
    }
    std::string ListingOf(const std::vector<std::string>& lines) {
        std::string all = "+OK Maildrop listing follows\r\n";
        for (const std::string& line : lines) all += line + "\r\n";
        return all + ".\r\n";
    }
    static std::string Size(const SMail& mail) {
        return std::to_string(mail.text.size() + std::strlen(kNote));
    }

    std::unique_ptr<CTestHome> m_home;
    CScriptedServer m_server;
    std::unique_ptr<CRecordingHost> m_host;
    std::unique_ptr<CPOP3Session> m_session;
};

TEST_F(POP3SessionTest, FirstSessionSynchronizesAndShowsOnlyPassedMailRenumbered) {
    NewSession();
    EXPECT_EQ(m_session->GetState(), EPOP3State::kNotConnected);
    EXPECT_EQ(Send("USER anna/127.0.0.1"), "+OK\r\n");  // the server's greeting is dropped
    EXPECT_EQ(m_session->GetState(), EPOP3State::kAuthorization);
    EXPECT_TRUE(m_session->IsFiltering());
    // The PASS reply is held while the store is brought in step; then the line ends.
    EXPECT_EQ(Send("PASS secret"), "+OK maildrop ready\r\n");
    EXPECT_EQ(m_host->toServer,
              (std::vector<std::string>{"CAPA", "USER anna", "PASS secret", "STAT", "UIDL", "LIST",
                                        "TOP 1 10", "TOP 2 10", "TOP 3 10"}));
    EXPECT_EQ(m_session->Synchronizer().Phase(), ESynchPhase::kFinished);
    EXPECT_FALSE(m_host->clockRunning);
    // The first synchronization is over: the new store's mail is examined from now on.
    EXPECT_FALSE(m_session->Store()->IsNewStore());

    const SMail& apple = m_server.mailbox[0];
    const SMail& cherry = m_server.mailbox[2];
    EXPECT_EQ(Send("LIST"), ListingOf({"1 " + Size(apple), "2 " + Size(cherry)}));
    EXPECT_EQ(Send("UIDL 2"), "+OK 2 uid-c\r\n");
    EXPECT_EQ(Send("LIST 3"), "-ERR Invalid message number\r\n");
    // A relayed RETR goes out with the server's number; the note closes the header.
    std::string expected = "+OK\r\n" + cherry.text + ".\r\n";
    expected.insert(expected.find("\r\n\r\n") + 2, kNote);
    EXPECT_EQ(Send("RETR 2"), expected);
    EXPECT_EQ(m_host->toServer.back(), "RETR 3");
    // The client has "+OK" to QUIT before the store is saved and set free.
    std::string flushed;
    m_host->onFlush = [&] {
        CStoreLock lock(m_session->Store(), false);
        if (m_session->Store()->IsInSession() && m_session->Store()->IsDirty())
            flushed = m_host->client;
    };
    EXPECT_EQ(Send("QUIT"), "+OK bye\r\n");
    EXPECT_TRUE(flushed.ends_with("+OK bye\r\n")) << flushed;
    EXPECT_EQ(m_session->GetState(), EPOP3State::kDisconnecting);
    EXPECT_FALSE(m_session->Store()->IsInSession());
}

// The synchronization's save is left to the store's writer thread: the session asks for
// it once the downloads are in, also when the listing's own request has been made, and
// the save at QUIT takes the place of the one asked for.
TEST_F(POP3SessionTest, SynchronizationAsksForASaveThatQuitMakes) {
    NewSession();
    Send("USER anna/127.0.0.1");
    m_host->holdAt = "TOP 1 10";  // the listing is in, the downloads wait
    Send("PASS secret");
    CMessageStore* store = m_session->Store();
    ASSERT_NE(store, nullptr);
    ASSERT_TRUE(store->SaveInBackground(0));  // as the writer thread makes the listing's
    EXPECT_FALSE(store->IsSaveSoonAsked());
    m_host->holdAt.clear();
    m_host->Pump();
    EXPECT_EQ(m_session->Synchronizer().Phase(), ESynchPhase::kFinished);
    EXPECT_TRUE(store->IsSaveSoonAsked());
    EXPECT_EQ(Send("QUIT"), "+OK bye\r\n");
    EXPECT_FALSE(store->IsSaveSoonAsked());
    store->FlushSaves();
    std::string bytes;
    ASSERT_TRUE(ReadWholeFile(store->GetPath(), bytes));
    for (const char* text : {"uid-a", "uid-h", "uid-c", "Subject: Cherry"})
        EXPECT_NE(bytes.find(text), std::string::npos) << text;
}

TEST_F(POP3SessionTest, EmptyViewsAnswerEmptyListings) {
    // An empty mailbox on the server needs no listing.
    m_server.mailbox.clear();
    Login();
    EXPECT_EQ(ServerLinesFrom("PASS secret"),
              (std::vector<std::string>{"PASS secret", "STAT", "UIDL"}));
    EXPECT_EQ(Send("LIST"), ListingOf({}));
    Send("QUIT");
    // Everything held.
    m_server.mailbox = {{"uid-h", MakeMail("Please hold", 2)}};
    Login();
    EXPECT_EQ(Send("STAT"), "+OK 0 0\r\n");
    EXPECT_EQ(Send("UIDL"), "+OK UIDL listing follows\r\n.\r\n");
    EXPECT_EQ(Send("RETR 1"), "-ERR no such message\r\n");
    EXPECT_EQ(m_host->toServer.back(), "RETR -1");
}

TEST_F(POP3SessionTest, HeldReplyGoesOutOneCharacterPerTick) {
    NewSession();
    Send("USER anna/127.0.0.1");
    m_host->client.clear();
    m_host->holdAt = "UIDL";  // the server is slow to list
    EXPECT_EQ(Send("PASS secret"), "");
    EXPECT_TRUE(m_host->clockRunning);
    for (int i = 0; i < 20; ++i) m_session->OnClock();
    EXPECT_EQ(m_host->client, "+OK maildrop readyXX");
    // A pipelined command waits behind the synchronization.
    EXPECT_EQ(Send("STAT"), "");
    m_host->holdAt.clear();
    m_host->Pump();
    EXPECT_EQ(m_host->client.substr(0, 28), "+OK maildrop readyXX\r\n+OK 2 ");
    EXPECT_FALSE(m_host->clockRunning);
}

// Fault guarded: "Already synchronized" was never posted, since the phase was always
// the finished one by the time a client's STAT was answered.
TEST_F(POP3SessionTest, UnchangedMailboxIsNotDownloadedAndItsStatSaysAlreadySynchronized) {
    Login();
    Send("QUIT");
    const std::string text = "Already synchronized with server for anna on 127.0.0.1";
    EXPECT_EQ(Login(), "+OK maildrop ready\r\n");
    EXPECT_EQ(ServerLinesFrom("PASS secret"),
              (std::vector<std::string>{"PASS secret", "STAT", "UIDL"}));
    EXPECT_FALSE(m_host->Noticed(text));
    EXPECT_EQ(Send("STAT").substr(0, 6), "+OK 2 ");
    EXPECT_TRUE(m_host->Noticed(text));
}

// Fault guarded: when the login's synchronization failed, a client's own STAT recorded
// the server's new count without listing the mailbox, so the mail that had just come
// stayed hidden in this and every later session.
TEST_F(POP3SessionTest, ClientStatAfterAFailedSynchronizationListsTheNewMail) {
    Login();
    Send("QUIT");
    const SMail date = {"uid-d", MakeMail("Date", 1)};
    m_server.mailbox.push_back(date);
    m_server.failures.insert("STAT");  // the login's own STAT
    EXPECT_EQ(Login(), "+OK maildrop ready\r\n");
    EXPECT_EQ(m_session->Synchronizer().Phase(), ESynchPhase::kNone);
    EXPECT_EQ(Send("STAT").substr(0, 6), "+OK 3 ");
    EXPECT_EQ(ServerLinesFrom("UIDL"), (std::vector<std::string>{"UIDL", "LIST", "TOP 4 10"}));
    Send("QUIT");

    Login();
    EXPECT_EQ(ServerLinesFrom("PASS secret"),
              (std::vector<std::string>{"PASS secret", "STAT", "UIDL"}));
    EXPECT_EQ(Send("UIDL"), "+OK UIDL listing follows\r\n1 uid-a\r\n2 uid-c\r\n3 uid-d\r\n.\r\n");
}

// Fault guarded: a message delivered from the store went out under the client-bound
// protocol category, which the default log level keeps.
TEST_F(POP3SessionTest, DeliveredMessagesAreLoggedAsDataLocalOrRelayed) {
    WriteSetting("Software\\Brevant\\Quillon\\Settings\\POP3Proxy", "TopLines", -1);
    for (bool local : {true, false}) {
        SCOPED_TRACE(local);
        Login(local);
        if (local) {
            EXPECT_EQ(m_host->toServer.back(), "RETR 3");  // downloads are whole
        }
        m_host->data.clear();
        const std::string reply = Send("RETR 1");
        std::string message = m_server.mailbox[0].text;
        message.insert(message.find("\r\n\r\n") + 2, kNote);
        EXPECT_EQ(reply, "+OK\r\n" + message + ".\r\n");
        // The message is data; the reply's first line is the protocol.
        EXPECT_EQ(m_host->data, message + ".\r\n");
        EXPECT_EQ(m_host->toServer.back(), local ? "RETR 3" : "RETR 1");
        EXPECT_EQ(Send("TOP 2 1").substr(0, 4), "+OK\r");
        EXPECT_EQ(m_host->toServer.back(), local ? "RETR 3" : "TOP 3 1");
        // Single-line replies, relayed or the proxy's own, are never data.
        m_host->data.clear();
        EXPECT_EQ(Send("LIST 7"), "-ERR Invalid message number\r\n");
        EXPECT_EQ(Send("RETR 7"), "-ERR no such message\r\n");
        EXPECT_EQ(Send("NOOP"), "+OK\r\n");
        EXPECT_EQ(Send("QUIT"), "+OK bye\r\n");
        EXPECT_EQ(m_host->data, "");
    }
}

TEST_F(POP3SessionTest, MessageNumbersAreTranslatedOrRefused) {
    struct SCase {
        const char* line;
        const char* filtered;  // the server's line with filtering on
    };
    const SCase cases[] = {
        {"DELE 2", "DELE 3"},
        {"DELE 0", "DELE -1"},
        {"DELE 3", "DELE -1"},
        {"dele x", "dele -1"},
        {"DELE 99999999999", "DELE -1"},
        {"TOP 1  5 ", "TOP 1 5"},
        {"RETR 4294967297", "RETR -1"},
        {"RSET", "RSET"},
    };
    Login();
    for (const SCase& c : cases) {
        Send(c.line);
        EXPECT_EQ(m_host->toServer.back(), c.filtered) << c.line;
    }
    // RSET gave the deleted message back; the server's count is unknown, so QUIT waits
    // for a STAT.
    EXPECT_EQ(Send("LIST 2").substr(0, 6), "+OK 2 ");
    EXPECT_EQ(Send("QUIT"), "+OK bye\r\n");
    EXPECT_EQ(ServerLinesFrom("RSET"), (std::vector<std::string>{"RSET", "STAT", "QUIT"}));
    // Not filtered: what the client sent, trimmed, a number too large for an int too.
    CRegistryKey key;
    ASSERT_TRUE(key.OpenCarefully(
        HKEY_CURRENT_USER, "Software\\Brevant\\Quillon\\Clients\\Direct client\\anna@127.0.0.1"));
    ASSERT_TRUE(key.SetValue("IsEnabled", 0));
    ClearAccountTable(TRUE);
    Login();
    EXPECT_FALSE(m_session->IsFiltering());
    for (const char* line : {"DELE 2", "RETR 99999999999", " list  x "}) {
        Send(line);
        EXPECT_EQ(m_host->toServer.back(), SPOP3Command::Trim(line));
    }
}

TEST_F(POP3SessionTest, EachStateAnswersWhatItCannotDo) {
    NewSession();
    EXPECT_EQ(Send("USER anna"), "-ERR Not connected to server\r\n");
    EXPECT_EQ(Send("CAPA").substr(0, 30), "+OK Capability list follows\r\nU");
    EXPECT_EQ(Send("USER anna/127.0.0.1:110"), "+OK\r\n");
    EXPECT_EQ(m_host->namedHost, "127.0.0.1 110");
    EXPECT_EQ(Send("STAT"), "-ERR Illegal command in AUTHORIZATION state\r\n");
    Send("PASS secret");
    EXPECT_EQ(Send("XSENDER 1"), "-ERR Unsupported command in TRANSACTION state\r\n");
    EXPECT_EQ(Send("CAPA"), "+OK Capability list follows\r\nTOP\r\nUIDL\r\nPIPELINING\r\n.\r\n");
    Send("QUIT");
    EXPECT_EQ(Send("NOOP"), "-ERR Disconnecting from server\r\n");

    // While connecting, commands wait; a failed connect answers them in state 0.
    NewSession();
    m_host->connectResult = CTS_PENDING;
    EXPECT_EQ(Send("USER anna/127.0.0.1:2110"), "");
    EXPECT_EQ(m_host->namedHost, "127.0.0.1 2110");
    EXPECT_EQ(Send("NOOP"), "");
    m_session->OnServerConnect(111);
    EXPECT_EQ(m_host->client,
              "-ERR Connection to 127.0.0.1 failed: 111\r\n-ERR Not connected to server\r\n");
    EXPECT_EQ(Send("QUIT"), "+OK\r\n");
    EXPECT_TRUE(m_host->ended);
}

TEST_F(POP3SessionTest, ServerErrorInTheDownloadWindowKeepsWhatCameAndTheNextLoginFetchesTheRest) {
    m_server.failures.insert("TOP 2 10");
    NewSession();
    Send("USER anna/127.0.0.1");
    m_host->client.clear();
    m_host->holdAt = "TOP 1 10";
    Send("PASS secret");
    // The server offers PIPELINING: all three went out before the first reply.
    EXPECT_EQ(ServerLinesFrom("TOP 1 10"),
              (std::vector<std::string>{"TOP 1 10", "TOP 2 10", "TOP 3 10"}));
    m_host->holdAt.clear();
    m_host->Pump();
    EXPECT_EQ(m_host->client, "+OK maildrop ready\r\n");
    EXPECT_TRUE(m_host->Noticed("Server error during proxy command: -ERR refused"));
    EXPECT_EQ(Send("UIDL"), "+OK UIDL listing follows\r\n1 uid-a\r\n2 uid-c\r\n.\r\n");
    Send("QUIT");

    Login();
    EXPECT_EQ(ServerLinesFrom("STAT"), (std::vector<std::string>{"STAT", "UIDL", "TOP 2 10"}));
}

TEST_F(POP3SessionTest, ServerWithoutPipeliningGetsOneCommandAtATime) {
    m_server.capabilities = "TOP\r\nUIDL\r\n";
    NewSession();
    Send("USER anna/127.0.0.1");
    m_host->holdAt = "TOP 1 10";
    Send("PASS secret");
    EXPECT_EQ(ServerLinesFrom("TOP 1 10"), (std::vector<std::string>{"TOP 1 10"}));
    // The client is offered PIPELINING all the same: the proxy queues for it.
    m_host->holdAt.clear();
    m_host->Pump();
    EXPECT_EQ(Send("CAPA"), "+OK Capability list follows\r\nTOP\r\nUIDL\r\nPIPELINING\r\n.\r\n");
}

TEST_F(POP3SessionTest, ClientStatThatStartsAFailingSynchronizationGetsOneErrorLine) {
    Login();
    Send("DELE 1");
    m_server.failures.insert("STAT");  // the session's own, after the client's
    m_server.failures.insert("STAT");
    m_server.failures.erase(m_server.failures.find("STAT"));
    const size_t mark = m_host->client.size();
    m_session->OnClientLine("STAT");
    m_host->Pump();
    // The client's STAT passed ("+OK 2 ..."), the session's own was refused.
    EXPECT_EQ(m_host->client.substr(mark), "-ERR refused\r\n");
    EXPECT_EQ(Send("NOOP"), "+OK\r\n");
}

TEST_F(POP3SessionTest, QuitDeletesWhatTheReviewDeletedFirst) {
    Login();
    Send("QUIT");
    {
        CMessageStore* store =
            CMessageDatabase::GetMessageDatabase()->GetStore(std::string("anna/127.0.0.1"));
        ASSERT_NE(store, nullptr);
        CStoreLock lock(store, true);
        store->GetMessage("uid-a")->SetLocation(MS_DELETED);
        store->GetMessage("uid-h")->SetLocation(MS_DELETED);
    }
    Login();
    Send("DELE 1");  // the client's own: the server's count is no longer known
    EXPECT_EQ(Send("QUIT"), "+OK bye\r\n");
    EXPECT_EQ(ServerLinesFrom("DELE 3"),
              (std::vector<std::string>{"DELE 3", "DELE 1", "DELE 2", "STAT", "QUIT"}));
    EXPECT_TRUE(m_host->Noticed("Deleting marked messages for anna on 127.0.0.1"));
    EXPECT_EQ(m_session->Statistics().m_shutdownDeletes, 2);
}

// Fault guarded: the store was taken at USER, so a client that never logged in (or gave
// a wrong password) locked every other client of the account out.
TEST_F(POP3SessionTest, StoreIsTakenOnlyOnceTheServerAcceptsTheLogIn) {
    auto storeHeld = [] {
        CMessageStore* store =
            CMessageDatabase::GetMessageDatabase()->GetStore(std::string("anna/127.0.0.1"));
        return store != nullptr && store->IsInSession();
    };
    struct SOther {
        std::unique_ptr<CRecordingHost> host;
        std::unique_ptr<CPOP3Session> session;
        std::string Send(const std::string& line) {
            const size_t mark = host->client.size();
            session->OnClientLine(line);
            host->Pump();
            return host->client.substr(mark);
        }
    };
    auto other = [&] {
        SOther o{std::make_unique<CRecordingHost>(m_server), nullptr};
        o.session = std::make_unique<CPOP3Session>(*o.host, *o.host, false);
        o.host->session = o.session.get();
        EXPECT_EQ(o.Send("USER anna/127.0.0.1"), "+OK\r\n");
        return o;
    };
    SOther idle = other();  // USER and nothing more
    EXPECT_FALSE(storeHeld());
    m_server.failures.insert("PASS wrong");
    SOther wrong = other();
    EXPECT_EQ(wrong.Send("PASS wrong"), "-ERR refused\r\n");
    EXPECT_FALSE(storeHeld());
    EXPECT_EQ(Login(), "+OK maildrop ready\r\n");
    EXPECT_TRUE(storeHeld());
    EXPECT_EQ(Send("QUIT"), "+OK bye\r\n");

    // Another session's thread holds the store (a thread takes it at most once).
    CMessageStore* store =
        CMessageDatabase::GetMessageDatabase()->GetStore(std::string("anna/127.0.0.1"));
    ASSERT_NE(store, nullptr);
    std::atomic<int> stage{0};
    std::thread holder([&] {
        stage = store->BeginSession(1) ? 1 : -1;
        while (stage == 1) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        store->EndSession();
        stage = 3;
    });
    while (stage == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(stage, 1);

    // A log-in waits for it a few seconds, then gets a clear answer.
    SOther second = other();
    second.host->client.clear();
    EXPECT_EQ(second.Send("PASS secret"), "");
    EXPECT_TRUE(second.host->clockRunning);
    EXPECT_EQ(second.Send("STAT"), "");  // waits behind the log-in
    for (int i = 1; i < CPOP3Session::kStoreWaitSeconds; ++i) second.session->OnClock();
    EXPECT_EQ(second.host->client, "");
    second.session->OnClock();
    EXPECT_EQ(second.host->client, "-ERR Quillon proxy couldn't open local store\r\n");
    EXPECT_TRUE(second.host->ended);
    EXPECT_FALSE(second.host->clockRunning);

    // One whose other session ends while it waits goes on with the store.
    SOther third = other();
    third.host->client.clear();
    EXPECT_EQ(third.Send("PASS secret"), "");
    stage = 2;
    holder.join();
    third.session->OnClock();
    third.host->Pump();
    EXPECT_EQ(third.host->client, "+OK maildrop ready\r\n");
    EXPECT_EQ(third.Send("STAT").substr(0, 6), "+OK 2 ");
    EXPECT_TRUE(storeHeld());
}

// Fault guarded: one message deleted elsewhere and another of the same size come left
// STAT as it was; the store served the gone message's UIDL with the new one's text and
// the new mail was never seen. A server without UIDL is still taken at its STAT.
TEST_F(POP3SessionTest, MailboxChangedUnderAnUnchangedStatIsListedAtLogIn) {
    m_server.mailbox = {{"uid-a", MakeMail("Apple", 3)}, {"uid-b", MakeMail("Bread", 3)}};
    Login();
    Send("QUIT");
    m_server.mailbox[0] = {"uid-x", MakeMail("Pearl", 3)};  // same size as Apple
    EXPECT_EQ(Login(), "+OK maildrop ready\r\n");
    EXPECT_EQ(ServerLinesFrom("PASS secret"),
              (std::vector<std::string>{"PASS secret", "STAT", "UIDL", "LIST", "TOP 1 10"}));
    EXPECT_EQ(Send("UIDL"), "+OK UIDL listing follows\r\n1 uid-x\r\n2 uid-b\r\n.\r\n");
    std::string pearl = "+OK\r\n" + m_server.mailbox[0].text + ".\r\n";
    pearl.insert(pearl.find("\r\n\r\n") + 2, kNote);
    EXPECT_EQ(Send("RETR 1"), pearl);
    Send("QUIT");

    m_server.failures.insert("UIDL");
    EXPECT_EQ(Login(), "+OK maildrop ready\r\n");
    EXPECT_EQ(m_session->Synchronizer().Phase(), ESynchPhase::kFinished);
    EXPECT_EQ(Send("STAT").substr(0, 6), "+OK 2 ");
}

// Fault guarded: a listing that gave one UIDL to two messages corrupted the store for
// good (one message served twice, another never). It is refused whole, the store stays
// as it was, and the next correct listing brings it in step.
TEST_F(POP3SessionTest, ListingWithDuplicateUidlsIsRefusedAndTheNextOneRepairs) {
    const std::vector<SMail> good = m_server.mailbox;
    m_server.mailbox[2].uidl = "uid-a";
    EXPECT_EQ(Login(), "+OK maildrop ready\r\n");
    EXPECT_EQ(m_session->Synchronizer().Phase(), ESynchPhase::kNone);
    EXPECT_TRUE(
        m_host->Noticed("Server error during proxy command: -ERR UIDL listing refused: "
                        "UIDL uid-a given to messages 1 and 3"));
    EXPECT_EQ(Send("UIDL"), "+OK UIDL listing follows\r\n.\r\n");
    Send("QUIT");

    m_server.mailbox = good;
    Login();
    EXPECT_EQ(m_session->Synchronizer().Phase(), ESynchPhase::kFinished);
    EXPECT_EQ(Send("UIDL"), "+OK UIDL listing follows\r\n1 uid-a\r\n2 uid-c\r\n.\r\n");
    Send("QUIT");
    // Once in step, a bad listing leaves the store's messages as they were.
    m_server.mailbox[1].uidl = "uid-c";
    Login();
    EXPECT_EQ(Send("UIDL"), "+OK UIDL listing follows\r\n1 uid-a\r\n2 uid-c\r\n.\r\n");
    EXPECT_EQ(Send("UIDL 2"), "+OK 2 uid-c\r\n");
}

// Fault guarded: a port beyond 65535 wrapped at 32 bits (127.0.0.1:4294969406 reached
// port 2110), and any text at all went to the name service as a host name.
TEST_F(POP3SessionTest, NamedHostAndPortOutOfRangeAreRefusedBeforeAnyConnect) {
    const char* const refused[] = {
        "USER a/127.0.0.1:4294969406",
        "USER a/127.0.0.1:65536",
        "USER a/127.0.0.1:0",
        "USER a/pop example.org",
        "USER a/pop..example.org",
        "USER a/.example.org",
        "USER a/p\xC3\xB6p.example.org",
        "USER a/pop.example.org:1x",
        "USER a/"
        "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa.org",
    };
    for (const char* line : refused) {
        NewSession();
        const std::string host = std::string(line).substr(7);
        EXPECT_EQ(Send(line), "-ERR Can't connect to " + host + "\r\n") << line;
        EXPECT_EQ(m_host->namedHost, "") << line;
        EXPECT_EQ(m_session->GetState(), EPOP3State::kNotConnected);
    }
    for (const char* line : {"USER a/pop.example.org.:995", "USER a/mail-1.ex_ample.org"}) {
        NewSession();
        m_host->connectResult = CTS_PENDING;
        Send(line);
        EXPECT_NE(m_host->namedHost, "") << line;
    }
}

// Fault guarded: a server that went away while the client waited for it closed the
// client without a word; it gets "-ERR" with the reason, after whole lines.
TEST_F(POP3SessionTest, ServerGoneWhileTheClientWaitsGetsAnErrorLine) {
    NewSession();
    Send("USER anna/127.0.0.1");
    m_host->client.clear();
    m_host->holdAt = "TOP 2 10";
    EXPECT_EQ(Send("PASS secret"), "");
    m_session->OnServerClose("Server closed the connection");
    EXPECT_EQ(m_host->client, "+OK maildrop ready\r\n-ERR Server closed the connection\r\n");

    Login();
    m_host->holdAt = "RETR 1";
    Send("RETR 1");
    m_session->OnServerLine("+OK");
    m_session->OnServerLine("Subject: cut");
    m_session->OnServerLine("");
    m_session->OnServerLine("half a body");
    const size_t mark = m_host->client.size();
    m_session->OnServerClose("Line from server too long");
    EXPECT_EQ(m_host->client.substr(mark), "-ERR Line from server too long\r\n");

    // Nothing awaited, nothing said.
    Login();
    const size_t idle = m_host->client.size();
    m_session->OnServerClose("Server closed the connection");
    EXPECT_EQ(m_host->client.size(), idle);
}

// Fault guarded: a server that stopped answering during a synchronization held the
// session and the account for ever, the slow response defeating the client's timeout.
TEST_F(POP3SessionTest, SilentServerEndsTheSynchronizationAfterItsTimeout) {
    WriteSetting("Software\\Brevant\\Quillon\\Settings\\POP3Proxy", "ServerTimeout", 30);
    NewSession();
    Send("USER anna/127.0.0.1");
    m_host->client.clear();
    m_host->holdAt = "TOP 2 10";
    EXPECT_EQ(Send("PASS secret"), "");
    for (int i = 0; i < 29; ++i) m_session->OnClock();
    EXPECT_FALSE(m_host->ended);
    // A line from the server starts the count again.
    m_session->OnServerLine("+OK");
    for (int i = 0; i < 29; ++i) m_session->OnClock();
    EXPECT_FALSE(m_host->ended);
    m_session->OnClock();
    EXPECT_TRUE(m_host->ended);
    EXPECT_FALSE(m_host->clockRunning);
    const std::string end = "\r\n-ERR Server timed out\r\n";
    EXPECT_EQ(m_host->client.substr(0, 18), "+OK maildrop ready");
    EXPECT_EQ(m_host->client.substr(m_host->client.size() - end.size()), end);
    // The store is free for the next session.
    m_session.reset();
    EXPECT_FALSE(CMessageDatabase::GetMessageDatabase()
                     ->GetStore(std::string("anna/127.0.0.1"))
                     ->IsInSession());
}

// Sessions run from a script, one table row each. "login" (or "login local": delivering
// from the store) starts a session and logs in, "new" only starts one; "C: LINE" is a
// client line; then "S: LINES" are what the client got for it ("S:" alone: nothing),
// "S* TEXT" its start, "P: LINE" lines the server lines it caused ("P:" alone: none).
// "hold LINE" keeps the server from answering from LINE on, "release" lets it (and takes
// what the client got). Set-up: "mail UIDL SUBJECT" (new on the server), "refuse LINE"
// ("-ERR" once), "capabilities TEXT", "disable" (the account), "set NAME N" (a proxy
// setting), "move UIDL STATUS" (as the review window does). Checks: "where UIDL STATUS",
// "serverstat COUNT [SIZE]" (what the store knows of the server), "stamp" and "unchanged"
// (the store file).
class POP3SessionScriptTest : public POP3SessionTest {
protected:
    struct SRow {
        const char* name;
        std::vector<std::string> script;
    };

    void Run(const SRow& row) {
        SCOPED_TRACE(row.name);
        for (const std::string& step : row.script) {
            const size_t blank = step.find(' ');
            const std::string word = step.substr(0, blank);
            const std::string rest = blank == std::string::npos ? "" : step.substr(blank + 1);
            if (word == "S:") {
                m_checkReply = true;
                if (blank != std::string::npos)
                    m_reply += rest + "\r\n";
                continue;
            }
            if (word == "S*") {
                m_replyStart = rest;
                continue;
            }
            if (word == "P:") {
                m_checkServer = true;
                if (!rest.empty())
                    m_serverLines.push_back(rest);
                continue;
            }
            Check();
            SCOPED_TRACE(step);
            m_last = step;
            Act(word, rest, rest.substr(0, rest.find(' ')),
                rest.find(' ') == std::string::npos ? "" : rest.substr(rest.find(' ') + 1));
        }
        Check();
    }

    // The RETR reply for `mail`, its note closing the header, without the last line end.
    static std::string Retr(const SMail& mail, const char* note = kNote) {
        std::string text = mail.text;
        text.insert(text.find("\r\n\r\n") + 2, note);
        return "+OK\r\n" + text + ".";
    }
    // Eight messages before the new two: few enough sizes missing to ask them one by one.
    static std::vector<std::string> NewMailAmongMany() {
        std::vector<std::string> script = {
            "mail uid-4 Four",  "mail uid-5 Five",  "mail uid-6 Six",
            "mail uid-7 Seven", "mail uid-8 Eight", "login",
            "C: QUIT",          "mail uid-9 Nine",  "mail uid-10 Ten, hold it"};
        script.insert(script.end(),
                      {"login", "P: CAPA", "P: USER anna", "P: PASS secret", "P: STAT", "P: UIDL",
                       "P: LIST 9", "P: LIST 10", "P: TOP 9 10", "P: TOP 10 10", "C: STAT",
                       "S* +OK 8 ", "C: UIDL 8", "S: +OK 8 uid-9", "where uid-10 hold"});
        return script;
    }
    static std::string HeaderWithNote(const SMail& mail) {
        return mail.text.substr(0, mail.text.find("\r\n\r\n") + 2) + kNote;
    }

private:
    CMessageStore* Store() {
        return CMessageDatabase::GetMessageDatabase()->GetStore(std::string("anna/127.0.0.1"));
    }
    // A save writes a new file: its time is another.
    std::filesystem::file_time_type StoreStamp() {
        Store()->FlushSaves();
        return std::filesystem::last_write_time(Store()->GetPath());
    }

    void Check() {
        SCOPED_TRACE("after " + m_last);
        if (m_checkReply) {
            EXPECT_EQ(m_got, m_reply);
        }
        EXPECT_EQ(m_got.substr(0, m_replyStart.size()), m_replyStart);
        if (m_checkServer) {
            EXPECT_EQ(
                std::vector<std::string>(m_host->toServer.begin() + m_mark, m_host->toServer.end()),
                m_serverLines);
        }
        m_checkReply = m_checkServer = false;
        m_reply.clear();
        m_replyStart.clear();
        m_serverLines.clear();
    }

    void Act(const std::string& word, const std::string& rest, const std::string& first,
             const std::string& second) {
        if (word == "login" || word == "new") {
            m_mark = 0;
            if (word == "login")
                m_got = Login(rest == "local");
            else
                NewSession();
        } else if (word == "C:" || word == "release") {
            m_mark = m_host->toServer.size();
            const size_t at = m_host->client.size();
            if (word == "C:") {
                Send(rest);
            } else {
                m_host->holdAt.clear();
                m_host->Pump();
            }
            m_got = m_host->client.substr(at);
        } else if (word == "hold") {
            m_host->holdAt = rest;
        } else if (word == "mail") {
            m_server.mailbox.push_back({first, MakeMail(second, 2)});
        } else if (word == "refuse") {
            m_server.failures.insert(rest);
        } else if (word == "capabilities") {
            m_server.capabilities = rest;
        } else if (word == "set") {
            WriteSetting("Software\\Brevant\\Quillon\\Settings\\POP3Proxy", first.c_str(),
                         std::stoi(second));
        } else {
            ActOnStore(word, first, second);
        }
    }

    void ActOnStore(const std::string& word, const std::string& first, const std::string& second) {
        const std::map<std::string, MSSTATUS> kStatus = {
            {"inbox", MS_INBOX}, {"hold", MS_HOLD}, {"delivered", MS_DELIVERED}, {"none", MS_ANY}};
        if (word == "disable") {
            WriteSetting("Software\\Brevant\\Quillon\\Clients\\Direct client\\anna@127.0.0.1",
                         "IsEnabled", 0);
            ClearAccountTable(TRUE);
        } else if ((word == "move" || word == "where") && kStatus.count(second) != 0) {
            ASSERT_NE(Store(), nullptr);
            CStoreLock lock(Store(), word == "move");
            CMessage* message = Store()->GetMessage(first);
            ASSERT_TRUE(message != nullptr || word == "where") << first;
            if (word == "move")
                message->SetLocation(kStatus.at(second));
            else
                EXPECT_EQ(message != nullptr ? message->GetLocation() : MS_ANY, kStatus.at(second))
                    << first;
        } else if (word == "serverstat") {
            int count = 0, size = 0;
            Store()->GetServerStat(&count, &size);
            EXPECT_EQ(count, std::stoi(first));
            EXPECT_TRUE(second.empty() || size == std::stoi(second)) << size;
        } else if (word == "stamp" || word == "unchanged") {
            if (word == "stamp")
                m_stamp = StoreStamp();
            else
                EXPECT_EQ(StoreStamp(), m_stamp);
        } else {
            ADD_FAILURE() << "unknown step " << word;
        }
    }

    std::string m_last;  // the last action
    std::string m_got;   // what the client got for it
    size_t m_mark = 0;   // the first server line it caused
    bool m_checkReply = false;
    bool m_checkServer = false;
    std::string m_reply, m_replyStart;
    std::vector<std::string> m_serverLines;
    std::filesystem::file_time_type m_stamp;
};

TEST_F(POP3SessionScriptTest, ScriptedSessions) {
    const std::vector<SMail> mail = m_server.mailbox;  // apple, held, cherry
    const std::string apple = "S: " + Retr(mail[0]), cherry = "S: " + Retr(mail[2]);
    auto size = [&](int i) { return std::to_string(mail[i].text.size()); };
    // The server's capabilities cut to what passes through, after its own first line when
    // relayed.
    const std::string passed =
        "TOP\r\nRESP-CODES\r\nUSER\r\nUIDL\r\nIMPLEMENTATION Test server\r\n"
        "PIPELINING\r\n.";
    auto withoutPipelining = [&](const char* set) {
        return std::vector<std::string>{
            set,  "login", "hold RETR 1", "C: RETR 1", "S:",   "P: RETR 1", "C: RETR 2",
            "S:", "P:",    "release",     apple,       cherry, "P: RETR 3"};
    };
    const SRow rows[] = {
        {"a message released by the review is listed at the next log-in",
         {"login", "C: QUIT", "move uid-h inbox", "login", "C: UIDL",
          "S: +OK UIDL listing follows\r\n1 uid-a\r\n2 uid-h\r\n3 uid-c\r\n.", "C: RETR 2",
          "S: " + Retr(mail[1], "X-Quillon-Analysis: held\r\n"), "P: RETR 2"}},
        {"an unchanged mailbox leaves the store file as it was",
         {"login", "C: QUIT", "stamp", "login", "C: STAT", "C: QUIT", "unchanged"}},
        {"new mail among many is sized one by one", NewMailAmongMany()},
        {"local delivery answers from the store and marks what it delivered",
         {"set TopLines -1", "login local", "C: RETR 2", cherry, "P:", "C: RETR 1", apple,
          "C: TOP 2 2",
          "S: +OK\r\n" + HeaderWithNote(mail[2]) + "\r\nLine 1 of Cherry\r\nLine 2 of Cherry\r\n.",
          "C: TOP 1 0", "S: +OK\r\n" + HeaderWithNote(mail[0]) + ".", "P:", "where uid-a delivered",
          "where uid-c delivered"}},
        {"local delivery of a copy cut short goes to the server",
         {"login local", "C: RETR 2", cherry, "P: RETR 3", "C: RETR 1", apple,
          "P:", "where uid-a delivered"}},
        {"a client's deletion leaves the store at QUIT and the server renumbers",
         {"login", "C: DELE 1", "S: +OK deleted", "C: QUIT", "S: +OK bye", "P: STAT", "P: QUIT",
          "where uid-a none", "login", "C: UIDL", "S: +OK UIDL listing follows\r\n1 uid-c\r\n.",
          "C: RETR 1", cherry, "P: RETR 2"}},
        {"STAT after a deletion counts what is left and keeps the numbers",
         {"login", "C: DELE 1", "S: +OK deleted", "C: STAT", "S: +OK 1 " + Size(mail[2]), "P: STAT",
          "P: STAT", "C: UIDL 2", "S: +OK 2 uid-c", "C: RETR 2", cherry, "P: RETR 3",
          "where uid-c delivered"}},
        {"a disabled account is relayed as it came",
         {"disable", "login", "C:   LIST  ",
          "S: +OK\r\n1 " + size(0) + "\r\n2 " + size(1) + "\r\n3 " + size(2) + "\r\n.", "P: LIST",
          "C: RETR 2", "S: +OK\r\n" + mail[1].text + ".", "C: XTND  XMIT",
          "S: -ERR no such message", "P: XTND  XMIT", "C: CAPA",
          "S: +OK\r\nTOP\r\nUIDL\r\nPIPELINING\r\n.", "C: DELE 0", "S: -ERR no such message",
          "P: DELE 0", "where uid-a none"}},
        {"an account that is not registered is relayed",
         {"new", "C: USER bob/127.0.0.1", "C: PASS secret", "C: UIDL",
          "S: +OK\r\n1 uid-a\r\n2 uid-h\r\n3 uid-c\r\n.", "P: UIDL"}},
        {"capabilities: the proxy's own, then the server's cut to what passes",
         {"capabilities TOP\r\nSTLS\r\nSASL PLAIN LOGIN\r\nRESP-CODES\r\nUTF8 USER\r\nUSER\r\n"
          "UIDL\r\nIMPLEMENTATION Test server\r\n",
          "new", "C: CAPA",
          "S: +OK Capability list follows\r\nUSER\r\nTOP\r\nUIDL\r\nPIPELINING\r\n"
          "SASL PLAIN LOGIN XOAUTH2 OAUTHBEARER\r\n.",
          "P:", "C: USER anna/127.0.0.1", "C: CAPA", "S: +OK\r\n" + passed, "P: CAPA",
          "C: PASS secret", "C: CAPA", "S: +OK Capability list follows\r\n" + passed, "P:"}},
        {"a server without PIPELINING gets one command at a time",
         withoutPipelining("capabilities TOP\r\nUIDL\r\nUSER\r\n")},
        {"a server that refuses CAPA gets one command at a time", withoutPipelining("refuse CAPA")},
        {"the store is not in step with the server until the downloads are done",
         {"new", "C: USER anna/127.0.0.1", "hold TOP 2 10", "C: PASS secret", "S:", "serverstat -1",
          "release", "S: +OK maildrop ready",
          "serverstat 3 " +
              std::to_string(mail[0].text.size() + mail[1].text.size() + mail[2].text.size())}},
    };
    for (const SRow& row : rows) {
        Run(row);
        TearDown();
        m_server = CScriptedServer();
        SetUp();
    }
}

// Fault guarded: one message with a line too long for the reader ended every session at
// that message, so no fetch ever got past it. It is stored cut before the line, held
// with a note, and the rest of the mailbox is served, then and at every later login.
TEST_F(POP3SessionTest, LineTooLongInADownloadHoldsThatMessageAndServesTheRest) {
    m_server.mailbox.insert(m_server.mailbox.begin() + 1,
                            {"uid-l", MailWithLongLine("Long", 1, 5000)});
    NewSession();
    m_host->pieceSize = 1000;
    Send("USER anna/127.0.0.1");
    EXPECT_EQ(Send("PASS secret"), "+OK maildrop ready\r\n");
    EXPECT_FALSE(m_host->lineRefused);
    EXPECT_EQ(ServerLinesFrom("TOP 1 10"),
              (std::vector<std::string>{"TOP 1 10", "TOP 2 10", "TOP 3 10", "TOP 4 10"}));
    const SMail apple = m_server.mailbox[0];
    const SMail cherry = m_server.mailbox[3];
    EXPECT_EQ(Send("LIST"), ListingOf({"1 " + Size(apple), "2 " + Size(cherry)}));
    CMessage* cut = m_session->Store()->GetMessage("uid-l");
    ASSERT_NE(cut, nullptr);
    EXPECT_EQ(cut->GetLocation(), MS_HOLD);
    EXPECT_EQ(cut->GetBody(), "Line 1 of Long\r\n");
    EXPECT_EQ(cut->GetBodyLines(), 1);  // a partial copy: the client's RETR goes to the server
    EXPECT_EQ(cut->GetQLNotes(), std::string(kNote) + "X-Quillon-Analysis: " +
                                     CPOP3Synchronizer::kLongLineNote + "\r\n");
    std::string expected = "+OK\r\n" + cherry.text + ".\r\n";
    expected.insert(expected.find("\r\n\r\n") + 2, kNote);
    EXPECT_EQ(Send("RETR 2"), expected);
    EXPECT_EQ(Send("QUIT"), "+OK bye\r\n");

    // The next login downloads only the new mail.
    m_server.mailbox.push_back({"uid-d", MakeMail("Date", 2)});
    Login();
    m_host->pieceSize = 1000;
    EXPECT_EQ(ServerLinesFrom("TOP 2 10").size(), 0u);
    EXPECT_EQ(ServerLinesFrom("TOP 5 10").size(), 1u);
    EXPECT_EQ(Send("UIDL"), "+OK UIDL listing follows\r\n1 uid-a\r\n2 uid-c\r\n3 uid-d\r\n.\r\n");
}

// Fault guarded: a relayed message with a line too long for the reader got "-ERR" in the
// middle of its text and lost the session. The line passes on as it comes, the message
// arrives whole and the session goes on.
TEST_F(POP3SessionTest, LineTooLongInARelayedMessagePassesOnWhole) {
    const SMail apple{"uid-a", MakeMail("Apple", 3)};
    const SMail wide{"uid-w", MailWithLongLine("Wide", 12, 4500)};
    struct SCase {
        bool filtering;
        const char* command;
        std::string message;  // what follows "+OK"
    };
    const std::string withNote = wide.text.substr(0, wide.text.find("\r\n\r\n") + 2) + kNote +
                                 wide.text.substr(wide.text.find("\r\n\r\n") + 2);
    const SCase kCases[] = {
        {true, "RETR 2", withNote},
        {true, "TOP 2 13", withNote.substr(0, withNote.size() - std::strlen("Last line\r\n"))},
        {false, "RETR 2", wide.text},
    };
    for (const SCase& test : kCases) {
        SCOPED_TRACE(test.command + std::string(test.filtering ? ", filtering" : ", relay"));
        m_server.mailbox = {apple, wide};
        if (!test.filtering) {
            WriteSetting("Software\\Brevant\\Quillon\\Clients\\Direct client\\anna@127.0.0.1",
                         "IsEnabled", 0);
            ClearAccountTable(TRUE);
        }
        Login();
        ASSERT_EQ(m_session->IsFiltering(), test.filtering);
        m_host->pieceSize = 1000;
        EXPECT_EQ(Send(test.command), "+OK\r\n" + test.message + ".\r\n");
        EXPECT_FALSE(m_host->lineRefused);
        EXPECT_EQ(m_session->GetState(), EPOP3State::kTransaction);
        if (test.filtering && test.command[0] == 'R') {
            EXPECT_EQ(m_session->Store()->GetMessage("uid-w")->GetLocation(), MS_DELIVERED);
        }
        EXPECT_EQ(Send("NOOP"), "+OK\r\n");
        Send("QUIT");
    }
}

// Where a line too long to hold leaves nothing sound to go on with, the session ends
// with whole lines and "-ERR" for the waiting client.
TEST_F(POP3SessionTest, LineTooLongElsewhereEndsTheSessionWithAnErrorLine) {
    const std::string wide(3000, 'w');
    const struct {
        const char* where;
        std::vector<SMail> mailbox;
        std::string capabilities;
    } kCases[] = {
        {"UIDL listing",
         {{"uid-a", MakeMail("Apple", 3)}, {wide, MakeMail("Wide", 1)}},
         "TOP\r\nUIDL\r\n"},
        {"capabilities", {{"uid-a", MakeMail("Apple", 3)}}, wide + "\r\n"},
    };
    for (const auto& test : kCases) {
        SCOPED_TRACE(test.where);
        m_server.mailbox = test.mailbox;
        m_server.capabilities = test.capabilities;
        NewSession();
        m_host->pieceSize = 1000;
        std::string reply = Send("USER anna/127.0.0.1");
        reply += Send("PASS secret");
        EXPECT_TRUE(m_host->lineRefused);
        EXPECT_TRUE(m_host->ended);
        const std::string end = "-ERR Line from server too long\r\n";
        ASSERT_GE(reply.size(), end.size());
        EXPECT_EQ(reply.substr(reply.size() - end.size()), end);
    }
}

// ---------------------------------------------------------------------------------------
// Securing the server connection. The client pipelines its PASS behind USER: it must
// reach the server only over a secured connection, and never when securing fails.

struct STLSCase {
    const char* name;
    const char* mode;                        // the account's "TLS"
    const char* capabilities;                // the server's CAPA list before TLS
    const char* stlsReply;                   // the server's reply to STLS
    const char* startError;                  // StartTLS cannot start, with this text
    const char* handshakeError;              // the handshake's outcome ("" succeeded)
    std::vector<std::string> beforeSecured;  // server lines until the handshake ends
    std::vector<std::string> afterSecured;   // the first server lines after it
    const char* clientStart;                 // what the client is sent first
};

const STLSCase kTLSCases[] = {
    {"STLS offered and secured",
     "stls",
     "TOP\r\nSTLS\r\nUIDL\r\n",
     "+OK Begin TLS",
     "",
     "",
     {"CAPA", "STLS"},
     {"CAPA", "USER anna", "PASS secret", "STAT"},
     "+OK\r\n+OK maildrop ready"},
    {"STLS offered in lower case",
     "STLS",
     "stls\r\nUIDL\r\n",
     "+OK",
     "",
     "",
     {"CAPA", "STLS"},
     {"CAPA", "USER anna"},
     "+OK\r\n"},
    {"STLS missing from the list",
     "stls",
     "TOP\r\nUIDL\r\nPIPELINING\r\n",
     "",
     "",
     "",
     {"CAPA"},
     {},
     "-ERR Server 127.0.0.1 does not offer STLS; not logging in without TLS\r\n"},
    {"STLS refused",
     "stls",
     "STLS\r\n",
     "-ERR not now",
     "",
     "",
     {"CAPA", "STLS"},
     {},
     "-ERR Server 127.0.0.1 refused STLS: -ERR not now\r\n"},
    {"STLS handshake fails",
     "stls",
     "STLS\r\n",
     "+OK",
     "",
     "certificate not accepted: self-signed certificate",
     {"CAPA", "STLS"},
     {},
     "-ERR TLS with 127.0.0.1 failed: certificate not accepted: self-signed certificate\r\n"},
    {"POP3S secured before anything is sent",
     "pop3s",
     "TOP\r\nUIDL\r\n",
     "",
     "",
     "",
     {},
     {"CAPA", "USER anna", "PASS secret"},
     "+OK\r\n+OK maildrop ready"},
    {"POP3S cannot start",
     "pop3s",
     "",
     "",
     "cannot read the CA file /none.pem",
     "",
     {},
     {},
     "-ERR TLS with 127.0.0.1 failed: cannot read the CA file /none.pem\r\n"},
    {"POP3S handshake fails",
     "pop3s",
     "",
     "",
     "",
     "certificate not accepted: hostname mismatch",
     {},
     {},
     "-ERR TLS with 127.0.0.1 failed: certificate not accepted: hostname mismatch\r\n"},
    {"plain when asked for by name",
     "none",
     "TOP\r\nUIDL\r\n",
     "",
     "",
     "",
     {"CAPA", "USER anna", "PASS secret"},
     {},
     "+OK\r\n+OK maildrop ready"},
};

TEST_F(POP3SessionTest, ServerConnectionIsSecuredOrRefusedBeforeTheLogIn) {
    for (const STLSCase& c : kTLSCases) {
        SCOPED_TRACE(c.name);
        WriteText("Software\\Brevant\\Quillon\\Clients\\Direct client\\anna@127.0.0.1", "TLS",
                  c.mode);
        m_server.capabilities = c.capabilities;
        m_server.stlsReply = c.stlsReply;
        NewSession();
        m_host->tlsStartError = c.startError;
        Send("USER anna/127.0.0.1");
        Send("PASS secret");
        const std::string mode = c.mode;
        const bool tls = mode != "none";
        const bool starts =
            mode == "pop3s" || (tls && std::string(c.stlsReply).rfind("+OK", 0) == 0);
        // In clear the log-in simply goes on; else nothing passes the secured point.
        const size_t seen = tls ? m_host->toServer.size() : c.beforeSecured.size();
        EXPECT_EQ(std::vector<std::string>(
                      m_host->toServer.begin(),
                      m_host->toServer.begin() + std::min(seen, m_host->toServer.size())),
                  c.beforeSecured);
        EXPECT_EQ(m_host->tlsStarts.size(), starts ? 1u : 0u);
        if (!m_host->tlsStarts.empty() && !m_host->ended) {
            EXPECT_EQ(m_host->tlsStarts[0], "127.0.0.1  verify");
            m_session->OnServerSecured(c.handshakeError);
            m_host->Pump();
        }
        const std::vector<std::string> after(
            m_host->toServer.begin() + std::min(c.beforeSecured.size(), m_host->toServer.size()),
            m_host->toServer.end());
        EXPECT_EQ(std::vector<std::string>(
                      after.begin(), after.begin() + std::min(after.size(), c.afterSecured.size())),
                  c.afterSecured);
        EXPECT_EQ(m_host->client.substr(0, std::strlen(c.clientStart)), c.clientStart);
        const bool refused = c.clientStart[0] == '-';
        EXPECT_EQ(m_host->ended, refused);
        EXPECT_EQ(m_host->client.find("+OK") == std::string::npos, refused) << m_host->client;
        EXPECT_EQ(std::count(m_host->toServer.begin(), m_host->toServer.end(), "PASS secret"),
                  refused ? 0 : 1);
    }
}

TEST_F(POP3SessionTest, AccountsCAFileAndInsecureSettingReachTheHandshake) {
    const char* account = "Software\\Brevant\\Quillon\\Clients\\Direct client\\anna@127.0.0.1";
    WriteText(account, "TLS", "pop3s");
    WriteText(account, "TLSCAFile", "/etc/private-ca.pem");
    WriteSetting(account, "TLSInsecure", 1);
    NewSession();
    Send("USER anna/127.0.0.1");
    ASSERT_EQ(m_host->tlsStarts.size(), 1u);
    EXPECT_EQ(m_host->tlsStarts[0], "127.0.0.1 /etc/private-ca.pem insecure");
    // A host without an account takes the port's default and the global CA file.
    WriteText(kProxyKey, "TLSCAFile", "/etc/global-ca.pem");
    for (const auto& [login, expected] : std::vector<std::pair<std::string, std::string>>{
             {"USER bob/127.0.0.1:995", "127.0.0.1 /etc/global-ca.pem verify"},
             {"USER bob/localhost:2110", "localhost /etc/global-ca.pem verify"}}) {
        WriteText(kProxyKey, "ServerTLS", login.find("995") != std::string::npos ? "" : "pop3s");
        NewSession();
        Send(login);
        ASSERT_EQ(m_host->tlsStarts.size(), 1u) << login;
        EXPECT_EQ(m_host->tlsStarts[0], expected);
        EXPECT_TRUE(m_host->toServer.empty());
    }
}

// A server that takes the connection and never answers the handshake (or STLS) would
// hold the client's log-in for ever: the server timeout ends it.
TEST_F(POP3SessionTest, SilentServerEndsTheTLSStepAfterItsTimeout) {
    WriteSetting(kProxyKey, "ServerTimeout", 30);
    for (const char* mode : {"pop3s", "stls"}) {
        SCOPED_TRACE(mode);
        WriteText("Software\\Brevant\\Quillon\\Clients\\Direct client\\anna@127.0.0.1", "TLS",
                  mode);
        m_server.capabilities = "STLS\r\n";
        m_server.stlsReply = "+OK";
        NewSession();
        if (std::string(mode) == "stls")
            m_host->holdAt = "STLS";  // no reply to STLS
        Send("USER anna/127.0.0.1");
        EXPECT_TRUE(m_host->clockRunning);
        for (int i = 0; i < 29; ++i) m_session->OnClock();
        EXPECT_FALSE(m_host->ended);
        m_session->OnClock();
        EXPECT_TRUE(m_host->ended);
        EXPECT_FALSE(m_host->clockRunning);
        EXPECT_EQ(m_host->client,
                  "-ERR TLS with 127.0.0.1 failed: no answer from the server in 30 seconds\r\n");
    }
}

// ---------------------------------------------------------------------------------------
// SASL log-ins passed through: the client names the server in its first response; the
// server sees the user part and everything else as the client sent it.

std::string B64(const std::string& data) {
    return CSASLRelay::EncodeBase64(data);
}

struct SSASLCase {
    const char* name;
    std::vector<std::string> client;   // the client's lines
    std::vector<std::string> server;   // what reaches the server after CAPA
    std::vector<std::string> replies;  // the first reply lines the client gets
};

const std::string kToken(300, 'T');

const SSASLCase kSASLCases[] = {
    {"PLAIN with its initial response",
     {"AUTH PLAIN " + B64(std::string("\0anna/127.0.0.1\0secret", 22))},
     {"AUTH PLAIN " + B64(std::string("\0anna\0secret", 12))},
     {"+OK logged in"}},
    {"PLAIN after an empty challenge, the authorization identity too",
     {"auth plain", B64(std::string("anna/127.0.0.1\0anna/127.0.0.1\0secret", 36))},
     {"AUTH plain " + B64(std::string("anna\0anna\0secret", 16))},
     {"+ ", "+OK logged in"}},
    {"LOGIN: the user name rewritten, the password relayed",
     {"AUTH LOGIN", B64("anna/127.0.0.1"), B64("secret")},
     {"AUTH LOGIN", B64("anna"), B64("secret")},
     {"+ VXNlcm5hbWU6", "+ UGFzc3dvcmQ6", "+OK logged in"}},
    {"XOAUTH2",
     {"AUTH XOAUTH2 " + B64("user=anna/127.0.0.1\x01"
                            "auth=Bearer tok\x01\x01")},
     {"AUTH XOAUTH2 " + B64("user=anna\x01"
                            "auth=Bearer tok\x01\x01")},
     {"+OK logged in"}},
    {"XOAUTH2 too long for one line waits for the server's challenge",
     {"AUTH XOAUTH2 " + B64("user=anna/127.0.0.1\x01"
                            "auth=Bearer " +
                            kToken + "\x01\x01")},
     {"AUTH XOAUTH2", B64("user=anna\x01"
                          "auth=Bearer " +
                          kToken + "\x01\x01")},
     {"+OK logged in"}},
    {"OAUTHBEARER: the authorization identity, host and port are the server's",
     {"AUTH OAUTHBEARER " + B64("n,a=anna/127.0.0.1,\x01host=localhost\x01port=2110\x01"
                                "auth=Bearer tok\x01\x01")},
     {"AUTH OAUTHBEARER " + B64("n,a=anna,\x01host=127.0.0.1\x01port=110\x01"
                                "auth=Bearer tok\x01\x01")},
     {"+OK logged in"}},
    {"unknown mechanism", {"AUTH CRAM-MD5"}, {}, {"-ERR Unsupported SASL mechanism CRAM-MD5"}},
    {"no server named",
     {"AUTH PLAIN " + B64(std::string("\0anna\0secret", 12))},
     {},
     {"-ERR Log in as user/host[:port] to name the server"}},
    {"not base64", {"AUTH PLAIN AGFu!!!"}, {}, {"-ERR Malformed SASL response"}},
    {"PLAIN without its separators",
     {"AUTH PLAIN " + B64("anna/127.0.0.1")},
     {},
     {"-ERR Malformed SASL response"}},
    {"cancelled", {"AUTH XOAUTH2", "*"}, {}, {"+ ", "-ERR Authentication cancelled"}},
};

TEST_F(POP3SessionTest, SASLLogInReachesTheServerWithTheUserPartOnly) {
    for (const SSASLCase& c : kSASLCases) {
        SCOPED_TRACE(c.name);
        NewSession();
        for (const std::string& line : c.client) Send(line);
        std::vector<std::string> toServer = m_host->toServer;
        if (!toServer.empty()) {
            EXPECT_EQ(toServer.front(), "CAPA");
            toServer.erase(toServer.begin());
        }
        toServer.resize(std::min(toServer.size(), c.server.size()));
        EXPECT_EQ(toServer, c.server);
        EXPECT_EQ(m_host->namedHost, c.server.empty() ? "" : "127.0.0.1 110");
        std::string expected;
        for (const std::string& reply : c.replies) expected += reply + "\r\n";
        EXPECT_EQ(m_host->client.substr(0, expected.size()), expected);
        // A filtered account is brought in step as after PASS.
        const bool in = c.replies.back().compare(0, 3, "+OK") == 0;
        EXPECT_EQ(m_session->GetState(), in ? EPOP3State::kTransaction : EPOP3State::kNotConnected);
        if (in) {
            EXPECT_NE(std::find(m_host->toServer.begin(), m_host->toServer.end(), "UIDL"),
                      m_host->toServer.end());
        }
    }
}

TEST_F(POP3SessionTest, SASLRefusedByTheServerLeavesTheClientAtTheLogIn) {
    m_server.authReply = "-ERR [AUTH] Authentication failed";
    NewSession();
    EXPECT_EQ(Send("AUTH PLAIN " + B64(std::string("\0anna/127.0.0.1\0wrong", 21))),
              "-ERR [AUTH] Authentication failed\r\n");
    EXPECT_EQ(m_session->GetState(), EPOP3State::kAuthorization);
    // The connection stays: the next try goes to the same server, as USER and PASS.
    m_server.authReply = "+OK";
    EXPECT_EQ(Send("USER anna"), "+OK\r\n");
    EXPECT_EQ(Send("PASS secret").compare(0, 3, "+OK"), 0);
    EXPECT_EQ(m_session->GetState(), EPOP3State::kTransaction);
    // Before a server is known, CAPA offers the mechanisms.
    NewSession();
    EXPECT_NE(Send("CAPA").find("\r\nSASL PLAIN LOGIN XOAUTH2 OAUTHBEARER\r\n"), std::string::npos);
}

// Through a CONNECT line the server is known: AUTH goes to it as the client wrote it, the
// account is the user name's, and "+OK" logs in as PASS does.
TEST_F(POP3SessionTest, SASLAfterConnectIsRelayedAsItIs) {
    const std::string plain = "AUTH PLAIN " + B64(std::string("\0anna\0secret", 12));
    const struct {
        const char* name;
        std::vector<std::string> client;
        std::vector<std::string> replies;  // what the client gets after the greeting
        bool filtered;
    } cases[] = {
        {"PLAIN", {plain}, {"+OK logged in"}, true},
        {"LOGIN", {"AUTH LOGIN", B64("anna"), B64("secret")},
         {"+ VXNlcm5hbWU6", "+ UGFzc3dvcmQ6", "+OK logged in"}, true},
        {"an unknown user is relayed", {"AUTH PLAIN " + B64(std::string("\0bob\0pw", 8))},
         {"+OK logged in"}, false},
    };
    CRegistryKey key;
    ASSERT_TRUE(key.OpenCarefully(
        HKEY_CURRENT_USER, "Software\\Brevant\\Quillon\\Clients\\Relayed client\\anna@127.0.0.1"));
    ASSERT_TRUE(key.SetValue("ServerName", "127.0.0.1"));
    ASSERT_TRUE(key.SetValue("UserName", "anna"));
    ASSERT_TRUE(key.SetValue("TLS", "none"));
    ClearAccountTable(TRUE);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NewSession();
        Send("CONNECT 127.0.0.1:110");
        m_session->OnServerLine("+OK scripted server");
        ASSERT_EQ(m_session->GetState(), EPOP3State::kAuthorization);
        m_host->client.clear();
        for (const std::string& line : c.client) Send(line);
        EXPECT_EQ(std::vector<std::string>(m_host->toServer.begin(),
                                           m_host->toServer.begin() + c.client.size()),
                  c.client);
        std::string expected;
        for (const std::string& reply : c.replies) expected += reply + "\r\n";
        EXPECT_EQ(m_host->client.substr(0, expected.size()), expected);
        EXPECT_EQ(m_session->GetState(), EPOP3State::kTransaction);
        EXPECT_EQ(m_session->IsFiltering(), c.filtered);
        EXPECT_EQ(std::find(m_host->toServer.begin(), m_host->toServer.end(), "UIDL") !=
                      m_host->toServer.end(),
                  c.filtered);
    }
    // A refusal leaves the client at the log-in, where PASS still works.
    m_server.authReply = "-ERR [AUTH] Authentication failed";
    NewSession();
    Send("CONNECT 127.0.0.1:110");
    m_session->OnServerLine("+OK scripted server");
    EXPECT_EQ(Send(plain), "-ERR [AUTH] Authentication failed\r\n");
    EXPECT_EQ(m_session->GetState(), EPOP3State::kAuthorization);
    EXPECT_EQ(Send("USER anna"), "+OK\r\n");
}

// Named-host mode: a new try after the server refused the log-in goes to the server
// connected to, its user/host[:port] rewritten to the user part, whether it names that
// server or none; one that names another server is refused and the session stays at the
// log-in.
struct SRetryCase {
    const char* name;
    std::vector<std::string> first;    // the first log-in, which the server refuses
    std::vector<std::string> again;    // the client's next try
    std::vector<std::string> server;   // what reaches the server for it
    std::vector<std::string> replies;  // what the client gets for it
};

const std::vector<std::string> kRefusedAuth = {"AUTH PLAIN " +
                                               B64(std::string("\0anna/127.0.0.1\0wrong", 21))};
const std::vector<std::string> kRefusedPass = {"USER anna/127.0.0.1", "PASS wrong"};
const std::string kPlainToServer = "AUTH PLAIN " + B64(std::string("\0anna\0secret", 12));
const std::string kConnectedElsewhere =
    "-ERR Connected to 127.0.0.1:110; log in there or reconnect";

const SRetryCase kRetryCases[] = {
    {"AUTH again naming the same host",
     kRefusedAuth,
     {"AUTH PLAIN " + B64(std::string("\0anna/127.0.0.1\0secret", 22))},
     {kPlainToServer},
     {"+OK logged in"}},
    {"AUTH again naming the default port",
     kRefusedAuth,
     {"AUTH PLAIN " + B64(std::string("\0anna/127.0.0.1:110\0secret", 26))},
     {kPlainToServer},
     {"+OK logged in"}},
    {"AUTH again naming no host",
     kRefusedAuth,
     {"AUTH PLAIN " + B64(std::string("\0anna\0secret", 12))},
     {kPlainToServer},
     {"+OK logged in"}},
    {"AUTH again with the host in another case",
     {"USER anna/localhost", "PASS wrong"},
     {"AUTH PLAIN " + B64(std::string("\0anna/LocalHost\0secret", 22))},
     {kPlainToServer},
     {"+OK logged in"}},
    {"LOGIN again after the proxy's challenge",
     kRefusedAuth,
     {"AUTH LOGIN", B64("anna/127.0.0.1"), B64("secret")},
     {"AUTH LOGIN", B64("anna"), B64("secret")},
     {"+ VXNlcm5hbWU6", "+ UGFzc3dvcmQ6", "+OK logged in"}},
    {"OAUTHBEARER again: host and port are the connected server's",
     kRefusedPass,
     {"AUTH OAUTHBEARER " + B64("n,a=anna,\x01host=localhost\x01port=2110\x01"
                                "auth=Bearer tok\x01\x01")},
     {"AUTH OAUTHBEARER " + B64("n,a=anna,\x01host=127.0.0.1\x01port=110\x01"
                                "auth=Bearer tok\x01\x01")},
     {"+OK logged in"}},
    {"AUTH after a refused PASS",
     kRefusedPass,
     {"AUTH PLAIN " + B64(std::string("\0anna/127.0.0.1\0secret", 22))},
     {kPlainToServer},
     {"+OK logged in"}},
    {"USER again naming the same host",
     kRefusedPass,
     {"USER anna/127.0.0.1:110", "PASS secret"},
     {"USER anna", "PASS secret"},
     {"+OK", "+OK maildrop ready"}},
    {"USER again after a refused AUTH, naming no host",
     kRefusedAuth,
     {"USER anna", "PASS secret"},
     {"USER anna", "PASS secret"},
     {"+OK", "+OK maildrop ready"}},
    {"AUTH naming another host",
     kRefusedAuth,
     {"AUTH PLAIN " + B64(std::string("\0anna/example.org\0secret", 24))},
     {},
     {kConnectedElsewhere}},
    {"AUTH naming another port",
     kRefusedPass,
     {"AUTH XOAUTH2 " + B64("user=anna/127.0.0.1:995\x01"
                            "auth=Bearer tok\x01\x01")},
     {},
     {kConnectedElsewhere}},
    {"LOGIN naming another host after the challenge",
     kRefusedAuth,
     {"AUTH LOGIN", B64("anna/example.org")},
     {},
     {"+ VXNlcm5hbWU6", kConnectedElsewhere}},
    {"USER naming another host",
     kRefusedPass,
     {"USER anna/example.org"},
     {},
     {kConnectedElsewhere}},
    {"AUTH without a user name",
     kRefusedAuth,
     {"AUTH PLAIN " + B64(std::string("\0\0secret", 8))},
     {},
     {"-ERR Malformed SASL response"}},
    {"AUTH cancelled",
     kRefusedPass,
     {"AUTH PLAIN", "*"},
     {},
     {"+ ", "-ERR Authentication cancelled"}},
};

TEST_F(POP3SessionTest, SecondLogInAfterARefusalIsForTheConnectedServer) {
    for (const SRetryCase& c : kRetryCases) {
        SCOPED_TRACE(c.name);
        m_server = CScriptedServer();
        m_server.authReply = "-ERR [AUTH] Authentication failed";
        m_server.failures.insert("PASS wrong");
        NewSession();
        for (const std::string& line : c.first) Send(line);
        ASSERT_EQ(m_session->GetState(), EPOP3State::kAuthorization);
        ASSERT_EQ(
            m_host->client.substr(m_host->client.rfind("-ERR")),
            c.first.size() == 1 ? "-ERR [AUTH] Authentication failed\r\n" : "-ERR refused\r\n");
        m_server.authReply = "+OK logged in";
        const size_t mark = m_host->toServer.size();
        m_host->client.clear();
        for (const std::string& line : c.again) Send(line);

        const bool in = c.replies.back().compare(0, 3, "+OK") == 0;
        std::vector<std::string> sent(m_host->toServer.begin() + mark, m_host->toServer.end());
        // A log-in that goes through is followed by the synchronization.
        if (in)
            sent.resize(std::min(sent.size(), c.server.size()));
        EXPECT_EQ(sent, c.server);
        EXPECT_EQ(m_host->namedHost, c.first[0].find("localhost") != std::string::npos
                                         ? "localhost 110"
                                         : "127.0.0.1 110");
        std::string expected;
        for (const std::string& reply : c.replies) expected += reply + "\r\n";
        EXPECT_EQ(m_host->client.substr(0, expected.size()), expected);
        if (in) {
            EXPECT_EQ(m_session->GetState(), EPOP3State::kTransaction);
            EXPECT_TRUE(m_session->IsFiltering());
            continue;
        }
        // Refused by the proxy: the client may still log in to the connected server.
        EXPECT_EQ(m_host->client, expected);
        EXPECT_EQ(m_session->GetState(), EPOP3State::kAuthorization);
        EXPECT_EQ(Send("USER anna"), "+OK\r\n");
        EXPECT_EQ(Send("PASS secret"), "+OK maildrop ready\r\n");
        EXPECT_EQ(m_session->GetState(), EPOP3State::kTransaction);
    }
}

// The relayed forms are unchanged: after a CONNECT line the proxy never rewrites a
// user name, whatever it names.
TEST_F(POP3SessionTest, SecondLogInAfterAConnectLineIsRelayedAsItIs) {
    m_server.failures.insert("PASS wrong");
    NewSession();
    Send("CONNECT 127.0.0.1:110");
    m_session->OnServerLine("+OK scripted server");
    for (const std::string& line : {std::string("USER anna"), std::string("PASS wrong"),
                                    std::string("USER anna/example.org")})
        Send(line);
    EXPECT_EQ(m_host->toServer,
              (std::vector<std::string>{"USER anna", "PASS wrong", "USER anna/example.org"}));
}

// A named host that cannot be reached leaves no trace: a CONNECT line after it is a
// relay like any other, answered "0", not secured or asked for its capabilities.
TEST_F(POP3SessionTest, ConnectLineAfterAFailedNamedHostIsAPlainRelay) {
    WriteText(kProxyKey, "ServerTLS", "pop3s");
    NewSession();
    m_host->connectResult = CTS_FAILED;
    EXPECT_EQ(Send("USER anna/example.org"), "-ERR Can't connect to example.org\r\n");
    m_host->connectResult = CTS_CONNECTED;
    EXPECT_EQ(Send("CONNECT 127.0.0.1:110"), "0\r\n");
    EXPECT_TRUE(m_host->tlsStarts.empty());
    m_session->OnServerLine("+OK scripted server");
    Send("USER anna");
    EXPECT_EQ(m_host->toServer, (std::vector<std::string>{"USER anna"}));
}

TEST_F(POP3SessionTest, Base64RoundTripsAndRefusesWhatIsNotBase64) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    for (size_t size = 0; size <= 7; ++size) {
        std::string decoded;
        ASSERT_TRUE(CSASLRelay::DecodeBase64(B64(all.substr(0, size)), decoded));
        EXPECT_EQ(decoded, all.substr(0, size));
    }
    std::string decoded;
    ASSERT_TRUE(CSASLRelay::DecodeBase64(B64(all), decoded));
    EXPECT_EQ(decoded, all);
    for (const char* bad : {"A", "AB=C", "A===", "AB==CD==", "ab c", "YW5u\r\n", "YQ=a"})
        EXPECT_FALSE(CSASLRelay::DecodeBase64(bad, decoded)) << bad;
}

}  // namespace
