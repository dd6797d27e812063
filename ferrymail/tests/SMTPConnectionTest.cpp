// The SMTP proxy over real loopback sockets: a client talks to the proxy started by
// StartSMTPProxy on port 0, which relays to a scripted SMTP server of this file, in the
// clear (CONNECT mode) or over STARTTLS with a test CA made by `openssl req` for each
// run (named-host mode). Notifications reach a sink registered with the database.
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ProxyTestPeers.h"
#include "TLSTestPeer.h"
#include "TestHome.h"
#include "ferrymail/accounts/AccountTable.h"
#include "ferrymail/proxy/NonFriendCollection.h"
#include "ferrymail/proxy/ProxyStart.h"
#include "ferrymail/proxy/SMTPMessage.h"
#include "ferrymail/proxy/SMTPSender.h"
#include "ferrymail/store/MessageDatabase.h"
#include "ferrymail/store/NotificationSink.h"
#include "kinbook/friends/Friends.h"
#include "kinbook/foundation/RegistryKey.h"
#include "proxy/SASLRelay.h"

using namespace testpeers;

namespace {

// A scripted SMTP server: 250 to everything, 354 to DATA, STARTTLS when it has a
// certificate, 235 to AUTH. It records every command and each message as received.
class CScriptedSMTPServer {
public:
    explicit CScriptedSMTPServer(SSL_CTX* context = nullptr) : m_context(context) {
        m_server = std::make_unique<TestServer>("", [this](int fd) { Serve(fd); });
    }
    ~CScriptedSMTPServer() { m_server.reset(); }
    int GetPort() const { return m_server->GetPort(); }
    std::vector<std::string> Commands() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_commands;
    }
    std::vector<std::string> Messages() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_messages;
    }

private:
    void Serve(int fd) {
        STLSPeer peer(fd);
        peer.Send("220 scripted ESMTP\r\n");
        std::string line;
        while (peer.ReadLine(line) && Answer(peer, line)) {
        }
    }

    bool Answer(STLSPeer& peer, const std::string& line) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_commands.push_back(line);
        }
        const std::string word = line.substr(0, line.find(' '));
        if (word == "EHLO") {
            const bool offer = m_context != nullptr && peer.ssl == nullptr;
            return peer.Send(std::string("250-scripted\r\n") + (offer ? "250-STARTTLS\r\n" : "") +
                             "250-PIPELINING\r\n250 AUTH PLAIN\r\n");
        }
        if (word == "STARTTLS") {
            return peer.Send("220 go ahead\r\n") && peer.Secure(m_context);
        }
        if (word == "AUTH")
            return peer.Send("235 2.7.0 accepted\r\n");
        if (word == "DATA")
            return peer.Send("354 go ahead\r\n") && ReadMessage(peer);
        if (word == "QUIT") {
            peer.Send("221 bye\r\n");
            return false;
        }
        return peer.Send("250 OK\r\n");
    }

    bool ReadMessage(STLSPeer& peer) {
        std::string text, line;
        while (peer.ReadLine(line) && line != ".") text += line + "\r\n";
        std::lock_guard<std::mutex> lock(m_mutex);
        m_messages.push_back(text);
        return peer.Send("250 queued\r\n");
    }

    SSL_CTX* m_context;
    std::mutex m_mutex;
    std::vector<std::string> m_commands;  // guarded by m_mutex
    std::vector<std::string> m_messages;  // guarded by m_mutex
    std::unique_ptr<TestServer> m_server;
};

// Records the notifications; keeps the references it is given until it goes.
class CRecordingSink : public INotificationSink {
public:
    ~CRecordingSink() override {
        for (auto& posted : m_posted) CRefCount::DoRelease(posted.second);
    }
    void Post(UINT, UINT wParam, long, CRefCount* object) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_posted.emplace_back(wParam & 0xFFFF, object);
        m_changed.notify_all();
    }
    // The notifications once `count` have come (or 10 s have passed).
    std::vector<std::pair<UINT, CRefCount*>> WaitFor(size_t count) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::seconds(10),
                           [&] { return m_posted.size() >= count; });
        return m_posted;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::pair<UINT, CRefCount*>> m_posted;  // guarded by m_mutex
};

class SMTPConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_home = std::make_unique<CTestHome>();
        KinbookShutdown();
        ClearAccountTable(TRUE);
        CMessageDatabase::Shutdown();
        CMessageDatabase::GetMessageDatabase(nullptr, nullptr, 1025)->AddNotification(&m_sink, 1025);
        int errorNumber = 0;
        std::string errorText;
        m_listener = StartSMTPProxy(0, errorNumber, errorText);
        ASSERT_NE(m_listener, nullptr) << errorText;
        ASSERT_NE(m_listener->GetPort(), 0);
    }
    void TearDown() override {
        delete m_listener;
        CMessageDatabase::Shutdown();
        ClearAccountTable(TRUE);
        KinbookShutdown();
        m_home.reset();
    }
    // Sends `line` and returns the reply's lines up to its last one.
    static std::string Command(TestClient& client, const std::string& line) {
        client.SendLine(line);
        std::string reply, got;
        do {
            got = client.ReadLine();
            reply += got + "\n";
        } while (got.size() > 3 && got[3] == '-');
        return reply;
    }
    std::string File(const char* name) const { return m_home->Path() + "/" + name; }

    std::unique_ptr<CTestHome> m_home;
    CRecordingSink m_sink;
    CListener* m_listener = nullptr;
};

TEST_F(SMTPConnectionTest, MessageArrivesWithoutOwnHeadersAndNotificationsFollow) {
    CScriptedSMTPServer server;
    TestClient client(m_listener->GetPort());
    EXPECT_EQ(client.ReadLine(), "220 localhost Quillon SMTP proxy server ready");
    EXPECT_EQ(Command(client, ConnectLine(server.GetPort())), "0\n");
    EXPECT_EQ(client.ReadLine(), "220 scripted ESMTP");
    EXPECT_EQ(Command(client, "EHLO client"), "250-scripted\n250 AUTH PLAIN\n");
    EXPECT_EQ(Command(client, "MAIL FROM:<anna@example.org>"), "250 OK\n");
    EXPECT_EQ(Command(client, "RCPT TO:<bob@example.net>"), "250 OK\n");
    EXPECT_EQ(Command(client, "DATA"), "354 go ahead\n");
    const std::string kept =
        "From: Anna <anna@example.org>\r\nSubject: Hello\r\n  world\r\n\tand more\r\n"
        "To: bob@example.net\r\n\r\n  indented first line\r\n"
        "X-Quillon-Analysis: in the body stays\r\n..dot-stuffed\r\n";
    std::string sent = kept;
    sent.insert(0, "X-Quillon-Analysis: passed friendly\r\n");
    sent.insert(sent.find("To: "), "X-Quillon-Note: folded\r\n \tcontinuation\r\n");
    ASSERT_TRUE(client.Send(sent));
    EXPECT_EQ(Command(client, "."), "250 queued\n");
    EXPECT_EQ(Command(client, "QUIT"), "221 bye\n");
    client.ReadUntilClosed(10.0);
    EXPECT_TRUE(client.IsClosed());
    ASSERT_EQ(server.Messages(), std::vector<std::string>{kept});

    const auto posted = m_sink.WaitFor(3);
    ASSERT_GE(posted.size(), 3u);
    EXPECT_EQ(posted[0].first, static_cast<UINT>(MN_NEW_CONNECTION));
    EXPECT_EQ(posted[1].first, static_cast<UINT>(MN_END_CONNECTION));
    EXPECT_EQ(posted[2].first, static_cast<UINT>(MN_SMTP_SCRAPED));
    auto* collection = dynamic_cast<CNonFriendCollection*>(posted[2].second);
    ASSERT_NE(collection, nullptr);
    ASSERT_EQ(collection->GetCount(), 1);
    const CSMTPSender* bob = collection->Find("bob@example.net");
    ASSERT_NE(bob, nullptr);
    ASSERT_EQ(bob->GetMessageCount(), 1);
    EXPECT_EQ(bob->GetMessage(0)->GetSubject(), "Hello world and more");
}

