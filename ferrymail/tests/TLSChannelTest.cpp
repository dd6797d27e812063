// TLS to the server over real loopback sockets: a mail client talks in clear to the
// proxy started by StartFerrymail, which reaches a scripted POP3 server of this file over
// POP3S or STLS. The certificates are made for each run with `openssl req`: a test CA,
// a server certificate for localhost and 127.0.0.1, and one for another name.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "ProxyTestPeers.h"
#include "TLSTestPeer.h"
#include "TestHome.h"
#include "ferrymail/accounts/AccountTable.h"
#include "ferrymail/store/MessageDatabase.h"
#include "ferrymail/proxy/ProxyStart.h"
#include "kinbook/foundation/RegistryKey.h"
#include "tls/TLSChannel.h"

using namespace testpeers;

namespace {

constexpr char kProxyKey[] = "Software\\Brevant\\Quillon\\Settings\\POP3Proxy";

// An environment variable set for a test (null: unset), given back as it was at the end.
class CEnvironmentValue {
public:
    CEnvironmentValue(const char* name, const char* value) : m_name(name) {
        const char* before = std::getenv(name);
        m_had = before != nullptr;
        if (m_had)
            m_before = before;
        Set(value);
    }
    ~CEnvironmentValue() { Set(m_had ? m_before.c_str() : nullptr); }
    CEnvironmentValue(const CEnvironmentValue&) = delete;
    CEnvironmentValue& operator=(const CEnvironmentValue&) = delete;
    void Set(const char* value) {
        if (value != nullptr)
            ::setenv(m_name, value, 1);
        else
            ::unsetenv(m_name);
    }

private:
    const char* m_name;
    std::string m_before;
    bool m_had = false;
};

// One big message: more than one TLS record and more than one read of the proxy.
std::string BigMessage() {
    std::string text = "From: a@example.org\r\nSubject: big\r\n\r\n";
    for (int i = 0; text.size() < 3 * 1024 * 1024; ++i)
        text += "Line " + std::to_string(i) + " of a long message that fills many records\r\n";
    text += ".starts with a dot\r\n";
    return text;
}

// A POP3 server that speaks POP3S (TLS at once) or offers STLS, or speaks in clear
// without STLS. One message, relayed as it is.
class CTLSPOP3Server {
public:
    enum EMode { kPOP3S, kSTLS, kPlain };

    CTLSPOP3Server(EMode mode, const std::string& certificate, const std::string& key)
        : m_mode(mode), m_message(BigMessage()) {
        m_context = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate_file(m_context, certificate.c_str(), SSL_FILETYPE_PEM);
        SSL_CTX_use_PrivateKey_file(m_context, key.c_str(), SSL_FILETYPE_PEM);
        m_server = std::make_unique<TestServer>("", [this](int fd) { Serve(fd); });
    }
    ~CTLSPOP3Server() {
        m_server.reset();
        SSL_CTX_free(m_context);
    }
    int GetPort() const { return m_server->GetPort(); }
    // Bytes of RETR 2, the 128 MiB message, that the server has sent so far.
    size_t HugeSent() const { return m_hugeSent.load(); }

private:
    bool SendHuge(STLSPeer& peer) {
        std::string chunk;
        while (chunk.size() < 256 * 1024)
            chunk += "A line of a very long message that the client reads slowly.\r\n";
        if (!peer.Send("+OK huge\r\nSubject: huge\r\n\r\n"))
            return false;
        for (size_t sent = 0; sent < (128u << 20); sent += chunk.size()) {
            if (!peer.Send(chunk))
                return false;
            m_hugeSent += chunk.size();
        }
        return peer.Send(".\r\n");
    }

    void Serve(int fd) {
        STLSPeer peer(fd);
        if (m_mode != kPOP3S || peer.Secure(m_context)) {
            peer.Send("+OK test server ready\r\n");
            std::string line;
            while (peer.ReadLine(line) && Answer(peer, line)) {
            }
        }
    }

