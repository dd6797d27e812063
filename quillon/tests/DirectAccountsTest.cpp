// Accounts registered for direct clients, as the proxy's real account table finds them.
#include "app/DirectAccounts.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "TestHome.h"
#include "ferrymail/accounts/AccountTable.h"
#include "kinbook/foundation/HostNames.h"
#include "kinbook/foundation/RegistryKey.h"

namespace {

class DirectAccountsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearAccountTable(TRUE);
        SetMailClientAccountSource(nullptr);
        // No name service here: the servers of the tests resolve to fixed addresses.
        SetHostResolver([](const std::string& host, std::vector<uint32_t>& out) {
            static const std::map<std::string, const char*> kHosts = {
                {"pop.example.com", "192.0.2.10"}, {"mail.example.net", "192.0.2.20"}};
            auto found = kHosts.find(host);
            uint32_t address = 0;
            if (found == kHosts.end() || !ParseIPv4(found->second, address))
                return false;
            out.assign(1, address);
            return true;
        });
    }
    void TearDown() override {
        ClearAccountTable(TRUE);
        SetHostResolver(nullptr);
    }

    static SAccountName ParsedAccount(const char* text) {
        SAccountName account;
        std::string error;
        EXPECT_TRUE(ParseAccountName(text, account, error)) << error;
        return account;
    }

    static void Register(const char* text) {
        std::string error;
        ASSERT_TRUE(RegisterDirectAccount(ParsedAccount(text), error)) << error;
    }

    // The account the POP3 session of a direct client would find: "description server
    // user port" and " disabled" when it is, or "none".
    static std::string Lookup(const char* server, const char* user) {
        LoadAccountTable(TRUE);
        CAccountData* account = FindAccountByServer(server, user, kDirectClientName);
        if (account == nullptr)
            return "none";
        const std::string found =
            account->m_description + " " + account->m_serverName + " " + account->m_userName + " " +
            std::to_string(account->m_serverPort) + (IsAccountEnabled(account) ? "" : " disabled");
        CRefCount::DoRelease(account);
        return found;
    }

    CTestHome m_home;
};

TEST_F(DirectAccountsTest, RegisteredAccountIsStoredAndFoundByServerAndByAddress) {
    Register("bob@pop.example.com");
    Register("ann@example.org@mail.example.net:1110");

    EXPECT_EQ(Lookup("pop.example.com", "bob"), "bob@pop.example.com:110 pop.example.com bob 110");
    EXPECT_EQ(Lookup("mail.example.net", "ann@example.org"),
              "ann@example.org@mail.example.net:1110 mail.example.net ann@example.org 1110");

    // Other client names, users and servers are not this account.
    EXPECT_EQ(FindAccountByServer("pop.example.com", "bob", "Other client"), nullptr);
    EXPECT_EQ(FindAccountByServer("pop.example.com", "Bob", kDirectClientName), nullptr);
    EXPECT_EQ(FindAccountByServer("mail.example.net", "bob", kDirectClientName), nullptr);

    // Once connected, the session looks the account up by the server's address.
    uint32_t address = 0;
    ASSERT_TRUE(ParseIPv4("192.0.2.10", address));
    CAccountData* byAddress = FindAccountByAddress(address, "bob", kDirectClientName);
    ASSERT_NE(byAddress, nullptr);
    EXPECT_EQ(byAddress->m_description, "bob@pop.example.com:110");
    CRefCount::DoRelease(byAddress);

    CRegistryKey key;
    ASSERT_TRUE(key.Open(HKEY_CURRENT_USER,
                         "Software\\Brevant\\Quillon\\Clients\\Direct client\\"
                         "ann@example.org@mail.example.net:1110",
                         KEY_READ));
    std::string server, user;
    DWORD port = 0;
    EXPECT_TRUE(key.QueryValue("ServerName", server));
    EXPECT_TRUE(key.QueryValue("UserName", user));
    EXPECT_TRUE(key.QueryValue("ServerPort", port)) << "an integer, not a text";
    EXPECT_EQ(server + " " + user + " " + std::to_string(port),
              "mail.example.net ann@example.org 1110");
}

TEST_F(DirectAccountsTest, DisableAndEnableReachTheAccountTable) {
    Register("bob@pop.example.com");
    std::string error;
    ASSERT_TRUE(SetDirectAccountEnabled(ParsedAccount("bob@pop.example.com:110"), false, error)) << error;
    const std::string bob = "bob@pop.example.com:110 pop.example.com bob 110";
    EXPECT_EQ(Lookup("pop.example.com", "bob"), bob + " disabled");
    // Registering again keeps the account disabled.
    Register("bob@pop.example.com");
    EXPECT_EQ(Lookup("pop.example.com", "bob"), bob + " disabled");
    ASSERT_TRUE(SetDirectAccountEnabled(ParsedAccount("bob@pop.example.com"), true, error)) << error;
    EXPECT_EQ(Lookup("pop.example.com", "bob"), bob);
}

TEST_F(DirectAccountsTest, RemoveDeletesOnlyThatAccount) {
    Register("bob@pop.example.com");
    Register("bob@pop.example.com:995");
    std::string error;
    ASSERT_TRUE(RemoveDirectAccount(ParsedAccount("bob@pop.example.com"), error)) << error;
    EXPECT_EQ(Lookup("pop.example.com", "bob"), "bob@pop.example.com:995 pop.example.com bob 995");
    ASSERT_TRUE(RemoveDirectAccount(ParsedAccount("bob@pop.example.com:995"), error)) << error;
    EXPECT_EQ(Lookup("pop.example.com", "bob"), "none");
}

