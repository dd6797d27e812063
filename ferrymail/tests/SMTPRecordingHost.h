// A host for the SMTP session machine and its parts in unit tests: it records what the
// machine asks (lines to either side, connects, TLS starts, the clock, notifications)
// and answers nothing by itself; its log lines are kept when a listener logs for it.
#pragma once

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "ferrymail/proxy/LogWindowSink.h"
#include "ferrymail/proxy/Logger.h"
#include "proxy/ProxyConnection.h"
#include "proxy/SMTPSessionHost.h"

class CRecordingHost : public ISMTPSessionHost, public CLogger, public CLogWindowSink {
public:
    explicit CRecordingHost(CListener* listener) { m_logListener = listener; }
    ~CRecordingHost() override {
        for (auto& posted : objects) CRefCount::DoRelease(posted.second);
    }

    std::vector<std::string> client, server, log;
    std::vector<std::pair<int, int>> numbers;
    std::vector<std::pair<UINT, CRefCount*>> objects;  // one reference each
    std::vector<std::string> tlsStarts;                // "host cafile verify|insecure"
    std::string connected;                             // the last connect's target
    int connectResult = CTS_PENDING;
    std::string tlsError;
    bool serverClosed = false;
    bool ended = false;
    bool clockRunning = false;

    void SendClient(const std::string& line) override { client.push_back(line); }
    void SendServer(const std::string& line) override { server.push_back(line); }
    int ConnectRelayed(const std::string& argument) override {
        connected = "relayed " + argument;
        return connectResult;
    }
    int ConnectNamed(const std::string& host, int port) override {
        connected = host + ":" + std::to_string(port);
        return connectResult;
    }
    bool StartTLS(const std::string& host, const std::string& caFile, bool verify,
                  std::string& error) override {
        tlsStarts.push_back(host + " " + caFile + (verify ? " verify" : " insecure"));
        error = tlsError;
        return error.empty();
    }
    void StartClock() override { clockRunning = true; }
    void StopClock() override { clockRunning = false; }
    void CloseServer() override { serverClosed = true; }
    void EndSession() override { ended = true; }
    void NotifyNumber(int code, int data) override { numbers.emplace_back(code, data); }
    void NotifyObject(UINT code, CRefCount* object) override {
        object->AddRef();
        objects.emplace_back(code, object);
    }
    const char* GetLogName() override { return "SMTP(test)"; }
    void AppendLogLine(const std::string& line) override {
        const size_t at = line.find("SMTP(test): ");
        log.push_back(line.substr(at + 12, line.size() - at - 14));
    }
    bool Logged(const std::string& text) const {
        return std::find(log.begin(), log.end(), text) != log.end();
    }
};
