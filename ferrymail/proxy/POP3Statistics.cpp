#include "proxy/POP3Statistics.h"

#include <cstdio>
#include <string>

#include "ferrymail/Logger.h"
#include "kinbook/RegistryKey.h"

namespace {

constexpr const char kStatisticsKey[] = "Software\\Brevant\\Quillon\\Statistics";

// "%d.%03d" of a time in seconds.
std::string Seconds(double seconds) {
    long milliseconds = static_cast<long>(seconds * 1000.0 + 0.5);
    char text[48];
    std::snprintf(text, sizeof text, "%ld.%03ld", milliseconds / 1000, milliseconds % 1000);
    return text;
}

void AddStatistic(CRegistryKey& key, const char* name, int amount) {
    int value = 0;
    key.QueryValue(name, value, TRUE);
    key.SetValue(name, value + amount);
}

void AddStatistic(CRegistryKey& key, const char* name, long long amount) {
    AddStatistic(key, name, static_cast<int>(amount));
}

void AddStatistic(CRegistryKey& key, const char* name, double amount) {
    double value = 0;
    if (!key.QueryValue(name, value))
        value = 0;
    key.SetValue(name, value + amount);
}

}  // namespace

void CPOP3Statistics::StartRetrieve(SBytes server) {
    m_retrieveTimer.Query(TRUE);
    m_retrieveMark = server;
}

void CPOP3Statistics::EndRetrieve(SBytes server) {
    m_retrieveTime += m_retrieveTimer.Query(FALSE);
    m_retrieveBytes.sent += server.sent - m_retrieveMark.sent;
    m_retrieveBytes.received += server.received - m_retrieveMark.received;
}

void CPOP3Statistics::StartSynch(SBytes server) {
    m_synchTimer.Query(TRUE);
    m_synchMark = server;
}

void CPOP3Statistics::EndSynch(SBytes server) {
    m_synchTime += m_synchTimer.Query(FALSE);
    m_synchBytes.sent += server.sent - m_synchMark.sent;
    m_synchBytes.received += server.received - m_synchMark.received;
}

void CPOP3Statistics::Write(CLogger& log, SBytes server, SBytes client) {
    const double sessionTime = m_sessionTimer.Query(FALSE);
    log.Log(LOG_INFO, "Stats:");
    log.LogFormat(LOG_INFO, "  Session time: %s seconds, %lld server sent, %lld server received",
                  Seconds(sessionTime).c_str(), server.sent, server.received);
    log.LogFormat(LOG_INFO, "                %lld client sent, %lld client received", client.sent,
                  client.received);
    log.LogFormat(LOG_INFO, "     Wait time: %s seconds", Seconds(m_waitTime).c_str());
    log.LogFormat(LOG_INFO, "  Retrieved %d messages", m_retrieved);
    log.LogFormat(LOG_INFO, "      Time: %s seconds, %lld server sent, %lld server received",
                  Seconds(m_retrieveTime).c_str(), m_retrieveBytes.sent, m_retrieveBytes.received);
    log.LogFormat(LOG_INFO, "  Synch: %d new", m_synchNew);
    log.LogFormat(LOG_INFO, "         %s seconds, %lld server sent, %lld server received",
                  Seconds(m_synchTime).c_str(), m_synchBytes.sent, m_synchBytes.received);
    log.LogFormat(LOG_INFO, "         %s store verify", Seconds(m_verifyTime).c_str());
    log.LogFormat(LOG_INFO, "         %d filtered, %s seconds", m_filtered,
                  Seconds(m_filterTime).c_str());
    log.LogFormat(LOG_INFO, "  Quillon deleted %d messages at shutdown, %s seconds",
                  m_shutdownDeletes, Seconds(m_shutdownDeleteTime).c_str());

    // One save of the hive for all the values.
    CRegistryBatch batch(HKEY_CURRENT_USER);
    CRegistryKey key;
    if (!key.OpenCarefully(HKEY_CURRENT_USER, kStatisticsKey, KEY_ALL_ACCESS))
        return;
    AddStatistic(key, "SessionTime", sessionTime);
    AddStatistic(key, "ServerSent", server.sent);
    AddStatistic(key, "ServerReceived", server.received);
    AddStatistic(key, "ClientSent", client.sent);
    AddStatistic(key, "ClientReceived", client.received);
    AddStatistic(key, "SessionWaitTime", m_waitTime);
    AddStatistic(key, "MessagesRetrieved", m_retrieved);
    AddStatistic(key, "MessageRetrieveTime", m_retrieveTime);
    AddStatistic(key, "MessageRetrieveSent", m_retrieveBytes.sent);
    AddStatistic(key, "MessageRetrieveReceived", m_retrieveBytes.received);
    AddStatistic(key, "SynchNewMessages", m_synchNew);
    AddStatistic(key, "SynchTime", m_synchTime);
    AddStatistic(key, "SynchSent", m_synchBytes.sent);
    AddStatistic(key, "SynchReceived", m_synchBytes.received);
    AddStatistic(key, "StoreSynchTime", m_verifyTime);
    AddStatistic(key, "FilteredMessages", m_filtered);
    AddStatistic(key, "FilterTime", m_filterTime);
    AddStatistic(key, "ShutdownDeletes", m_shutdownDeletes);
    AddStatistic(key, "ShutdownDeleteTime", m_shutdownDeleteTime);
}
