#include "kinbook/foundation/Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace {

struct SErrorPair {
    int errnoValue;
    int wsaError;
};

// Each errno value once; the first row for a Windows Sockets number is its reverse.
const SErrorPair kErrorPairs[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAEBADF},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EWOULDBLOCK, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEWOULDBLOCK},
    {EALREADY, WSAEALREADY},
    {ENOTSOCK, WSAENOTSOCK},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {EPFNOSUPPORT, WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {EPIPE, WSAESHUTDOWN},
    {ETOOMANYREFS, WSAETOOMANYREFS},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {ELOOP, WSAELOOP},
    {ENAMETOOLONG, WSAENAMETOOLONG},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
    {ENOTEMPTY, WSAENOTEMPTY},
    {EUSERS, WSAEUSERS},
    {EDQUOT, WSAEDQUOT},
    {ESTALE, WSAESTALE},
    {EREMOTE, WSAEREMOTE},
};

int Fail(int& error) {
    error = WSAErrorFromErrno(errno);
    return 0;
}

}  // namespace

int WSAErrorFromErrno(int errnoValue) {
    if (errnoValue == 0)
        return 0;
    for (const SErrorPair& pair : kErrorPairs) {
        if (pair.errnoValue == errnoValue)
            return pair.wsaError;
    }
    return errnoValue;
}

int ErrnoFromWSAError(int error) {
    if (error == WSAHOST_NOT_FOUND)
        return EHOSTUNREACH;
    for (const SErrorPair& pair : kErrorPairs) {
        if (pair.wsaError == error)
            return pair.errnoValue;
    }
    return error;
}

sockaddr_in MakeSocketAddress(uint32_t addressHostOrder, int port) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(addressHostOrder);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

sockaddr_in MakeSocketAddressFromNetworkOrder(uint32_t addressNetworkOrder, int port) {
    return MakeSocketAddress(ntohl(addressNetworkOrder), port);
}

int SocketAddressPort(const sockaddr_in& address) { return ntohs(address.sin_port); }

std::string FormatSocketAddress(const sockaddr_in& address) {
    const uint32_t host = ntohl(address.sin_addr.s_addr);
    char text[32];
    std::snprintf(text, sizeof(text), "%u.%u.%u.%u:%u", host >> 24, (host >> 16) & 0xFF,
                  (host >> 8) & 0xFF, host & 0xFF, ntohs(address.sin_port));
    return text;
}

SOCKET SockCreateStream(BOOL listener, int& error) {
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s < 0) {
        Fail(error);
        return INVALID_SOCKET;
    }
    if (listener) {
        const int on = 1;
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    }
    error = 0;
    return s;
}

BOOL SockBind(SOCKET socket, const sockaddr_in& address, int& error) {
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
        return Fail(error);
    error = 0;
    return TRUE;
}

BOOL SockListen(SOCKET socket, int backlog, int& error) {
    if (::listen(socket, backlog) != 0)
        return Fail(error);
    error = 0;
    return TRUE;
}

SOCKET SockAccept(SOCKET listener, sockaddr_in* address, int& error) {
    sockaddr_in peer;
    socklen_t length = sizeof(peer);
    const SOCKET s = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (s < 0) {
        Fail(error);
        return INVALID_SOCKET;
    }
    if (address != nullptr)
        *address = peer;
    error = 0;
    return s;
}

BOOL SockConnect(SOCKET socket, const sockaddr_in& address, int& error) {
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
        return Fail(error);
    error = 0;
    return TRUE;
}

int SockPendingError(SOCKET socket) {
    int value = 0;
    socklen_t length = sizeof(value);
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &value, &length) != 0)
        return WSAErrorFromErrno(errno);
    return WSAErrorFromErrno(value);
}

BOOL SockLocalAddress(SOCKET socket, sockaddr_in& address, int& error) {
    socklen_t length = sizeof(address);
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return Fail(error);
    error = 0;
    return TRUE;
}

int SockSend(SOCKET socket, const char* data, int length, int& error) {
    for (;;) {
        const ssize_t sent = ::send(socket, data, static_cast<size_t>(length), MSG_NOSIGNAL);
        if (sent >= 0) {
            error = 0;
            return static_cast<int>(sent);
        }
        if (errno != EINTR) {
            Fail(error);
            return -1;
        }
    }
}

int SockRecv(SOCKET socket, char* data, int length, int& error) {
    for (;;) {
        const ssize_t got = ::recv(socket, data, static_cast<size_t>(length), 0);
        if (got >= 0) {
            error = 0;
            return static_cast<int>(got);
        }
        if (errno != EINTR) {
            Fail(error);
            return -1;
        }
    }
}

int SockAvailable(SOCKET socket, int& error) {
    int count = 0;
    if (::ioctl(socket, FIONREAD, &count) != 0) {
        Fail(error);
        return -1;
    }
    error = 0;
    return count;
}

BOOL SockPeerClosed(SOCKET socket, int& error) {
    char byte;
    for (;;) {
        const ssize_t got = ::recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (got == 0) {
            error = 0;
            return TRUE;
        }
        if (got > 0) {
            error = 0;
            return FALSE;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            error = 0;
            return FALSE;
        }
        Fail(error);
        return TRUE;
    }
}

void SockShutdown(SOCKET socket) {
    if (socket != INVALID_SOCKET)
        ::shutdown(socket, SHUT_RDWR);
}

void SockSetNoDelay(SOCKET socket) {
    const int on = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

void SockClose(SOCKET socket) {
    if (socket != INVALID_SOCKET)
        ::close(socket);
}

int SockWait(SWaitEntry* entries, int count, int milliseconds, int& error) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    int timeout = milliseconds;
    for (;;) {
        const int ready = ::poll(entries, static_cast<nfds_t>(count), timeout);
        if (ready >= 0) {
            error = 0;
            return ready;
        }
        if (errno != EINTR) {
            Fail(error);
            return -1;
        }
        if (milliseconds >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - Clock::now());
            timeout = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
    }
}

long RaiseOpenFileLimit() {
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? 0x7FFFFFFFL : static_cast<long>(limit.rlim_cur);
}
