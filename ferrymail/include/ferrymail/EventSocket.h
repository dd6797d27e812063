// A non-blocking socket as the proxy threads see it: network events in the Windows
// Sockets sense (FD_READ, FD_WRITE, FD_ACCEPT, FD_CONNECT, FD_CLOSE) read from poll()
// results, the last error, byte counts and the pending output. Owned by one CProxyServer
// and used only by that object's thread (or by its owner before the thread starts).
#pragma once

#include "ferrymail/SendQueue.h"
#include "ferrymail/ferrymail_export.h"
#include "kinbook/Socket.h"
#include "kinbook/Types.h"

constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;

// What one wait found on a socket.
struct SNetworkEvents {
    long events = 0;       // FD_* bits
    int connectError = 0;  // with FD_CONNECT: 0 connected, else the error number
    int closeError = 0;    // with FD_CLOSE: 0 orderly close, else the error number
};

class CEventSocket {
public:
    CEventSocket() = default;
    // Takes an accepted socket. Until its first FD_WRITE, whatever is sent is queued.
    explicit CEventSocket(SOCKET accepted);
    ~CEventSocket();
    CEventSocket(const CEventSocket&) = delete;
    CEventSocket& operator=(const CEventSocket&) = delete;

    bool IsOpen() const { return m_socket != INVALID_SOCKET; }
    SOCKET GetHandle() const { return m_socket; }
    int GetLastError() const { return m_lastError; }
    void SetLastError(int error) { m_lastError = error; }

    // Takes `socket` (closing any socket held before), as the constructor does.
    void Attach(SOCKET socket);
    // A new TCP socket for connecting (`listener` 0) or listening. 0 on failure.
    BOOL Create(BOOL listener);
    BOOL Bind(const SSocketAddress& address);
    BOOL Listen(int backlog);
    // The port the socket is bound to, or 0.
    int GetLocalPort();
    // Accepts one waiting client; INVALID_SOCKET on failure (error recorded).
    SOCKET Accept(SSocketAddress* address);
    // 1 connected at once; 0 with GetLastError() WSAEWOULDBLOCK while under way
    // (FD_CONNECT tells the outcome), else failed.
    BOOL Connect(const SSocketAddress& address);
    // Shuts both directions and closes; queued output is dropped. Safe when closed.
    void Close();

    // Bytes the socket took, or -1 (error recorded, WSAEWOULDBLOCK when full).
    int Send(const char* data, int length);
    // Bytes read, 0 at the peer's close, or -1 (error recorded).
    int Receive(char* data, int length);
    // Bytes waiting, or -1 (error recorded).
    int Available();

    // poll() events to wait for in the socket's present state.
    short GetWaitEvents() const;
    // Turns the poll() result of the last wait into network events. 0 when the events
    // could not be read (error recorded).
    BOOL GetNetworkEvents(short pollEvents, SNetworkEvents& events);

    // While paused, a wait does not ask for data to read: what was read from this
    // socket is still waiting to leave by the other one.
    void SetReadPaused(bool paused) { m_readPaused = paused; }
    bool IsReadPaused() const { return m_readPaused; }

    // 1 while sends may go straight to the socket.
    BOOL IsWritable() const { return m_writable; }
    void SetWritable(BOOL writable) { m_writable = writable; }
    CSendQueue& GetPending() { return m_pending; }
    long long GetBytesSent() const { return m_bytesSent; }
    long long GetBytesReceived() const { return m_bytesReceived; }

private:
    SOCKET m_socket = INVALID_SOCKET;
    BOOL m_writable = FALSE;
    int m_lastError = 0;
    CSendQueue m_pending;
    long long m_bytesSent = 0;
    long long m_bytesReceived = 0;
    bool m_listening = false;
    bool m_connecting = false;  // a connect is under way: FD_CONNECT is still to come
    bool m_readPaused = false;
};
