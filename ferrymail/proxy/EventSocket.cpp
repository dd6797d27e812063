#include "ferrymail/EventSocket.h"

namespace {

// A proxy's sends are whole replies or commands, gathered per read: waiting for the
// peer's acknowledgement before sending a small one (Nagle's algorithm) only stalls a
// pipelining peer that delays its acknowledgements.
void SendWithoutDelay(SOCKET socket) { SockSetNoDelay(socket); }

}  // namespace

CEventSocket::CEventSocket(SOCKET accepted) : m_socket(accepted) {}

CEventSocket::~CEventSocket() { Close(); }

void CEventSocket::Attach(SOCKET socket) {
    Close();
    m_socket = socket;
    m_writable = FALSE;
    m_readPaused = false;
    if (m_socket != INVALID_SOCKET)
        SendWithoutDelay(m_socket);
}

BOOL CEventSocket::Create(BOOL listener) {
    Close();
    m_socket = SockCreateStream(listener, m_lastError);
    m_writable = FALSE;
    m_readPaused = false;
    if (m_socket == INVALID_SOCKET)
        return FALSE;
    if (!listener)
        SendWithoutDelay(m_socket);
    return TRUE;
}

BOOL CEventSocket::Bind(const SSocketAddress& address) {
    return SockBind(m_socket, address, m_lastError);
}

BOOL CEventSocket::Listen(int backlog) {
    if (!SockListen(m_socket, backlog, m_lastError))
        return FALSE;
    m_listening = true;
    return TRUE;
}

int CEventSocket::GetLocalPort() {
    SSocketAddress address;
    if (!SockLocalAddress(m_socket, address, m_lastError))
        return 0;
    return SocketAddressPort(address);
}

SOCKET CEventSocket::Accept(SSocketAddress* address) {
    return SockAccept(m_socket, address, m_lastError);
}

BOOL CEventSocket::Connect(const SSocketAddress& address) {
    m_writable = FALSE;
    if (SockConnect(m_socket, address, m_lastError))
        return TRUE;
    m_connecting = m_lastError == WSAEWOULDBLOCK;
    return FALSE;
}

void CEventSocket::Close() {
    if (m_socket == INVALID_SOCKET)
        return;
    SockShutdown(m_socket);
    SockClose(m_socket);
    m_socket = INVALID_SOCKET;
    m_writable = FALSE;
    m_listening = false;
    m_connecting = false;
}

int CEventSocket::Send(const char* data, int length) {
    const int sent = SockSend(m_socket, data, length, m_lastError);
    if (sent > 0)
        m_bytesSent += sent;
    return sent;
}

int CEventSocket::Receive(char* data, int length) {
    const int got = SockRecv(m_socket, data, length, m_lastError);
    if (got > 0)
        m_bytesReceived += got;
    return got;
}

int CEventSocket::Available() { return SockAvailable(m_socket, m_lastError); }

short CEventSocket::GetWaitEvents() const {
    if (m_listening)
        return POLLIN;
    if (m_connecting)
        return POLLOUT;
    const short read = m_readPaused ? 0 : POLLIN;
    return m_writable ? read : static_cast<short>(read | POLLOUT);
}

BOOL CEventSocket::GetNetworkEvents(short pollEvents, SNetworkEvents& events) {
    events = SNetworkEvents();
    if (m_socket == INVALID_SOCKET) {
        m_lastError = WSAENOTSOCK;
        return FALSE;
    }
    if (pollEvents & POLLNVAL) {
        m_lastError = WSAENOTSOCK;
        return FALSE;
    }
    if (m_listening) {
        if (pollEvents & (POLLIN | POLLERR | POLLHUP))
            events.events |= FD_ACCEPT;
        return TRUE;
    }
    if (m_connecting) {
        if (!(pollEvents & (POLLOUT | POLLERR | POLLHUP)))
            return TRUE;
        m_connecting = false;
        events.events |= FD_CONNECT;
        events.connectError = SockPendingError(m_socket);
        // A connected socket can be written to at once, as with Windows Sockets.
        if (events.connectError == 0)
            events.events |= FD_WRITE;
        return TRUE;
    }
    if (pollEvents & POLLOUT)
        events.events |= FD_WRITE;
    if (pollEvents & (POLLIN | POLLERR | POLLHUP)) {
        // Data comes before the close: the close is seen once everything has been read.
        const int waiting = Available();
        if (waiting > 0) {
            events.events |= FD_READ;
        } else {
            int error = 0;
            if (SockPeerClosed(m_socket, error)) {
                events.events |= FD_CLOSE;
                events.closeError = error;
            }
        }
    }
    return TRUE;
}
