// The listener over real loopback sockets: start functions and their errors, loopback
// binding, the connection chain and its shut-down, and the clock events.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "ProxyTestPeers.h"
#include "TestHome.h"
#include "ferrymail/proxy/ProxyStart.h"
#include "kinbook/foundation/StringTable.h"

using namespace testpeers;

namespace {

// Whether a TCP connection to `address`:`port` is accepted (IPv4 or IPv6 text).
bool Reaches(const char* address, int port) {
    sockaddr_storage target{};
    socklen_t length;
    int family;
    if (std::strchr(address, ':') != nullptr) {
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&target);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET6, address, &v6->sin6_addr);
        length = sizeof(sockaddr_in6);
        family = AF_INET6;
    } else {
        auto* v4 = reinterpret_cast<sockaddr_in*>(&target);
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        inet_pton(AF_INET, address, &v4->sin_addr);
        length = sizeof(sockaddr_in);
        family = AF_INET;
    }
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&target), length) == 0;
    ::close(fd);
    return connected;
}

std::string SystemText(int errnoValue) {
    std::string text;
    GetErrorString(static_cast<DWORD>(errnoValue), text);
    return text;
}

}  // namespace

class ListenerTest : public ::testing::Test {
protected:
    // A backlog of 5, as the start functions use, drops the SYN of a seventh client
    // that connects in the same instant; tests that open many at once take more.
    std::unique_ptr<CRelayListener> StartRelay(int backlog = 5) {
        auto listener = std::make_unique<CRelayListener>();
        int errorNumber = 0;
        std::string errorText;
        EXPECT_TRUE(listener->InitListener(backlog, errorNumber, errorText)) << errorText;
        return listener;
    }

    CTestHome m_home;
};

TEST_F(ListenerTest, StartFunctionsListenOnTheirPortsAndTitles) {
    int errorNumber = 0;
    std::string errorText;
    std::unique_ptr<CListener> pop3(StartFerrymail(0, errorNumber, errorText));
    ASSERT_NE(pop3, nullptr) << errorText;
    EXPECT_NE(pop3->GetPort(), 0);
    EXPECT_STREQ(pop3->GetServerTitle(), "POP3");
    std::unique_ptr<CListener> smtp(StartSMTPProxy(0, errorNumber, errorText));
    ASSERT_NE(smtp, nullptr) << errorText;
    EXPECT_STREQ(smtp->GetServerTitle(), "SMTP");
    EXPECT_NE(smtp->GetPort(), pop3->GetPort());

    // Both listeners' sessions greet.
    TestClient pop3Client(pop3->GetPort());
    ASSERT_TRUE(pop3Client.IsConnected());
    EXPECT_EQ(pop3Client.ReadLine(), "+OK Quillon POP3 proxy server");
    TestClient client(smtp->GetPort());
    ASSERT_TRUE(client.IsConnected());
    EXPECT_EQ(client.ReadLine(), "220 localhost Quillon SMTP proxy server ready");

    std::unique_ptr<CListener> aol(StartAOLProxy(errorNumber, errorText));
    if (aol != nullptr) {
        EXPECT_EQ(aol->GetPort(), 5190);
        EXPECT_STREQ(aol->GetServerTitle(), "AOL");
    } else {
        EXPECT_EQ(errorText, "Bind listener socket: " + SystemText(EADDRINUSE));
    }
}

TEST_F(ListenerTest, TakenPortFailsWithBindText) {
    TestServer taken("");
    ASSERT_TRUE(taken.IsListening());
    int errorNumber = 1234;
    std::string errorText;
    EXPECT_EQ(StartFerrymail(taken.GetPort(), errorNumber, errorText), nullptr);
    EXPECT_EQ(errorText, "Bind listener socket: " + SystemText(EADDRINUSE));
    EXPECT_EQ(errorNumber, 1234);  // a system error leaves the number as it was

    errorText.clear();
    EXPECT_EQ(StartSMTPProxy(taken.GetPort(), errorNumber, errorText), nullptr);
    EXPECT_EQ(errorText, "Bind listener socket: Address already in use");
}

