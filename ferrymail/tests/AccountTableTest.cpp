#include "ferrymail/accounts/AccountTable.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>

#include "TestHome.h"
#include "kinbook/foundation/HostNames.h"
#include "kinbook/foundation/RegistryKey.h"

namespace {

uint32_t Address(const char* text) {
    uint32_t address = 0;
    EXPECT_TRUE(ParseIPv4(text, address));
    return address;
}

class AccountTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearAccountTable(TRUE);
        SetHostResolver([this](const std::string& host, std::vector<uint32_t>& out) {
            ++m_lookups[host];
            auto found = m_hosts.find(host);
            if (found == m_hosts.end())
                return false;
            out = found->second;
            return true;
        });
        SetMailClientAccountSource(nullptr);
    }
    void TearDown() override {
        ClearAccountTable(TRUE);
        SetHostResolver(nullptr);
        SetMailClientAccountSource(nullptr);
    }

    void Register(const char* client, const char* account, const char* server, const char* user,
                  int port = 0, int enabled = -1) {
        CRegistryKey key;
        std::string path = std::string("Software\\Brevant\\Quillon\\Clients\\") + client + "\\" + account;
        ASSERT_TRUE(key.OpenCarefully(HKEY_CURRENT_USER, path.c_str()));
        if (server != nullptr) {
            ASSERT_TRUE(key.SetValue("ServerName", server));
        }
        if (user != nullptr) {
            ASSERT_TRUE(key.SetValue("UserName", user));
        }
        if (port != 0) {
            ASSERT_TRUE(key.SetValue("ServerPort", port));
        }
        if (enabled >= 0) {
            ASSERT_TRUE(key.SetValue("IsEnabled", enabled));
        }
    }

    std::vector<CAccountData*> Records() {
        std::vector<CAccountData*> records;
        EnumAccountData(
            [](CAccountData* account, void* parameter) {
                account->AddRef();
                static_cast<std::vector<CAccountData*>*>(parameter)->push_back(account);
                return 0;
            },
            &records);
        return records;
    }

    CTestHome m_home;
    std::map<std::string, std::vector<uint32_t>> m_hosts;
    std::map<std::string, int> m_lookups;
};

struct SReleaser {
    CAccountData* account;
    ~SReleaser() { CRefCount::DoRelease(account); }
};

TEST_F(AccountTableTest, RegisteredAccountsBecomeRecords) {
    Register("mpop", "anna at example", "pop.example.org", "anna", 2110);
    Register("mpop", "no port", "pop.example.org", "bert");
    Register("mpop", "no user", "pop.example.org", nullptr);
    LoadAccountTable(FALSE);
    std::vector<CAccountData*> records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0]->m_description, "anna at example");
    EXPECT_EQ(records[0]->m_accountName, "anna at example");
    EXPECT_EQ(records[0]->m_programName, "mpop");
    EXPECT_EQ(records[0]->m_registryName, "mpop");
    EXPECT_EQ(records[0]->m_serverPort, 2110);
    EXPECT_EQ(records[1]->m_userName, "bert");
    EXPECT_EQ(records[1]->m_serverPort, 110);
    EXPECT_TRUE(m_lookups.empty());  // without resolving, nothing is looked up
    for (CAccountData* record : records) {
        // the table holds one reference, this test the other
        EXPECT_EQ(record->GetRefCount(), 2);
        CRefCount::DoRelease(record);
    }
}

TEST_F(AccountTableTest, FindByServerMatchesClientServerAndUserExactly) {
    Register("mpop", "a", "pop.example.org", "anna");
    SReleaser found{FindAccountByServer("pop.example.org", "anna", "mpop")};
    ASSERT_NE(found.account, nullptr);
    EXPECT_EQ(found.account->m_userName, "anna");
    EXPECT_EQ(FindAccountByServer("pop.example.org", "Anna", "mpop"), nullptr);
    EXPECT_EQ(FindAccountByServer("POP.example.org", "anna", "mpop"), nullptr);
    EXPECT_EQ(FindAccountByServer("pop.example.org", "anna", "fetchmail"), nullptr);
}

