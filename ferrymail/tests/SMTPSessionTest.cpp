// The SMTP session machine fed lines directly, without sockets: a recording host stands
// for the connection (and answers nothing by itself), the test plays the server. The
// account table, the settings and the friends store are the real ones in a private
// home.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ProxyTestPeers.h"
#include "SMTPRecordingHost.h"
#include "TestHome.h"
#include "ferrymail/accounts/AccountTable.h"
#include "ferrymail/proxy/NonFriendCollection.h"
#include "ferrymail/proxy/SMTPMessage.h"
#include "ferrymail/proxy/SMTPSender.h"
#include "ferrymail/store/MessageDatabase.h"
#include "kinbook/friends/Friend.h"
#include "kinbook/friends/Friends.h"
#include "kinbook/friends/ImportSource.h"
#include "kinbook/foundation/RegistryKey.h"
#include "proxy/SASLRelay.h"
#include "proxy/SMTPSession.h"

namespace {

std::string B64(const std::string& data) { return CSASLRelay::EncodeBase64(data); }

class SMTPSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_home = std::make_unique<CTestHome>();
        KinbookShutdown();
        ClearAccountTable(TRUE);
        m_listener = std::make_unique<testpeers::CRelayListener>();
        m_listener->AddLogging(0xFFFF);
        NewSession();
    }
    void TearDown() override {
        m_session.reset();
        m_listener->SetLogWindowSink(nullptr);
        m_host.reset();
        m_listener.reset();
        KinbookShutdown();
        ClearAccountTable(TRUE);
        m_home.reset();
    }
    void NewSession() {
        m_session.reset();
        m_host = std::make_unique<CRecordingHost>(m_listener.get());
        m_listener->SetLogWindowSink(m_host.get());
        m_listener->EnableLogging(1);
        m_session = std::make_unique<CSMTPSession>(*m_host, *m_host);
        m_session->Start();
    }
    // What the client was sent for its line (or lines).
    std::vector<std::string> ClientLines(const std::vector<std::string>& lines) {
        const size_t mark = m_host->client.size();
        for (const std::string& line : lines) m_session->OnClientLine(line);
        return {m_host->client.begin() + static_cast<long>(mark), m_host->client.end()};
    }
    std::string Client(const std::string& line) {
        const std::vector<std::string> got = ClientLines({line});
        std::string all;
        for (const std::string& text : got) all += text + "\n";
        return all;
    }
    void Server(const std::vector<std::string>& lines) {
        for (const std::string& line : lines) m_session->OnServerLine(line);
    }
    // Connected to a relayed destination; the server has greeted.
    void Connect() {
        Client("CONNECT 127.0.0.1:25 Mail client");
        m_session->OnServerConnect(0);
        Server({"220 server ready"});
        ASSERT_EQ(m_session->GetState(), ESMTPState::kIdle);
    }
    // One message to `to`, answered 250 at every step and `final` at its end.
    void SendMessage(const std::vector<std::string>& to, const std::string& subject,
                     const std::string& final = "250 queued",
                     const std::string& from = "anna@example.org") {
        Client("MAIL FROM:<" + from + ">");
        Server({"250 OK"});
        for (const std::string& addressee : to) {
            Client("RCPT TO:<" + addressee + ">");
            Server({"250 OK"});
        }
        Client("DATA");
        Server({"354 go ahead"});
        ClientLines({"Subject: " + subject, "", "Body", "."});
        Server({final});
    }
    template <typename T>
    static void SetValue(const char* key, const char* name, T value) {
        CRegistryKey settings;
        ASSERT_TRUE(settings.OpenCarefully(HKEY_CURRENT_USER, key));
        ASSERT_TRUE(settings.SetValue(name, value));
    }
    // A registered account with an outgoing server; `tls` empty leaves "TLS" unset.
    static void AddAccount(const std::string& user, const std::string& smtpServer, int port,
                           const char* tls = "none") {
        const std::string key =
            "Software\\Brevant\\Quillon\\Clients\\Direct client\\" + user + "@pop.example.org";
        SetValue(key.c_str(), "ServerName", "pop.example.org");
        SetValue(key.c_str(), "UserName", user.c_str());
        SetValue(key.c_str(), "SMTPServer", smtpServer.c_str());
        SetValue(key.c_str(), "SMTPServerPort", port);
        CRegistryKey account;
        ASSERT_TRUE(account.OpenCarefully(HKEY_CURRENT_USER, key.c_str()));
        if (*tls != '\0')
            ASSERT_TRUE(account.SetValue("TLS", tls));
        else
            account.DeleteValue("TLS");
    }
    CNonFriendCollection* Collection() const { return m_session->Collection(); }

    std::unique_ptr<CTestHome> m_home;
    std::unique_ptr<testpeers::CRelayListener> m_listener;
    std::unique_ptr<CRecordingHost> m_host;
    std::unique_ptr<CSMTPSession> m_session;
};

