// The headless engine's receiver of the database's notifications: when a mail client's
// connection ends it has the filter chain write its hit counts and counters
// (ReloadLists), when one begins it resets the chain's tallies of the current check, and
// the addressees of sent mail (MN_SMTP_SCRAPED) go to the sent-mail learning.
// Post runs on session threads, possibly under a store's lock, and only queues; the
// work runs on the receiver's own thread, which takes the chain lock (or the friends
// library's) and never a store's.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "ferrymail/store/NotificationSink.h"

class CFilterChain;
class CSentMailLearning;

class CEngineEvents : public INotificationSink {
public:
    // `chain` and `learning` (may be null: sent mail is not learned) must outlive Stop.
    explicit CEngineEvents(CFilterChain* chain, CSentMailLearning* learning = nullptr);
    // Stops the thread (see Stop).
    ~CEngineEvents() override;
    CEngineEvents(const CEngineEvents&) = delete;
    CEngineEvents& operator=(const CEngineEvents&) = delete;

    void Post(UINT message, UINT wParam, long data, CRefCount* object) override;
    // Carries out what is queued, then ends the thread. Safe to repeat.
    void Stop();
    // Waits until everything posted so far has been carried out.
    void WaitIdle();
    // How many times the chain's lists and counters were written.
    int GetReloadCount();

private:
    struct SEvent {
        int code;
        CRefCount* object;  // one reference, or null
    };
    void Run();
    void Carry(const SEvent& event);

    CFilterChain* m_chain;          // not owned
    CSentMailLearning* m_learning;  // not owned
    // A plain mutex, not a CCritical: the condition variable m_changed waits on it.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<SEvent> m_codes;  // guarded by m_mutex
    bool m_busy = false;      // guarded by m_mutex
    bool m_stopping = false;  // guarded by m_mutex
    int m_reloads = 0;        // guarded by m_mutex
    std::thread m_thread;
};