struct SStartTLSCase {
    const char* name;
    const char* certificate;  // the server's: "right" (localhost, 127.0.0.1) or "other"
    const char* authReply;    // the start of the client's reply to AUTH
};

TEST_F(SMTPConnectionTest, NamedHostOverStartTLSChecksTheCertificate) {
    ASSERT_TRUE(MakeCertificates(m_home->Path())) << "openssl req failed";
    CRegistryKey settings;
    ASSERT_TRUE(settings.OpenCarefully(HKEY_CURRENT_USER,
                                       "Software\\Brevant\\Quillon\\Settings\\POP3Proxy"));
    ASSERT_TRUE(settings.SetValue("TLSCAFile", File("ca.pem").c_str()));
    const SStartTLSCase cases[] = {
        {"right name", "right", "235 2.7.0 accepted"},
        {"wrong name", "other", "454 4.7.0 TLS with 127.0.0.1 failed: "},
    };
    const std::string spool = File("proxy.log");
    const int file = CListener::OpenSpoolFile(spool);
    ASSERT_GE(file, 0);
    m_listener->SetSpoolFile(spool, file);
    m_listener->AddLogging(0xFFFF);
    for (const SStartTLSCase& test : cases) {
        SCOPED_TRACE(test.name);
        SSL_CTX* context = SSL_CTX_new(TLS_server_method());
        const std::string certificate = File(test.certificate);
        SSL_CTX_use_certificate_file(context, (certificate + ".pem").c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(context, (certificate + ".key").c_str(), SSL_FILETYPE_PEM);
        {
            CScriptedSMTPServer server(context);
            TestClient client(m_listener->GetPort());
            client.ReadLine();
            Command(client, "EHLO client");
            const std::string login = "anna/127.0.0.1:" + std::to_string(server.GetPort());
            const std::string reply = Command(
                client, "AUTH PLAIN " + CSASLRelay::EncodeBase64('\0' + login + '\0' + "pw"));
            EXPECT_EQ(reply.compare(0, std::strlen(test.authReply), test.authReply), 0) << reply;
            const std::vector<std::string> commands = server.Commands();
            ASSERT_GE(commands.size(), 2u);
            EXPECT_EQ(commands[1], "STARTTLS");
            // The credentials only ever go over TLS, with the user name rewritten.
            const bool right = std::string(test.certificate) == "right";
            EXPECT_EQ(commands.size(), right ? 4u : 2u);
            if (right) {
                EXPECT_EQ(commands[3], "AUTH PLAIN " + CSASLRelay::EncodeBase64(
                                                           std::string("\0anna\0pw", 8)));
            }
            Command(client, "QUIT");
        }
        SSL_CTX_free(context);
    }
    // The log has every line, and no credential in any form.
    if (HasFailure())
        std::fprintf(stderr, "--- proxy log ---\n%s\n", ReadFile(spool).c_str());
    delete m_listener;
    m_listener = nullptr;
    const std::string log = ReadFile(spool);
    EXPECT_NE(log.find("C->  AUTH PLAIN xxx"), std::string::npos) << log;
    EXPECT_NE(log.find(" ->S AUTH PLAIN xxx"), std::string::npos) << log;
    for (const std::string& secret : {CSASLRelay::EncodeBase64(std::string("\0anna\0pw", 8)),
                                      CSASLRelay::EncodeBase64(std::string("\0anna/127.0.0.1:", 16))})
        EXPECT_EQ(log.find(secret.substr(0, 12)), std::string::npos) << secret;
}

}  // namespace