TEST_F(SMTPSessionTest, GreetsAndRefusesLinesOutOfOrder) {
    EXPECT_EQ(m_host->client, std::vector<std::string>{"220 localhost Quillon SMTP proxy server ready"});
    EXPECT_EQ(Client("RCPT TO:<bob@example.net>"), "503 Bad sequence of commands\n");
    EXPECT_EQ(Client("DATA"), "503 Bad sequence of commands\n");
    // MAIL needs the client's EHLO first.
    EXPECT_EQ(Client("MAIL FROM:<anna@example.org>"), "503 Bad sequence of commands\n");
    Client("CONNECT 127.0.0.1:25 Mail client");
    EXPECT_EQ(m_host->connected, "relayed 127.0.0.1:25 Mail client");
    EXPECT_EQ(m_session->GetState(), ESMTPState::kConnecting);
    EXPECT_EQ(Client("EHLO me"), "503 Bad sequence of commands\n");
    EXPECT_TRUE(m_host->server.empty());
    m_session->OnServerConnect(10061);
    EXPECT_EQ(m_host->client.back(), "10061");
    EXPECT_EQ(m_session->GetState(), ESMTPState::kWaitConnect);
    EXPECT_TRUE(m_host->Logged("State change 0->1"));
    EXPECT_TRUE(m_host->Logged("State change 1->0"));
}

TEST_F(SMTPSessionTest, MessageLosesOwnHeadersAndIsRecorded) {
    Connect();
    EXPECT_EQ(m_host->client.back(), "220 server ready");
    Client("MAIL FROM:<Anna@Example.org> SIZE=120 BODY=8BITMIME");
    Server({"250 OK"});
    EXPECT_EQ(m_session->Message()->GetSender(), "Anna@Example.org");
    Client("RCPT TO:<bob@example.net>");
    Server({"250 OK"});
    Client("RCPT TO: <bob@example.net> NOTIFY=NEVER");
    Server({"250 OK"});
    // A refused addressee leaves the message open.
    Client("RCPT TO:<nobody@example.net>");
    Server({"550 no such user"});
    EXPECT_EQ(m_session->GetState(), ESMTPState::kRcpt);
    ASSERT_NE(m_session->Message(), nullptr);
    Client("DATA");
    EXPECT_EQ(m_session->GetState(), ESMTPState::kData);
    Server({"354 go ahead"});
    const size_t first = m_host->server.size();
    ClientLines({"X-Quillon-Analysis: passed", "\tfolded part", "From: Anna <anna@example.org>",
            "Subject: Hello", "  world", "x-quillon-note: second", "To: bob@example.net",
            " continued", "", "X-Quillon-In-Body: stays", " indented body", "."});
    EXPECT_EQ(std::vector<std::string>(m_host->server.begin() + static_cast<long>(first),
                                       m_host->server.end()),
              (std::vector<std::string>{"From: Anna <anna@example.org>", "Subject: Hello",
                                        "  world", "To: bob@example.net", " continued", "",
                                        "X-Quillon-In-Body: stays", " indented body", "."}));
    CSMTPMessage* message = m_session->Message();
    ASSERT_NE(message, nullptr);
    message->AddRef();
    EXPECT_EQ(message->GetSubject(), "Hello world");
    Server({"250 queued as 12"});
    EXPECT_EQ(m_session->GetState(), ESMTPState::kIdle);
    EXPECT_EQ(m_session->Message(), nullptr);
    ASSERT_NE(Collection(), nullptr);
    ASSERT_EQ(Collection()->GetCount(), 1);
    CSMTPSender* bob = Collection()->Find("BOB@example.net");
    ASSERT_NE(bob, nullptr);
    ASSERT_EQ(bob->GetMessageCount(), 1);
    EXPECT_EQ(bob->GetMessage(0), message);
    CRefCount::DoRelease(message);
    for (const char* text : {"Message sender: '<Anna@Example.org>'",
                             "Message addressee: '<bob@example.net>'",
                             "Quillon header: 'X-Quillon-Analysis: passed'",
                             "Quillon header: '\tfolded part'", "Message subject: '  world'",
                             "Message finished", "Sent mail to non-friend 'bob@example.net'",
                             "State change 6->7", "State change 7->9", "State change 8->9",
                             "State change 7->10", "State change 10->2"})
        EXPECT_TRUE(m_host->Logged(text)) << text;
}