TEST_F(AccountTableTest, TunnelledAccountMatchesThroughTheCombinedName) {
    m_hosts["localhost"] = {Address("127.0.0.1")};
    m_hosts["pop.example.org"] = {Address("192.0.2.7")};
    Register("mpop", "tunnel", "localhost", "anna/pop.example.org");

    // The host after the slash was registered for resolution.
    LoadAccountTable(TRUE);
    EXPECT_EQ(m_lookups["pop.example.org"], 1);
    EXPECT_EQ(GetAccountHostsForAddress(Address("192.0.2.7")),
              std::vector<std::string>{"pop.example.org"});

    // Not by server name (the record's server is localhost), but through user/host.
    SReleaser byCombined{FindAccountByServer("pop.example.org", "anna", "whatever")};
    ASSERT_NE(byCombined.account, nullptr);
    EXPECT_EQ(byCombined.account->m_serverName, "localhost");
    SReleaser byAddress{FindAccountByAddress(Address("192.0.2.7"), "anna", "other")};
    ASSERT_NE(byAddress.account, nullptr);  // records are rebuilt on every lookup
    EXPECT_EQ(byAddress.account->m_description, "tunnel");
    // Resolved names are not resolved again on later rebuilds.
    EXPECT_EQ(m_lookups["pop.example.org"], 1);
}

TEST_F(AccountTableTest, ServersSharingAnAddressAreFoundByTheirOwnUsers) {
    m_hosts["pop.one.example"] = {Address("192.0.2.1")};
    m_hosts["mail.two.example"] = {Address("192.0.2.9"), Address("192.0.2.1")};
    Register("mpop", "one", "pop.one.example", "anna");
    Register("mpop", "two", "mail.two.example", "bert");
    SReleaser anna{FindAccountByAddress(Address("192.0.2.1"), "anna", "mpop")};
    SReleaser bert{FindAccountByAddress(Address("192.0.2.1"), "bert", "mpop")};
    ASSERT_NE(anna.account, nullptr);
    ASSERT_NE(bert.account, nullptr);
    EXPECT_EQ(anna.account->m_description, "one");
    EXPECT_EQ(bert.account->m_description, "two");
    EXPECT_EQ(GetAccountHostsForAddress(Address("192.0.2.1")),
              (std::vector<std::string>{"mail.two.example", "pop.one.example"}));
    EXPECT_EQ(FindAccountByAddress(Address("192.0.2.200"), "anna", "mpop"), nullptr);
}

TEST_F(AccountTableTest, FailedNameIsRetriedOnlyAfterAWhileAndLiteralsStandForThemselves) {
    Register("mpop", "later", "pop.late.example", "anna");
    Register("mpop", "literal", "192.0.2.55", "carl");
    SetHostResolver(nullptr);  // the real resolver: literals need no name service
    SReleaser carl{FindAccountByAddress(Address("192.0.2.55"), "carl", "mpop")};
    ASSERT_NE(carl.account, nullptr);

    ClearAccountTable(TRUE);
    auto now = std::chrono::steady_clock::now();
    SetAccountTableClock([&now] { return now; });
    SetHostResolver([this](const std::string& host, std::vector<uint32_t>& out) {
        ++m_lookups[host];
        if (host != "pop.late.example" || m_lookups[host] < 2)
            return false;
        out = {Address("192.0.2.80")};
        return true;
    });
    // The failure is remembered: the sessions within kFailedLookupMemory do not ask.
    const auto failedAt = now;
    for (int session = 0; session < 3; ++session) {
        EXPECT_EQ(FindAccountByAddress(Address("192.0.2.80"), "anna", "mpop"), nullptr);
        now += std::chrono::seconds(1);
    }
    now = failedAt + kFailedLookupMemory - std::chrono::seconds(1);
    EXPECT_EQ(FindAccountByAddress(Address("192.0.2.80"), "anna", "mpop"), nullptr);
    EXPECT_EQ(m_lookups["pop.late.example"], 1);
    now = failedAt + kFailedLookupMemory;
    SReleaser anna{FindAccountByAddress(Address("192.0.2.80"), "anna", "mpop")};
    EXPECT_NE(anna.account, nullptr);
    // A resolved name is not asked again, however much later.
    now += kFailedLookupMemory * 10;
    SReleaser again{FindAccountByServer("pop.late.example", "anna", "mpop")};
    EXPECT_EQ(m_lookups["pop.late.example"], 2);
    SetAccountTableClock(nullptr);
}

