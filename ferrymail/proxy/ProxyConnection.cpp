#include "proxy/ProxyConnection.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "ferrymail/store/FerrymailStrings.h"
#include "ferrymail/proxy/UINotifier.h"
#include "kinbook/foundation/HostNames.h"
#include "kinbook/foundation/StringTable.h"

namespace {

// A zero byte would end a line early for the C string functions of the sessions: each
// one read becomes a blank.
void BlankZeroBytes(char* data, size_t size) {
    for (char* p = data; p < data + size;) {
        void* zero = std::memchr(p, '\0', static_cast<size_t>(data + size - p));
        if (zero == nullptr)
            break;
        *static_cast<char*>(zero) = ' ';
        p = static_cast<char*>(zero) + 1;
    }
}

std::string FormatText(const char* format, va_list arguments) {
    char small[512];
    va_list copy;
    va_copy(copy, arguments);
    const int needed = std::vsnprintf(small, sizeof(small), format, copy);
    va_end(copy);
    if (needed < 0)
        return std::string();
    if (static_cast<size_t>(needed) < sizeof(small))
        return std::string(small, static_cast<size_t>(needed));
    std::string text(static_cast<size_t>(needed) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, arguments);
    text.resize(static_cast<size_t>(needed));
    return text;
}

// Cuts the first CR LF line off `input`, scanning only bytes not scanned before.
bool CutLine(SInputBuffer& input, std::string& line) {
    const char* base = input.Data();
    const size_t size = input.Size();
    size_t from = input.scanned > 0 ? input.scanned - 1 : 0;  // a CR may end the scanned part
    while (from + 1 < size) {
        const void* found = std::memchr(base + from, '\r', size - from - 1);
        if (found == nullptr)
            break;
        const size_t at = static_cast<const char*>(found) - base;
        if (base[at + 1] == '\n') {
            line.assign(base, at);
            input.start += at + 2;
            input.scanned = 0;
            if (input.start == input.end)
                input.start = input.end = 0;
            return true;
        }
        from = at + 1;
    }
    input.scanned = size;
    return false;
}

// The length of [base, base + size) up to and including its last CR LF, looking for the
// LF no further back than `from`; 0 when there is none.
size_t EndOfLastLine(const char* base, size_t size, size_t from) {
    size_t end = size;
    while (end > from) {
        const void* found = ::memrchr(base + from, '\n', end - from);
        if (found == nullptr)
            break;
        const size_t at = static_cast<const char*>(found) - base;
        if (at > 0 && base[at - 1] == '\r')
            return at + 1;
        end = at;
    }
    return 0;
}

// `count` bytes of the lines in [data, data + size) as a whole number of lines: at most
// `size`, and cut back to the last line end when it ends inside a line.
size_t WholeLines(const char* data, size_t size, size_t count) {
    if (count > size)
        count = size;
    if (count >= 2 && data[count - 2] == '\r' && data[count - 1] == '\n')
        return count;
    return EndOfLastLine(data, count, 0);
}

}  // namespace

char* SInputBuffer::Reserve(size_t count) {
    if (start > 0) {
        std::memmove(storage.get(), storage.get() + start, end - start);
        end -= start;
        start = 0;
    }
    if (capacity - end < count) {
        size_t grown = capacity < 65536 ? 65536 : capacity;
        while (grown - end < count)
            grown *= 2;
        std::unique_ptr<char[]> larger(new char[grown]);
        if (end > 0)
            std::memcpy(larger.get(), storage.get(), end);
        storage = std::move(larger);
        capacity = grown;
    }
    return storage.get() + end;
}

void SInputBuffer::Consume(size_t count) {
    start += count < Size() ? count : Size();
    scanned = 0;
    if (start == end)
        start = end = 0;
}

CProxyConnection::CProxyConnection(SOCKET client, PROTOCOL protocol, int number)
    : CProxyServer(0, protocol), m_number(number) {
    std::memset(&m_peerAddress, 0, sizeof(m_peerAddress));
    m_socket.Attach(client);
    const char* format = protocol == PROTOCOL_POP3   ? "POP3(%d)"
                         : protocol == PROTOCOL_SMTP ? "SMTP(%d)"
                         : protocol == PROTOCOL_AOL  ? "AOL(%d)"
                                                     : "unknown(%d)";
    char name[32];
    std::snprintf(name, sizeof(name), format, number);
    m_name = name;
}