TEST_F(SMTPSessionTest, RepeatedAddresseeFriendsAndRefusedMessages) {
    CFriend::CreateFriendManually("carol@example.net", nullptr, AS_MANUAL, nullptr);
    Connect();
    SendMessage({"bob@example.net", "carol@example.net"}, "one");
    SendMessage({"Bob@Example.net"}, "two");
    // Refused after its end: nothing learnt from it.
    SendMessage({"dave@example.net"}, "three", "554 rejected");
    EXPECT_EQ(m_session->GetState(), ESMTPState::kIdle);
    ASSERT_NE(Collection(), nullptr);
    EXPECT_EQ(Collection()->GetCount(), 1);
    EXPECT_EQ(Collection()->Find("carol@example.net"), nullptr);
    EXPECT_EQ(Collection()->Find("dave@example.net"), nullptr);
    const CSMTPSender* bob = Collection()->Find("bob@example.net");
    ASSERT_NE(bob, nullptr);
    ASSERT_EQ(bob->GetMessageCount(), 2);
    EXPECT_EQ(bob->GetMessage(1)->GetSubject(), "two");
    // RSET closes the open message; a refused MAIL opens none.
    Client("MAIL FROM:<anna@example.org>");
    Client("RSET");
    EXPECT_EQ(m_session->GetState(), ESMTPState::kCommand);
    Server({"250 reset"});
    Client("MAIL FROM:<anna@example.org>");
    Server({"451 try later"});
    EXPECT_EQ(m_session->Message(), nullptr);
    // Without AutoAddSender the sender never becomes a friend.
    EXPECT_EQ(CFriend::FindByAddress("anna@example.org"), nullptr);
}

TEST_F(SMTPSessionTest, SessionEndPostsEndThenCollectionOnce) {
    m_session->OnSessionEnd(0);
    EXPECT_EQ(m_host->numbers, (std::vector<std::pair<int, int>>{{MN_END_CONNECTION, 0}}));
    EXPECT_TRUE(m_host->objects.empty());
    NewSession();
    Connect();
    SendMessage({"bob@example.net"}, "one");
    CNonFriendCollection* collection = Collection();
    m_session->OnSessionEnd(54);
    m_session->OnSessionEnd(54);
    EXPECT_EQ(m_host->numbers, (std::vector<std::pair<int, int>>{{MN_END_CONNECTION, 54}}));
    ASSERT_EQ(m_host->objects.size(), 1u);
    EXPECT_EQ(m_host->objects[0].first, static_cast<UINT>(MN_SMTP_SCRAPED));
    EXPECT_EQ(m_host->objects[0].second, collection);
    EXPECT_EQ(Collection(), nullptr);
}

TEST_F(SMTPSessionTest, AutoAddSenderRecordsSenderAsSelf) {
    SetValue("Software\\Brevant\\Quillon\\Settings\\SMTPProxy", "AutoAddSender", 1);
    CFriend::CreateFriendManually("known@example.org", nullptr, AS_MANUAL, nullptr);
    NewSession();
    ASSERT_TRUE(m_session->AutoAddSender());
    Connect();
    SendMessage({"bob@example.net"}, "one");
    const CFriend* anna = CFriend::FindByAddress("anna@example.org");
    ASSERT_NE(anna, nullptr);
    EXPECT_EQ(anna->GetSourceQuality(), AS_ME);
    EXPECT_TRUE(anna->IsAccepted());
    EXPECT_TRUE(m_host->Logged("Add 'anna@example.org' as self"));
    // Already one of the user's own: left alone.
    m_host->log.clear();
    SendMessage({"bob@example.net"}, "two");
    EXPECT_FALSE(m_host->Logged("Add 'anna@example.org' as self"));
    EXPECT_EQ(CFriend::FindByAddress("anna@example.org")->GetSourceCount(), 1);
    // A friend of another kind gets the stronger source.
    SendMessage({"bob@example.net"}, "three", "250 OK", "known@example.org");
    EXPECT_EQ(CFriend::FindByAddress("known@example.org")->GetSourceQuality(), AS_ME);
}

