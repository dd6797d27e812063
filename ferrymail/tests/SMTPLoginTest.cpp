// Reaching the server for an SMTP session, driven step by step without the session: the
// test does what the session would on each step and plays the server. The account table
// and the settings are the real ones in a private home.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "SMTPRecordingHost.h"
#include "TestHome.h"
#include "ferrymail/accounts/AccountTable.h"
#include "kinbook/foundation/RegistryKey.h"
#include "kinbook/friends/Friends.h"
#include "proxy/SMTPLogin.h"

namespace {

using EStep = CSMTPLogin::EStep;

class SMTPLoginTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_home = std::make_unique<CTestHome>();
        KinbookShutdown();
        ClearAccountTable(TRUE);
        m_host = std::make_unique<CRecordingHost>(nullptr);
        m_login = std::make_unique<CSMTPLogin>(*m_host, *m_host);
    }
    void TearDown() override {
        m_login.reset();
        m_host.reset();
        ClearAccountTable(TRUE);
        m_home.reset();
    }
    EStep Command(const std::string& line) { return m_login->OnCommand(SSMTPCommand::Parse(line)); }
    // A server line that the log-in must take; its step.
    EStep Server(const std::string& line) {
        EStep step = EStep::kNone;
        EXPECT_TRUE(m_login->OnServerLine(line, step)) << line;
        return step;
    }
    static void AddAccountWithoutTLS(const std::string& user, const std::string& server, int port) {
        const std::string key =
            "Software\\Brevant\\Quillon\\Clients\\Direct client\\" + user + "@pop.example.org";
        CRegistryKey account;
        ASSERT_TRUE(account.OpenCarefully(HKEY_CURRENT_USER, key.c_str()));
        ASSERT_TRUE(account.SetValue("ServerName", "pop.example.org"));
        ASSERT_TRUE(account.SetValue("UserName", user.c_str()));
        ASSERT_TRUE(account.SetValue("SMTPServer", server.c_str()));
        ASSERT_TRUE(account.SetValue("SMTPServerPort", port));
        ASSERT_TRUE(account.SetValue("TLS", "none"));
    }

    std::unique_ptr<CTestHome> m_home;
    std::unique_ptr<CRecordingHost> m_host;
    std::unique_ptr<CSMTPLogin> m_login;
};

// The session changes its state between the two halves of a step, so nothing of the
// second half may happen before it is asked for.
TEST_F(SMTPLoginTest, AuthReachesTheServerOnlyWhenTheSessionAsks) {
    EXPECT_EQ(Command("EHLO client.example"), EStep::kNone);
    EXPECT_EQ(m_host->client.size(), 5u);
    const std::string plain = std::string("\0anna/127.0.0.1:465\0pw", 22);
    EXPECT_EQ(Command("AUTH PLAIN " + CSASLRelay::EncodeBase64(plain)), EStep::kReachNamed);
    EXPECT_TRUE(m_host->connected.empty());
    EXPECT_FALSE(m_host->clockRunning);
    EXPECT_EQ(m_login->ReachNamed(), EStep::kNone);
    EXPECT_EQ(m_host->connected, "127.0.0.1:465");
    EXPECT_TRUE(m_login->IsReaching());
    EXPECT_TRUE(m_host->clockRunning);
    // Port 465: TLS from the first byte, then the greeting and EHLO.
    EXPECT_EQ(m_login->OnConnect(0), EStep::kNone);
    EXPECT_EQ(m_host->tlsStarts.size(), 1u);
    EXPECT_EQ(m_login->OnSecured(""), EStep::kNone);
    EXPECT_EQ(Server("220 mail ready"), EStep::kNone);
    EXPECT_EQ(Server("250-mail"), EStep::kNone);
    EXPECT_EQ(Server("250 AUTH PLAIN"), EStep::kLogIn);
    EXPECT_EQ(m_host->server, std::vector<std::string>{"EHLO client.example"});
    EXPECT_FALSE(m_host->clockRunning);
    m_login->SendAuth();
    EXPECT_EQ(m_host->server.back(),
              "AUTH PLAIN " + CSASLRelay::EncodeBase64(std::string("\0anna\0pw", 8)));
    // The server's final reply is the session's to relay.
    EStep step = EStep::kNone;
    EXPECT_FALSE(m_login->OnServerLine("235 2.7.0 accepted", step));
    EXPECT_FALSE(m_login->TakesClientLine());
    EXPECT_TRUE(m_login->IsNamedHost());
    EXPECT_FALSE(m_login->IsReaching());
}

