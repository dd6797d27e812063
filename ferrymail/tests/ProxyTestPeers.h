// Test peers for the proxy core: a blocking loopback client, a scripted loopback server,
// and a relaying session with its listener (the simplest protocol on top of
// CProxyConnection). Shared by the proxy tests and the relay benchmark.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ferrymail/proxy/Listener.h"
#include "proxy/ProxyConnection.h"

namespace testpeers {

using Clock = std::chrono::steady_clock;

inline std::string ReadFile(const std::string& path) {
    std::string text;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return text;
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0)
        text.append(buffer, got);
    std::fclose(file);
    return text;
}

// Waits until `condition` holds or `seconds` pass; the last value of the condition.
inline bool WaitFor(const std::function<bool()>& condition, double seconds = 10.0) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (Clock::now() > deadline)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A blocking client socket with a read time limit.
class TestClient {
public:
    explicit TestClient(int port, uint32_t address = INADDR_LOOPBACK) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        SSocketAddress target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(static_cast<uint16_t>(port));
        target.sin_addr.s_addr = htonl(address);
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&target), sizeof(target)) != 0) {
            m_connectError = errno;
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~TestClient() { Close(); }
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    bool IsConnected() const { return m_fd >= 0; }
    int GetConnectError() const { return m_connectError; }
    int GetHandle() const { return m_fd; }
    void Close() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    void SetReceiveBuffer(int bytes) {
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
    }

    bool Send(const std::string& data) {
        size_t done = 0;
        while (done < data.size()) {
            const ssize_t sent = ::send(m_fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (sent <= 0)
                return false;
            done += static_cast<size_t>(sent);
        }
        return true;
    }
    bool SendLine(const std::string& line) { return Send(line + "\r\n"); }

    // Up to `maximum` bytes, waiting up to `seconds`; empty at the peer's close or on
    // time-out (IsClosed tells which).
    std::string ReadSome(size_t maximum = 65536, double seconds = 10.0) {
        SWaitEntry entry{m_fd, kWaitRead, 0};
        if (::poll(&entry, 1, static_cast<int>(seconds * 1000)) != 1)
            return std::string();
        std::string data(maximum, '\0');
        const ssize_t got = ::recv(m_fd, data.data(), maximum, 0);
        if (got <= 0) {
            m_closed = true;
            return std::string();
        }
        data.resize(static_cast<size_t>(got));
        return data;
    }
    bool IsClosed() const { return m_closed; }

    // One line without its CR LF; false on close or time-out.
    bool ReadLine(std::string& line, double seconds = 10.0) {
        const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        for (;;) {
            const size_t at = m_buffer.find("\r\n");
            if (at != std::string::npos) {
                line = m_buffer.substr(0, at);
                m_buffer.erase(0, at + 2);
                return true;
            }
            const double left = std::chrono::duration<double>(deadline - Clock::now()).count();
            if (left <= 0)
                return false;
            const std::string more = ReadSome(65536, left);
            if (more.empty())
                return false;
            m_buffer += more;
        }
    }
    std::string ReadLine(double seconds = 10.0) {
        std::string line;
        return ReadLine(line, seconds) ? line : std::string("<none>");
    }

    // Everything until the peer closes (or `seconds` pass).
    std::string ReadUntilClosed(double seconds = 20.0) {
        std::string all;
        all.swap(m_buffer);
        const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        while (!m_closed && Clock::now() < deadline) {
            const std::string more = ReadSome(1 << 20, 1.0);
            all += more;
        }
        return all;
    }

private:
    int m_fd = -1;
    int m_connectError = 0;
    bool m_closed = false;
    std::string m_buffer;
};

// A loopback server: each accepted client is served by `serve` on a thread of its own
// (the greeting is sent first when not empty).
class TestServer {
public:
    using Serve = std::function<void(int fd)>;

    explicit TestServer(const std::string& greeting, Serve serve = nullptr, int port = 0)
        : m_greeting(greeting), m_serve(std::move(serve)) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        SSocketAddress address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            ::listen(m_fd, 256) != 0) {
            ::close(m_fd);
            m_fd = -1;
            return;
        }
        socklen_t length = sizeof(address);
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_acceptThread = std::thread([this] { AcceptLoop(); });
    }
    ~TestServer() {
        m_stop = true;
        if (m_fd >= 0)
            ::shutdown(m_fd, SHUT_RDWR);
        if (m_acceptThread.joinable())
            m_acceptThread.join();
        for (std::thread& t : m_threads)
            t.join();
        if (m_fd >= 0)
            ::close(m_fd);
    }

    bool IsListening() const { return m_fd >= 0; }
    int GetPort() const { return m_port; }
    int GetAccepted() const { return m_accepted.load(); }
    int GetFinished() const { return m_finished.load(); }

    static bool SendAll(int fd, const std::string& data) {
        size_t done = 0;
        while (done < data.size()) {
            const ssize_t sent = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (sent <= 0)
                return false;
            done += static_cast<size_t>(sent);
        }
        return true;
    }
    // One CR LF line; false at close or after `seconds`.
    static bool ReadLine(int fd, std::string& buffer, std::string& line, double seconds = 10.0) {
        for (;;) {
            const size_t at = buffer.find("\r\n");
            if (at != std::string::npos) {
                line = buffer.substr(0, at);
                buffer.erase(0, at + 2);
                return true;
            }
            SWaitEntry entry{fd, kWaitRead, 0};
            if (::poll(&entry, 1, static_cast<int>(seconds * 1000)) != 1)
                return false;
            char chunk[65536];
            const ssize_t got = ::recv(fd, chunk, sizeof(chunk), 0);
            if (got <= 0)
                return false;
            buffer.append(chunk, static_cast<size_t>(got));
        }
    }
    // Echoes every line back as "+OK <line>" until the client closes; QUIT ends it.
    static void EchoLines(int fd) {
        std::string buffer;
        std::string line;
        while (ReadLine(fd, buffer, line, 30.0)) {
            if (!SendAll(fd, "+OK " + line + "\r\n") || line == "QUIT")
                break;
        }
    }