CProxyConnection::~CProxyConnection() {
    StopThread();
    if (CListener* listener = m_listener)
        listener->RemoveElementFromChain(this);
}

void CProxyConnection::SetListener(CListener* listener) {
    m_listener = listener;
    m_logListener = listener != nullptr ? listener->GetLogger() : nullptr;
}

void CProxyConnection::InitializeThread() { NotifyStore(19, m_protocol); }

void CProxyConnection::TerminateThread(int exitCode) {
    StopSessionClock();
    LogFormat(LOG_INFO, "Thread shutting down, %d", exitCode);
}

BOOL CProxyConnection::StartConnection() { return StartThread(); }

void CProxyConnection::FillEventVec(int& count) {
    CProxyServer::FillEventVec(count);
    if (m_socket.IsOpen())
        AddSocket(count, &m_socket);
    if (m_serverSocket.IsOpen())
        AddSocket(count, &m_serverSocket);
    if (m_clock != nullptr)
        AddEvent(count, m_clock);
}

BOOL CProxyConnection::ProcessEvents(SWaitHandle& handle, EVENTACTION& action, int& exitCode) {
    if (m_clock != nullptr && handle.event == m_clock) {
        OnClockTick();
        if (m_rebuild) {
            m_rebuild = FALSE;
            action = EA_REBUILD;
        }
        return TRUE;
    }
    if (CProxyServer::ProcessEvents(handle, action, exitCode))
        return TRUE;
    const bool client = handle.socket == &m_socket;
    if (!client && handle.socket != &m_serverSocket)
        return FALSE;
    CEventSocket& socket = *handle.socket;
    SNetworkEvents events;
    if (socket.GetNetworkEvents(handle.pollEvents, events)) {
        if (!client && (events.events & FD_CONNECT)) {
            OnServerConnect(events.connectError);
            action = EA_REBUILD;
        }
        if (!client && (events.events & FD_HANDSHAKE)) {
            OnServerHandshake(events.handshakeFailed ? socket.GetTLSError() : std::string());
            action = EA_REBUILD;
        }
        if ((events.events & FD_READ) && socket.IsOpen())
            client ? OnClientRead() : OnServerRead();
        if ((events.events & FD_WRITE) && socket.IsOpen())
            client ? OnClientWrite() : OnServerWrite();
        if ((events.events & FD_CLOSE) && socket.IsOpen()) {
            client ? OnClientClose(events.closeError) : OnServerClose(events.closeError);
            action = EA_REBUILD;
        }
    }
    if (m_rebuild) {
        m_rebuild = FALSE;
        action = EA_REBUILD;
    }
    return TRUE;
}

void CProxyConnection::StartSessionClock() {
    if (m_clock == nullptr && m_listener != nullptr)
        m_clock = m_listener->GetClockEvent(kClockPeriod);
    m_rebuild = TRUE;
}

void CProxyConnection::StopSessionClock() {
    if (m_clock != nullptr && m_listener != nullptr)
        m_listener->FreeClockEvent(m_clock);
    m_clock = nullptr;
    m_rebuild = TRUE;
}

void CProxyConnection::OnClockTick() {}

void CProxyConnection::CloseClient() { m_socket.Close(); }

BOOL CProxyConnection::GetLine(std::string& buffer, std::string& line) {
    const size_t at = buffer.find("\r\n");
    if (at == std::string::npos)
        return FALSE;
    line.assign(buffer, 0, at);
    buffer.erase(0, at + 2);
    return TRUE;
}

BOOL CProxyConnection::GetLine(SInputBuffer& input, std::string& line) {
    return CutLine(input, line) ? TRUE : FALSE;
}

