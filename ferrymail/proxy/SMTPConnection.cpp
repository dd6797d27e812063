#include "proxy/SMTPConnection.h"

#include "ferrymail/proxy/Logger.h"

CSMTPConnection::CSMTPConnection(SOCKET client, int number)
    : CProxyConnection(client, PROTOCOL_SMTP, number), m_session(*this, *this) {
    m_name = "SMTP(" + std::to_string(number) + ")";
}

CSMTPConnection::~CSMTPConnection() { StopThread(); }

void CSMTPConnection::InitializeThread() {
    CProxyConnection::InitializeThread();
    m_session.Start();
}

void CSMTPConnection::TerminateThread(int exitCode) {
    m_session.OnSessionEnd(0);
    CProxyConnection::TerminateThread(exitCode);
}

void CSMTPConnection::OnClientLine(std::string& line) { m_session.OnClientLine(line); }

void CSMTPConnection::OnServerLine(std::string& line) { m_session.OnServerLine(line); }

void CSMTPConnection::OnServerConnect(int errorCode) {
    if (errorCode != 0)
        CloseServer();
    m_session.OnServerConnect(errorCode);
}

void CSMTPConnection::OnServerHandshake(const std::string& error) {
    if (error.empty())
        LogFormat(LOG_INFO, "TLS: %s", m_serverSocket.GetTLSDescription().c_str());
    m_session.OnServerSecured(error);
}

void CSMTPConnection::OnClientClose(int errorCode) {
    m_session.OnSessionEnd(errorCode);
    CProxyConnection::OnClientClose(errorCode);
}

void CSMTPConnection::OnServerClose(int errorCode) {
    if (m_serverSocket.IsTLS() && !m_serverSocket.GetTLSError().empty())
        LogFormat(LOG_INFO, "TLS stream from the server ended: %s",
                  m_serverSocket.GetTLSError().c_str());
    m_session.OnServerClose();
    CProxyConnection::OnServerClose(errorCode);
}

void CSMTPConnection::CloseServer() {
    if (m_serverSocket.IsOpen()) {
        m_serverSocket.Close();
        m_rebuild = TRUE;
    }
}

unsigned CSMTPConnection::GetLogCategory(int direction) { return m_session.LogCategory(direction); }

void CSMTPConnection::OnClockTick() { m_session.OnClock(); }

// ---------------------------------------------------------------------------------------
// What the session asks of its connection.

void CSMTPConnection::SendClient(const std::string& line) { SendClientLine(line); }

void CSMTPConnection::SendServer(const std::string& line) { SendServerLine(line); }

int CSMTPConnection::ConnectRelayed(const std::string& argument) {
    std::string text;
    return ConnectToServer(argument.c_str(), text, 0, 0);
}

int CSMTPConnection::ConnectNamed(const std::string& host, int port) {
    return ConnectToNamedHost(host.c_str(), port);
}

bool CSMTPConnection::StartTLS(const std::string& hostName, const std::string& caFile,
                               bool verify, std::string& error) {
    return StartServerTLS(hostName, caFile, verify, error) != FALSE;
}

void CSMTPConnection::EndSession() { OnServerClose(0); }

void CSMTPConnection::StartClock() { StartSessionClock(); }

void CSMTPConnection::StopClock() { StopSessionClock(); }

void CSMTPConnection::NotifyNumber(int code, int data) { NotifyStore(code, data); }

void CSMTPConnection::NotifyObject(UINT code, CRefCount* object) { NotifyUI(code, object); }
