#include "app/EngineEvents.h"

#include "app/SentMailLearning.h"
#include "ferrymail/proxy/NonFriendCollection.h"
#include "ferrymail/store/MessageDatabase.h"
#include "filter/FilterChain.h"

CEngineEvents::CEngineEvents(CFilterChain* chain, CSentMailLearning* learning)
    : m_chain(chain), m_learning(learning), m_thread([this] { Run(); }) {}

CEngineEvents::~CEngineEvents() {
    Stop();
}

void CEngineEvents::Post(UINT, UINT wParam, long, CRefCount* object) {
    const int code = static_cast<int>(wParam & 0xFFFF);
    const bool learn = code == MN_SMTP_SCRAPED && m_learning != nullptr &&
                       dynamic_cast<CNonFriendCollection*>(object) != nullptr;
    if (!learn) {
        CRefCount::DoRelease(object);
        object = nullptr;
        if (code != MN_END_CONNECTION && code != MN_NEW_CONNECTION)
            return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_stopping) {
            m_codes.push_back(SEvent{code, object});
            m_changed.notify_all();
            return;
        }
    }
    CRefCount::DoRelease(object);
}

void CEngineEvents::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_changed.notify_all();
    }
    if (m_thread.joinable())
        m_thread.join();
}

void CEngineEvents::WaitIdle() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_codes.empty() && !m_busy; });
}

int CEngineEvents::GetReloadCount() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reloads;
}

void CEngineEvents::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return !m_codes.empty() || m_stopping; });
        if (m_codes.empty())
            return;
        const SEvent event = m_codes.front();
        m_codes.pop_front();
        m_busy = true;
        lock.unlock();
        Carry(event);
        lock.lock();
        m_busy = false;
        if (event.code == MN_END_CONNECTION)
            ++m_reloads;
        m_changed.notify_all();
    }
}

void CEngineEvents::Carry(const SEvent& event) {
    if (event.code == MN_END_CONNECTION) {
        m_chain->ReloadLists();
    } else if (event.code == MN_NEW_CONNECTION) {
        m_chain->ResetCheckTallies();
    } else {
        std::string error;  // the learning logs it
        m_learning->Learn(*static_cast<CNonFriendCollection*>(event.object),
                          SLearningPreferences::Read(), error);
        CRefCount::DoRelease(event.object);
    }
}