BOOL CProxyConnection::HandleLines(CEventSocket& socket, SInputBuffer& input, std::string& line,
                                   int direction, bool logging, size_t blockLeft) {
    BOOL handled = FALSE;
    while (socket.IsOpen()) {
        if (blockLeft > input.Size())
            blockLeft = input.Size();
        if (blockLeft > 0) {
            const size_t taken = WholeLines(input.Data(), blockLeft,
                                            OnServerBlock(input.Data(), blockLeft));
            if (taken > 0) {
                handled = TRUE;
                blockLeft -= taken;
                input.start += taken;
                input.scanned = 0;
                if (input.start == input.end)
                    input.start = input.end = 0;
                if (!socket.IsOpen())
                    break;
            }
        }
        const size_t unread = input.Size();
        if (!GetLine(input, line))
            break;
        const size_t cut = unread - input.Size();
        if (blockLeft > 0)
            blockLeft -= blockLeft < cut ? blockLeft : cut;
        if (logging)
            Log(GetLogCategory(direction), line);
        if (direction == DIR_FROM_SERVER)
            OnServerLine(line);
        else
            OnClientLine(line);
        handled = TRUE;
    }
    return handled;
}

BOOL CProxyConnection::ReceiveLines(CEventSocket& socket, SInputBuffer& input, std::string& line,
                                    int direction) {
    // A large read of a set size rather than asking first how much is waiting: one call
    // less, and a piece still in the cache when it is passed on. A short unfinished line
    // held from before is read around rather than doubling the buffer for it.
    const size_t before = input.Size();
    const size_t ask = before < kReadSize / 2 ? kReadSize - before : kReadSize;
    char* const fresh = input.Reserve(ask);
    const int got = socket.Receive(fresh, static_cast<int>(ask));
    if (got <= 0)
        return FALSE;  // nothing yet, or the close, which the next wait reports
    input.end += static_cast<size_t>(got);
    if (!m_keepZeroBytes)
        BlankZeroBytes(fresh, static_cast<size_t>(got));

    // Replies to a whole read leave in large pieces rather than one send per line.
    const bool wasCorked = m_corked;
    m_corked = true;
    // Whether lines go anywhere is asked once per read, not once per line.
    const bool logging = m_logListener != nullptr && m_logListener->HasLogOutput();
    const bool wasLogging = m_corkedLogging;
    m_corkedLogging = logging;
    // The complete lines at the front, offered whole to the session before each line,
    // when no log takes the server's lines. The bytes before this read hold no line end,
    // so the last one is in the fresh part.
    const bool serverLinesLogged =
        logging && !m_logListener->GetLoggingPaused() &&
        (m_logListener->GetLogLevel() & (LOG_FROM_SERVER | LOG_DATA_FROM_SERVER)) != 0;
    const bool offerBlocks = direction == DIR_FROM_SERVER && !serverLinesLogged;
    // The rest of a line over the limit goes on in pieces up to its end; after it come
    // lines again, with the line ends anywhere in what is left.
    bool inLines = true;
    size_t from = before;
    if (direction == DIR_FROM_SERVER && m_serverLongLine) {
        inLines = ContinueLongLine(input);
        from = 0;
    }
    const size_t blockLeft =
        inLines && offerBlocks ? EndOfLastLine(input.Data(), input.Size(), from) : 0;
    const BOOL handled =
        inLines ? HandleLines(socket, input, line, direction, logging, blockLeft) : TRUE;
    m_corked = wasCorked;
    m_corkedLogging = wasLogging;
    if (!m_corked) {
        if (m_socket.IsOpen())
            SendPending(m_socket, DIR_TO_CLIENT);
        if (m_serverSocket.IsOpen())
            SendPending(m_serverSocket, DIR_TO_SERVER);
    }

    // A peer that never ends its line does not get to fill the memory.
    if (socket.IsOpen() && input.Size() > kMaxLineLength) {
        if (direction == DIR_FROM_SERVER) {
            if (!StartLongLine(input))
                RefuseLongLine(input);
        } else {
            LogFormat(LOG_INFO, "Line from client longer than %zu bytes; closing the connection",
                      kMaxLineLength);
            input.Clear();
            OnClientClose(0);
        }
    }
    UpdateBacklog();
    return handled;
}

bool CProxyConnection::StartLongLine(SInputBuffer& input) {
    // No line end in the input; a CR at its end may be the start of one.
    size_t size = input.Size();
    if (input.Data()[size - 1] == '\r')
        --size;
    if (!OnServerLinePiece(input.Data(), size, true, false))
        return false;
    m_serverLongLine = true;
    input.start += size;
    input.scanned = 0;
    if (input.start == input.end)
        input.start = input.end = 0;
    return true;
}

