// Accounts registered for direct clients, as the proxy's real account table finds them.
#include "app/DirectAccounts.h"

#include <gtest/gtest.h>

#include <map>

#include "TestHome.h"
#include "ferrymail/AccountTable.h"
#include "kinbook/HostNames.h"
#include "kinbook/RegistryKey.h"

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

    static SAccountSpec Spec(const char* text) {
        SAccountSpec spec;
        std::string error;
        EXPECT_TRUE(ParseAccountSpec(text, spec, error)) << error;
        return spec;
    }

    static void Register(const char* text) {
        std::string error;
        ASSERT_TRUE(RegisterDirectAccount(Spec(text), error)) << error;
    }

    // The account the POP3 session of a direct client would find, with its enabled
    // state; `found` false when there is none.
    struct SLookup {
        bool found = false;
        bool enabled = false;
        std::string description, server, user;
        int port = 0;
    };
    static SLookup Lookup(const char* server, const char* user) {
        SLookup result;
        LoadAccountTable(TRUE);
        CAccountData* account = FindAccountByServer(server, user, kDirectClientName);
        if (account == nullptr)
            return result;
        result.found = true;
        result.enabled = IsAccountEnabled(account);
        result.description = account->m_description;
        result.server = account->m_serverName;
        result.user = account->m_userName;
        result.port = account->m_serverPort;
        CRefCount::DoRelease(account);
        return result;
    }

    CTestHome m_home;
};

TEST_F(DirectAccountsTest, RegisteredAccountIsFoundByServerAndByAddress) {
    Register("bob@pop.example.com");
    Register("ann@example.org@mail.example.net:1110");

    SLookup bob = Lookup("pop.example.com", "bob");
    ASSERT_TRUE(bob.found);
    EXPECT_TRUE(bob.enabled);
    EXPECT_EQ(bob.description, "bob@pop.example.com:110");
    EXPECT_EQ(bob.server, "pop.example.com");
    EXPECT_EQ(bob.user, "bob");
    EXPECT_EQ(bob.port, 110);

    SLookup ann = Lookup("mail.example.net", "ann@example.org");
    ASSERT_TRUE(ann.found);
    EXPECT_EQ(ann.port, 1110);

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
}

TEST_F(DirectAccountsTest, RegistryHoldsTheValuesAndTypes) {
    Register("bob@pop.example.com:995");
    CRegistryKey key;
    ASSERT_TRUE(key.Open(
        HKEY_CURRENT_USER,
        "Software\\Brevant\\Quillon\\Clients\\Direct client\\bob@pop.example.com:995", KEY_READ));
    std::string server, user;
    DWORD port = 0;
    EXPECT_TRUE(key.QueryValue("ServerName", server));
    EXPECT_TRUE(key.QueryValue("UserName", user));
    EXPECT_TRUE(key.QueryValue("ServerPort", port)) << "an integer, not a text";
    EXPECT_EQ(server, "pop.example.com");
    EXPECT_EQ(user, "bob");
    EXPECT_EQ(port, 995u);
}

TEST_F(DirectAccountsTest, DisableAndEnableReachTheAccountTable) {
    Register("bob@pop.example.com");
    std::string error;
    ASSERT_TRUE(SetDirectAccountEnabled(Spec("bob@pop.example.com:110"), false, error)) << error;
    EXPECT_FALSE(Lookup("pop.example.com", "bob").enabled);
    // Registering again keeps the account disabled.
    Register("bob@pop.example.com");
    EXPECT_FALSE(Lookup("pop.example.com", "bob").enabled);
    ASSERT_TRUE(SetDirectAccountEnabled(Spec("bob@pop.example.com"), true, error)) << error;
    EXPECT_TRUE(Lookup("pop.example.com", "bob").enabled);
}

TEST_F(DirectAccountsTest, RemoveDeletesOnlyThatAccount) {
    Register("bob@pop.example.com");
    Register("bob@pop.example.com:995");
    std::string error;
    ASSERT_TRUE(RemoveDirectAccount(Spec("bob@pop.example.com"), error)) << error;
    SLookup left = Lookup("pop.example.com", "bob");
    ASSERT_TRUE(left.found);
    EXPECT_EQ(left.port, 995);
    ASSERT_TRUE(RemoveDirectAccount(Spec("bob@pop.example.com:995"), error)) << error;
    EXPECT_FALSE(Lookup("pop.example.com", "bob").found);
}

TEST_F(DirectAccountsTest, MissingAccountIsAnErrorAndNothingIsWritten) {
    std::string error;
    EXPECT_FALSE(RemoveDirectAccount(Spec("bob@pop.example.com"), error));
    EXPECT_NE(error.find("no account bob@pop.example.com:110"), std::string::npos) << error;
    error.clear();
    EXPECT_FALSE(SetDirectAccountEnabled(Spec("bob@pop.example.com"), false, error));
    EXPECT_NE(error.find("no account"), std::string::npos) << error;

    Register("bob@pop.example.com");
    error.clear();
    EXPECT_FALSE(RemoveDirectAccount(Spec("bob@pop.example.com:111"), error));
    EXPECT_NE(error.find("no account bob@pop.example.com:111"), std::string::npos) << error;
    error.clear();
    EXPECT_FALSE(SetDirectAccountEnabled(Spec("ann@pop.example.com"), true, error));
    CRegistryKey missing;
    EXPECT_FALSE(missing.Open(
        HKEY_CURRENT_USER,
        "Software\\Brevant\\Quillon\\Clients\\Direct client\\ann@pop.example.com:110", KEY_READ))
        << "enabling a missing account must not create it";
    EXPECT_TRUE(Lookup("pop.example.com", "bob").found);
}

}  // namespace
