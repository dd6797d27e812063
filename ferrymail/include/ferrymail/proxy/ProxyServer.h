// One worker thread that waits on a set of handles (events and sockets) with poll() and
// hands each signalled one to a virtual handler. Base of every listener and connection;
// created and destroyed by its owner's thread, its handles used by its own thread.
#pragma once

#include <memory>
#include <thread>
#include <vector>

#include "ferrymail/proxy/EventSocket.h"
#include "ferrymail/ferrymail_export.h"
#include "kinbook/foundation/PollEvent.h"
#include "kinbook/foundation/Types.h"

enum PROTOCOL { PROTOCOL_POP3 = 0, PROTOCOL_SMTP = 1, PROTOCOL_AOL = 2 };

// What ProcessEvents asks of the loop.
enum EVENTACTION {
    EA_CONTINUE = 0,  // wait again on the same handles
    EA_REBUILD = 1,   // rebuild the handles (FillEventVec) before the next wait
    EA_LEAVE = 2      // leave the thread's loop
};

// One entry of the wait set: an event or a socket.
struct SWaitHandle {
    CPollEvent* event = nullptr;     // the event, or null for a socket
    bool autoReset = true;           // the wait clears the event when it reports it
    CEventSocket* socket = nullptr;  // the socket, or null for an event
    short pollEvents = 0;            // what the last wait found
};

class FERRYMAIL_API CProxyServer {
public:
    // How long KillThread waits for the thread to end.
    static constexpr DWORD kKillTimeout = 10000;

    CProxyServer(int port, PROTOCOL protocol);
    virtual ~CProxyServer();
    CProxyServer(const CProxyServer&) = delete;
    CProxyServer& operator=(const CProxyServer&) = delete;

    // Around every wait; nothing in the base.
    virtual void StartWait();
    virtual void EndWait();
    // The thread's loop; returns the exit code.
    virtual int RunServer();
    // At the start and end of the thread; nothing in the base.
    virtual void InitializeThread();
    virtual void TerminateThread(int exitCode);
    // Signals the kill event and waits up to kKillTimeout for the thread to end; 1 when
    // no thread is left. A thread that has not ended is left alone (result 0).
    virtual BOOL KillThread();
    // Appends this object's handles to the wait set from index `count` on and advances it.
    virtual void FillEventVec(int& count);
    // Handles one signalled entry; 0 when it is not this object's.
    virtual BOOL ProcessEvents(SWaitHandle& handle, EVENTACTION& action, int& exitCode);

    // Starts the thread on RunServer. 0 when no thread could be made.
    BOOL StartThread();
    bool HasThread() const { return m_thread.joinable(); }
    // The event that is signalled for good when the thread has ended; null without thread.
    CPollEvent* GetThreadHandle() const { return m_thread.joinable() ? m_threadEnded.get() : nullptr; }
    int GetExitCode() const { return m_exitCode; }
    // Asks the thread to leave its loop without waiting for it.
    void SignalKill() { m_killEvent.Signal(); }

    int GetPort() const { return m_port; }
    PROTOCOL GetProtocol() const { return m_protocol; }
    CProxyServer* GetNext() const { return m_next; }
    void SetNext(CProxyServer* next) { m_next = next; }

    // KillThread, and when the thread does not end in time, waits for it without limit:
    // an object is never freed under its running thread. Call it before deleting an
    // object whose thread may run: a derived part must not be destroyed under it.
    void StopThread();

protected:
    void AddEvent(int& count, CPollEvent* event, bool autoReset = true);
    void AddSocket(int& count, CEventSocket* socket);

    std::vector<SWaitHandle> m_eventVec;
    int m_port;
    PROTOCOL m_protocol;
    CEventSocket m_socket;  // the listening socket of a listener, the client's of a connection
    CPollEvent m_killEvent;
    CProxyServer* m_next = nullptr;  // guarded by the owning listener's chain lock

private:
    static void RunServerThread(CProxyServer* server);
    // Marks the sockets with decoded text waiting as readable.
    void MarkBufferedInput(std::vector<SWaitEntry>& entries, int count);

    std::thread m_thread;
    std::unique_ptr<CPollEvent> m_threadEnded;
    int m_exitCode = 0;
};