TEST_F(DirectAccountsTest, MissingAccountIsAnErrorAndNothingIsWritten) {
    std::string error;
    EXPECT_FALSE(RemoveDirectAccount(ParsedAccount("bob@pop.example.com"), error));
    EXPECT_NE(error.find("no account bob@pop.example.com:110"), std::string::npos) << error;
    error.clear();
    EXPECT_FALSE(SetDirectAccountEnabled(ParsedAccount("bob@pop.example.com"), false, error));
    EXPECT_NE(error.find("no account"), std::string::npos) << error;

    Register("bob@pop.example.com");
    error.clear();
    EXPECT_FALSE(RemoveDirectAccount(ParsedAccount("bob@pop.example.com:111"), error));
    EXPECT_NE(error.find("no account bob@pop.example.com:111"), std::string::npos) << error;
    error.clear();
    EXPECT_FALSE(SetDirectAccountEnabled(ParsedAccount("ann@pop.example.com"), true, error));
    CRegistryKey missing;
    EXPECT_FALSE(missing.Open(
        HKEY_CURRENT_USER,
        "Software\\Brevant\\Quillon\\Clients\\Direct client\\ann@pop.example.com:110", KEY_READ))
        << "enabling a missing account must not create it";
    EXPECT_NE(Lookup("pop.example.com", "bob"), "none");
}

// What --add-account's TLS options write is what the session and --list-accounts read;
// an account without a mode takes the port's default, or the global setting.
// The SMTP server of --add-account --smtp reaches the account table and the list; an
// account without one lists none.
TEST_F(DirectAccountsTest, SMTPServerReachesTheAccountTableAndTheList) {
    Register("bob@pop.example.com");
    Register("ann@pop.example.com");
    std::string error;
    ASSERT_TRUE(SetDirectAccountSMTP(ParsedAccount("bob@pop.example.com"), "smtp.example.com",
                                     2525, error))
        << error;
    EXPECT_FALSE(SetDirectAccountSMTP(ParsedAccount("cy@pop.example.com"), "s.example.com", 25,
                                      error))
        << "an account that is not registered";
    const std::string list = DescribeAccounts();
    const size_t bob = list.find("bob@pop.example.com:110  ");
    const size_t ann = list.find("ann@pop.example.com:110  ");
    ASSERT_NE(bob, std::string::npos) << list;
    ASSERT_NE(ann, std::string::npos) << list;
    EXPECT_NE(list.substr(bob, list.find('\n', bob) - bob)
                  .find("filtering on  SMTP smtp.example.com port 2525"),
              std::string::npos)
        << list;
    EXPECT_EQ(list.substr(ann, list.find('\n', ann) - ann).find("SMTP"), std::string::npos);
}

TEST_F(DirectAccountsTest, TLSSettingsReachTheAccountTableAndTheList) {
    struct SCase {
        const char* account;
        const char* mode;  // --tls ("" none given)
        const char* caFile;
        bool insecure;
        std::string listed;  // the account's line from its server on
    };
    const std::string caFile = m_home.Path() + "/ca.pem";
    { std::ofstream(caFile) << "not read here\n"; }
    const SCase kCases[] = {
        {"bob@pop.example.com", "", "", false, "server pop.example.com port 110  TLS stls"},
        {"bob@pop.example.com:995", "", "", false, "server pop.example.com port 995  TLS pop3s"},
        {"ann@mail.example.net:1110", "none", "", false, "port 1110  TLS none"},
        {"cy@mail.example.net", "pop3s", "ca.pem", true,
         "port 110  TLS pop3s insecure CA " + caFile},
    };
    std::error_code ignored;
    const std::filesystem::path before = std::filesystem::current_path(ignored);
    std::filesystem::current_path(m_home.Path());
    for (const SCase& c : kCases) {
        SCOPED_TRACE(c.account);
        std::string absolute, error;
        ASSERT_TRUE(ResolveCAFile(c.caFile, absolute, error)) << error;
        Register(c.account);
        ASSERT_TRUE(
            SetDirectAccountTLS(ParsedAccount(c.account), c.mode, absolute, c.insecure, error))
            << error;
    }
    std::filesystem::current_path(before);
    const std::string list = DescribeAccounts();
    for (const SCase& c : kCases) {
        const SAccountName name = ParsedAccount(c.account);
        const size_t at = list.find(name.KeyName() + "  ");
        ASSERT_NE(at, std::string::npos) << list;
        const std::string line = list.substr(at, list.find('\n', at) - at);
        EXPECT_NE(line.find(" " + c.listed + "  filtering on"), std::string::npos) << line;
    }
    // A CA file that cannot be read is refused before anything is written.
    std::string absolute, error;
    EXPECT_FALSE(ResolveCAFile(m_home.Path() + "/missing.pem", absolute, error));
    EXPECT_NE(error.find("cannot read the CA file"), std::string::npos);
    // A record without "TLS" follows the global setting, an unknown one the port.
    CRegistryKey key;
    ASSERT_TRUE(
        key.OpenCarefully(HKEY_CURRENT_USER, "Software\\Brevant\\Quillon\\Settings\\POP3Proxy"));
    CAccountData bare;
    bare.m_serverPort = 995;
    EXPECT_EQ(GetServerTLSMode(&bare, 995), ETLSMode::kPOP3S);
    ASSERT_TRUE(key.SetValue("ServerTLS", "none"));
    EXPECT_EQ(GetServerTLSMode(&bare, 995), ETLSMode::kNone);
    ASSERT_TRUE(key.SetValue("ServerTLS", "plain"));
    std::string bad;
    EXPECT_EQ(GetServerTLSMode(nullptr, 2110, &bad), ETLSMode::kSTLS);
    EXPECT_EQ(bad, "plain");
}

}  // namespace