// Text a client sends before the server's 354 is neither lost nor sent early.
TEST_F(SMTPSessionTest, TextBeforeGoAheadWaitsForIt) {
    Connect();
    Client("MAIL FROM:<anna@example.org>");
    Server({"250 OK"});
    Client("RCPT TO:<bob@example.net>");
    Server({"250 OK"});
    ClientLines({"DATA", "X-Quillon-Analysis: held", "Subject: early", "", "text", "."});
    EXPECT_EQ(m_host->server.back(), "DATA");
    EXPECT_EQ(m_session->LogCategory(DIR_FROM_CLIENT), LOG_DATA_FROM_CLIENT);
    Server({"354 go ahead"});
    EXPECT_EQ(std::vector<std::string>(m_host->server.end() - 5, m_host->server.end()),
              (std::vector<std::string>{"DATA", "Subject: early", "", "text", "."}));
    EXPECT_EQ(m_session->GetState(), ESMTPState::kBody);
    EXPECT_EQ(m_session->LogCategory(DIR_TO_SERVER), LOG_DATA_TO_SERVER);
    Server({"250 OK"});
    EXPECT_EQ(m_session->LogCategory(DIR_TO_SERVER), LOG_TO_SERVER);
    // Refused DATA: the early text is dropped.
    Client("MAIL FROM:<anna@example.org>");
    Server({"250 OK"});
    Client("RCPT TO:<bob@example.net>");
    Server({"250 OK"});
    const size_t sent = m_host->server.size();
    ClientLines({"DATA", "Subject: never"});
    Server({"554 no", "250 OK"});
    EXPECT_EQ(m_host->server.size(), sent + 1);
}

// However much of the text comes before the server's 354, the server gets the same.
TEST_F(SMTPSessionTest, MessageTextSplitAtEveryPointAroundTheGoAhead) {
    const std::vector<std::string> text = {"X-Quillon-Analysis: held", " folded", "Subject: Hello",
                                           "  world", "", "body", "."};
    const std::vector<std::string> expected = {"DATA", "Subject: Hello", "  world", "", "body", "."};
    for (size_t split = 0; split <= text.size(); ++split) {
        SCOPED_TRACE(split);
        NewSession();
        Connect();
        Client("MAIL FROM:<anna@example.org>");
        Server({"250 OK"});
        Client("RCPT TO:<bob@example.net>");
        Server({"250 OK"});
        Client("DATA");
        const size_t first = m_host->server.size() - 1;
        ClientLines({text.begin(), text.begin() + static_cast<long>(split)});
        Server({"354 go ahead"});
        ClientLines({text.begin() + static_cast<long>(split), text.end()});
        ASSERT_NE(m_session->Message(), nullptr);
        EXPECT_EQ(m_session->Message()->GetSubject(), "Hello world");
        Server({"250 queued"});
        EXPECT_EQ(std::vector<std::string>(m_host->server.begin() + static_cast<long>(first),
                                           m_host->server.end()),
                  expected);
        ASSERT_NE(Collection(), nullptr);
        EXPECT_NE(Collection()->Find("bob@example.net"), nullptr);
    }
}

// The server's extensions that would take the conversation past the session are not
// offered to the client, and the reply still ends with a final line.
TEST_F(SMTPSessionTest, RelayedEhloReplyWithoutWithheldExtensions) {
    Connect();
    Client("EHLO client.example");
    Server({"250-mail.example.org", "250-PIPELINING", "250-SIZE 1000", "250-STARTTLS",
            "250 CHUNKING"});
    EXPECT_EQ(std::vector<std::string>(m_host->client.end() - 2, m_host->client.end()),
              (std::vector<std::string>{"250-mail.example.org", "250 SIZE 1000"}));
    EXPECT_EQ(m_session->GetState(), ESMTPState::kIdle);
}

// ---------------------------------------------------------------------------------------
// Named-host mode.

struct SAuthCase {
    const char* name;
    std::vector<std::string> client;  // AUTH and any response to the proxy's challenge
    std::string serverAuth;           // the AUTH line the server gets
    std::vector<std::string> held;    // what the proxy answers to the server's challenges
};

