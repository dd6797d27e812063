// The socket layer: Windows Sockets numbers, non-blocking loopback sockets, events.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "kinbook/foundation/PollEvent.h"
#include "kinbook/foundation/Socket.h"

TEST(SocketErrorNumbers, MapErrnoToWindowsSocketsAndBack) {
    struct Case {
        int errnoValue;
        int wsaError;
    };
    const Case kCases[] = {
        {ECONNREFUSED, 10061}, {EWOULDBLOCK, 10035}, {EINPROGRESS, 10035},
        {EADDRINUSE, 10048},   {ECONNRESET, 10054},  {ETIMEDOUT, 10060},
        {EHOSTUNREACH, 10065}, {ENETUNREACH, 10051}, {ENOTSOCK, 10038},
    };
    for (const Case& c : kCases)
        EXPECT_EQ(WSAErrorFromErrno(c.errnoValue), c.wsaError) << c.errnoValue;
    EXPECT_EQ(ErrnoFromWSAError(10061), ECONNREFUSED);
    EXPECT_EQ(ErrnoFromWSAError(10048), EADDRINUSE);
    EXPECT_EQ(WSAErrorFromErrno(0), 0);
    // No counterpart: kept as it is, and it maps back to itself.
    EXPECT_EQ(WSAErrorFromErrno(ENOENT), ENOENT);
    EXPECT_EQ(ErrnoFromWSAError(ENOENT), ENOENT);
}

TEST(SocketLayer, LoopbackConnectSendReceiveAndClose) {
    int error = 0;
    const SOCKET listener = SockCreateStream(TRUE, error);
    ASSERT_NE(listener, INVALID_SOCKET);
    ASSERT_TRUE(SockBind(listener, MakeSocketAddress(INADDR_LOOPBACK, 0), error));
    ASSERT_TRUE(SockListen(listener, 5, error));
    sockaddr_in bound;
    ASSERT_TRUE(SockLocalAddress(listener, bound, error));
    EXPECT_EQ(FormatSocketAddress(bound).rfind("127.0.0.1:", 0), 0u);

    // Nobody is waiting: the accept would block.
    EXPECT_EQ(SockAccept(listener, nullptr, error), INVALID_SOCKET);
    EXPECT_EQ(error, WSAEWOULDBLOCK);

    const SOCKET client = SockCreateStream(FALSE, error);
    if (!SockConnect(client, bound, error)) {
        ASSERT_EQ(error, WSAEWOULDBLOCK);
    }
    SWaitEntry ready{listener, kWaitRead, 0};
    ASSERT_EQ(SockWait(&ready, 1, 5000, error), 1);
    sockaddr_in peer;
    const SOCKET server = SockAccept(listener, &peer, error);
    ASSERT_NE(server, INVALID_SOCKET);
    SWaitEntry writable{client, kWaitWrite, 0};
    ASSERT_EQ(SockWait(&writable, 1, 5000, error), 1);
    EXPECT_EQ(SockPendingError(client), 0);

    ASSERT_EQ(SockSend(client, "hello", 5, error), 5);
    SWaitEntry readable{server, kWaitRead, 0};
    ASSERT_EQ(SockWait(&readable, 1, 5000, error), 1);
    EXPECT_EQ(SockAvailable(server, error), 5);
    EXPECT_FALSE(SockPeerClosed(server, error));
    char buffer[16];
    EXPECT_EQ(SockRecv(server, buffer, sizeof(buffer), error), 5);
    EXPECT_EQ(SockRecv(server, buffer, sizeof(buffer), error), -1);
    EXPECT_EQ(error, WSAEWOULDBLOCK);

    SockShutdown(client);
    SockClose(client);
    ASSERT_EQ(SockWait(&readable, 1, 5000, error), 1);
    EXPECT_EQ(SockAvailable(server, error), 0);
    EXPECT_TRUE(SockPeerClosed(server, error));
    EXPECT_EQ(error, 0);
    SockClose(server);
    SockClose(listener);
}

TEST(SocketLayer, RefusedConnectReportsWinsockNumber) {
    int error = 0;
    const SOCKET probe = SockCreateStream(TRUE, error);
    ASSERT_TRUE(SockBind(probe, MakeSocketAddress(INADDR_LOOPBACK, 0), error));
    sockaddr_in address;
    ASSERT_TRUE(SockLocalAddress(probe, address, error));
    SockClose(probe);  // bound, never listened: the port refuses

    const SOCKET client = SockCreateStream(FALSE, error);
    if (SockConnect(client, address, error)) {
        FAIL() << "connected to a closed port";
    } else if (error == WSAEWOULDBLOCK) {
        SWaitEntry done{client, kWaitWrite, 0};
        ASSERT_EQ(SockWait(&done, 1, 5000, error), 1);
        EXPECT_EQ(SockPendingError(client), WSAECONNREFUSED);
    } else {
        EXPECT_EQ(error, WSAECONNREFUSED);
    }
    SockClose(client);
}

TEST(PollEventTest, SignalWaitAndReset) {
    CPollEvent event;
    ASSERT_TRUE(event.IsValid());
    EXPECT_FALSE(event.Wait(0));
    EXPECT_FALSE(event.Reset());
    event.Signal();
    event.Signal();
    EXPECT_TRUE(event.Wait(0));
    EXPECT_TRUE(event.Wait(0));  // waiting does not clear it
    EXPECT_TRUE(event.Reset());
    EXPECT_FALSE(event.Wait(0));

    std::thread signaller([&event] { event.Signal(); });
    EXPECT_TRUE(event.Wait(5000));
    signaller.join();
}

TEST(OpenFileLimitTest, SoftLimitReachesTheHardLimit) {
    rlimit before;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
    rlimit lowered = before;
    lowered.rlim_cur = std::min<rlim_t>(before.rlim_max, 256);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    long limit = RaiseOpenFileLimit();
    rlimit after;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &after), 0);
    EXPECT_EQ(after.rlim_cur, before.rlim_max);
    if (before.rlim_max != RLIM_INFINITY) {
        EXPECT_EQ(limit, static_cast<long>(before.rlim_max));
    }
    setrlimit(RLIMIT_NOFILE, &before);
}
