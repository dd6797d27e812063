// A non-blocking socket as the proxy threads see it: network events in the Windows
// Sockets sense (FD_READ, FD_WRITE, FD_ACCEPT, FD_CONNECT, FD_CLOSE) read from poll()
// results, the last error, byte counts and the pending output. Owned by one CProxyServer
// and used only by that object's thread (or by its owner before the thread starts).
//
// Once TLS is started on a connected socket, Send and Receive carry plain text and the
// socket carries the ciphertext: the events stay those of the plain text (FD_READ when
// text may be read, FD_WRITE when it may be sent), with FD_HANDSHAKE at the end of the
// handshake.
#pragma once

#include <memory>
#include <string>

#include "ferrymail/proxy/SendQueue.h"
#include "ferrymail/ferrymail_export.h"
#include "kinbook/foundation/Socket.h"
#include "kinbook/foundation/Types.h"

constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;
// The TLS handshake has ended (SNetworkEvents::handshakeError tells how).
constexpr long FD_HANDSHAKE = 0x40;

// What one wait found on a socket.
struct SNetworkEvents {
    long events = 0;       // FD_* bits
    int connectError = 0;  // with FD_CONNECT: 0 connected, else the error number
    int closeError = 0;    // with FD_CLOSE: 0 orderly close, else the error number
    bool handshakeFailed = false;  // with FD_HANDSHAKE: see CEventSocket::GetTLSError
};

class CTLSChannel;

class CEventSocket {
public:
    CEventSocket();
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

    // Starts the client end of TLS on the connected socket; FD_HANDSHAKE follows. The
    // certificate is checked against `hostName` and the system's trusted certificates
    // plus those of `caFile` (may be empty), unless `verify` is false. 0 with
    // GetTLSError() when TLS cannot be set up.
    BOOL StartTLS(const std::string& hostName, const std::string& caFile, bool verify);
    bool IsTLS() const { return m_tls != nullptr; }
    // Why the handshake or the TLS stream failed.
    const std::string& GetTLSError() const { return m_tlsError; }
    // The protocol version and cipher of an established TLS stream, or empty.
    std::string GetTLSDescription() const;
    // Text has been decoded (or may be) that no poll() would report: the wait should
    // not block, and the next one reports FD_READ (or FD_CLOSE after the peer's close).
    bool HasBufferedInput() const;

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

    // Ciphertext held for the peer beyond this makes sends wait, as a full socket does.
    static constexpr size_t kTLSBacklog = 256 * 1024;

private:
    // Sends held ciphertext while the socket takes it; false on a socket error.
    bool FlushTLS();
    // Feeds what the socket has to the TLS channel: the bytes fed, or -1 at the peer's
    // close or a socket error with nothing fed.
    int FillTLS();
    BOOL GetTLSEvents(short pollEvents, SNetworkEvents& events);
    BOOL GetHandshakeEvents(short pollEvents, SNetworkEvents& events);
    int SendTLS(const char* data, int length);
    int ReceiveTLS(char* data, int length);
    void EndTLS();

    std::unique_ptr<CTLSChannel> m_tls;
    std::string m_tlsError;
    bool m_tlsEnded = false;  // the peer's close (TLS or TCP) has been seen

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
