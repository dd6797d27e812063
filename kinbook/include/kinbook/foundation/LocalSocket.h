// Unix-domain stream sockets for talking to the running instance of the program on the
// same machine: a listening socket at a path that only its owner may connect to, and a
// connection to it. Stateless functions, safe on any thread. Errors are errno values.
// Reading, writing, waiting and closing use the functions of Socket.h.
#pragma once

#include <string>

#include "kinbook/foundation/Socket.h"
#include "kinbook/kinbook_export.h"

// A non-blocking socket listening at `path` with the file mode 0600. It is bound under a
// temporary name beside `path`, given its mode and then renamed over `path`, so a socket
// file left by a killed process is replaced and no client ever reaches the socket through
// `path` before its mode is set. The caller must be the only one entitled to `path` (it
// holds the instance lock): whatever is at `path` is replaced. INVALID_SOCKET with
// `error` set on failure (ENAMETOOLONG when the path does not fit a socket address).
KINBOOK_API SOCKET LocalSockListen(const std::string& path, int backlog, int& error);
// A blocking socket connected to the listener at `path`; INVALID_SOCKET with `error`
// (ECONNREFUSED when nobody listens there any more, ENOENT when there is no socket).
KINBOOK_API SOCKET LocalSockConnect(const std::string& path, int& error);
// The accepted connection, non-blocking; INVALID_SOCKET with `error` (EAGAIN when nobody
// is waiting).
KINBOOK_API SOCKET LocalSockAccept(SOCKET listener, int& error);
// True when the process at the other end runs as the same user as this one.
KINBOOK_API bool LocalSockPeerIsSameUser(SOCKET socket);
// Removes the socket file at `path` when it is one (errors ignored).
KINBOOK_API void LocalSockRemove(const std::string& path);
