// Relay throughput: a large volume of mail-like lines from a loopback server through a
// relaying proxy connection to a client, next to a direct loopback copy of the same
// bytes measured in the same run. Last line: the ratio relay / direct.
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "../ferrymail/tests/ProxyTestPeers.h"
#include "kinbook/foundation/Paths.h"
#include "kinbook/foundation/Registry.h"

using namespace testpeers;

namespace {

constexpr size_t kChunkSize = 1 << 20;
constexpr int kChunks = 256;  // 256 MB per run
constexpr int kRuns = 3;

// One megabyte of 78-character lines with CR LF, as a message body would be.
std::string MakeChunk() {
    std::string chunk;
    chunk.reserve(kChunkSize);
    int line = 0;
    while (chunk.size() + 80 <= kChunkSize) {
        char text[96];
        std::snprintf(text, sizeof(text),
                      "%06d The quick brown fox jumps over the lazy dog; pack my box with five "
                      "doz\r\n",
                      line++);
        chunk += text;
    }
    chunk.append(kChunkSize - chunk.size() - 2, 'x');
    chunk += "\r\n";
    return chunk;
}

// Sends the chunk kChunks times to every client, then closes.
void ServeVolume(int fd, const std::string* chunk) {
    for (int i = 0; i < kChunks; ++i) {
        if (!TestServer::SendAll(fd, *chunk))
            return;
    }
}

// Reads until the peer closes; returns the byte count.
size_t Drain(int fd) {
    static thread_local std::vector<char> buffer(1 << 20);
    size_t total = 0;
    for (;;) {
        const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (got <= 0)
            return total;
        total += static_cast<size_t>(got);
    }
}

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Megabytes per second of a direct loopback copy.
double RunDirect(const std::string& chunk) {
    TestServer source("", [&chunk](int fd) { ServeVolume(fd, &chunk); });
    const auto start = Clock::now();
    TestClient sink(source.GetPort());
    const size_t bytes = Drain(sink.GetHandle());
    const double seconds = Seconds(start);
    if (bytes != kChunkSize * kChunks)
        std::fprintf(stderr, "direct copy lost bytes: %zu\n", bytes);
    return bytes / seconds / 1e6;
}

// Megabytes per second through the relaying connection.
double RunRelay(const std::string& chunk, int listenerPort) {
    TestServer source("", [&chunk](int fd) { ServeVolume(fd, &chunk); });
    const auto start = Clock::now();
    TestClient sink(listenerPort);
    sink.SendLine(ConnectLine(source.GetPort(), "bench"));
    const size_t bytes = Drain(sink.GetHandle());
    const double seconds = Seconds(start);
    const size_t expected = kChunkSize * kChunks + 3;  // and the "0" line
    if (bytes != expected)
        std::fprintf(stderr, "relay lost bytes: %zu of %zu\n", bytes, expected);
    return bytes / seconds / 1e6;
}

}  // namespace

int main() {
    char pattern[] = "/tmp/quillon-relaybench-XXXXXX";
    const char* home = ::mkdtemp(pattern);
    if (home == nullptr)
        return 1;
    ::setenv("QUILLON_HOME", home, 1);
    RegResetHives();

    const std::string chunk = MakeChunk();
    double bestDirect = 0;
    double bestRelay = 0;
    {
        CRelayListener listener;
        int errorNumber = 0;
        std::string errorText;
        if (!listener.InitListener(5, errorNumber, errorText)) {
            std::fprintf(stderr, "listener: %s\n", errorText.c_str());
            return 1;
        }
        for (int run = 0; run < kRuns; ++run) {
            const double direct = RunDirect(chunk);
            const double relay = RunRelay(chunk, listener.GetPort());
            std::printf("run %d: direct %.0f MB/s, relay %.0f MB/s\n", run + 1, direct, relay);
            bestDirect = std::max(bestDirect, direct);
            bestRelay = std::max(bestRelay, relay);
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);

    std::printf("volume per run: %d MB of 80-byte lines\n", kChunks);
    std::printf("direct loopback copy (best of %d): %.0f MB/s\n", kRuns, bestDirect);
    std::printf("relay through proxy (best of %d): %.0f MB/s\n", kRuns, bestRelay);
    std::printf("relay/direct ratio: %.2f\n", bestRelay / bestDirect);
    return 0;
}
