// Loopback listening sockets that keep ports taken for a test, runs of free ports, and
// loopback connections.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

inline sockaddr_in LoopbackAddress(int port) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

// A socket connected to 127.0.0.1:`port` (the caller closes it), -1 when none listens.
inline int ConnectLoopback(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = LoopbackAddress(port);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

// Listens on 127.0.0.1:`port` (0: a free one) until destroyed.
class CPortHolder {
public:
    explicit CPortHolder(int port) {
        m_socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = LoopbackAddress(port);
        if (m_socket < 0 ||
            bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(m_socket, 5) != 0) {
            Close();
            return;
        }
        socklen_t length = sizeof address;
        getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    ~CPortHolder() { Close(); }
    CPortHolder(const CPortHolder&) = delete;
    CPortHolder& operator=(const CPortHolder&) = delete;

    bool IsHeld() const { return m_socket >= 0; }
    int Port() const { return m_port; }
    void Close() {
        if (m_socket >= 0)
            close(m_socket);
        m_socket = -1;
    }

private:
    int m_socket = -1;
    int m_port = 0;
};

// The first port of `count` consecutive loopback ports that were all free a moment ago
// (tests run in parallel, so another may take one since), with the first `held` of them
// kept taken in `holders`. 0 when no such run was found.
inline int FindFreePortRun(int count, int held,
                           std::vector<std::unique_ptr<CPortHolder>>& holders) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        holders.clear();
        holders.push_back(std::make_unique<CPortHolder>(0));
        const int first = holders.front()->Port();
        if (!holders.front()->IsHeld() || first < 1024 || first + count > 65536)
            continue;
        bool allFree = true;
        for (int i = 1; i < count && allFree; ++i) {
            holders.push_back(std::make_unique<CPortHolder>(first + i));
            allFree = holders.back()->IsHeld();
        }
        if (!allFree)
            continue;
        holders.resize(static_cast<size_t>(held));
        return first;
    }
    holders.clear();
    return 0;
}
