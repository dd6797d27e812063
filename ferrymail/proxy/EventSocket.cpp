#include "ferrymail/proxy/EventSocket.h"

#include "tls/TLSChannel.h"

namespace {

// A proxy's sends are whole replies or commands, gathered per read: waiting for the
// peer's acknowledgement before sending a small one (Nagle's algorithm) only stalls a
// pipelining peer that delays its acknowledgements.
void SendWithoutDelay(SOCKET socket) { SockSetNoDelay(socket); }

}  // namespace

CEventSocket::CEventSocket() = default;

CEventSocket::CEventSocket(SOCKET accepted) : m_socket(accepted) {}

CEventSocket::~CEventSocket() { Close(); }

void CEventSocket::Attach(SOCKET socket) {
    Close();
    EndTLS();
    m_socket = socket;
    m_writable = FALSE;
    m_readPaused = false;
    if (m_socket != INVALID_SOCKET)
        SendWithoutDelay(m_socket);
}

BOOL CEventSocket::Create(BOOL listener) {
    Close();
    EndTLS();
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
    if (m_tls != nullptr) {
        // The close message goes out if the socket takes it now; nothing waits for it.
        m_tls->Shutdown();
        FlushTLS();
    }
    SockShutdown(m_socket);
    SockClose(m_socket);
    m_socket = INVALID_SOCKET;
    m_tls.reset();
    m_writable = FALSE;
    m_listening = false;
    m_connecting = false;
}

int CEventSocket::Send(const char* data, int length) {
    if (m_tls != nullptr)
        return SendTLS(data, length);
    const int sent = SockSend(m_socket, data, length, m_lastError);
    if (sent > 0)
        m_bytesSent += sent;
    return sent;
}

int CEventSocket::Receive(char* data, int length) {
    if (m_tls != nullptr)
        return ReceiveTLS(data, length);
    const int got = SockRecv(m_socket, data, length, m_lastError);
    if (got > 0)
        m_bytesReceived += got;
    return got;
}

int CEventSocket::Available() { return SockAvailable(m_socket, m_lastError); }

short CEventSocket::GetWaitEvents() const {
    if (m_listening)
        return kWaitRead;
    if (m_connecting)
        return kWaitWrite;
    if (m_tls != nullptr) {
        // The handshake reads whatever the upper side does; held ciphertext must leave.
        const bool handshaking = !m_tls->IsEstablished();
        const short read = m_readPaused && !handshaking ? 0 : kWaitRead;
        const bool write = m_tls->HasOutput() || (!m_writable && !handshaking);
        return write ? static_cast<short>(read | kWaitWrite) : read;
    }
    const short read = m_readPaused ? 0 : kWaitRead;
    return m_writable ? read : static_cast<short>(read | kWaitWrite);
}