bool CProxyConnection::ContinueLongLine(SInputBuffer& input) {
    const char* data = input.Data();
    const size_t size = input.Size();
    const void* found = ::memmem(data, size, "\r\n", 2);
    const bool last = found != nullptr;
    size_t piece = last ? static_cast<size_t>(static_cast<const char*>(found) - data) : size;
    if (!last && piece > 0 && data[piece - 1] == '\r')
        --piece;
    const bool taken = OnServerLinePiece(data, piece, false, last);
    input.start += last ? piece + 2 : piece;
    input.scanned = 0;
    if (input.start == input.end)
        input.start = input.end = 0;
    if (last)
        m_serverLongLine = false;
    if (!taken) {
        RefuseLongLine(input);
        return false;
    }
    return last;
}

void CProxyConnection::RefuseLongLine(SInputBuffer& input) {
    LogFormat(LOG_INFO, "Line from server longer than %zu bytes; closing the connection",
              kMaxLineLength);
    m_serverLongLine = false;
    input.Clear();
    OnServerLineTooLong();
}

bool CProxyConnection::OnServerLinePiece(const char* data, size_t size, bool first, bool last) {
    return false;
}

size_t CProxyConnection::OnServerBlock(const char* data, size_t size) { return 0; }

void CProxyConnection::OnClientRead() { ReceiveLines(m_socket, m_clientBuffer, m_clientLine, DIR_FROM_CLIENT); }

void CProxyConnection::OnServerRead() {
    ReceiveLines(m_serverSocket, m_serverBuffer, m_serverLine, DIR_FROM_SERVER);
}

void CProxyConnection::SendPending(CEventSocket& socket, int direction) {
    CSendQueue& pending = socket.GetPending();
    while (socket.IsWritable() && !pending.IsEmpty()) {
        size_t length = 0;
        const char* data = pending.Front(length);
        const int sent = socket.Send(data, static_cast<int>(length));
        if (sent < 0) {
            // Full: the rest waits for the next FD_WRITE. Failed: its close follows.
            if (socket.GetLastError() == WSAEWOULDBLOCK)
                socket.SetWritable(FALSE);
            return;
        }
        pending.Consume(static_cast<size_t>(sent));
    }
    if (pending.IsEmpty() && m_closeClientWhenSent && &socket == &m_socket) {
        m_closeClientWhenSent = false;
        OnClientClose(m_closeCode);
    }
}

void CProxyConnection::FlushPending(CEventSocket& socket, int direction) {
    socket.SetWritable(TRUE);
    SendPending(socket, direction);
    UpdateBacklog();
}

void CProxyConnection::UpdateBacklog() {
    const bool clientFull = m_socket.IsOpen() && m_socket.GetPending().GetSize() > kMaxBacklog;
    const bool serverFull =
        m_serverSocket.IsOpen() && m_serverSocket.GetPending().GetSize() > kMaxBacklog;
    m_serverSocket.SetReadPaused(clientFull);
    m_socket.SetReadPaused(serverFull);
}

void CProxyConnection::OnClientWrite() { FlushPending(m_socket, DIR_TO_CLIENT); }

void CProxyConnection::OnServerWrite() { FlushPending(m_serverSocket, DIR_TO_SERVER); }

void CProxyConnection::OnClientClose(int errorCode) {
    if (errorCode != 0)
        LogFormat(LOG_CONNECTION, "Close client connection with %d", errorCode);
    else
        Log(LOG_CONNECTION, "Close client connection");
    m_closeClientWhenSent = false;
    CloseServer();
    CloseClient();
    m_rebuild = TRUE;
    m_killEvent.Signal();
}

void CProxyConnection::OnServerLineTooLong() { OnClientClose(0); }

void CProxyConnection::OnServerClose(int errorCode) {
    // What the server sent before it closed still reaches the client.
    if (m_socket.IsOpen() && !m_socket.GetPending().IsEmpty()) {
        CloseServer();
        m_closeClientWhenSent = true;
        m_closeCode = errorCode;
        m_rebuild = TRUE;
        return;
    }
    OnClientClose(errorCode);
}

