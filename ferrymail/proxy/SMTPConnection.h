// One SMTP client of the proxy: the glue between the connection's sockets and thread
// (CProxyConnection) and the session machine (CSMTPSession) that does the protocol.
// Everything runs on the session's own thread.
#pragma once

#include <string>

#include "proxy/ProxyConnection.h"
#include "proxy/SMTPSession.h"
#include "proxy/SMTPSessionHost.h"

class CSMTPConnection : public CProxyConnection, private ISMTPSessionHost {
public:
    CSMTPConnection(SOCKET client, int number);
    ~CSMTPConnection() override;

    ESMTPState GetState() const { return m_session.GetState(); }

    void InitializeThread() override;
    void TerminateThread(int exitCode) override;
    void OnClientLine(std::string& line) override;
    void OnServerLine(std::string& line) override;
    void OnServerConnect(int errorCode) override;
    void OnServerHandshake(const std::string& error) override;
    void OnClientClose(int errorCode) override;
    void OnServerClose(int errorCode) override;
    // Also ISMTPSessionHost's: the client stays.
    void CloseServer() override;
    unsigned GetLogCategory(int direction) override;
    void OnClockTick() override;

private:
    // ISMTPSessionHost.
    void SendClient(const std::string& line) override;
    void SendServer(const std::string& line) override;
    int ConnectRelayed(const std::string& argument) override;
    int ConnectNamed(const std::string& host, int port) override;
    bool StartTLS(const std::string& hostName, const std::string& caFile, bool verify,
                  std::string& error) override;
    void EndSession() override;
    void StartClock() override;
    void StopClock() override;
    void NotifyNumber(int code, int data) override;
    void NotifyObject(UINT code, CRefCount* object) override;

    CSMTPSession m_session;
};
