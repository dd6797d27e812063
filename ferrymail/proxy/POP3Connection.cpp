#include "proxy/POP3Connection.h"

#include "ferrymail/store/MessageDatabase.h"
#include "ferrymail/store/MessageStore.h"
#include "kinbook/foundation/RegistryKey.h"

namespace {

constexpr const char kProgramSettingsKey[] = "Software\\Brevant\\Quillon\\Settings";

bool DeliverFromLocalStore() {
    CRegistryKey settings;
    int deliverLocal = 0;
    if (settings.Open(HKEY_CURRENT_USER, kProgramSettingsKey, KEY_READ))
        settings.QueryValue("Deliver From Local Store", deliverLocal, TRUE);
    return deliverLocal != 0;
}

}  // namespace

CPOP3Connection::CPOP3Connection(SOCKET client, int number)
    : CProxyConnection(client, PROTOCOL_POP3, number),
      m_session(*this, *this, DeliverFromLocalStore()) {
    m_name = "POP3(" + std::to_string(number) + ")";
}

CPOP3Connection::~CPOP3Connection() {
    StopThread();
    m_session.CloseStore();
}

void CPOP3Connection::InitializeThread() {
    CProxyConnection::InitializeThread();
    m_session.Start();
}

void CPOP3Connection::TerminateThread(int exitCode) {
    m_session.CloseStore();
    CProxyConnection::TerminateThread(exitCode);
}

void CPOP3Connection::StartWait() {
    m_session.Statistics().StartWait();
}

void CPOP3Connection::EndWait() {
    m_session.Statistics().EndWait();
}

void CPOP3Connection::OnClientLine(std::string& line) {
    m_session.OnClientLine(line);
}

void CPOP3Connection::OnServerLine(std::string& line) {
    m_session.OnServerLine(line);
}

size_t CPOP3Connection::OnServerBlock(const char* data, size_t size) {
    return m_session.OnServerBlock(data, size);
}

void CPOP3Connection::OnServerConnect(int errorCode) {
    if (errorCode != 0 && m_session.GetState() == EPOP3State::kConnecting)
        m_serverSocket.Close();
    m_session.OnServerConnect(errorCode);
}

void CPOP3Connection::OnServerHandshake(const std::string& error) {
    if (error.empty())
        LogFormat(LOG_INFO, "TLS: %s", m_serverSocket.GetTLSDescription().c_str());
    m_session.OnServerSecured(error);
}

void CPOP3Connection::OnServerClose(int errorCode) {
    if (m_serverSocket.IsTLS() && !m_serverSocket.GetTLSError().empty())
        LogFormat(LOG_INFO, "TLS stream from the server ended: %s",
                  m_serverSocket.GetTLSError().c_str());
    m_session.OnServerClose("Server closed the connection");
    CProxyConnection::OnServerClose(errorCode);
}

bool CPOP3Connection::OnServerLinePiece(const char* data, size_t size, bool first, bool last) {
    return m_session.OnServerLinePiece(data, size, first, last);
}

void CPOP3Connection::OnServerLineTooLong() {
    m_session.OnServerClose("Line from server too long");
    CProxyConnection::OnServerClose(0);
}

void CPOP3Connection::OnClientClose(int errorCode) {
    if (!m_statisticsWritten) {
        m_statisticsWritten = true;
        NotifyStore(MN_END_CONNECTION, errorCode);
        m_session.Statistics().Write(*this, ServerBytes(),
                                     {m_socket.GetBytesSent(), m_socket.GetBytesReceived()});
    }
    CProxyConnection::OnClientClose(errorCode);
}

void CPOP3Connection::CloseServer() {
    if (m_serverSocket.IsOpen()) {
        m_serverSocket.Close();
        m_rebuild = TRUE;
    }
}

unsigned CPOP3Connection::GetLogCategory(int direction) {
    return m_session.LogCategory(direction);
}

CRefCount* CPOP3Connection::GetStore() {
    return m_session.Store();
}

void CPOP3Connection::OnClockTick() {
    m_session.OnClock();
}

// ---------------------------------------------------------------------------------------
// What the session asks of its connection.

void CPOP3Connection::SendClient(const char* data, size_t size) {
    CProxyConnection::SendClient(data, static_cast<int>(size));
}

void CPOP3Connection::SendServer(const std::string& line) {
    SendServerLine(line);
}

bool CPOP3Connection::IsClientOpen() {
    return m_socket.IsOpen();
}

bool CPOP3Connection::IsServerOpen() {
    return m_serverSocket.IsOpen();
}

void CPOP3Connection::FlushClient() {
    SendPending(m_socket, DIR_TO_CLIENT);
}

int CPOP3Connection::ConnectRelayed(const std::string& argument, std::string& text) {
    return ConnectToServer(argument.c_str(), text, 0, 0);
}

int CPOP3Connection::ConnectNamed(const std::string& host, int port) {
    return ConnectToNamedHost(host.c_str(), port);
}

bool CPOP3Connection::StartTLS(const std::string& hostName, const std::string& caFile, bool verify,
                               std::string& error) {
    return StartServerTLS(hostName, caFile, verify, error) != FALSE;
}

uint32_t CPOP3Connection::ServerAddress() {
    return m_peerAddress.sin_addr.s_addr;
}

void CPOP3Connection::EndSession() {
    OnServerClose(0);
}

void CPOP3Connection::StartClock() {
    StartSessionClock();
}

void CPOP3Connection::StopClock() {
    StopSessionClock();
}

void CPOP3Connection::Notify(UINT wParam, const std::string& text) {
    NotifyUI(wParam, text);
}

void CPOP3Connection::NotifyStore(int code, int data) {
    CProxyConnection::NotifyStore(code, data);
}

CPOP3Statistics::SBytes CPOP3Connection::ServerBytes() {
    return {m_serverSocket.GetBytesSent(), m_serverSocket.GetBytesReceived()};
}
