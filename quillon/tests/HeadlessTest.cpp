// The headless engine in this process: ports and their fallback, what is saved, the lock,
// the database reference and the debug log.
#include "app/Headless.h"

#include <gtest/gtest.h>

#include <fstream>
#include <ostream>
#include <sstream>

#include "PortHolder.h"
#include "TestHome.h"
#include "app/EngineEvents.h"
#include "app/SentMailOffers.h"
#include "ferrymail/proxy/NonFriendCollection.h"
#include "ferrymail/proxy/SMTPMessage.h"
#include "ferrymail/proxy/Listener.h"
#include "ferrymail/store/MessageDatabase.h"
#include "filter/FilterChain.h"
#include "filter/FilterProfile.h"
#include "kinbook/foundation/RegistryKey.h"

namespace {

constexpr const char kClientsKey[] = "Software\\Brevant\\Quillon\\Clients";

class HeadlessTest : public ::testing::Test {
protected:
    // The SMTP proxy stays off unless a test turns sent-mail learning on: its default
    // port is one for the whole machine.
    HeadlessTest() { SetLearning("Add addressees to Friends", 0); }

    static void SetLearning(const char* name, int value) {
        CRegistryKey key;
        ASSERT_TRUE(key.OpenCarefully(HKEY_CURRENT_USER, "Software\\Brevant\\Quillon\\Settings"));
        ASSERT_TRUE(key.SetValue(name, value));
    }
    static void SetClientsValue(const char* name, int value) {
        CRegistryKey key;
        ASSERT_TRUE(key.OpenCarefully(HKEY_CURRENT_USER, kClientsKey));
        ASSERT_TRUE(key.SetValue(name, value));
    }
    // The integer value, or -1 when it is missing.
    static int ClientsValue(const char* name) {
        CRegistryKey key;
        DWORD value = 0;
        if (!key.Open(HKEY_CURRENT_USER, kClientsKey, KEY_READ) || !key.QueryValue(name, value))
            return -1;
        return static_cast<int>(value);
    }
    static bool Connects(int port) {
        const int fd = ConnectLoopback(port);
        if (fd >= 0)
            close(fd);
        return fd >= 0;
    }