    bool Answer(STLSPeer& peer, const std::string& line) {
        if (line == "CAPA") {
            const bool offer = m_mode == kSTLS && peer.ssl == nullptr;
            return peer.Send(std::string("+OK\r\nUSER\r\n") + (offer ? "STLS\r\n" : "") + ".\r\n");
        }
        if (line == "STLS" && m_mode == kSTLS && peer.ssl == nullptr)
            return peer.Send("+OK Begin TLS\r\n") && peer.Secure(m_context);
        if (line == "RETR 1")
            return peer.Send(Reply());
        if (line == "RETR 2")
            return SendHuge(peer);
        if (line == "QUIT") {
            peer.Send("+OK bye\r\n");
            return false;
        }
        return peer.Send("+OK\r\n");
    }

public:
    // The RETR reply as the server sends it (dot-stuffed).
    std::string Reply() const {
        std::string reply = "+OK message follows\r\n";
        size_t at = 0;
        while (at < m_message.size()) {
            const size_t end = m_message.find("\r\n", at) + 2;
            if (m_message[at] == '.')
                reply += '.';
            reply.append(m_message, at, end - at);
            at = end;
        }
        return reply + ".\r\n";
    }

private:
    EMode m_mode;
    std::string m_message;
    SSL_CTX* m_context = nullptr;
    std::atomic<size_t> m_hugeSent{0};
    std::unique_ptr<TestServer> m_server;
};

class TLSChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_home = std::make_unique<CTestHome>();
        ASSERT_TRUE(MakeCertificates(m_home->Path())) << "openssl req failed";
        ClearAccountTable(TRUE);
        CMessageDatabase::Shutdown();
        CRegistryKey key;
        ASSERT_TRUE(key.OpenCarefully(HKEY_CURRENT_USER, kProxyKey));
        ASSERT_TRUE(key.SetValue("DirectProxyListener", 0));
    }
    void TearDown() override {
        if (m_listener != nullptr && HasFailure())
            std::fprintf(stderr, "--- proxy log ---\n%s\n", ReadFile(m_spool).c_str());
        delete m_listener;
        m_listener = nullptr;
        CMessageDatabase::Shutdown();
        ClearAccountTable(TRUE);
        m_home.reset();
    }

    std::string File(const char* name) const { return m_home->Path() + "/" + name; }

    void StartProxy(const char* mode, bool withCA) {
        CRegistryKey key;
        ASSERT_TRUE(key.OpenCarefully(HKEY_CURRENT_USER, kProxyKey));
        ASSERT_TRUE(key.SetValue("ServerTLS", mode));
        ASSERT_TRUE(key.SetValue("TLSCAFile", withCA ? File("ca.pem").c_str() : ""));
        CMessageDatabase::GetMessageDatabase(nullptr, nullptr, 1025);
        int errorNumber = 0;
        std::string errorText;
        m_listener = StartFerrymail(0, errorNumber, errorText);
        ASSERT_NE(m_listener, nullptr) << errorText;
        m_spool = m_home->Path() + "/proxy" + std::to_string(++m_proxies) + ".log";
        const int file = CListener::OpenSpoolFile(m_spool);
        ASSERT_GE(file, 0);
        m_listener->SetSpoolFile(m_spool, file);
        m_listener->AddLogging(0x10F);
    }

    std::unique_ptr<CTestHome> m_home;
    CListener* m_listener = nullptr;
    std::string m_spool;
    int m_proxies = 0;
};

struct SSecureCase {
    const char* name;
    const char* mode;  // ServerTLS for the server's host
    CTLSPOP3Server::EMode server;
    const char* certificate;  // "right" or "other"
    bool withCA;              // the test CA is trusted
    const char* userReply;    // the start of the reply to USER
};

