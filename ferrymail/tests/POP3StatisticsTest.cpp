// A session's statistics add up in the registry's "Statistics" values across sessions.
#include <gtest/gtest.h>

#include "TestHome.h"
#include "ferrymail/proxy/Logger.h"
#include "kinbook/foundation/RegistryKey.h"
#include "proxy/POP3Statistics.h"

namespace {

class CQuietLog : public CLogger {
public:
    const char* GetLogName() override { return "POP3(test)"; }
};

TEST(POP3StatisticsTest, EachSessionAddsToTheRegistryValues) {
    CTestHome home;
    for (int session = 1; session <= 2; ++session) {
        CPOP3Statistics statistics;
        statistics.m_retrieved = 3;
        statistics.m_filtered = 2;
        statistics.m_synchNew = 4;
        statistics.m_shutdownDeletes = 1;
        statistics.StartRetrieve({10, 100});
        statistics.EndRetrieve({15, 400});
        statistics.StartSynch({0, 0});
        statistics.EndSynch({20, 1000});
        CQuietLog log;
        statistics.Write(log, {50, 7000}, {7, 9});

        CRegistryKey key;
        ASSERT_TRUE(key.Open(HKEY_CURRENT_USER, "Software\\Brevant\\Quillon\\Statistics", KEY_READ));
        const struct {
            const char* name;
            int each;
        } counts[] = {{"MessagesRetrieved", 3}, {"FilteredMessages", 2},
                      {"SynchNewMessages", 4},  {"ShutdownDeletes", 1},
                      {"ServerSent", 50},       {"ServerReceived", 7000},
                      {"ClientSent", 7},        {"ClientReceived", 9},
                      {"MessageRetrieveSent", 5}, {"MessageRetrieveReceived", 300},
                      {"SynchSent", 20},        {"SynchReceived", 1000}};
        for (const auto& count : counts) {
            int value = 0;
            EXPECT_TRUE(key.QueryValue(count.name, value, TRUE)) << count.name;
            EXPECT_EQ(value, count.each * session) << count.name;
        }
        double sessionTime = -1;
        EXPECT_TRUE(key.QueryValue("SessionTime", sessionTime));
        EXPECT_GE(sessionTime, 0.0);
    }
}

}  // namespace