TEST_F(ListenerTest, ReturnErrorForms) {
    int errorNumber = 7;
    std::string errorText;
    CListener::ReturnError(20124, 0, errorNumber, errorText);
    EXPECT_EQ(errorNumber, -1);
    EXPECT_EQ(errorText, "Create listener thread");
    errorNumber = 7;
    CListener::ReturnError(20123, WSAEADDRINUSE, errorNumber, errorText);
    EXPECT_EQ(errorNumber, 7);
    EXPECT_EQ(errorText, "Listen: " + SystemText(EADDRINUSE));
    CListener::ReturnError(20121, EMFILE, errorNumber, errorText);
    EXPECT_EQ(errorText, "Initialize listener socket: " + SystemText(EMFILE));
}

// The listener binds to 127.0.0.1 only: other loopback addresses and IPv6 do not reach it.
TEST_F(ListenerTest, ListensOnLoopbackAddressOnly) {
    auto listener = StartRelay();
    const int port = listener->GetPort();
    EXPECT_TRUE(Reaches("127.0.0.1", port));
    EXPECT_FALSE(Reaches("127.0.0.2", port));
    EXPECT_FALSE(Reaches("::1", port));
}

// A non-loopback address of the machine does not reach the listener. The machine here is
// a network namespace of this test's own (so no traffic leaves it), with 192.0.2.1 on it.
TEST_F(ListenerTest, NotReachableOnNonLoopbackAddress) {
    std::string skip;
    bool reachesOther = true;
    bool reachesLoopback = false;
    bool otherAddressWorks = false;
    std::thread inNamespace([&] {
        if (::unshare(CLONE_NEWNET) != 0) {
            skip = std::string("no network namespace: ") + std::strerror(errno);
            return;
        }
        const int control = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq up{};
        std::strcpy(up.ifr_name, "lo");
        ::ioctl(control, SIOCGIFFLAGS, &up);
        up.ifr_flags |= IFF_UP | IFF_RUNNING;
        ifreq address{};
        std::strcpy(address.ifr_name, "lo:1");
        auto* in = reinterpret_cast<sockaddr_in*>(&address.ifr_addr);
        in->sin_family = AF_INET;
        inet_pton(AF_INET, "192.0.2.1", &in->sin_addr);
        const bool configured = ::ioctl(control, SIOCSIFFLAGS, &up) == 0 &&
                                ::ioctl(control, SIOCSIFADDR, &address) == 0;
        ::close(control);
        if (!configured) {
            skip = std::string("cannot configure the namespace: ") + std::strerror(errno);
            return;
        }
        // The address is local: a socket bound to it is reached.
        const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in bound{};
        bound.sin_family = AF_INET;
        inet_pton(AF_INET, "192.0.2.1", &bound.sin_addr);
        socklen_t length = sizeof(bound);
        if (::bind(probe, reinterpret_cast<sockaddr*>(&bound), sizeof(bound)) == 0 &&
            ::listen(probe, 1) == 0 &&
            ::getsockname(probe, reinterpret_cast<sockaddr*>(&bound), &length) == 0)
            otherAddressWorks = Reaches("192.0.2.1", ntohs(bound.sin_port));
        ::close(probe);

        auto listener = StartRelay();
        reachesLoopback = Reaches("127.0.0.1", listener->GetPort());
        reachesOther = Reaches("192.0.2.1", listener->GetPort());
    });
    inNamespace.join();
    if (!skip.empty())
        GTEST_SKIP() << skip;
    EXPECT_TRUE(otherAddressWorks);
    EXPECT_TRUE(reachesLoopback);
    EXPECT_FALSE(reachesOther);
}