const SSecureCase kSecureCases[] = {
    {"POP3S", "pop3s", CTLSPOP3Server::kPOP3S, "right", true, "+OK"},
    {"STLS", "stls", CTLSPOP3Server::kSTLS, "right", true, "+OK"},
    {"certificate for another name", "pop3s", CTLSPOP3Server::kPOP3S, "other", true,
     "-ERR TLS with 127.0.0.1 failed: certificate not accepted: IP address mismatch"},
    {"CA not trusted", "stls", CTLSPOP3Server::kSTLS, "right", false,
     "-ERR TLS with 127.0.0.1 failed: certificate not accepted: unable to get local issuer"},
    {"server without STLS", "stls", CTLSPOP3Server::kPlain, "right", true,
     "-ERR Server 127.0.0.1 does not offer STLS; not logging in without TLS"},
    {"server without STLS in clear by name", "none", CTLSPOP3Server::kPlain, "right", true, "+OK"},
    {"POP3S to a server in clear", "pop3s", CTLSPOP3Server::kPlain, "right", true,
     "-ERR TLS with 127.0.0.1 failed: "},
};

// A message of several megabytes relayed over TLS arrives byte for byte; each refusal
// reaches the client as "-ERR" with its cause, before the password is asked.
TEST_F(TLSChannelTest, ServerIsReachedOverTLSOrRefusedWithTheCause) {
    for (const SSecureCase& c : kSecureCases) {
        SCOPED_TRACE(c.name);
        CTLSPOP3Server server(c.server, File((std::string(c.certificate) + ".pem").c_str()),
                              File((std::string(c.certificate) + ".key").c_str()));
        StartProxy(c.mode, c.withCA);
        TestClient client(m_listener->GetPort());
        EXPECT_EQ(client.ReadLine(), "+OK Quillon POP3 proxy server");
        ASSERT_TRUE(client.SendLine("USER anna/127.0.0.1:" + std::to_string(server.GetPort())));
        const std::string reply = client.ReadLine(15.0);
        EXPECT_EQ(reply.compare(0, std::strlen(c.userReply), c.userReply), 0) << reply;
        if (reply.compare(0, 3, "+OK") == 0) {
            ASSERT_TRUE(client.SendLine("PASS secret"));
            EXPECT_EQ(client.ReadLine(), "+OK");
            ASSERT_TRUE(client.SendLine("RETR 1"));
            std::string got;
            std::string line;
            while (client.ReadLine(line, 20.0)) {
                got += line + "\r\n";
                if (line == ".")
                    break;
            }
            EXPECT_TRUE(got == server.Reply())
                << got.size() << " bytes of " << server.Reply().size();
            ASSERT_TRUE(client.SendLine("QUIT"));
            EXPECT_EQ(client.ReadLine(), "+OK bye");
        } else {
            client.ReadUntilClosed(10.0);
            EXPECT_TRUE(client.IsClosed());
        }
        delete m_listener;
        m_listener = nullptr;
        CMessageDatabase::Shutdown();
    }
}

// A client that stops reading stops the server's TLS stream too: the proxy holds a
// bounded backlog (CProxyConnection::kMaxBacklog and the socket buffers), and all of the
// message arrives once the client reads again.
TEST_F(TLSChannelTest, SlowClientHoldsBackTheServersTLSStream) {
    CTLSPOP3Server server(CTLSPOP3Server::kPOP3S, File("right.pem"), File("right.key"));
    StartProxy("pop3s", true);
    m_listener->DeleteLogging(0xFFFFFFFF);  // the bodies are not logged line by line
    TestClient client(m_listener->GetPort());
    client.SetReceiveBuffer(64 * 1024);
    EXPECT_EQ(client.ReadLine(), "+OK Quillon POP3 proxy server");
    ASSERT_TRUE(client.SendLine("USER anna/127.0.0.1:" + std::to_string(server.GetPort())));
    EXPECT_EQ(client.ReadLine(15.0), "+OK");
    ASSERT_TRUE(client.SendLine("PASS secret"));
    EXPECT_EQ(client.ReadLine(), "+OK");
    ASSERT_TRUE(client.SendLine("RETR 2"));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const size_t held = server.HugeSent();
    EXPECT_LT(held, size_t{40} << 20) << "the proxy kept reading a server its client ignores";
    size_t got = 0;
    for (std::string data; (data = client.ReadSome(1 << 20, 20.0)).size() > 0;) {
        got += data.size();
        if (data.size() >= 3 && data.compare(data.size() - 3, 3, ".\r\n") == 0 &&
            got > (128u << 20))
            break;
    }
    EXPECT_GT(got, size_t{128} << 20);
    EXPECT_GE(server.HugeSent(), size_t{128} << 20);
}