BOOL CProxyConnection::SendData(CEventSocket& socket, const char* data, int length,
                                int direction) {
    if (length < 0)
        length = static_cast<int>(std::strlen(data));
    if (m_corked && socket.IsOpen()) {
        // Inside a read: small pieces are queued and leave together when the read is
        // handled; a large one goes out at once while nothing is queued before it.
        if (m_corkedLogging)
            Log(GetLogCategory(direction), data, length);
        CSendQueue& pending = socket.GetPending();
        if (static_cast<size_t>(length) >= kDirectSendSize && pending.IsEmpty()) {
            while (length > 0 && socket.IsWritable()) {
                const int sent = socket.Send(data, length);
                if (sent < 0) {
                    // Full: the rest is queued. Failed: as with any queued piece, the
                    // flush fails again and the close follows.
                    if (socket.GetLastError() == WSAEWOULDBLOCK)
                        socket.SetWritable(FALSE);
                    break;
                }
                data += sent;
                length -= sent;
            }
        }
        if (length > 0)
            pending.Append(data, static_cast<size_t>(length));
        return TRUE;
    }
    if (m_logListener != nullptr && m_logListener->HasLogOutput())
        Log(GetLogCategory(direction), data, length);
    if (!socket.IsOpen()) {
        socket.SetLastError(WSAENOTSOCK);
        return FALSE;
    }
    CSendQueue& pending = socket.GetPending();
    if (!socket.IsWritable() || m_corked || !pending.IsEmpty()) {
        pending.Append(data, static_cast<size_t>(length));
        return TRUE;
    }
    while (length > 0) {
        const int sent = socket.Send(data, length);
        if (sent < 0) {
            if (socket.GetLastError() != WSAEWOULDBLOCK)
                return FALSE;
            socket.SetWritable(FALSE);
            pending.Append(data, static_cast<size_t>(length));
            return TRUE;
        }
        data += sent;
        length -= sent;
    }
    return TRUE;
}

BOOL CProxyConnection::SendClient(const char* text, int length) {
    return SendData(m_socket, text, length, DIR_TO_CLIENT);
}

BOOL CProxyConnection::SendClient(const std::string& text, int length) {
    return SendData(m_socket, text.data(), length < 0 ? static_cast<int>(text.size()) : length,
                    DIR_TO_CLIENT);
}

BOOL CProxyConnection::SendClientLine(const char* text, int length) {
    if (!SendClient(text, length))
        return FALSE;
    return SendClient("\r\n", 2);
}

BOOL CProxyConnection::SendClientLine(const std::string& text, int length) {
    if (!SendClient(text, length))
        return FALSE;
    return SendClient("\r\n", 2);
}

BOOL CProxyConnection::SendClientFormat(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::string text = FormatText(format, arguments);
    va_end(arguments);
    text += "\r\n";
    return SendClient(text);
}

BOOL CProxyConnection::SendServerLine(const std::string& text) {
    if (!SendServer(text))
        return FALSE;
    return SendServer("\r\n", 2);
}

BOOL CProxyConnection::SendServer(const char* text, int length) {
    return SendData(m_serverSocket, text, length, DIR_TO_SERVER);
}

BOOL CProxyConnection::SendServer(const std::string& text, int length) {
    return SendData(m_serverSocket, text.data(),
                    length < 0 ? static_cast<int>(text.size()) : length, DIR_TO_SERVER);
}

int CProxyConnection::ConnectToServer(const char* argument, std::string& text, int mode,
                                      int offset) {
    if (mode == 0) {
        const char* destination = argument + offset;
        // a.b.c.d:port in decimal digits, each part in its range: a number that does
        // not fit is refused, not wrapped.
        unsigned long parts[5] = {0, 0, 0, 0, 0};
        const char* p = destination;
        bool valid = true;
        for (int i = 0; i < 5 && valid; ++i) {
            const unsigned long most = i < 4 ? 255 : 65535;
            valid = *p >= '0' && *p <= '9';
            while (valid && *p >= '0' && *p <= '9') {
                parts[i] = parts[i] * 10 + static_cast<unsigned long>(*p++ - '0');
                valid = parts[i] <= most;
            }
            if (valid && i < 4)
                valid = *p++ == (i < 3 ? '.' : ':');
        }
        valid = valid && (*p == '\0' || *p == ' ' || *p == '\t' || *p == '\r' || *p == '\n');
        if (!valid) {
            SendClientLine("-1");
            return CTS_FAILED;
        }
        const int port = static_cast<int>(parts[4]);
        const unsigned long* octets = parts;
        // One blank (any white space) after the destination, then the rest whole.
        const char* rest = p;
        while (*rest == ' ' || *rest == '\t' || *rest == '\r' || *rest == '\n')
            ++rest;
        if (*rest != '\0')
            text = rest;
        const uint32_t host = (static_cast<uint32_t>(octets[0]) << 24) |
                              (static_cast<uint32_t>(octets[1]) << 16) |
                              (static_cast<uint32_t>(octets[2]) << 8) |
                              static_cast<uint32_t>(octets[3]);
        m_peerAddress = MakeSocketAddress(host, port);
        int error = 0;
        bool created = false;
        const int result = StartServerConnection(error, created);
        if (result == CTS_FAILED)
            SendClientFormat("%d", error);
        return result;
    }

    return ConnectToNamedHost(argument, kNamedHostPort);
}

