// Fuzzes the SMTP session machine with an arbitrary conversation. The input is read as
// lines; the first byte of each says what it is: 'C' a client line, 'S' a server line,
// 'K' the connect's completion (the rest empty: success), 'T' the end of a TLS
// handshake (the rest its error), 'X' the server's close, 'N' a clock tick; other lines
// are skipped. The machine must keep its states in range and never pass a line of its
// own "X-Quillon-" header fields to the server while it records a message.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "ferrymail/proxy/Logger.h"
#include "ferrymail/proxy/SMTPMessage.h"
#include "kinbook/foundation/TextHelpers.h"
#include "proxy/ProxyConnection.h"
#include "proxy/SMTPSession.h"

namespace {

class CFuzzHost : public ISMTPSessionHost, public CLogger {
public:
    size_t serverLines = 0;

    void SendClient(const std::string&) override {}
    void SendServer(const std::string&) override { ++serverLines; }
    int ConnectRelayed(const std::string& argument) override {
        return argument.size() % 3 == 0 ? CTS_FAILED : CTS_PENDING;
    }
    int ConnectNamed(const std::string& host, int) override {
        return host.size() % 2 == 0 ? CTS_CONNECTED : CTS_PENDING;
    }
    bool StartTLS(const std::string&, const std::string&, bool, std::string&) override {
        return true;
    }
    void StartClock() override {}
    void StopClock() override {}
    void CloseServer() override {}
    void EndSession() override {}
    void NotifyNumber(int, int) override {}
    void NotifyObject(UINT, CRefCount* object) override {
        if (object == nullptr)
            __builtin_trap();
    }
    const char* GetLogName() override { return "SMTP(fuzz)"; }
};

bool InHeader(ESMTPState state) {
    return state == ESMTPState::kHeader || state == ESMTPState::kSubject ||
           state == ESMTPState::kOwnHeader;
}

void Feed(CSMTPSession& session, CFuzzHost& host, char kind, const std::string& rest) {
    switch (kind) {
        case 'C': {
            const ESMTPState before = session.GetState();
            const bool recording = session.Message() != nullptr;
            const size_t sent = host.serverLines;
            session.OnClientLine(rest);
            if (InHeader(before) && recording &&
                StartsWithNoCase(rest.c_str(), rest.size(), "X-Quillon-") &&
                host.serverLines != sent)
                __builtin_trap();
            break;
        }
        case 'S':
            session.OnServerLine(rest);
            break;
        case 'K':
            session.OnServerConnect(rest.empty() ? 0 : 10061);
            break;
        case 'T':
            session.OnServerSecured(rest);
            break;
        case 'X':
            session.OnServerClose();
            break;
        case 'N':
            session.OnClock();
            break;
        default:
            break;
    }
    const int state = static_cast<int>(session.GetState());
    if (state < 0 || state > 10)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The settings, accounts and friends the machine reads live in a home of its own.
    static char home[] = "/tmp/quillon-fuzz-XXXXXX";
    if (mkdtemp(home) != nullptr)
        setenv("QUILLON_HOME", home, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    CFuzzHost host;
    {
        CSMTPSession session(host, host);
        session.Start();
        size_t at = 0;
        while (at < input.size()) {
            size_t end = input.find('\n', at);
            if (end == std::string::npos)
                end = input.size();
            if (end > at)
                Feed(session, host, input[at], input.substr(at + 1, end - at - 1));
            at = end + 1;
        }
        session.OnSessionEnd(0);
    }
    return 0;
}