// The second connection to a server resumes the first one's session (the server's
// signature and the certificate check are not done again); a server that does not
// know the session gets a full handshake and the checks.
TEST_F(TLSChannelTest, LaterConnectionResumesTheSession) {
    StartProxy("pop3s", true);
    for (const char* certificate : {"right", "right", "other"}) {
        SCOPED_TRACE(certificate);
        CTLSPOP3Server server(CTLSPOP3Server::kPOP3S,
                              File((std::string(certificate) + ".pem").c_str()),
                              File((std::string(certificate) + ".key").c_str()));
        for (int connection = 0; connection < 2; ++connection) {
            const size_t before = ReadFile(m_spool).size();
            TestClient client(m_listener->GetPort());
            EXPECT_EQ(client.ReadLine(), "+OK Quillon POP3 proxy server");
            ASSERT_TRUE(client.SendLine("USER anna/127.0.0.1:" + std::to_string(server.GetPort())));
            const std::string reply = client.ReadLine(15.0);
            ASSERT_TRUE(client.SendLine("QUIT"));
            client.ReadUntilClosed(10.0);
            const bool right = std::string(certificate) == "right";
            EXPECT_EQ(reply.compare(0, 3, right ? "+OK" : "-ER"), 0) << reply;
            ASSERT_TRUE(WaitFor([&] {
                return ReadFile(m_spool).find("Thread shutting down", before) != std::string::npos;
            }));
            const std::string log = ReadFile(m_spool).substr(before);
            EXPECT_EQ(log.find("session resumed") != std::string::npos, right && connection == 1)
                << log;
        }
    }
}

// The channel on its own: a CA file that cannot be read is refused at the start, and
// nothing is written or read before the handshake is done.
// The system's store is the directory of certificates named by subject hash; a
// directory without such names leaves OpenSSL's own defaults, where the test CA is not.
TEST_F(TLSChannelTest, SystemTrustComesFromTheHashedDirectory) {
    FILE* pem = std::fopen(File("ca.pem").c_str(), "r");
    ASSERT_NE(pem, nullptr);
    X509* ca = PEM_read_X509(pem, nullptr, nullptr, nullptr);
    std::fclose(pem);
    ASSERT_NE(ca, nullptr);
    char hashed[16];
    std::snprintf(hashed, sizeof hashed, "%08lx.0", X509_subject_name_hash(ca));
    X509_free(ca);
    namespace fs = std::filesystem;
    for (const char* folder : {"hashed", "unhashed"})
        fs::create_directory(File(folder));
    fs::copy_file(File("ca.pem"), File("hashed") + "/" + hashed);
    fs::copy_file(File("ca.pem"), File("unhashed") + "/ca.pem");

    CEnvironmentValue file(X509_get_default_cert_file_env(), nullptr);
    CEnvironmentValue dir(X509_get_default_cert_dir_env(), File("hashed").c_str());
    EXPECT_EQ(CTLSChannel::SystemTrustDirectory(), File("hashed"));
    file.Set(File("ca.pem").c_str());
    EXPECT_EQ(CTLSChannel::SystemTrustDirectory(), "");
    file.Set(nullptr);
    for (const char* folder : {"unhashed", "missing"}) {
        dir.Set(File(folder).c_str());
        EXPECT_EQ(CTLSChannel::SystemTrustDirectory(), "") << folder;
    }
    CTLSPOP3Server server(CTLSPOP3Server::kPOP3S, File("right.pem"), File("right.key"));
    for (const auto& [folder, reply] : {std::pair{"hashed", "+OK"},
                                        {"unhashed", "-ERR TLS with 127.0.0.1 failed"}}) {
        SCOPED_TRACE(folder);
        dir.Set(File(folder).c_str());
        StartProxy("pop3s", false);
        TestClient client(m_listener->GetPort());
        EXPECT_EQ(client.ReadLine(), "+OK Quillon POP3 proxy server");
        ASSERT_TRUE(client.SendLine("USER anna/127.0.0.1:" + std::to_string(server.GetPort())));
        const std::string got = client.ReadLine(15.0);
        EXPECT_EQ(got.compare(0, std::strlen(reply), reply), 0) << got;
        delete m_listener;
        m_listener = nullptr;
        CMessageDatabase::Shutdown();
    }
    // Contexts are kept by the trust they were made with: the second proxy above made
    // its own instead of reusing the first one's.
}

