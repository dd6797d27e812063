// What one POP3 session did and how long it took: retrievals, the synchronization, the
// filtering of new mail, the deletions at logout and the time spent waiting. Logged and
// added to the registry's "Statistics" values when the client's connection closes.
#pragma once

#include "kinbook/FunctionTimer.h"

class CLogger;

class CPOP3Statistics {
public:
    // A socket's byte counters at one moment.
    struct SBytes {
        long long sent = 0;
        long long received = 0;
    };

    // A retrieval relayed through the server or answered from the store begins / ends;
    // `server` is the server socket's counters then.
    void StartRetrieve(SBytes server);
    void EndRetrieve(SBytes server);
    void StartSynch(SBytes server);
    void EndSynch(SBytes server);
    void StartWait() { m_waitTimer.Query(TRUE); }
    void EndWait() { m_waitTime += m_waitTimer.Query(FALSE); }
    void StartListing() { m_uidlTimer.Query(TRUE); }
    void EndListing() { m_verifyTime += m_uidlTimer.Query(FALSE); }
    void StartShutdownDeletes() { m_shutdownTimer.Query(TRUE); }
    void EndShutdownDeletes() { m_shutdownDeleteTime += m_shutdownTimer.Query(FALSE); }
    // The time of one filing of a downloaded message is added to the filter time.
    double* FilterTime() { return &m_filterTime; }

    int m_retrieved = 0;
    int m_filtered = 0;
    int m_synchNew = 0;
    int m_shutdownDeletes = 0;

    // Logs the "Stats:" lines through `log` and adds them to the registry values (one
    // batch; skipped when the key cannot be opened).
    void Write(CLogger& log, SBytes server, SBytes client);

private:
    CFunctionTimer m_sessionTimer;  // from the session's creation
    double m_filterTime = 0;
    double m_retrieveTime = 0;
    SBytes m_retrieveBytes;
    SBytes m_retrieveMark;
    CFunctionTimer m_retrieveTimer;
    double m_synchTime = 0;
    SBytes m_synchBytes;
    SBytes m_synchMark;
    CFunctionTimer m_synchTimer;
    double m_verifyTime = 0;
    CFunctionTimer m_uidlTimer;
    double m_shutdownDeleteTime = 0;
    CFunctionTimer m_shutdownTimer;
    double m_waitTime = 0;
    CFunctionTimer m_waitTimer;
};