BOOL CEventSocket::GetNetworkEvents(short pollEvents, SNetworkEvents& events) {
    events = SNetworkEvents();
    if (m_socket == INVALID_SOCKET) {
        m_lastError = WSAENOTSOCK;
        return FALSE;
    }
    if (pollEvents & kWaitInvalid) {
        m_lastError = WSAENOTSOCK;
        return FALSE;
    }
    if (m_listening) {
        if (pollEvents & (kWaitRead | kWaitError | kWaitHangUp))
            events.events |= FD_ACCEPT;
        return TRUE;
    }
    if (m_connecting) {
        if (!(pollEvents & (kWaitWrite | kWaitError | kWaitHangUp)))
            return TRUE;
        m_connecting = false;
        events.events |= FD_CONNECT;
        events.connectError = SockPendingError(m_socket);
        // A connected socket can be written to at once, as with Windows Sockets.
        if (events.connectError == 0)
            events.events |= FD_WRITE;
        return TRUE;
    }
    if (m_tls != nullptr)
        return GetTLSEvents(pollEvents, events);
    if (pollEvents & kWaitWrite)
        events.events |= FD_WRITE;
    if (pollEvents & (kWaitRead | kWaitError | kWaitHangUp)) {
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

// ---------------------------------------------------------------------------------------
// TLS.

void CEventSocket::EndTLS() {
    m_tls.reset();
    m_tlsError.clear();
    m_tlsEnded = false;
}

BOOL CEventSocket::StartTLS(const std::string& hostName, const std::string& caFile, bool verify) {
    EndTLS();
    if (m_socket == INVALID_SOCKET) {
        m_tlsError = "no connection";
        return FALSE;
    }
    auto channel = std::make_unique<CTLSChannel>();
    if (!channel->Start({hostName, caFile, verify})) {
        m_tlsError = channel->Error();
        return FALSE;
    }
    m_tls = std::move(channel);
    if (!FlushTLS()) {
        m_tlsError = "connection lost at the start of the TLS handshake";
        m_tlsEnded = true;
    }
    return TRUE;
}

std::string CEventSocket::GetTLSDescription() const {
    return m_tls != nullptr ? m_tls->Description() : std::string();
}

bool CEventSocket::HasBufferedInput() const {
    if (m_tls == nullptr || !m_tls->IsEstablished() || m_socket == INVALID_SOCKET || m_readPaused)
        return false;
    return m_tlsEnded || m_tls->HasBufferedInput();
}

bool CEventSocket::FlushTLS() {
    while (m_tls->HasOutput()) {
        size_t size = 0;
        const char* data = m_tls->Output(size);
        const int sent = SockSend(m_socket, data, static_cast<int>(size), m_lastError);
        if (sent < 0)
            return m_lastError == WSAEWOULDBLOCK;
        m_bytesSent += sent;
        m_tls->Consume(static_cast<size_t>(sent));
    }
    return true;
}

int CEventSocket::FillTLS() {
    char raw[64 * 1024];
    int fed = 0;
    for (;;) {
        const int got = SockRecv(m_socket, raw, static_cast<int>(sizeof(raw)), m_lastError);
        if (got == 0 || (got < 0 && m_lastError != WSAEWOULDBLOCK))
            return fed > 0 ? fed : -1;
        if (got < 0)
            return fed;
        m_bytesReceived += got;
        m_tls->Feed(raw, static_cast<size_t>(got));
        fed += got;
        if (static_cast<size_t>(got) < sizeof(raw) || fed >= (1 << 20))
            return fed;
    }
}

int CEventSocket::SendTLS(const char* data, int length) {
    if (!m_tls->IsEstablished()) {
        m_lastError = WSAEWOULDBLOCK;
        return -1;
    }
    if (!FlushTLS())
        return -1;  // the socket failed: its close follows
    if (m_tls->OutputSize() > kTLSBacklog) {
        m_lastError = WSAEWOULDBLOCK;
        return -1;
    }
    const int taken = m_tls->Write(data, length < 65536 ? length : 65536);
    if (taken < 0) {
        m_tlsError = m_tls->Error();
        m_lastError = WSAECONNABORTED;
        return -1;
    }
    if (!FlushTLS())
        return -1;
    return taken;
}

// Plain text while the channel gives it, feeding it what the socket has each time it
// runs dry. 0 once the peer has ended the stream and everything has been read.
int CEventSocket::ReceiveTLS(char* data, int length) {
    int done = 0;
    while (done < length && m_tls->IsEstablished()) {
        const int got = m_tls->Read(data + done, length - done);
        if (got > 0) {
            done += got;
            continue;
        }
        if (got < 0) {
            if (!m_tls->IsClosed())
                m_tlsError = m_tls->Error();
            m_tlsEnded = true;
            break;
        }
        if (m_tlsEnded)
            break;
        const int fed = FillTLS();
        if (fed > 0)
            continue;
        if (fed < 0)
            m_tlsEnded = true;
        break;
    }
    // A key update may have left an answer to send.
    if (m_tls->HasOutput())
        FlushTLS();
    if (done > 0)
        return done;
    if (m_tlsEnded)
        return 0;
    m_lastError = WSAEWOULDBLOCK;
    return -1;
}

BOOL CEventSocket::GetHandshakeEvents(short pollEvents, SNetworkEvents& events) {
    if (!(pollEvents & (kWaitRead | kWaitError | kWaitHangUp)))
        return TRUE;
    const int fed = FillTLS();
    const CTLSChannel::EResult result = m_tls->Handshake();
    FlushTLS();
    if (result == CTLSChannel::EResult::kWant && fed >= 0)
        return TRUE;
    events.events |= FD_HANDSHAKE;
    if (result == CTLSChannel::EResult::kDone) {
        // The text that came with the handshake's last flight is read at once.
        events.events |= FD_WRITE;
        if (m_tls->HasBufferedInput())
            events.events |= FD_READ;
        return TRUE;
    }
    events.handshakeFailed = true;
    m_tlsError = result == CTLSChannel::EResult::kFailed
                     ? m_tls->Error()
                     : "the server closed the connection during the TLS handshake";
    return TRUE;
}

BOOL CEventSocket::GetTLSEvents(short pollEvents, SNetworkEvents& events) {
    if ((pollEvents & kWaitWrite) && !FlushTLS()) {
        events.events |= FD_CLOSE;
        events.closeError = m_lastError;
        return TRUE;
    }
    if (!m_tls->IsEstablished())
        return GetHandshakeEvents(pollEvents, events);
    if ((pollEvents & kWaitWrite) && m_tls->OutputSize() <= kTLSBacklog)
        events.events |= FD_WRITE;
    if (!(pollEvents & (kWaitRead | kWaitError | kWaitHangUp)) && !HasBufferedInput())
        return TRUE;
    // Bytes behind the peer's close message are never read.
    if (m_tls->HasBufferedInput()) {
        events.events |= FD_READ;
    } else if (m_tlsEnded) {
        events.events |= FD_CLOSE;
    } else if (Available() > 0) {
        events.events |= FD_READ;
    } else {
        int error = 0;
        if (SockPeerClosed(m_socket, error)) {
            events.events |= FD_CLOSE;
            events.closeError = error;
        }
    }
    return TRUE;
}
