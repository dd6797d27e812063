// One POP3 client of the proxy: the glue between the connection's sockets and thread
// (CProxyConnection) and the session machine (CPOP3Session) that does the protocol.
// Everything runs on the session's own thread; the store and the database take their
// own locks.
#pragma once

#include <string>

#include "proxy/POP3Session.h"
#include "proxy/POP3SessionHost.h"
#include "proxy/ProxyConnection.h"

class CPOP3Connection : public CProxyConnection, private IPOP3SessionHost {
public:
    CPOP3Connection(SOCKET client, int number);
    ~CPOP3Connection() override;

    EPOP3State GetState() const { return m_session.GetState(); }
    bool IsFiltering() const { return m_session.IsFiltering(); }

    void InitializeThread() override;
    void TerminateThread(int exitCode) override;
    void StartWait() override;
    void EndWait() override;
    void OnClientLine(std::string& line) override;
    void OnServerLine(std::string& line) override;
    size_t OnServerBlock(const char* data, size_t size) override;
    void OnServerConnect(int errorCode) override;
    void OnServerHandshake(const std::string& error) override;
    void OnClientClose(int errorCode) override;
    void OnServerClose(int errorCode) override;
    bool OnServerLinePiece(const char* data, size_t size, bool first, bool last) override;
    void OnServerLineTooLong() override;
    void CloseServer() override;
    unsigned GetLogCategory(int direction) override;
    CRefCount* GetStore() override;
    void OnClockTick() override;

private:
    // IPOP3SessionHost.
    void SendClient(const char* data, size_t size) override;
    void SendServer(const std::string& line) override;
    bool IsClientOpen() override;
    bool IsServerOpen() override;
    void FlushClient() override;
    int ConnectRelayed(const std::string& argument, std::string& text) override;
    int ConnectNamed(const std::string& host, int port) override;
    bool StartTLS(const std::string& hostName, const std::string& caFile, bool verify,
                  std::string& error) override;
    uint32_t ServerAddress() override;
    void EndSession() override;
    void StartClock() override;
    void StopClock() override;
    void Notify(UINT wParam, const std::string& text) override;
    void NotifyStore(int code, int data) override;
    CPOP3Statistics::SBytes ServerBytes() override;

    CPOP3Session m_session;
    bool m_statisticsWritten = false;
};
