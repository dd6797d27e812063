// The user-interface password of the message database: digest, registry values, asking.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TestHome.h"
#include "ferrymail/store/MessageDatabase.h"
#include "kinbook/foundation/RegistryKey.h"

namespace {

const char kSettings[] = "SOFTWARE\\Brevant\\Quillon\\Settings";

struct SDigestCase {
    std::string password;
    const char* digest;
};

TEST(HashPasswordTest, KnownDigests) {
    const SDigestCase cases[] = {
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        // Every byte counts, a zero byte too.
        {std::string("abc\0", 4), "686483805ac47ca14e03514f7481a7973b401762"},
    };
    for (const SDigestCase& entry : cases) {
        std::string digest = "left over";
        CMessageDatabase::HashPassword(digest, entry.password);
        EXPECT_EQ(digest, entry.digest) << entry.password.size();
    }
}

TEST(HashPasswordTest, MatchIgnoresCaseOfTheStoredDigest) {
    const char* lower = "a9993e364706816aba3e25717850c26c9cd0d89d";
    const char* upper = "A9993E364706816ABA3E25717850C26C9CD0D89D";
    EXPECT_EQ(CMessageDatabase::MatchPassword(lower, "abc"), 1);
    EXPECT_EQ(CMessageDatabase::MatchPassword(upper, "abc"), 1);
    EXPECT_EQ(CMessageDatabase::MatchPassword(lower, "ABC"), 0);
    EXPECT_EQ(CMessageDatabase::MatchPassword("a9993e364706816aba3e25717850c26c9cd0d89", "abc"), 0);
    EXPECT_EQ(CMessageDatabase::MatchPassword("", ""), 0);
}

class PasswordTest : public ::testing::Test {
protected:
    void SetUp() override {
        CMessageDatabase::Shutdown();
        m_database = CMessageDatabase::GetMessageDatabase();
        // Stands in for the ask dialog: the user types m_typed and clicks OK.
        CMessageDatabase::SetPasswordPrompt([this](const std::string& storedDigest) {
            m_asked.push_back(storedDigest);
            return CMessageDatabase::MatchPassword(storedDigest, m_typed);
        });
    }
    void TearDown() override {
        CMessageDatabase::SetPasswordPrompt(nullptr);
        CMessageDatabase::Shutdown();
    }

    bool HasValue(const char* name) {
        CRegistryKey key;
        std::string text;
        DWORD number = 0;
        return key.Open(HKEY_CURRENT_USER, kSettings, KEY_READ) &&
               (key.QueryValue(name, text) || key.QueryValue(name, number));
    }
    std::string Digest() {
        CRegistryKey key;
        std::string text;
        if (key.Open(HKEY_CURRENT_USER, kSettings, KEY_READ))
            key.QueryValue("sha", text);
        return text;
    }
    DWORD Always() {
        CRegistryKey key;
        DWORD value = 99;
        if (key.Open(HKEY_CURRENT_USER, kSettings, KEY_READ))
            key.QueryValue("shaalways", value);
        return value;
    }

    CTestHome m_home;
    CMessageDatabase* m_database = nullptr;
    std::string m_typed;
    std::vector<std::string> m_asked;
};

TEST_F(PasswordTest, NoPasswordGrantsWithoutAsking) {
    EXPECT_EQ(m_database->CheckPassword(1), 1);
    EXPECT_EQ(m_database->CheckPassword(0), 1);
    // A settings key without "sha" is no password either.
    CRegistryKey key;
    ASSERT_TRUE(key.OpenCarefully(HKEY_CURRENT_USER, kSettings));
    ASSERT_TRUE(key.SetValue("shaalways", 1));
    EXPECT_EQ(m_database->CheckPassword(1), 1);
    EXPECT_TRUE(m_asked.empty());
}

TEST_F(PasswordTest, SetPasswordWritesTheDigest) {
    ASSERT_EQ(m_database->SetPassword("secret", 0), 1);
    std::string expected;
    CMessageDatabase::HashPassword(expected, "secret");
    EXPECT_EQ(Digest(), expected);
    EXPECT_EQ(Always(), 0u);
    ASSERT_EQ(m_database->SetPassword("other", 1), 1);
    CMessageDatabase::HashPassword(expected, "other");
    EXPECT_EQ(Digest(), expected);
    EXPECT_EQ(Always(), 1u);
}

TEST_F(PasswordTest, AskOncePerRun) {
    ASSERT_EQ(m_database->SetPassword("secret", 0), 1);

    m_typed = "wrong";
    EXPECT_EQ(m_database->CheckPassword(0), 0);
    ASSERT_EQ(m_asked.size(), 1u);
    EXPECT_EQ(m_asked[0], Digest());  // the dialog gets the stored digest

    m_typed = "secret";
    EXPECT_EQ(m_database->CheckPassword(0), 1);
    EXPECT_EQ(m_asked.size(), 2u);

    // Given once: not asked again, unless forced.
    m_typed = "wrong";
    EXPECT_EQ(m_database->CheckPassword(0), 1);
    EXPECT_EQ(m_asked.size(), 2u);
    EXPECT_EQ(m_database->CheckPassword(1), 0);
    EXPECT_EQ(m_asked.size(), 3u);
    m_typed = "secret";
    EXPECT_EQ(m_database->CheckPassword(1), 1);
    EXPECT_EQ(m_asked.size(), 4u);

    // A new instance asks again.
    CMessageDatabase::Shutdown();
    m_database = CMessageDatabase::GetMessageDatabase();
    EXPECT_EQ(m_database->CheckPassword(0), 1);
    EXPECT_EQ(m_asked.size(), 5u);
}

TEST_F(PasswordTest, AskAlways) {
    ASSERT_EQ(m_database->SetPassword("secret", 1), 1);
    m_typed = "secret";
    EXPECT_EQ(m_database->CheckPassword(0), 1);
    EXPECT_EQ(m_database->CheckPassword(0), 1);
    EXPECT_EQ(m_asked.size(), 2u);
    m_typed = "wrong";
    EXPECT_EQ(m_database->CheckPassword(0), 0);
}

TEST_F(PasswordTest, EmptyPasswordRemovesItAndKeepsAlways) {
    ASSERT_EQ(m_database->SetPassword("secret", 1), 1);
    ASSERT_EQ(m_database->SetPassword("", 0), 1);
    EXPECT_FALSE(HasValue("sha"));
    EXPECT_EQ(Always(), 1u);
    EXPECT_EQ(m_database->CheckPassword(1), 1);
    EXPECT_TRUE(m_asked.empty());
    // Removing what is not there is no failure.
    EXPECT_EQ(m_database->SetPassword("", 0), 1);
}

TEST_F(PasswordTest, WithoutPromptNothingIsGranted) {
    ASSERT_EQ(m_database->SetPassword("secret", 0), 1);
    CMessageDatabase::SetPasswordPrompt(nullptr);
    EXPECT_EQ(m_database->CheckPassword(0), 0);
    EXPECT_EQ(m_database->CheckPassword(1), 0);
}

TEST_F(PasswordTest, UnwritableRegistryIsReported) {
    // The hive folder is a plain file: nothing can be saved (whoever runs the test).
    std::filesystem::remove_all(m_home.Path() + "/registry");
    std::ofstream(m_home.Path() + "/registry") << "not a folder";
    RegResetHives();
    EXPECT_EQ(m_database->SetPassword("secret", 1), 0);
    EXPECT_EQ(m_database->SetPassword("", 0), 0);
    // Nothing readable: no password.
    EXPECT_EQ(m_database->CheckPassword(1), 1);
    EXPECT_TRUE(m_asked.empty());
}

}  // namespace