private:
    void AcceptLoop() {
        for (;;) {
            const int client = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) {
                if (m_stop || (errno != EINTR && errno != ECONNABORTED))
                    return;
                continue;
            }
            ++m_accepted;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_threads.emplace_back([this, client] {
                if (!m_greeting.empty())
                    SendAll(client, m_greeting + "\r\n");
                if (m_serve)
                    m_serve(client);
                else
                    EchoLines(client);
                ::close(client);
                ++m_finished;
            });
        }
    }

    std::string m_greeting;
    Serve m_serve;
    int m_fd = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    std::atomic<int> m_finished{0};
    std::thread m_acceptThread;
    std::mutex m_mutex;
    std::vector<std::thread> m_threads;
};

// How a relay session passes on what the server sends.
enum EBlockMode {
    BLOCK_ALL,        // whole blocks of lines whenever they are offered
    BLOCK_NONE,       // line by line only
    BLOCK_UNTIL_DOT,  // blocks up to each line that starts with "."; such a line goes
                      // line by line, tagged "L:" so a test can tell which way it took
};

// The test protocol: the first client line is "CONNECT a.b.c.d:port text" (relayed
// destination) or "HOST name" (named host; the result goes back as "R<n>", a failed
// pending connect as "E<n>"); afterwards lines are relayed both ways.
class CRelaySession : public CProxyConnection {
public:
    static std::atomic<int> cm_live;     // objects alive
    static std::atomic<int> cm_running;  // threads between start and end
    static std::atomic<long long> cm_blockBytes;  // server bytes passed on as blocks
    static std::atomic<long long> cm_mostQueued;  // the most queued for a client at a block

    CRelaySession(SOCKET client, int number) : CProxyConnection(client, PROTOCOL_POP3, number) {
        ++cm_live;
    }
    ~CRelaySession() override { --cm_live; }