    CTestHome m_home;
};

TEST_F(HeadlessTest, ConfiguredPortIsUsedAndNothingIsWritten) {
    std::vector<std::unique_ptr<CPortHolder>> holders;
    const int port = FindFreePortRun(1, 0, holders);
    ASSERT_NE(port, 0);
    SetClientsValue("ProxyPort", port);
    CHeadlessEngine engine;
    std::string error;
    ASSERT_TRUE(engine.Start(-1, error)) << error;
    EXPECT_EQ(engine.GetPOP3Port(), port);
    EXPECT_TRUE(Connects(port));
    EXPECT_TRUE(engine.GetNotes().empty());
    EXPECT_EQ(ClientsValue("ProxyPort"), port);
    EXPECT_EQ(ClientsValue("SMTPProxyPort"), -1);
}

TEST_F(HeadlessTest, TakenPortsAreSkippedAndTheUsedPortIsSaved) {
    std::vector<std::unique_ptr<CPortHolder>> holders;
    const int first = FindFreePortRun(3, 2, holders);  // first and first + 1 stay taken
    ASSERT_NE(first, 0);
    SetClientsValue("ProxyPort", first);
    SetClientsValue("SMTPProxyPort", 2025);
    CHeadlessEngine engine;
    std::string error;
    ASSERT_TRUE(engine.Start(-1, error)) << error;
    EXPECT_EQ(engine.GetPOP3Port(), first + 2);
    EXPECT_TRUE(Connects(first + 2));
    EXPECT_EQ(ClientsValue("ProxyPort"), first + 2);
    EXPECT_EQ(ClientsValue("SMTPProxyPort"), first + 2 - kSMTPPortOffset);
    ASSERT_EQ(engine.GetNotes().size(), 1u);
    EXPECT_NE(engine.GetNotes()[0].find("port " + std::to_string(first) + " is taken"),
              std::string::npos)
        << engine.GetNotes()[0];
}

TEST_F(HeadlessTest, NoFreePortAmongTheTwentyOneFailsAndSavesNothing) {
    std::vector<std::unique_ptr<CPortHolder>> holders;
    const int first = FindFreePortRun(kProxyPortFallbacks + 1, kProxyPortFallbacks + 1, holders);
    ASSERT_NE(first, 0);
    SetClientsValue("ProxyPort", first);
    CHeadlessEngine engine;
    std::string error;
    EXPECT_FALSE(engine.Start(-1, error));
    EXPECT_NE(error.find("127.0.0.1:" + std::to_string(first) + " to " +
                         std::to_string(first + kProxyPortFallbacks)),
              std::string::npos)
        << error;
    EXPECT_EQ(engine.GetPOP3Listener(), nullptr);
    EXPECT_EQ(engine.GetDatabase(), nullptr);
    EXPECT_EQ(ClientsValue("ProxyPort"), first);
    EXPECT_EQ(ClientsValue("SMTPProxyPort"), -1);
    // The lock went with the failed start.
    CInstanceLock lock;
    EXPECT_TRUE(lock.Acquire(m_home.Path(), error)) << error;
}

TEST_F(HeadlessTest, FixedPortHasNoFallbackAndSavesNothing) {
    CPortHolder taken(0);
    ASSERT_TRUE(taken.IsHeld());
    SetClientsValue("ProxyPort", taken.Port());
    CHeadlessEngine engine;
    std::string error;
    EXPECT_FALSE(engine.Start(taken.Port(), error));
    EXPECT_NE(error.find("cannot listen on 127.0.0.1:" + std::to_string(taken.Port())),
              std::string::npos)
        << error;
    EXPECT_EQ(ClientsValue("ProxyPort"), taken.Port());
    EXPECT_EQ(ClientsValue("SMTPProxyPort"), -1);

    ASSERT_TRUE(engine.Start(0, error)) << error;
    EXPECT_GT(engine.GetPOP3Port(), 0);
    EXPECT_NE(engine.GetPOP3Port(), taken.Port());
    EXPECT_TRUE(Connects(engine.GetPOP3Port()));
    EXPECT_EQ(ClientsValue("ProxyPort"), taken.Port()) << "a port of this run only is not saved";
}

TEST_F(HeadlessTest, HoldsOneDatabaseReferenceAndExaminesUntilShutdown) {
    CHeadlessEngine engine;
    std::string error;
    ASSERT_TRUE(engine.Start(0, error)) << error;
    CMessageDatabase* database = engine.GetDatabase();
    ASSERT_NE(database, nullptr);
    EXPECT_EQ(database, CMessageDatabase::GetMessageDatabase());
    EXPECT_EQ(database->GetExamineMessage(), &ExamineMessage);
    ASSERT_NE(engine.GetFilterChain(), nullptr);
    EXPECT_EQ(CFilterChain::GetTheChain(), engine.GetFilterChain());
    EXPECT_NE(engine.GetFilterChain()->GetNiceFilter(), nullptr) << "the filters are loaded";
    // The instance's own reference and the engine's.
    EXPECT_EQ(database->GetRefCount(), 2);

    database->AddRef();  // keeps it alive to look at after the shut-down
    const int port = engine.GetPOP3Port();
    engine.Shutdown();
    EXPECT_EQ(database->GetRefCount(), 1)
        << "both the engine's and the instance's references dropped";
    EXPECT_NE(CMessageDatabase::GetMessageDatabase(), database) << "the database was shut down";
    CMessageDatabase::Shutdown();
    CRefCount::DoRelease(database);
    EXPECT_EQ(engine.GetPOP3Listener(), nullptr);
    EXPECT_EQ(CFilterChain::GetTheChain(), nullptr);
    EXPECT_FALSE(Connects(port)) << "the listener is gone";
    CInstanceLock lock;
    EXPECT_TRUE(lock.Acquire(m_home.Path(), error)) << error;
    engine.Shutdown();  // a second shut-down does nothing
}

TEST_F(HeadlessTest, ReadsTheInstallationFolderAndWritesTheVersionToTheDebugLog) {
    const std::string logFile = m_home.Path() + "/pop3.log";
    {
        CRegistryKey settings, installation;
        ASSERT_TRUE(settings.OpenCarefully(HKEY_CURRENT_USER,
                                           "Software\\Brevant\\Quillon\\Settings\\POP3Proxy"));
        ASSERT_TRUE(settings.SetValue("LogFileName", logFile.c_str()));
        ASSERT_TRUE(installation.OpenCarefully(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brevant\\Quillon"));
        ASSERT_TRUE(installation.SetValue("InstallationDir", "/opt/quillon"));
    }
    CHeadlessEngine engine;
    std::string error;
    ASSERT_TRUE(engine.Start(0, error)) << error;
    EXPECT_EQ(engine.GetInstallationDir(), "/opt/quillon");
    engine.Shutdown();
    std::ifstream in(logFile);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("Quillon Version 1.0.0, build 65"), std::string::npos) << text.str();
}

TEST_F(HeadlessTest, UnusableStoredPortsGiveTheDefaultWithANote) {
    enum { kMissing, kInteger, kText };
    struct SCase {
        int type;
        int value;
        int expected;
        bool note;
    };
    const SCase kCases[] = {{kMissing, 0, 2110, false},    {kInteger, 2111, 2111, false},
                            {kInteger, 1, 1, false},       {kInteger, 65535, 65535, false},
                            {kInteger, 0, 2110, true},     {kInteger, -5, 2110, true},
                            {kInteger, 65536, 2110, true}, {kText, 2111, 2110, true}};
    for (const SCase& c : kCases) {
        SCOPED_TRACE(::testing::Message() << "type " << c.type << " value " << c.value);
        CRegistryKey key;
        ASSERT_TRUE(key.OpenCarefully(HKEY_CURRENT_USER, kClientsKey));
        key.DeleteValue("ProxyPort");
        const BOOL stored = c.type == kInteger ? key.SetValue("ProxyPort", c.value)
                            : c.type == kText
                                ? key.SetValue("ProxyPort", std::to_string(c.value).c_str())
                                : TRUE;
        ASSERT_TRUE(stored);
        std::string note;
        EXPECT_EQ(ReadProxyPort(&note), c.expected);
        EXPECT_EQ(!note.empty(), c.note) << note;
    }
}

TEST_F(HeadlessTest, SmtpPortIsSavedOnlyWhenItIsAPort) {
    std::string error;
    ASSERT_TRUE(SaveProxyPorts(2111, error)) << error;
    EXPECT_EQ(ClientsValue("ProxyPort"), 2111);
    EXPECT_EQ(ClientsValue("SMTPProxyPort"), 2026);
    ASSERT_TRUE(SaveProxyPorts(85, error)) << error;
    EXPECT_EQ(ClientsValue("ProxyPort"), 85);
    EXPECT_EQ(ClientsValue("SMTPProxyPort"), 2026) << "85 - 85 is no port";
}

// Counters reach the registry when a mail client's connection ends and at the
// shut-down; a new connection resets the tallies of the current check.
TEST_F(HeadlessTest, ConnectionEventsWriteTheCounters) {
    CHeadlessEngine engine;
    std::string error;
    ASSERT_TRUE(engine.Start(0, error)) << error;
    CMessage message;
    message.SetHeader("Subject: no sender\r\n\r\nHi.\r\n", -1);
    EXPECT_EQ(engine.GetDatabase()->ExamineMessage(&message), MS_HOLD);
    EXPECT_EQ(engine.GetFilterChain()->GetCheckTallies().bad, 1);
    EXPECT_EQ(ReadProfileInt(kSettingsSection, "Evil Emails Held", -1), -1);

    const struct {
        MSG_NOTIFICATION code;
        int reloads;
        int bad;  // the current check's tally afterwards
    } steps[] = {
        {MN_FINISH_SYNCH, 0, 1},
        {MN_END_CONNECTION, 1, 1},
        {MN_NEW_CONNECTION, 1, 0},
    };
    for (const auto& step : steps) {
        engine.GetDatabase()->NotifyUI(step.code, static_cast<CMessageStore*>(nullptr), 0);
        engine.GetEvents()->WaitIdle();
        EXPECT_EQ(engine.GetEvents()->GetReloadCount(), step.reloads) << step.code;
        EXPECT_EQ(engine.GetFilterChain()->GetCheckTallies().bad, step.bad) << step.code;
    }
    EXPECT_EQ(ReadProfileInt(kSettingsSection, "Evil Emails Held", -1), 1);
    EXPECT_EQ(ReadProfileInt("Settings\\Evil Filter", "Invalid Header", -1), 1);

    EXPECT_EQ(engine.GetDatabase()->ExamineMessage(&message), MS_HOLD);
    engine.Shutdown();
    EXPECT_EQ(ReadProfileInt(kSettingsSection, "Evil Emails Held", -1), 2);
}

// With learning on the SMTP proxy listens beside the POP3 proxy (a taken port leaves it
// off with a note); the addressees a session posts reach the offers on the receiver's thread, and the
// offer commands see them through the control channel.
TEST_F(HeadlessTest, SentMailLearningRunsTheSMTPProxyAndKeepsOffers) {
    SetLearning("Add addressees to Friends", 1);
    CPortHolder taken(0);
    ASSERT_TRUE(taken.IsHeld());
    CHeadlessEngine engine;
    std::string error;
    ASSERT_TRUE(engine.Start(0, error, taken.Port())) << error;
    EXPECT_EQ(engine.GetSMTPPort(), 0) << "a taken port leaves the SMTP proxy off";
    ASSERT_EQ(engine.GetNotes().size(), 1u);
    EXPECT_NE(engine.GetNotes()[0].find("SMTP proxy cannot listen"), std::string::npos);
    engine.Shutdown();

    ASSERT_TRUE(engine.Start(0, error, 0)) << error;
    ASSERT_NE(engine.GetSMTPPort(), 0);
    EXPECT_NE(engine.GetSMTPPort(), engine.GetPOP3Port());
    EXPECT_TRUE(Connects(engine.GetSMTPPort()));

    CNonFriendCollection* collection = new CNonFriendCollection;
    collection->AddRef();
    CSMTPMessage* message = new CSMTPMessage;
    message->AddToSubject("Subject: minutes");
    collection->Add("ann@x.example", message);
    engine.GetDatabase()->NotifyUI(static_cast<UINT>(MN_SMTP_SCRAPED),
                                   static_cast<CRefCount*>(collection));
    engine.GetEvents()->WaitIdle();
    EXPECT_EQ(collection->GetRefCount(), 1) << "the receiver dropped its reference";
    CRefCount::DoRelease(collection);

    SControlReply reply;
    std::string sendError;
    ASSERT_TRUE(CControlChannel::Send(m_home.Path(), {"list-offers"}, 10000, reply, sendError,
                                      nullptr))
        << sendError;
    ASSERT_EQ(reply.output.size(), 1u);
    EXPECT_EQ(reply.output[0], "ann@x.example\t1\tminutes");
    engine.Shutdown();
    EXPECT_EQ(engine.GetSMTPPort(), 0);
}

}  // namespace
