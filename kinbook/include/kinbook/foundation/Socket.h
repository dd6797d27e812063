// Non-blocking IPv4 TCP sockets and readiness waits: the thin layer over POSIX that the
// proxies are built on. Stateless functions, safe on any thread; a socket itself belongs
// to whoever created it. Failures are reported as Windows Sockets error numbers (the
// numbers the proxies' peers and logs use), mapped from errno.
#pragma once

#include <netinet/in.h>
#include <poll.h>

#include <string>

#include "kinbook/foundation/Types.h"
#include "kinbook/kinbook_export.h"

using SOCKET = int;
constexpr SOCKET INVALID_SOCKET = -1;

// Windows Sockets error numbers.
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSAHOST_NOT_FOUND = 11001;

// The Windows Sockets number for an errno value (EINPROGRESS and EAGAIN are
// WSAEWOULDBLOCK, as a non-blocking Windows socket reports them). An errno value with
// no Windows Sockets counterpart is returned unchanged (always below 10000).
int WSAErrorFromErrno(int errnoValue);
// The reverse, for texts: the errno value behind a number of WSAErrorFromErrno.
KINBOOK_API int ErrnoFromWSAError(int error);

// The foundation's name for an IPv4 socket address: code outside the foundation uses
// this name and the functions below rather than the system's type and calls.
using SSocketAddress = sockaddr_in;

// An IPv4 address in network order and a port in host order.
KINBOOK_API sockaddr_in MakeSocketAddress(uint32_t addressHostOrder, int port);
std::string FormatSocketAddress(const sockaddr_in& address);  // "a.b.c.d:port"
// An IPv4 address in network order (as ParseIPv4 and ResolveHostIPv4 give it) and a port
// in host order.
KINBOOK_API sockaddr_in MakeSocketAddressFromNetworkOrder(uint32_t addressNetworkOrder, int port);
// The port of `address` in host order.
KINBOOK_API int SocketAddressPort(const sockaddr_in& address);

// A TCP stream socket, non-blocking and not inherited by child programs; with `listener`
// also set to let a port be bound again while old connections linger (a port that some
// socket listens on stays taken). INVALID_SOCKET on failure.
KINBOOK_API SOCKET SockCreateStream(BOOL listener, int& error);
KINBOOK_API BOOL SockBind(SOCKET socket, const sockaddr_in& address, int& error);
KINBOOK_API BOOL SockListen(SOCKET socket, int backlog, int& error);
// The accepted socket is non-blocking; `address` (may be null) receives the peer.
// INVALID_SOCKET on failure (WSAEWOULDBLOCK when nobody is waiting).
KINBOOK_API SOCKET SockAccept(SOCKET listener, sockaddr_in* address, int& error);
// 1 when connected at once; 0 otherwise, with WSAEWOULDBLOCK while the connection is
// under way (its outcome: the socket becomes writable, then SockPendingError).
KINBOOK_API BOOL SockConnect(SOCKET socket, const sockaddr_in& address, int& error);
// The socket's pending error (0 when none), cleared by asking.
KINBOOK_API int SockPendingError(SOCKET socket);
KINBOOK_API BOOL SockLocalAddress(SOCKET socket, sockaddr_in& address, int& error);

// Bytes taken (never raises SIGPIPE), or -1.
KINBOOK_API int SockSend(SOCKET socket, const char* data, int length, int& error);
// Bytes read, 0 when the peer has closed, or -1.
KINBOOK_API int SockRecv(SOCKET socket, char* data, int length, int& error);
// Bytes waiting to be read, or -1.
KINBOOK_API int SockAvailable(SOCKET socket, int& error);
// Whether the peer has ended the stream with nothing left to read: 1 closed (`error` 0
// for an orderly close, else the reset's number), 0 still open or data waiting.
KINBOOK_API BOOL SockPeerClosed(SOCKET socket, int& error);
KINBOOK_API void SockShutdown(SOCKET socket);  // both directions, errors ignored
KINBOOK_API void SockClose(SOCKET socket);
// Turns off Nagle's delay for small sends (TCP_NODELAY); errors ignored.
KINBOOK_API void SockSetNoDelay(SOCKET socket);

// One handle of a wait (the platform's poll entry) and the events it names: read, write,
// error, hang-up and a handle that is not open.
using SWaitEntry = pollfd;
inline constexpr short kWaitRead = POLLIN;
inline constexpr short kWaitWrite = POLLOUT;
inline constexpr short kWaitError = POLLERR;
inline constexpr short kWaitHangUp = POLLHUP;
inline constexpr short kWaitInvalid = POLLNVAL;

// poll() over `count` entries, retried when a signal interrupts it. The number of ready
// entries, 0 on time-out (`milliseconds` < 0 waits without limit), -1 on failure.
KINBOOK_API int SockWait(SWaitEntry* entries, int count, int milliseconds, int& error);

// Raises the soft limit of open files to the hard limit: each proxied connection holds
// four handles. Returns the soft limit in force afterwards (-1 when it cannot be asked).
KINBOOK_API long RaiseOpenFileLimit();
