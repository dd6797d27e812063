#include "kinbook/foundation/LocalSocket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

bool MakeAddress(const std::string& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.data(), path.size());
    return true;
}

SOCKET Fail(SOCKET socket, int& error, int value) {
    error = value;
    if (socket != INVALID_SOCKET)
        ::close(socket);
    return INVALID_SOCKET;
}

}  // namespace

SOCKET LocalSockListen(const std::string& path, int backlog, int& error) {
    const std::string temporary = path + ".tmp-" + std::to_string(::getpid());
    sockaddr_un address;
    if (!MakeAddress(temporary, address))
        return Fail(INVALID_SOCKET, error, ENAMETOOLONG);
    const SOCKET socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socket < 0)
        return Fail(INVALID_SOCKET, error, errno);
    ::unlink(temporary.c_str());
    // Nobody can connect before listen(); the mode and the name are in place by then.
    if (::bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return Fail(socket, error, errno);
    if (::chmod(temporary.c_str(), 0600) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
        const int failure = errno;
        ::unlink(temporary.c_str());
        return Fail(socket, error, failure);
    }
    if (::listen(socket, backlog) != 0) {
        const int failure = errno;
        ::unlink(path.c_str());
        return Fail(socket, error, failure);
    }
    error = 0;
    return socket;
}

SOCKET LocalSockConnect(const std::string& path, int& error) {
    sockaddr_un address;
    if (!MakeAddress(path, address))
        return Fail(INVALID_SOCKET, error, ENAMETOOLONG);
    const SOCKET socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0)
        return Fail(INVALID_SOCKET, error, errno);
    for (;;) {
        if (::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
            break;
        if (errno != EINTR)
            return Fail(socket, error, errno);
    }
    error = 0;
    return socket;
}

SOCKET LocalSockAccept(SOCKET listener, int& error) {
    for (;;) {
        const SOCKET socket = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (socket >= 0) {
            error = 0;
            return socket;
        }
        if (errno != EINTR && errno != ECONNABORTED)
            return Fail(INVALID_SOCKET, error, errno);
    }
}

bool LocalSockPeerIsSameUser(SOCKET socket) {
    ucred credentials = {};
    socklen_t length = sizeof credentials;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return false;
    return credentials.uid == ::geteuid();
}

void LocalSockRemove(const std::string& path) {
    struct stat status = {};
    if (::lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode))
        ::unlink(path.c_str());
}