int CProxyConnection::ConnectToNamedHost(const char* host, int port) {
    uint32_t address = 0;
    std::vector<uint32_t> found;
    if (ParseIPv4(host, address)) {
    } else if (ResolveHostIPv4(host, found)) {
        address = found.front();
    } else {
        LogFormat(LOG_INFO, "Non-LSP connection couldn't find host %s", host);
        return CTS_FAILED;
    }
    m_peerAddress = MakeSocketAddressFromNetworkOrder(address, port);
    int error = 0;
    bool created = false;
    const int result = StartServerConnection(error, created);
    if (result == CTS_FAILED)
        LogFormat(LOG_INFO,
                  created ? "Non-LSP connection failed: %d"
                          : "Non-LSP connection couldn't create socket: %d",
                  error);
    return result;
}

int CProxyConnection::StartServerConnection(int& error, bool& created) {
    error = 0;
    created = m_serverSocket.Create(FALSE) != FALSE;
    if (!created) {
        error = m_serverSocket.GetLastError();
        return CTS_FAILED;
    }
    m_rebuild = TRUE;
    Log(LOG_INFO, "Connection started");
    if (m_serverSocket.Connect(m_peerAddress))
        return CTS_CONNECTED;
    error = m_serverSocket.GetLastError();
    if (error == WSAEWOULDBLOCK)
        return CTS_PENDING;
    m_serverSocket.Close();
    return CTS_FAILED;
}

BOOL CProxyConnection::StartServerTLS(const std::string& hostName, const std::string& caFile,
                                      bool verify, std::string& error) {
    // Whatever came in clear after the line that started TLS was not protected by it:
    // a server (or whoever is in the path) that sends ahead is not believed.
    if (m_serverBuffer.Size() > 0 || m_serverSocket.Available() > 0) {
        m_serverBuffer.Clear();
        error = "the server sent data in clear after agreeing to TLS";
        return FALSE;
    }
    if (!m_serverSocket.StartTLS(hostName, caFile, verify)) {
        error = m_serverSocket.GetTLSError();
        return FALSE;
    }
    m_rebuild = TRUE;
    return TRUE;
}

void CProxyConnection::OnServerHandshake(const std::string& error) {
    if (!error.empty())
        OnServerClose(0);
}

CRefCount* CProxyConnection::GetStore() { return nullptr; }

void CProxyConnection::NotifyUI(UINT wParam, CRefCount* object) {
    if (CUINotifier* notifier = GetUINotifier())
        notifier->NotifyUI(wParam, object);
}

void CProxyConnection::NotifyUI(UINT wParam, const std::string& text) {
    if (CUINotifier* notifier = GetUINotifier())
        notifier->NotifyUI(wParam, text);
}

void CProxyConnection::NotifyStore(int code, int data) {
    CUINotifier* notifier = GetUINotifier();
    if (notifier == nullptr)
        return;
    CRefCount* store = GetStore();
    if (store != nullptr)
        store->AddRef();
    notifier->NotifyUI(code, store, data);
    CRefCount::DoRelease(store);
}

void CProxyConnection::NotifyString(UINT wParam, UINT id, ...) {
    std::string format;
    if (!LoadLocalString(GetFerrymailModule(), id, format))
        return;
    va_list arguments;
    va_start(arguments, id);
    const std::string text = FormatText(format.c_str(), arguments);
    va_end(arguments);
    NotifyUI(wParam, text);
}