std::vector<SAuthCase> AuthCases() {
    const std::string plain = B64(std::string("\0anna/127.0.0.1:2525\0secret", 27));
    const std::string plainOut = B64(std::string("\0anna\0secret", 12));
    const std::string xoauth = "user=anna/127.0.0.1:2525\x01" "auth=Bearer tok\x01\x01";
    const std::string bearer =
        "n,a=anna/127.0.0.1:2525,\x01host=localhost\x01port=2025\x01" "auth=Bearer tok\x01\x01";
    // A token that makes the AUTH line longer than RFC 4954 allows waits for the
    // server's challenge.
    const std::string longToken = "user=anna\x01" "auth=Bearer " + std::string(500, 't') + "\x01\x01";
    const std::string bearerOut =
        "n,a=anna,\x01host=127.0.0.1\x01port=2525\x01" "auth=Bearer tok\x01\x01";
    return {
        {"PLAIN initial", {"AUTH PLAIN " + plain}, "AUTH PLAIN " + plainOut, {}},
        {"PLAIN after challenge", {"AUTH PLAIN", plain}, "AUTH PLAIN " + plainOut, {}},
        {"LOGIN", {"AUTH LOGIN", B64("anna/127.0.0.1:2525")}, "AUTH LOGIN", {B64("anna")}},
        {"XOAUTH2", {"AUTH XOAUTH2 " + B64(xoauth)},
         "AUTH XOAUTH2 " + B64("user=anna\x01" "auth=Bearer tok\x01\x01"), {}},
        {"OAUTHBEARER", {"AUTH OAUTHBEARER " + B64(bearer)}, "AUTH OAUTHBEARER " + B64(bearerOut),
         {}},
        {"XOAUTH2 long token",
         {"AUTH XOAUTH2 " + B64("user=anna/127.0.0.1:2525" + longToken.substr(9))},
         "AUTH XOAUTH2", {B64(longToken)}},
    };
}

TEST_F(SMTPSessionTest, UnofferedStartTLSAndBdatAreRefusedNotRelayed) {
    Connect();
    const size_t relayed = m_host->server.size();
    EXPECT_EQ(Client("STARTTLS"),
              "502 5.5.1 STARTTLS is not offered: the proxy must see the message text\n");
    Client("MAIL FROM:<anna@example.org>");
    Server({"250 OK"});
    EXPECT_EQ(Client("bdat 12 LAST"),
              "502 5.5.1 BDAT is not offered: the proxy must see the message text\n");
    EXPECT_EQ(m_host->server.size(), relayed + 1);
    EXPECT_EQ(m_session->GetState(), ESMTPState::kMail);
}

TEST_F(SMTPSessionTest, RefusalDuringTextKeepsLinesTextUpToTheEnd) {
    Connect();
    Client("MAIL FROM:<anna@example.org>");
    Server({"250 OK"});
    Client("RCPT TO:<bob@example.net>");
    Server({"250 OK"});
    Client("DATA");
    Server({"354 go ahead"});
    ClientLines({"Subject: refused"});
    Server({"554 5.7.1 no thanks"});
    const size_t mark = m_host->server.size();
    ClientLines({"X-Quillon-Analysis: spam", "RCPT TO:<eve@example.net>", "", "QUIT", "."});
    EXPECT_EQ(std::vector<std::string>(m_host->server.begin() + static_cast<long>(mark),
                                       m_host->server.end()),
              (std::vector<std::string>{"RCPT TO:<eve@example.net>", "", "QUIT", "."}));
    EXPECT_EQ(m_session->GetState(), ESMTPState::kIdle);
    EXPECT_TRUE(Collection() == nullptr || Collection()->Find("bob@example.net") == nullptr);
}

TEST_F(SMTPSessionTest, AuthNamesServerAndReachesItOverStartTLS) {
    for (const SAuthCase& test : AuthCases()) {
        SCOPED_TRACE(test.name);
        NewSession();
        EXPECT_EQ(Client("EHLO client.example"),
                  "250-localhost\n250-AUTH PLAIN LOGIN XOAUTH2 OAUTHBEARER\n250-8BITMIME\n"
                  "250-SIZE\n250 ENHANCEDSTATUSCODES\n");
        for (const std::string& line : test.client) m_session->OnClientLine(line);
        EXPECT_EQ(m_host->connected, "127.0.0.1:2525");
        EXPECT_EQ(m_session->GetState(), ESMTPState::kConnecting);
        m_session->OnServerConnect(0);
        Server({"220 mail ready"});
        Server({"250-mail.example.org", "250-STARTTLS", "250 AUTH PLAIN LOGIN"});
        Server({"220 go ahead"});
        // Nothing of the log-in before TLS.
        EXPECT_EQ(m_host->server, (std::vector<std::string>{"EHLO client.example", "STARTTLS"}));
        EXPECT_EQ(m_host->tlsStarts, std::vector<std::string>{"127.0.0.1  verify"});
        m_session->OnServerSecured("");
        Server({"250-mail.example.org", "250 AUTH PLAIN LOGIN"});
        ASSERT_EQ(m_host->server.size(), 4u);
        EXPECT_EQ(m_host->server[3], test.serverAuth);
        for (const std::string& answer : test.held) {
            Server({"334 VXNlcm5hbWU6"});
            EXPECT_EQ(m_host->server.back(), answer);
        }
        if (test.serverAuth == "AUTH LOGIN") {  // the password challenge goes to the client
            Server({"334 UGFzc3dvcmQ6"});
            EXPECT_EQ(m_host->client.back(), "334 UGFzc3dvcmQ6");
            m_session->OnClientLine(B64("secret"));
            EXPECT_EQ(m_host->server.back(), B64("secret"));
        }
        Server({"235 2.7.0 accepted"});
        EXPECT_EQ(m_host->client.back(), "235 2.7.0 accepted");
        EXPECT_EQ(m_session->GetState(), ESMTPState::kIdle);
        // The relay goes on as for any server.
        Client("MAIL FROM:<anna@example.org>");
        EXPECT_EQ(m_host->server.back(), "MAIL FROM:<anna@example.org>");
        EXPECT_EQ(m_session->GetState(), ESMTPState::kMail);
    }
}

