// Table-driven settings over the registry: defaults, save and load, the specific
// section over the general one, and each of the four types.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "TestHome.h"
#include "ferrymail/proxy/ProxySettings.h"
#include "kinbook/foundation/RegistryKey.h"

namespace {

struct STarget {
    int autopoll;
    int direct;
    int directPort;
    int offByDefault;
    int nullBoolean;
    std::string fileName;
    std::string nullText;
    POINT coords;
    POINT nullPair;
};

const SSetting kTable[] = {
    {"AutopollInterval", offsetof(STarget, autopoll), ST_INTEGER, nullptr, 0},
    {"DirectProxyListener", offsetof(STarget, direct), ST_BOOLEAN, "TRUE", 0},
    {"DirectProxyPort", offsetof(STarget, directPort), ST_INTEGER, nullptr, 110},
    {"AutoAddSender", offsetof(STarget, offByDefault), ST_BOOLEAN, "FALSE", 0},
    {"NullBoolean", offsetof(STarget, nullBoolean), ST_BOOLEAN, nullptr, 0},
    {"LogFileName", offsetof(STarget, fileName), ST_STRING, "default.log", 0},
    {"NullText", offsetof(STarget, nullText), ST_STRING, nullptr, 0},
    {"LogDocCoords", offsetof(STarget, coords), ST_PAIR, "-1,-1", 0},
    {"NullPair", offsetof(STarget, nullPair), ST_PAIR, nullptr, 0},
    {nullptr, 0, 0, nullptr, 0},
};

STarget Filled() {
    STarget target;
    target.autopoll = 12345;
    target.direct = 7;
    target.directPort = 7;
    target.offByDefault = 7;
    target.nullBoolean = 7;
    target.fileName = "junk";
    target.nullText = "junk";
    target.coords = POINT{7, 7};
    target.nullPair = POINT{7, 7};
    return target;
}

// Every field of the target in one line, so that a load is checked as a whole.
std::string Text(const STarget& t) {
    return std::to_string(t.autopoll) + " " + std::to_string(t.direct) + " " +
           std::to_string(t.directPort) + " " + std::to_string(t.offByDefault) + " " +
           std::to_string(t.nullBoolean) + " [" + t.fileName + "] [" + t.nullText + "] " +
           std::to_string(t.coords.x) + "," + std::to_string(t.coords.y) + " " +
           std::to_string(t.nullPair.x) + "," + std::to_string(t.nullPair.y);
}

}  // namespace

class ProxySettingsTest : public ::testing::Test {
protected:
    // A value in a key below the settings key, made for the test.
    template <typename T>
    void Write(const char* section, const char* name, T value) {
        CRegistryKey key;
        ASSERT_TRUE(key.OpenCarefully(HKEY_CURRENT_USER,
                                      (std::string(CProxySettings::kSettingsKey) + "\\" + section).c_str()));
        ASSERT_TRUE(key.SetValue(name, value));
    }

    CTestHome m_home;
};

TEST_F(ProxySettingsTest, MissingKeysGiveDefaults) {
    CProxySettings settings("POP3Proxy", kTable);
    STarget target = Filled();
    settings.ReloadSettings(nullptr, &target);
    EXPECT_EQ(Text(target), "0 1 110 0 0 [default.log] [] -1,-1 0,0");
}

TEST_F(ProxySettingsTest, BooleanDefaultTrueIgnoresCase) {
    const SSetting table[] = {
        {"A", offsetof(STarget, autopoll), ST_BOOLEAN, "true", 0},
        {"B", offsetof(STarget, direct), ST_BOOLEAN, "True", 0},
        {"C", offsetof(STarget, directPort), ST_BOOLEAN, "yes", 0},
        {nullptr, 0, 0, nullptr, 0},
    };
    CProxySettings settings("X", table);
    STarget target = Filled();
    settings.ReloadSettings(nullptr, &target);
    EXPECT_EQ(target.autopoll, 1);
    EXPECT_EQ(target.direct, 1);
    EXPECT_EQ(target.directPort, 0);
}

TEST_F(ProxySettingsTest, SaveThenLoadBackEveryType) {
    CProxySettings settings("POP3Proxy", kTable);
    STarget saved = Filled();
    saved.autopoll = 15;
    saved.direct = 0;
    saved.directPort = 1110;
    saved.offByDefault = 1;
    saved.nullBoolean = 5;  // any non-zero value is saved as 1
    saved.fileName = "/var/log/quillon proxy.log";
    saved.nullText = "";
    saved.coords = POINT{120, -40};
    saved.nullPair = POINT{0, 7};
    settings.SaveSettings(nullptr, &saved);

    RegResetHives();  // read back from the hive file
    STarget loaded = Filled();
    CProxySettings(settings).ReloadSettings(nullptr, &loaded);
    EXPECT_EQ(Text(loaded), "15 0 1110 1 1 [/var/log/quillon proxy.log] [] 120,-40 0,7");

    // The storage of each type.
    CRegistryKey key;
    ASSERT_TRUE(key.Open(HKEY_CURRENT_USER, "SOFTWARE\\Brevant\\Quillon\\Settings\\POP3Proxy",
                         KEY_READ));
    DWORD number = 0;
    EXPECT_TRUE(key.QueryValue("DirectProxyPort", number));
    EXPECT_EQ(number, 1110u);
    EXPECT_TRUE(key.QueryValue("NullBoolean", number));
    EXPECT_EQ(number, 1u);
    std::string text;
    EXPECT_TRUE(key.QueryValue("LogDocCoords", text));
    EXPECT_EQ(text, "120,-40");
    EXPECT_TRUE(key.QueryValue("LogFileName", text));
    EXPECT_EQ(text, "/var/log/quillon proxy.log");
}