// More connections than one Windows wait could cover, all live at once, then the
// listener is destroyed: every session thread ends within the kill time-out.
TEST_F(ListenerTest, ShutdownEndsManyLiveConnections) {
    constexpr int kConnections = 150;
    TestServer server("+OK many");
    auto listener = StartRelay(kConnections);
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < kConnections; ++i) {
        clients.push_back(std::make_unique<TestClient>(listener->GetPort()));
        ASSERT_TRUE(clients.back()->SendLine(ConnectLine(server.GetPort())));
    }
    for (auto& client : clients) {
        ASSERT_EQ(client->ReadLine(), "0");
        ASSERT_EQ(client->ReadLine(), "+OK many");
    }
    EXPECT_EQ(listener->GetConnectionCount(), kConnections);
    EXPECT_EQ(CRelaySession::cm_running.load(), kConnections);
    // Every one of them still relays.
    for (int i = 0; i < kConnections; i += 10) {
        ASSERT_TRUE(clients[i]->SendLine("NOOP " + std::to_string(i)));
        EXPECT_EQ(clients[i]->ReadLine(), "+OK NOOP " + std::to_string(i));
    }

    const auto start = Clock::now();
    listener.reset();
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    EXPECT_LT(elapsed.count(), static_cast<long>(CProxyServer::kKillTimeout));
    EXPECT_EQ(CRelaySession::cm_running.load(), 0);
    EXPECT_EQ(CRelaySession::cm_live.load(), 0);
    for (auto& client : clients) {
        client->ReadUntilClosed(10.0);
        EXPECT_TRUE(client->IsClosed());
    }
    EXPECT_TRUE(WaitFor([&] { return server.GetFinished() == kConnections; }));
}

TEST_F(ListenerTest, FinishedConnectionsAreReaped) {
    TestServer server("+OK reap");
    auto listener = StartRelay();
    {
        std::vector<std::unique_ptr<TestClient>> clients;
        for (int i = 0; i < 5; ++i) {
            clients.push_back(std::make_unique<TestClient>(listener->GetPort()));
            ASSERT_TRUE(clients.back()->SendLine(ConnectLine(server.GetPort())));
            EXPECT_EQ(clients.back()->ReadLine(), "0");
        }
        EXPECT_EQ(listener->GetConnectionCount(), 5);
        clients.erase(clients.begin() + 1, clients.begin() + 3);
        EXPECT_TRUE(WaitFor([&] { return listener->GetConnectionCount() == 3; }));
        EXPECT_TRUE(WaitFor([&] { return CRelaySession::cm_live.load() == 3; }));
    }
    EXPECT_TRUE(WaitFor([&] { return listener->GetConnectionCount() == 0; }));
    EXPECT_TRUE(WaitFor([&] { return CRelaySession::cm_live.load() == 0; }));
    // The listener still accepts afterwards.
    TestClient late(listener->GetPort());
    ASSERT_TRUE(late.SendLine(ConnectLine(server.GetPort())));
    EXPECT_EQ(late.ReadLine(), "0");
}

TEST_F(ListenerTest, ClockEventIsSignalledOncePerPeriodWhileHeld) {
    auto listener = StartRelay();
    constexpr int kPeriod = 50;
    CPollEvent* event = listener->GetClockEvent(kPeriod);
    ASSERT_NE(event, nullptr);
    event->Reset();
    // Five signals in a row, none sooner than the period allows.
    ASSERT_TRUE(event->Wait(5000));
    event->Reset();
    const auto start = Clock::now();
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(event->Wait(5000)) << i;
        event->Reset();
    }
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_GE(elapsed, 4 * kPeriod);

    // A second, slower event runs beside it.
    CPollEvent* slow = listener->GetClockEvent(1000);
    ASSERT_NE(slow, nullptr);
    EXPECT_TRUE(slow->Wait(3000));

    // Given back, it is signalled no more. A copy of its handle outlives the event.
    const int copy = ::dup(event->GetHandle());
    listener->FreeClockEvent(event);
    uint64_t count;
    while (::read(copy, &count, sizeof(count)) > 0) {
    }
    SWaitEntry entry{copy, kWaitRead, 0};
    EXPECT_EQ(::poll(&entry, 1, 6 * kPeriod), 0);
    ::close(copy);
    // The slow one still ticks.
    slow->Reset();
    EXPECT_TRUE(slow->Wait(3000));
    listener->FreeClockEvent(slow);
}