// After the server refuses the log-in, the next AUTH is rewritten as the first one was,
// for the same server only; one that names no server is for it too.
TEST_F(SMTPSessionTest, AuthAgainAfterARefusalIsRewrittenForTheSameServer) {
    NewSession();
    Client("EHLO client.example");
    Client("AUTH PLAIN " + B64(std::string("\0anna/127.0.0.1:2525\0wrong", 26)));
    m_session->OnServerConnect(0);
    Server({"220 mail ready"});
    Server({"250-mail.example.org", "250-STARTTLS", "250 AUTH PLAIN LOGIN"});
    Server({"220 go ahead"});
    m_session->OnServerSecured("");
    Server({"250-mail.example.org", "250 AUTH PLAIN LOGIN"});
    Server({"535 5.7.8 bad credentials"});
    EXPECT_EQ(m_host->client.back(), "535 5.7.8 bad credentials");
    const size_t sent = m_host->server.size();
    EXPECT_EQ(Client("AUTH PLAIN " + B64(std::string("\0anna/other.example\0secret", 26))),
              "504 5.5.4 Connected to 127.0.0.1:2525; log in there or reconnect\n");
    EXPECT_EQ(m_host->server.size(), sent);
    Client("AUTH LOGIN");
    EXPECT_EQ(m_host->server.size(), sent);
    m_session->OnClientLine(B64("anna/127.0.0.1:2525"));
    EXPECT_EQ(m_host->server.back(), "AUTH LOGIN");
    Server({"334 VXNlcm5hbWU6"});
    EXPECT_EQ(m_host->server.back(), B64("anna"));
    Server({"334 UGFzc3dvcmQ6"});
    m_session->OnClientLine(B64("secret"));
    EXPECT_EQ(m_host->server.back(), B64("secret"));
    Server({"535 5.7.8 bad credentials"});
    // A try that names no server is for the connected one; an empty name is refused.
    EXPECT_EQ(Client("AUTH PLAIN " + B64(std::string("\0\0secret", 8))),
              "501 5.5.2 Malformed SASL response\n");
    EXPECT_EQ(m_host->server.size(), sent + 3);
    Client("AUTH PLAIN " + B64(std::string("\0anna\0secret", 12)));
    EXPECT_EQ(m_host->server.back(), "AUTH PLAIN " + B64(std::string("\0anna\0secret", 12)));
    Server({"235 2.7.0 accepted"});
    EXPECT_EQ(m_host->client.back(), "235 2.7.0 accepted");
    EXPECT_EQ(m_session->GetState(), ESMTPState::kIdle);
}

struct STLSCase {
    const char* name;
    const char* accountTLS;     // the account's "TLS", "" for none given, null: no account
    int port;                   // in the AUTH user name
    std::vector<std::string> ehlo;  // the server's EHLO reply
    std::string startTLSReply;  // "" when STARTTLS is not expected
    std::string tlsError;       // the handshake's outcome
    std::string clientReply;    // the client's reply when refused, "" when AUTH goes out
};