TEST_F(ProxySettingsTest, SaveIntoNamedSection) {
    CProxySettings settings("POP3Proxy", kTable);
    STarget saved = Filled();
    settings.SaveSettings("bob-mail.example.com", &saved);
    STarget loaded = Filled();
    settings.ReloadSettings(nullptr, &loaded);
    EXPECT_EQ(loaded.directPort, 110);  // the general section is untouched
    settings.ReloadSettings("bob-mail.example.com", &loaded);
    EXPECT_EQ(loaded.directPort, 7);
    EXPECT_EQ(settings.GetSpecificSection(), "bob-mail.example.com");
}

TEST_F(ProxySettingsTest, SpecificSectionOverridesGeneral) {
    Write("POP3Proxy", "AutopollInterval", 5);
    Write("POP3Proxy", "DirectProxyPort", 1110);
    Write("POP3Proxy", "LogFileName", "general.log");
    Write("bob-host", "AutopollInterval", 9);
    Write("bob-host", "LogDocCoords", "3,4");
    CProxySettings settings("POP3Proxy", kTable);
    STarget target = Filled();
    settings.ReloadSettings("bob-host", &target);
    EXPECT_EQ(target.autopoll, 9);        // specific
    EXPECT_EQ(target.directPort, 1110);   // general
    EXPECT_EQ(target.fileName, "general.log");
    EXPECT_EQ(target.coords.x, 3);        // specific only
    EXPECT_EQ(target.coords.y, 4);
    EXPECT_EQ(target.direct, 1);          // neither: default

    // The specific name is kept for the next load; an empty one drops it.
    STarget again = Filled();
    settings.ReloadSettings(nullptr, &again);
    EXPECT_EQ(again.autopoll, 9);
    settings.ReloadSettings("", &again);
    EXPECT_EQ(again.autopoll, 5);
}

TEST_F(ProxySettingsTest, SpecificSectionWithoutGeneral) {
    Write("only-specific", "DirectProxyPort", 995);
    CProxySettings settings("NoSuchSection", kTable);
    STarget target = Filled();
    settings.ReloadSettings("only-specific", &target);
    EXPECT_EQ(target.directPort, 995);
    EXPECT_EQ(target.autopoll, 0);
}

TEST_F(ProxySettingsTest, PairTexts) {
    struct Case {
        const char* text;
        int x;
        int y;
    };
    const Case kCases[] = {
        {"10,20", 10, 20}, {"-5,-6", -5, -6}, {"", 0, 0}, {"7", 7, 0}, {"junk", 0, 0}, {" 1, 2", 1, 2},
    };
    CProxySettings settings("Pairs", kTable);
    for (const Case& c : kCases) {
        Write("Pairs", "LogDocCoords", c.text);
        STarget target = Filled();
        settings.ReloadSettings(nullptr, &target);
        EXPECT_EQ(target.coords.x, c.x) << c.text;
        EXPECT_EQ(target.coords.y, c.y) << c.text;
    }
}

// A value of the wrong type does not read; the general value or the default stands.
TEST_F(ProxySettingsTest, WrongTypeFallsBack) {
    Write("POP3Proxy", "DirectProxyPort", "1110");
    Write("POP3Proxy", "LogFileName", 42);
    CProxySettings settings("POP3Proxy", kTable);
    STarget target = Filled();
    settings.ReloadSettings(nullptr, &target);
    EXPECT_EQ(target.directPort, 110);
    EXPECT_EQ(target.fileName, "default.log");
}

TEST_F(ProxySettingsTest, NoTableDoesNothing) {
    CProxySettings settings("Empty", nullptr);
    STarget target = Filled();
    settings.ReloadSettings("x", &target);
    settings.SaveSettings(nullptr, &target);
    EXPECT_EQ(target.autopoll, 12345);
    CRegistryKey key;
    EXPECT_FALSE(key.Open(HKEY_CURRENT_USER, "SOFTWARE\\Brevant\\Quillon\\Settings\\Empty", KEY_READ));
}

TEST_F(ProxySettingsTest, CopiesKeepSectionAndTable) {
    CProxySettings original("POP3Proxy", kTable);
    STarget target = Filled();
    original.ReloadSettings("bob-host", &target);
    CProxySettings copy(original);
    EXPECT_EQ(copy.GetSection(), "POP3Proxy");
    EXPECT_EQ(copy.GetSpecificSection(), "bob-host");
    CProxySettings assigned("Other", nullptr);
    assigned = original;
    EXPECT_EQ(assigned.GetSection(), "POP3Proxy");
    Write("POP3Proxy", "DirectProxyPort", 2110);
    assigned.ReloadSettings(nullptr, &target);
    EXPECT_EQ(target.directPort, 2110);
}