    void InitializeThread() override {
        ++cm_running;
        CProxyConnection::InitializeThread();
    }
    void TerminateThread(int exitCode) override {
        CProxyConnection::TerminateThread(exitCode);
        --cm_running;
    }
    void CloseServer() override { m_serverSocket.Close(); }
    unsigned GetLogCategory(int direction) override {
        switch (direction) {
        case DIR_FROM_SERVER:
            return LOG_FROM_SERVER;
        case DIR_TO_SERVER:
            return LOG_TO_SERVER;
        case DIR_FROM_CLIENT:
            return LOG_FROM_CLIENT;
        default:
            return LOG_TO_CLIENT;
        }
    }
    void OnClientLine(std::string& line) override {
        if (m_connected) {
            SendServerLine(line);
            return;
        }
        if (line.compare(0, 8, "CONNECT ") == 0) {
            m_named = false;
            const int result = ConnectToServer(line.c_str(), m_clientName, 0, 8);
            if (result == CTS_CONNECTED) {
                m_connected = true;
                SendClientLine("0");
            }
            return;
        }
        if (line.compare(0, 5, "HOST ") == 0) {
            m_named = true;
            std::string unused;
            const int result = ConnectToServer(line.c_str() + 5, unused, 1, 0);
            m_connected = result == CTS_CONNECTED;
            SendClientFormat("R%d", result);
            return;
        }
        if (line.compare(0, 6, "CLOCK ") == 0) {
            // "CLOCK n": n ticks of the session's clock, each told to the client.
            m_ticksLeft = std::atoi(line.c_str() + 6);
            StartSessionClock();
            SendClientLine(IsSessionClockRunning() ? "CLOCK" : "NO CLOCK");
            return;
        }
        SendClientLine("-ERR Not connected to server");
    }
    void OnClockTick() override {
        SendClientFormat("TICK %d", --m_ticksLeft);
        if (m_ticksLeft <= 0)
            StopSessionClock();
    }
    void OnServerLine(std::string& line) override {
        if (m_blockMode == BLOCK_UNTIL_DOT)
            SendClientLine("L:" + line);
        else
            SendClientLine(line);
    }
    size_t OnServerBlock(const char* data, size_t size) override {
        if (!m_connected || m_blockMode == BLOCK_NONE)
            return 0;
        size_t take = size;
        if (m_blockMode == BLOCK_UNTIL_DOT) {
            if (data[0] == '.')
                return 0;
            const void* dot = ::memmem(data, size, "\r\n.", 3);
            if (dot != nullptr)
                take = static_cast<size_t>(static_cast<const char*>(dot) - data) + 2;
        }
        SendClient(data, static_cast<int>(take));
        cm_blockBytes += static_cast<long long>(take);
        const long long queued = static_cast<long long>(m_socket.GetPending().GetSize());
        for (long long most = cm_mostQueued; queued > most;)
            if (cm_mostQueued.compare_exchange_weak(most, queued))
                break;
        return take;
    }
    void OnServerConnect(int errorCode) override {
        if (errorCode != 0) {
            m_serverSocket.Close();
            if (m_named)
                SendClientFormat("E%d", errorCode);
            else
                SendClientFormat("%d", errorCode);
            return;
        }
        m_connected = true;
        if (!m_named)
            SendClientLine("0");
    }

    std::string m_clientName;
    EBlockMode m_blockMode = BLOCK_ALL;

private:
    bool m_connected = false;
    bool m_named = false;
    int m_ticksLeft = 0;
};

inline std::atomic<int> CRelaySession::cm_live{0};
inline std::atomic<int> CRelaySession::cm_running{0};
inline std::atomic<long long> CRelaySession::cm_blockBytes{0};
inline std::atomic<long long> CRelaySession::cm_mostQueued{0};

class CRelayListener : public CListener {
public:
    explicit CRelayListener(int port = 0) : CListener(port, PROTOCOL_POP3, "RelayTest") {}
    ~CRelayListener() override { Shutdown(); }
    CProxyConnection* NewProxyConnection(SOCKET socket, const SSocketAddress& address,
                                         int addressLength) override {
        CRelaySession* session = new CRelaySession(socket, ++m_sessions);
        session->SetPeerAddress(address);
        session->m_blockMode = m_blockMode;
        return session;
    }
    // For the sessions that start afterwards.
    void SetBlockMode(EBlockMode mode) { m_blockMode = mode; }
    CPollEvent* GetClockEvent(int period) override {
        ++m_clocksHeld;
        return CListener::GetClockEvent(period);
    }
    void FreeClockEvent(CPollEvent* event) override {
        --m_clocksHeld;
        CListener::FreeClockEvent(event);
    }
    // Clock events its sessions hold.
    int ClocksHeld() const { return m_clocksHeld; }

private:
    std::atomic<EBlockMode> m_blockMode{BLOCK_ALL};
    std::atomic<int> m_clocksHeld{0};
    std::atomic<int> m_sessions{0};
};

inline std::string ConnectLine(int port, const std::string& text = "test client") {
    return "CONNECT 127.0.0.1:" + std::to_string(port) + " " + text;
}

}  // namespace testpeers