// The certificates a connection trusts are read when the proxy starts, for the global
// setting and for each account: a bundle emptied afterwards (SSL_CERT_FILE) still
// holds the test CA for them, while an account registered later reads it at its
// connection.
TEST_F(TLSChannelTest, TrustedCertificatesAreReadWhenTheProxyStarts) {
    std::filesystem::copy_file(File("ca.pem"), File("bundle.pem"));
    const CEnvironmentValue file(X509_get_default_cert_file_env(), File("bundle.pem").c_str());
    CTLSPOP3Server server(CTLSPOP3Server::kPOP3S, File("right.pem"), File("right.key"));
    const std::string port = std::to_string(server.GetPort());
    const auto registerAccount = [&](const char* user, const std::string& caFile) {
        CRegistryKey account;
        ASSERT_TRUE(account.OpenCarefully(
            HKEY_CURRENT_USER, ("Software\\Brevant\\Quillon\\Clients\\Direct client\\" +
                                std::string(user) + "@localhost:" + port)
                                   .c_str()));
        ASSERT_TRUE(account.SetValue("ServerName", "localhost"));
        ASSERT_TRUE(account.SetValue("UserName", user));
        ASSERT_TRUE(account.SetValue("ServerPort", server.GetPort()));
        ASSERT_TRUE(account.SetValue("TLSCAFile", caFile.c_str()));
    };
    registerAccount("bob", File("other.pem"));
    StartProxy("pop3s", false);
    { std::ofstream emptied(File("bundle.pem"), std::ios::trunc); }
    // An account registered while the proxy runs reads the trust at its connection.
    std::filesystem::copy_file(File("other.pem"), File("later.pem"));
    registerAccount("carl", File("later.pem"));
    for (const auto& [login, reply] :
         {std::pair<std::string, const char*>{"anna/127.0.0.1:", "+OK"},
          {"bob/localhost:", "+OK"},
          {"carl/localhost:", "-ERR TLS with localhost failed: certificate not accepted"}}) {
        SCOPED_TRACE(login);
        TestClient client(m_listener->GetPort());
        EXPECT_EQ(client.ReadLine(), "+OK Quillon POP3 proxy server");
        ASSERT_TRUE(client.SendLine("USER " + login + port));
        const std::string got = client.ReadLine(15.0);
        EXPECT_EQ(got.compare(0, std::strlen(reply), reply), 0) << got;
    }
}

TEST_F(TLSChannelTest, ChannelRefusesWhatItCannotCheck) {
    CTLSChannel channel;
    EXPECT_FALSE(channel.Start({"127.0.0.1", File("missing.pem"), true}));
    EXPECT_NE(channel.Error().find("cannot read the CA file"), std::string::npos);
    EXPECT_FALSE(channel.Start({"127.0.0.1", File("right.key"), true}));
    ASSERT_TRUE(channel.Start({"localhost", File("ca.pem"), true}));
    EXPECT_TRUE(channel.HasOutput());  // the client's hello
    EXPECT_FALSE(channel.IsEstablished());
    char buffer[16];
    EXPECT_EQ(channel.Write("USER anna\r\n", 11), -1);
    EXPECT_EQ(channel.Read(buffer, sizeof buffer), -1);
    // Garbage from the peer ends the handshake with a reason.
    const std::string junk = "+OK I am not speaking TLS\r\n";
    channel.Feed(junk.data(), junk.size());
    EXPECT_EQ(channel.Handshake(), CTLSChannel::EResult::kFailed);
    EXPECT_FALSE(channel.Error().empty());
}

}  // namespace
