// What one POP3 session did and how long it took: retrievals, the synchronization, the
// filtering of new mail, the deletions at logout and the time spent waiting. Logged and
// added to the registry's "Statistics" values when the client's connection closes.
#pragma once

#include "kinbook/foundation/FunctionTimer.h"

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
    void StartRetrieve(SBytes server) { m_retrieve.Start(server); }
    void EndRetrieve(SBytes server) { m_retrieve.End(server); }
    void StartSynch(SBytes server) { m_synch.Start(server); }
    void EndSynch(SBytes server) { m_synch.End(server); }
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
    // Repeated spans of work that use the server: their time and the server's bytes,
    // added up.
    struct STimedSpan {
        double time = 0;
        SBytes bytes;
        SBytes mark;
        CFunctionTimer timer;

        void Start(SBytes server);
        void End(SBytes server);
    };

    CFunctionTimer m_sessionTimer;  // from the session's creation
    double m_filterTime = 0;
    STimedSpan m_retrieve;
    STimedSpan m_synch;
    double m_verifyTime = 0;
    CFunctionTimer m_uidlTimer;
    double m_shutdownDeleteTime = 0;
    CFunctionTimer m_shutdownTimer;
    double m_waitTime = 0;
    CFunctionTimer m_waitTimer;
};
