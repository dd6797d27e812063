#include "app/EngineEvents.h"

#include "ferrymail/store/MessageDatabase.h"
#include "filter/FilterChain.h"

CEngineEvents::CEngineEvents(CFilterChain* chain) : m_chain(chain), m_thread([this] { Run(); }) {}

CEngineEvents::~CEngineEvents() {
    Stop();
}

void CEngineEvents::Post(UINT, UINT wParam, long, CRefCount* object) {
    if (object != nullptr)
        CRefCount::DoRelease(object);
    const int code = static_cast<int>(wParam & 0xFFFF);
    if (code != MN_END_CONNECTION && code != MN_NEW_CONNECTION)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopping)
        return;
    m_codes.push_back(code);
    m_changed.notify_all();
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
        const int code = m_codes.front();
        m_codes.pop_front();
        m_busy = true;
        lock.unlock();
        if (code == MN_END_CONNECTION)
            m_chain->ReloadLists();
        else
            m_chain->ResetCheckTallies();
        lock.lock();
        m_busy = false;
        if (code == MN_END_CONNECTION)
            ++m_reloads;
        m_changed.notify_all();
    }
}
