#include "proxy/AOLConnection.h"

#include "proxy/FLAPFrame.h"

CAOLConnection::CAOLConnection(SOCKET client, int number)
    : CProxyConnection(client, PROTOCOL_AOL, number) {
    // Frames carry binary lengths and data: zero bytes must stay as they are.
    m_keepZeroBytes = true;
}

CAOLConnection::~CAOLConnection() { StopThread(); }

void CAOLConnection::InitializeThread() {
    CProxyConnection::InitializeThread();
    SendClientLine(kGreeting);
}

void CAOLConnection::OnClientLine(std::string& line) {
    if (m_binaryMode) {
        SendServer(line);
        return;
    }
    // Bytes after the CONNECT line are frames, even in the same read.
    m_binaryMode = true;
    std::string text;
    // A line shorter than the offset has no destination (and is read no further than
    // its end).
    const size_t offset = line.size() < kDestinationOffset ? line.size() : kDestinationOffset;
    const int result = ConnectToServer(line.c_str(), text, 0, static_cast<int>(offset));
    if (result == CTS_FAILED)
        m_binaryMode = false;  // the client has had "-1" or the error number
    else if (result == CTS_CONNECTED)
        OnConnected();  // no FD_CONNECT follows an immediate connect
}

void CAOLConnection::OnServerLine(std::string& line) { SendClient(line); }

void CAOLConnection::OnServerConnect(int errorCode) {
    if (errorCode == 0) {
        OnConnected();
        return;
    }
    // Back to waiting for a CONNECT line.
    CloseServer();
    m_binaryMode = false;
    SendClientFormat("%d", errorCode);
}

void CAOLConnection::OnConnected() {
    SendClientLine("0");
    Log(LOG_INFO, "Connection completed");
}

BOOL CAOLConnection::GetLine(SInputBuffer& input, std::string& line) {
    if (!m_binaryMode)
        return CProxyConnection::GetLine(input, line);
    size_t length = 0;
    switch (CFLAPFrame::Cut(input.Data(), input.Size(), length)) {
    case CFLAPFrame::ECut::kFrame:
        line.assign(input.Data(), length);
        input.Consume(length);
        return TRUE;
    case CFLAPFrame::ECut::kWait:
        return FALSE;
    case CFLAPFrame::ECut::kNotFrame:
        break;
    }
    // Out of step with the frames: nothing after this can be read as one.
    const bool client = &input == &m_clientBuffer;
    LogFormat(LOG_INFO, "Not a FLAP frame from the %s (first byte 0x%02x); closing the connection",
              client ? "client" : "server", static_cast<unsigned char>(input.Data()[0]));
    input.Clear();
    if (client)
        OnClientClose(0);
    else
        OnServerClose(0);  // what was relayed before still reaches the client
    return FALSE;
}

unsigned CAOLConnection::GetLogCategory(int direction) {
    switch (direction) {
    case DIR_FROM_SERVER:
        return LOG_FROM_SERVER;
    case DIR_TO_SERVER:
        return LOG_TO_SERVER;
    case DIR_FROM_CLIENT:
        return LOG_FROM_CLIENT;
    case DIR_TO_CLIENT:
        return LOG_TO_CLIENT;
    default:
        return LOG_INFO;
    }
}

void CAOLConnection::CloseServer() {
    CSendQueue& pending = m_serverSocket.GetPending();
    while (!pending.IsEmpty())
        pending.Consume(pending.GetSize());
    if (m_serverSocket.IsOpen()) {
        m_serverSocket.Close();
        m_rebuild = TRUE;
    }
}

int CAOLConnection::FormatLogData(std::string& out, unsigned category, const char* data,
                                  int length) {
    return CFLAPFrame::FormatLog(data, length < 0 ? 0 : static_cast<size_t>(length), out) ? 1 : 0;
}