TEST_F(SMTPSessionTest, TLSModeDecidesAndFailuresAreRefused) {
    const std::vector<STLSCase> cases = {
        {"no STARTTLS offered", "", 587, {"250 mail"}, "", "",
         "454 4.7.0 Server 127.0.0.1 does not offer STARTTLS; not logging in without TLS"},
        {"STARTTLS refused", "", 587, {"250-mail", "250 STARTTLS"}, "454 not now", "",
         "454 4.7.0 Server 127.0.0.1 refused STARTTLS: 454 not now"},
        {"certificate refused", "stls", 587, {"250-mail", "250 STARTTLS"}, "220 go", "bad name",
         "454 4.7.0 TLS with 127.0.0.1 failed: bad name"},
        {"mode none", "none", 587, {"250-mail", "250 STARTTLS"}, "", "", ""},
        {"implicit TLS on 465", "", 465, {"250 mail"}, "", "", ""},
        {"no account record", nullptr, 587, {"250 mail"}, "", "",
         "454 4.7.0 Server 127.0.0.1 does not offer STARTTLS; not logging in without TLS"},
    };
    // The POP3 servers' mode never lets SMTP credentials go in clear.
    SetValue("Software\\Brevant\\Quillon\\Settings\\POP3Proxy", "ServerTLS", "none");
    for (const STLSCase& test : cases) {
        SCOPED_TRACE(test.name);
        ClearAccountTable(TRUE);
        if (test.accountTLS != nullptr)
            AddAccount("anna", "127.0.0.1", test.port, test.accountTLS);
        NewSession();
        m_host->tlsError = test.tlsError;
        Client("EHLO client.example");
        const std::string port = std::to_string(test.port);
        Client("AUTH PLAIN " + B64(std::string("\0anna/127.0.0.1:", 16) + port +
                                   std::string("\0pw", 3)));
        m_session->OnServerConnect(0);
        if (test.port == 465) {
            ASSERT_EQ(m_host->tlsStarts.size(), 1u);
            m_session->OnServerSecured("");
        }
        Server({"220 mail ready"});
        Server(test.ehlo);
        if (!test.startTLSReply.empty()) {
            EXPECT_EQ(m_host->server.back(), "STARTTLS");
            Server({test.startTLSReply});
            if (!m_host->tlsStarts.empty())
                m_session->OnServerSecured(test.tlsError);
        }
        const bool refused = !test.clientReply.empty();
        EXPECT_EQ(m_host->client.back(),
                  refused ? test.clientReply : std::string("250 ENHANCEDSTATUSCODES"));
        EXPECT_EQ(m_host->serverClosed, refused);
        const bool authSent = !m_host->server.empty() &&
                              m_host->server.back().compare(0, 10, "AUTH PLAIN") == 0;
        EXPECT_EQ(authSent, !refused);
        EXPECT_EQ(m_session->GetState(), refused ? ESMTPState::kWaitConnect : ESMTPState::kCommand);
    }
}

TEST_F(SMTPSessionTest, AuthRefusalsOfTheProxy) {
    Client("EHLO me");
    EXPECT_EQ(Client("AUTH CRAM-MD5"), "504 5.5.4 Unsupported SASL mechanism CRAM-MD5\n");
    EXPECT_EQ(Client("AUTH PLAIN " + B64(std::string("\0anna\0pw", 8))),
              "535 5.7.8 Log in as user/host[:port] to name the server\n");
    EXPECT_EQ(Client("AUTH PLAIN !!"), "501 5.5.2 Malformed SASL response\n");
    EXPECT_EQ(Client("AUTH LOGIN"), "334 VXNlcm5hbWU6\n");
    EXPECT_EQ(Client("*"), "501 5.0.0 Authentication cancelled\n");
    EXPECT_EQ(Client("AUTH LOGIN " + B64("anna/127.0.0.1:99999")),
              "501 5.5.4 The user name user/host[:port] names no valid server\n");
    m_host->connectResult = CTS_FAILED;
    EXPECT_EQ(Client("AUTH LOGIN " + B64("anna/127.0.0.1")),
              "451 4.4.1 Cannot connect to 127.0.0.1:587\n");
    EXPECT_EQ(m_session->GetState(), ESMTPState::kWaitConnect);
    EXPECT_TRUE(m_host->server.empty());
    // A server that never answers: the set-up gives up after a minute.
    m_host->connectResult = CTS_PENDING;
    Client("AUTH LOGIN " + B64("anna/127.0.0.1"));
    EXPECT_TRUE(m_host->clockRunning);
    m_session->OnServerConnect(0);
    for (int tick = 1; tick < CSMTPUpstream::kSetupSeconds; ++tick) m_session->OnClock();
    Server({"220-still"});
    for (int tick = 1; tick < CSMTPUpstream::kSetupSeconds; ++tick) m_session->OnClock();
    EXPECT_EQ(m_session->GetState(), ESMTPState::kConnecting);
    m_session->OnClock();
    EXPECT_EQ(m_host->client.back(), "451 4.4.2 127.0.0.1 did not answer in 60 seconds");
    EXPECT_FALSE(m_host->clockRunning);
    EXPECT_EQ(m_session->GetState(), ESMTPState::kWaitConnect);
    EXPECT_EQ(Client("QUIT"), "221 2.0.0 localhost closing connection\n");
    EXPECT_TRUE(m_host->ended);
}