TEST_F(SMTPLoginTest, HeldMailIsHandedOverOnceWithoutUnofferedParameters) {
    AddAccountWithoutTLS("anna@example.org", "smtp.example.org", 2587);
    EXPECT_EQ(Command("MAIL FROM:<anna@example.org>"), EStep::kNone);
    EXPECT_EQ(m_host->client.back(), "503 Bad sequence of commands");
    EXPECT_EQ(Command("HELO me"), EStep::kNone);
    EXPECT_EQ(m_host->client.back(), "250 localhost");
    const std::string mail = "MAIL FROM:<Anna@Example.org> SIZE=10 BODY=8BITMIME";
    EXPECT_EQ(Command(mail), EStep::kReachNamed);
    m_host->connectResult = CTS_CONNECTED;
    EXPECT_EQ(m_login->ReachNamed(), EStep::kNone);
    EXPECT_EQ(m_host->connected, "smtp.example.org:2587");
    EXPECT_EQ(Server("220 hello"), EStep::kNone);
    EXPECT_EQ(Server("250-smtp.example.org"), EStep::kNone);
    EXPECT_EQ(Server("250 8BITMIME"), EStep::kSendMail);
    EXPECT_TRUE(m_host->tlsStarts.empty());
    EXPECT_EQ(m_login->TakeHeldMail(), mail);
    EXPECT_EQ(m_login->TakeHeldMail(), "");
    EXPECT_EQ(m_login->MailForServer(mail), "MAIL FROM:<Anna@Example.org> BODY=8BITMIME");
}

TEST_F(SMTPLoginTest, FailedNamedHostClosesTheServerAndLeavesNamedHostMode) {
    Command("EHLO me");
    EXPECT_EQ(Command("AUTH LOGIN " + CSASLRelay::EncodeBase64("anna/127.0.0.1")),
              EStep::kReachNamed);
    EXPECT_EQ(m_login->ReachNamed(), EStep::kNone);
    EXPECT_TRUE(m_login->IsNamedHost());
    EXPECT_EQ(m_login->OnConnect(10061), EStep::kFailed);
    EXPECT_EQ(m_host->client.back(), "451 4.4.1 Cannot connect to 127.0.0.1:587 (error 10061)");
    EXPECT_TRUE(m_host->serverClosed);
    EXPECT_FALSE(m_host->clockRunning);
    EXPECT_FALSE(m_login->IsNamedHost());
    EXPECT_FALSE(m_login->IsReaching());
    EXPECT_FALSE(m_login->TakesClientLine());
    EXPECT_EQ(m_login->MailForServer("MAIL FROM:<a@b> SIZE=1"), "MAIL FROM:<a@b> SIZE=1");
    // The clock no longer counts for it.
    EXPECT_EQ(m_login->OnClock(), EStep::kNone);
}

TEST_F(SMTPLoginTest, RelayedConnectTellsTheClientItsOutcome) {
    struct SCase {
        int connectResult;
        EStep first;
        int errorCode;  // of the pending connect's end
        EStep second;
        std::string client;
    };
    const std::vector<SCase> cases = {
        {CTS_CONNECTED, EStep::kConnected, 0, EStep::kNone, "0"},
        {CTS_PENDING, EStep::kConnecting, 0, EStep::kConnected, "0"},
        {CTS_PENDING, EStep::kConnecting, 10061, EStep::kFailed, "10061"},
        {CTS_FAILED, EStep::kNone, 0, EStep::kNone, ""},
    };
    for (const SCase& test : cases) {
        SCOPED_TRACE(test.client + " " + std::to_string(test.connectResult));
        m_host = std::make_unique<CRecordingHost>(nullptr);
        m_login = std::make_unique<CSMTPLogin>(*m_host, *m_host);
        m_host->connectResult = test.connectResult;
        EXPECT_EQ(Command("CONNECT 127.0.0.1:25 Mail client"), test.first);
        EXPECT_EQ(m_host->connected, "relayed 127.0.0.1:25 Mail client");
        if (test.first == EStep::kConnecting) {
            EXPECT_EQ(m_login->OnConnect(test.errorCode), test.second);
        }
        EXPECT_EQ(m_host->client.empty() ? "" : m_host->client.back(), test.client);
        EXPECT_FALSE(m_login->IsNamedHost());
    }
}

}  // namespace