TEST_F(AccountTableTest, NameLookupDoesNotHoldTheTableLock) {
    Register("mpop", "slow", "pop.slow.example", "dora");
    bool blocked = false;
    SetHostResolver([&blocked](const std::string& host, std::vector<uint32_t>& out) {
        // Another session's thread reaches the table while this lookup is under way.
        auto other = std::async(std::launch::async, [] { GetAccountHostsForAddress(1); });
        blocked = other.wait_for(std::chrono::seconds(5)) == std::future_status::timeout;
        out = {Address("192.0.2.81")};
        return true;
    });
    SReleaser dora{FindAccountByAddress(Address("192.0.2.81"), "dora", "mpop")};
    EXPECT_NE(dora.account, nullptr);
    EXPECT_FALSE(blocked);
}

TEST_F(AccountTableTest, MailClientAccountsComeFirstAndHideTheirRegistryEntries) {
    SetMailClientAccountSource([] {
        SMailClientAccount pop;
        pop.description = "Work";
        pop.accountName = "work";
        pop.programName = "Thunderbird";
        pop.registryName = "thunderbird";
        pop.serverName = "pop.work.example";
        pop.userName = "anna";
        pop.leaveMailOnServer = true;
        SMailClientAccount imap = pop;
        imap.isPOP3 = false;
        imap.description = "IMAP";
        return std::vector<SMailClientAccount>{pop, imap};
    });
    Register("THUNDERBIRD", "Work", "pop.work.example", "anna");  // same client: skipped
    Register("mpop", "home", "pop.home.example", "anna");
    LoadAccountTable(FALSE);
    std::vector<CAccountData*> records = Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0]->m_description, "Work");
    EXPECT_TRUE(records[0]->m_leaveMailOnServer);
    EXPECT_EQ(records[1]->m_description, "home");
    for (CAccountData* record : records)
        CRefCount::DoRelease(record);
}

TEST_F(AccountTableTest, EnabledFlagComesFromTheMatchingEntryAndIsCached) {
    Register("mpop", "off", "pop.example.org", "anna", 0, 0);
    Register("mpop", "on", "pop.example.org", "bert", 0, 1);
    Register("mpop", "default", "pop.example.org", "carl");
    SReleaser anna{FindAccountByServer("pop.example.org", "anna", "mpop")};
    SReleaser bert{FindAccountByServer("pop.example.org", "bert", "mpop")};
    SReleaser carl{FindAccountByServer("pop.example.org", "carl", "mpop")};
    ASSERT_TRUE(anna.account && bert.account && carl.account);
    EXPECT_FALSE(IsAccountEnabled(anna.account));
    EXPECT_TRUE(IsAccountEnabled(bert.account));
    EXPECT_TRUE(IsAccountEnabled(carl.account));
    Register("mpop", "off", "pop.example.org", "anna", 0, 1);
    EXPECT_FALSE(IsAccountEnabled(anna.account));  // cached in this record
    SReleaser again{FindAccountByServer("pop.example.org", "anna", "mpop")};
    EXPECT_TRUE(IsAccountEnabled(again.account));  // a rebuilt record asks again
}

TEST_F(AccountTableTest, ClearingReleasesRecordsButNotCallersReferences) {
    Register("mpop", "a", "pop.example.org", "anna");
    CAccountData* account = FindAccountByServer("pop.example.org", "anna", "mpop");
    ASSERT_NE(account, nullptr);
    EXPECT_EQ(account->GetRefCount(), 2);
    ClearAccountTable(FALSE);
    EXPECT_EQ(account->GetRefCount(), 1);
    EXPECT_TRUE(CRefCount::DoRelease(account));
}

}  // namespace