// Without AUTH the envelope sender's account names the server.
TEST_F(SMTPSessionTest, MailWithoutAuthGoesToTheSendersAccount) {
    AddAccount("anna@example.org", "smtp.example.org", 2587);
    AddAccount("bert", "smtp.other.net", 25);
    Client("EHLO me");
    EXPECT_EQ(Client("MAIL FROM:<carl@elsewhere.com>"),
              "530 5.7.0 No account to send from <carl@elsewhere.com>: log in as "
              "user/host[:port] or register the account's SMTP server\n");
    EXPECT_TRUE(m_host->connected.empty());
    m_host->connectResult = CTS_CONNECTED;
    EXPECT_EQ(Client("MAIL FROM:<Anna@Example.org> SIZE=10 BODY=8BITMIME"), "");
    EXPECT_EQ(m_host->connected, "smtp.example.org:2587");
    Server({"220-mail ready", "220 really"});
    // The server offers no SIZE: the parameter the proxy's EHLO allowed is dropped.
    Server({"250-smtp.example.org", "250 8BITMIME"});
    EXPECT_EQ(m_host->server,
              (std::vector<std::string>{"EHLO me", "MAIL FROM:<Anna@Example.org> BODY=8BITMIME"}));
    EXPECT_EQ(m_session->GetState(), ESMTPState::kMail);
    Server({"250 OK"});
    EXPECT_EQ(m_host->client.back(), "250 OK");
    EXPECT_EQ(m_session->Message()->GetSender(), "Anna@Example.org");
    // Its local part and a server in its domain; then the only account with a server.
    NewSession();
    Client("EHLO me");
    Client("MAIL FROM:<bert@other.net>");
    EXPECT_EQ(m_host->connected, "smtp.other.net:25");
    ClearAccountTable(TRUE);
    CRegistryKey clients;
    ASSERT_TRUE(clients.OpenCarefully(HKEY_CURRENT_USER,
                                      "Software\\Brevant\\Quillon\\Clients\\Direct client"));
    ASSERT_TRUE(clients.DeleteKey("anna@example.org@pop.example.org"));
    NewSession();
    Client("EHLO me");
    Client("MAIL FROM:<whoever@example.com>");
    EXPECT_EQ(m_host->connected, "smtp.other.net:25");
}

// A named host that could not be reached leaves no trace: a relayed destination
// connected afterwards gets the client's AUTH and MAIL as they are.
TEST_F(SMTPSessionTest, FailedNamedHostLeavesALaterRelayAlone) {
    Client("EHLO client.example");
    m_host->connectResult = CTS_FAILED;
    EXPECT_EQ(Client("AUTH LOGIN " + B64("anna/127.0.0.1")),
              "451 4.4.1 Cannot connect to 127.0.0.1:587\n");
    m_host->connectResult = CTS_PENDING;
    Connect();
    const std::string auth = "AUTH PLAIN " + B64(std::string("\0anna/other.example\0pw", 22));
    EXPECT_EQ(Client(auth), "");
    EXPECT_EQ(m_host->server.back(), auth);
    Server({"235 2.7.0 accepted"});
    Client("MAIL FROM:<anna@example.org> SIZE=10 BODY=8BITMIME");
    EXPECT_EQ(m_host->server.back(), "MAIL FROM:<anna@example.org> SIZE=10 BODY=8BITMIME");
}

// ---------------------------------------------------------------------------------------
// The message model.

TEST_F(SMTPSessionTest, MessageModelCleansAddressesAndJoinsSubjects) {
    for (const auto& [raw, clean] : std::vector<std::pair<std::string, std::string>>{
             {"  <a@b.c>  ", "a@b.c"}, {"<a@b.c", "a@b.c"}, {"< a@b.c >", "a@b.c"}, {"<>", ""}}) {
        std::string text = raw;
        CSMTPMessage::CleanAddress(text);
        EXPECT_EQ(text, clean) << raw;
    }
    CSMTPMessage message;
    message.AddToSubject("SUBJECT:   ");
    EXPECT_FALSE(message.HasSubject());
    message.AddToSubject("subject: Re: one ");
    message.AddToSubject("\t two");
    EXPECT_EQ(message.GetSubject(), "Re: one two");
    for (const char* address : {"<x@y.z>", "x@y.z", "X@y.z"}) message.AddAddressee(address);
    EXPECT_EQ(message.GetAddresseeCount(), 2u);
}

}  // namespace
