#include "proxy/POP3Statistics.h"

#include <cstdio>
#include <string>

#include "ferrymail/proxy/Logger.h"
#include "kinbook/foundation/RegistryKey.h"

namespace {

constexpr const char kStatisticsKey[] = "Software\\Brevant\\Quillon\\Statistics";

// "%d.%03d" of a time in seconds.
std::string Seconds(double seconds) {
    long milliseconds = static_cast<long>(seconds * 1000.0 + 0.5);
    char text[48];
    std::snprintf(text, sizeof text, "%ld.%03ld", milliseconds / 1000, milliseconds % 1000);
    return text;
}

// "<seconds> seconds, <n> server sent, <n> server received".
std::string SpanText(double seconds, CPOP3Statistics::SBytes server) {
    char text[96];
    std::snprintf(text, sizeof text, " seconds, %lld server sent, %lld server received",
                  server.sent, server.received);
    return Seconds(seconds) + text;
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

// The values "<prefix>Time", "<prefix>Sent" and "<prefix>Received" of one span.
void AddSpan(CRegistryKey& key, const std::string& prefix, double seconds,
             CPOP3Statistics::SBytes server) {
    AddStatistic(key, (prefix + "Time").c_str(), seconds);
    AddStatistic(key, (prefix + "Sent").c_str(), server.sent);
    AddStatistic(key, (prefix + "Received").c_str(), server.received);
}

}  // namespace

void CPOP3Statistics::STimedSpan::Start(SBytes server) {
    timer.Query(TRUE);
    mark = server;
}

void CPOP3Statistics::STimedSpan::End(SBytes server) {
    time += timer.Query(FALSE);
    bytes.sent += server.sent - mark.sent;
    bytes.received += server.received - mark.received;
}

void CPOP3Statistics::Write(CLogger& log, SBytes server, SBytes client) {
    const double sessionTime = m_sessionTimer.Query(FALSE);
    log.Log(LOG_INFO, "Stats:");
    log.LogFormat(LOG_INFO, "  Session time: %s", SpanText(sessionTime, server).c_str());
    log.LogFormat(LOG_INFO, "                %lld client sent, %lld client received", client.sent,
                  client.received);
    log.LogFormat(LOG_INFO, "     Wait time: %s seconds", Seconds(m_waitTime).c_str());
    log.LogFormat(LOG_INFO, "  Retrieved %d messages", m_retrieved);
    log.LogFormat(LOG_INFO, "      Time: %s", SpanText(m_retrieve.time, m_retrieve.bytes).c_str());
    log.LogFormat(LOG_INFO, "  Synch: %d new", m_synchNew);
    log.LogFormat(LOG_INFO, "         %s", SpanText(m_synch.time, m_synch.bytes).c_str());
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
    AddSpan(key, "MessageRetrieve", m_retrieve.time, m_retrieve.bytes);
    AddStatistic(key, "SynchNewMessages", m_synchNew);
    AddSpan(key, "Synch", m_synch.time, m_synch.bytes);
    AddStatistic(key, "StoreSynchTime", m_verifyTime);
    AddStatistic(key, "FilteredMessages", m_filtered);
    AddStatistic(key, "FilterTime", m_filterTime);
    AddStatistic(key, "ShutdownDeletes", m_shutdownDeletes);
    AddStatistic(key, "ShutdownDeleteTime", m_shutdownDeleteTime);
}
