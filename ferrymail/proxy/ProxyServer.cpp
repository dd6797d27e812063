#include "ferrymail/proxy/ProxyServer.h"

#include <system_error>

CProxyServer::CProxyServer(int port, PROTOCOL protocol) : m_port(port), m_protocol(protocol) {
    m_eventVec.reserve(10);
}

CProxyServer::~CProxyServer() { StopThread(); }

void CProxyServer::StartWait() {}
void CProxyServer::EndWait() {}
void CProxyServer::InitializeThread() {}
void CProxyServer::TerminateThread(int exitCode) {}

void CProxyServer::AddEvent(int& count, CPollEvent* event, bool autoReset) {
    if (m_eventVec.size() <= static_cast<size_t>(count))
        m_eventVec.resize(count + 1);
    SWaitHandle& entry = m_eventVec[count++];
    entry = SWaitHandle();
    entry.event = event;
    entry.autoReset = autoReset;
}

void CProxyServer::AddSocket(int& count, CEventSocket* socket) {
    if (m_eventVec.size() <= static_cast<size_t>(count))
        m_eventVec.resize(count + 1);
    SWaitHandle& entry = m_eventVec[count++];
    entry = SWaitHandle();
    entry.socket = socket;
}

void CProxyServer::FillEventVec(int& count) { AddEvent(count, &m_killEvent); }

BOOL CProxyServer::ProcessEvents(SWaitHandle& handle, EVENTACTION& action, int& exitCode) {
    if (handle.event != &m_killEvent)
        return FALSE;
    exitCode = 0;
    action = EA_LEAVE;
    return TRUE;
}

int CProxyServer::RunServer() {
    EVENTACTION action = EA_REBUILD;
    int exitCode = 0;
    int count = 0;
    std::vector<SWaitEntry> entries;
    InitializeThread();
    for (;;) {
        if (action == EA_REBUILD) {
            count = 0;
            FillEventVec(count);
            action = EA_CONTINUE;
        }
        // A socket closed since the set was built makes the wait fail, as a closed
        // event handle would.
        entries.resize(count);
        bool invalid = false;
        // Text a TLS socket has decoded already is no event for poll(): the wait only
        // looks at the others and the socket counts as readable.
        bool buffered = false;
        for (int i = 0; i < count; ++i) {
            const SWaitHandle& handle = m_eventVec[i];
            if (handle.socket != nullptr) {
                if (!handle.socket->IsOpen()) {
                    invalid = true;
                    break;
                }
                buffered = buffered || handle.socket->HasBufferedInput();
                entries[i] = SWaitEntry{handle.socket->GetHandle(), handle.socket->GetWaitEvents(), 0};
            } else {
                entries[i] = SWaitEntry{handle.event->GetHandle(), kWaitRead, 0};
            }
        }
        if (invalid) {
            exitCode = 1;
            break;
        }
        StartWait();
        int error = 0;
        const int ready = SockWait(entries.data(), count, buffered ? 0 : -1, error);
        EndWait();
        if (ready < 0) {
            exitCode = 1;
            break;
        }
        if (ready == 0 && !buffered) {
            exitCode = 2;
            break;
        }
        if (buffered)
            MarkBufferedInput(entries, count);
        // Every signalled entry in order, as repeated waits would report them, until a
        // handler changes the set.
        bool leave = false;
        for (int i = 0; i < count && action == EA_CONTINUE; ++i) {
            if (entries[i].revents == 0)
                continue;
            if (entries[i].revents & kWaitInvalid) {
                exitCode = 1;
                leave = true;
                break;
            }
            SWaitHandle& handle = m_eventVec[i];
            handle.pollEvents = entries[i].revents;
            if (handle.event != nullptr && handle.autoReset)
                handle.event->Reset();
            if (ProcessEvents(handle, action, exitCode) && action == EA_LEAVE) {
                leave = true;
                break;
            }
            if (action == EA_LEAVE)
                action = EA_CONTINUE;
        }
        if (leave)
            break;
    }
    TerminateThread(exitCode);
    return exitCode;
}

void CProxyServer::MarkBufferedInput(std::vector<SWaitEntry>& entries, int count) {
    for (int i = 0; i < count; ++i) {
        const CEventSocket* socket = m_eventVec[i].socket;
        if (socket != nullptr && socket->HasBufferedInput())
            entries[i].revents |= kWaitRead;
    }
}

void CProxyServer::RunServerThread(CProxyServer* server) {
    server->m_exitCode = server->RunServer();
    // The last touch of the object: once signalled, the owner may destroy it.
    server->m_threadEnded->Signal();
}

BOOL CProxyServer::StartThread() {
    if (m_thread.joinable())
        return FALSE;
    m_threadEnded = std::make_unique<CPollEvent>();
    if (!m_threadEnded->IsValid() || !m_killEvent.IsValid())
        return FALSE;
    m_killEvent.Reset();
    try {
        m_thread = std::thread(&CProxyServer::RunServerThread, this);
    } catch (const std::system_error&) {
        return FALSE;
    }
    return TRUE;
}

BOOL CProxyServer::KillThread() {
    if (!m_thread.joinable())
        return TRUE;
    if (m_thread.get_id() == std::this_thread::get_id())
        return FALSE;
    m_killEvent.Signal();
    if (!m_threadEnded->Wait(kKillTimeout))
        return FALSE;
    m_thread.join();
    return TRUE;
}

void CProxyServer::StopThread() {
    if (!KillThread() && m_thread.joinable() &&
        m_thread.get_id() != std::this_thread::get_id())
        m_thread.join();
}
