#include "proxy/POP3Connection.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cctype>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "ferrymail/AccountTable.h"
#include "ferrymail/FerrymailStrings.h"
#include "ferrymail/MessageDatabase.h"
#include "kinbook/RegistryKey.h"
#include "kinbook/StringTable.h"

namespace {

constexpr int kTopLinesDefault = 10;
constexpr const char kDirectClient[] = "Direct client";
constexpr const char kStatisticsKey[] = "Software\\Brevant\\Quillon\\Statistics";
constexpr const char kProgramSettingsKey[] = "Software\\Brevant\\Quillon\\Settings";

struct SCommandInfo {
    const char* word;
    int code;
    bool takesNumber;
    bool simple;
};

const SCommandInfo kCommands[] = {
    {"APOP", PC_APOP, false, true},    {"CONNECT", PC_CONNECT, false, true},
    {"DELE", PC_DELE, true, true},     {"LIST", PC_LIST, true, false},
    {"NOOP", PC_NOOP, false, true},    {"NULL", PC_NULL, false, true},
    {"PASS", PC_PASS, false, true},    {"QUIT", PC_QUIT, false, true},
    {"RETR", PC_RETR, true, false},    {"RSET", PC_RSET, false, true},
    {"STAT", PC_STAT, false, false},   {"TOP", PC_TOP, true, false},
    {"UIDL", PC_UIDL, true, false},    {"USER", PC_USER, false, true},
    {"XSENDER", PC_XSENDER, false, false}, {"CAPA", PC_CAPA, false, false},
};

// How many of the session's own commands may wait for their replies at once during a
// synchronization: enough to keep a loopback or LAN server busy, few enough that an
// error costs little wasted transfer.
constexpr size_t kServerWindow = 32;

// The proxy's own capabilities: what it offers a client before it knows the server.
constexpr const char kOwnCapabilities[] = "USER\r\nTOP\r\nUIDL\r\nPIPELINING\r\n";

// Capabilities of the server that the proxy passes on unchanged. Anything else (STLS,
// SASL, UTF8, extensions) needs commands the proxy does not relay in the authorization
// state or does not understand, so the client is not told of them.
bool IsPassedCapability(const std::string& line) {
    static const char* const kPassed[] = {"USER", "TOP", "UIDL", "RESP-CODES", "LOGIN-DELAY",
                                          "EXPIRE", "IMPLEMENTATION", "PIPELINING"};
    const size_t end = line.find_first_of(" \t");
    const std::string word = line.substr(0, end);
    for (const char* passed : kPassed)
        if (strcasecmp(word.c_str(), passed) == 0)
            return true;
    return false;
}

const SCommandInfo* InfoOf(int code) {
    for (const SCommandInfo& info : kCommands)
        if (info.code == code)
            return &info;
    return nullptr;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Trim(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// "%d.%03d" of a time in seconds.
std::string Seconds(double seconds) {
    long milliseconds = static_cast<long>(seconds * 1000.0 + 0.5);
    char text[48];
    std::snprintf(text, sizeof text, "%ld.%03ld", milliseconds / 1000, milliseconds % 1000);
    return text;
}

// Parses "%d %[^...]": a decimal number, blanks, then the rest of the text (trimmed).
bool ParseNumberAndRest(const std::string& text, int& number, std::string& rest) {
    const char* p = text.c_str();
    char* end = nullptr;
    long value = std::strtol(p, &end, 10);
    if (end == p)
        return false;
    number = static_cast<int>(value);
    rest = Trim(end);
    return true;
}

void AddStatistic(CRegistryKey& key, const char* name, int amount) {
    int value = 0;
    key.QueryValue(name, value, TRUE);
    key.SetValue(name, value + amount);
}

void AddStatistic(CRegistryKey& key, const char* name, double amount) {
    double value = 0;
    if (!key.QueryValue(name, value))
        value = 0;
    key.SetValue(name, value + amount);
}

}  // namespace

const SSetting CPOP3Connection::cm_pSessionSettings[] = {
    {"TopLines", offsetof(SSessionSettings, topLines), ST_INTEGER, nullptr, kTopLinesDefault},
    {nullptr, 0, 0, nullptr, 0},
};

CPOP3Connection::CPOP3Connection(SOCKET client, int number)
    : CProxyConnection(client, PROTOCOL_POP3, number),
      m_settings("POP3Proxy", cm_pSessionSettings) {
    m_name = "POP3(" + std::to_string(number) + ")";
    m_clientName = kDirectClient;
    m_settings.ReloadSettings(nullptr, &m_sessionSettings);
    CRegistryKey settings;
    int deliverLocal = 0;
    if (settings.Open(HKEY_CURRENT_USER, kProgramSettingsKey, KEY_READ))
        settings.QueryValue("Deliver From Local Store", deliverLocal, TRUE);
    m_deliverLocal = deliverLocal != 0;
}

CPOP3Connection::~CPOP3Connection() {
    StopThread();
    CloseStore();
    CRefCount::DoRelease(m_account);
}

const char* CPOP3Connection::CommandWord(int code) {
    const SCommandInfo* info = InfoOf(code);
    return info != nullptr ? info->word : "";
}

int CPOP3Connection::CommandCode(const std::string& word) {
    for (const SCommandInfo& info : kCommands)
        if (strcasecmp(info.word, word.c_str()) == 0)
            return info.code;
    return PC_NULL;
}

// ---------------------------------------------------------------------------------------
// Thread, events and the slow response.

void CPOP3Connection::InitializeThread() {
    CProxyConnection::InitializeThread();
    SendClientLine("+OK Quillon POP3 proxy server");
}

void CPOP3Connection::TerminateThread(int exitCode) {
    if (m_clock != nullptr && m_listener != nullptr)
        m_listener->FreeClockEvent(m_clock);
    m_clock = nullptr;
    CloseStore();
    CProxyConnection::TerminateThread(exitCode);
}

void CPOP3Connection::FillEventVec(int& count) {
    CProxyConnection::FillEventVec(count);
    if (m_clock != nullptr)
        AddEvent(count, m_clock);
}

BOOL CPOP3Connection::ProcessEvents(SWaitHandle& handle, EVENTACTION& action, int& exitCode) {
    if (m_clock != nullptr && handle.event == m_clock) {
        TickSlowResponse();
        if (m_rebuild) {
            m_rebuild = FALSE;
            action = EA_REBUILD;
        }
        return TRUE;
    }
    return CProxyConnection::ProcessEvents(handle, action, exitCode);
}

void CPOP3Connection::StartWait() { m_waitTimer.Query(TRUE); }

void CPOP3Connection::EndWait() { m_waitTime += m_waitTimer.Query(FALSE); }

void CPOP3Connection::StartSlowResponse(const std::string& text, bool extraCharacters) {
    m_slowText = text;
    m_slowPosition = 0;
    m_extraCharacters = extraCharacters;
    m_slowActive = true;
    if (m_clock == nullptr && m_listener != nullptr)
        m_clock = m_listener->GetClockEvent(1000);
    m_rebuild = TRUE;
}

void CPOP3Connection::TickSlowResponse() {
    if (!m_slowActive)
        return;
    if (m_slowPosition < m_slowText.size()) {
        char c = m_slowText[m_slowPosition++];
        SendClient(&c, 1);
        LogFormat(LOG_INFO, "Tick real char: '%c'", c);
    } else if (m_extraCharacters) {
        SendClient("X", 1);
        Log(LOG_INFO, "Tick extra char");
    } else if (m_slowPosition == m_slowText.size()) {
        SendClient("\r", 1);
        ++m_slowPosition;
        Log(LOG_INFO, "Tick CR");
    } else if (m_slowPosition == m_slowText.size() + 1) {
        SendClient("\n", 1);
        ++m_slowPosition;
        Log(LOG_INFO, "Tick LF");
    } else {
        Log(LOG_INFO, "Tick nothing left");
    }
}

void CPOP3Connection::FinishSlowResponse() {
    if (m_clock != nullptr && m_listener != nullptr)
        m_listener->FreeClockEvent(m_clock);
    m_clock = nullptr;
    m_rebuild = TRUE;
    if (!m_slowActive)
        return;
    m_slowActive = false;
    const size_t length = m_slowText.size();
    if (m_slowPosition >= length + 2) {
        Log(LOG_INFO, "Slow response finished early");
    } else if (m_slowPosition == length + 1) {
        SendClient("\n", 1);
        Log(LOG_INFO, "Slow response final LF");
    } else if (m_slowPosition == length) {
        SendClient("\r\n", 2);
        Log(LOG_INFO, "Slow response final CRLF");
    } else {
        std::string rest = m_slowText.substr(m_slowPosition);
        SendClient(rest + "\r\n");
        LogFormat(LOG_INFO, "Slow response finish with '%s'", rest.c_str());
    }
    m_slowText.clear();
    m_slowPosition = 0;
}

// ---------------------------------------------------------------------------------------
// Client lines.

bool CPOP3Connection::Busy() const {
    // While the server connection is being made, commands wait for it.
    return m_state == 1 || (m_state >= 2 && (m_client.Outstanding() || m_internalPending));
}

void CPOP3Connection::OnClientLine(std::string& line) {
    if (!Busy() && m_queuedLines.empty()) {
        HandleClientLine(line);
        return;
    }
    // A pipelining client's next command goes to the server at once when its reply will
    // simply be relayed; anything else waits its turn behind the current command.
    if (m_queuedLines.empty() && RelayAhead(line))
        return;
    m_queuedLines.push_back(line);
}

bool CPOP3Connection::RelayAhead(const std::string& line) {
    if (m_state != 3 || m_internalPending || m_slowActive || !m_client.Outstanding() ||
        m_client.code == PC_QUIT || !m_serverSocket.IsOpen() || m_serverPipelining != 1)
        return false;
    // When filtering, a reply to STAT, RSET or CAPA may start the session's own commands
    // or is answered here: nothing may be sent behind them.
    if (m_filtering && m_client.code != PC_RETR && m_client.code != PC_TOP &&
        m_client.code != PC_DELE && m_client.code != PC_NOOP)
        return false;
    SPOP3Command current = std::move(m_client);
    ParseClientLine(line);
    bool relayed = false;
    switch (m_client.code) {
        case PC_RETR:
        case PC_TOP:
            // The store answers these itself when it may deliver from its own copy.
            relayed = !m_filtering || (!m_deliverLocal && m_client.clientNumber > 0);
            break;
        case PC_DELE:
        case PC_NOOP:
            relayed = !m_filtering || m_client.code == PC_NOOP || m_client.clientNumber > 0;
            break;
        case PC_STAT:
        case PC_LIST:
        case PC_UIDL:
        case PC_RSET:
            relayed = !m_filtering;
            break;
        default:
            break;
    }
    if (relayed) {
        if (!m_filtering)
            m_client.text = Trim(line);
        else if (m_client.code == PC_DELE)
            m_recordedCount = -1;
        if (m_client.code == PC_RETR && m_filtering)
            ++m_retrieved;
        RelayClientCommand();
        m_clientAhead.push_back(std::move(m_client));
    }
    m_client = std::move(current);
    return relayed;
}

void CPOP3Connection::DrainQueuedLines() {
    while (!m_queuedLines.empty() && !Busy() && m_socket.IsOpen()) {
        std::string line = std::move(m_queuedLines.front());
        m_queuedLines.pop_front();
        HandleClientLine(line);
    }
}

void CPOP3Connection::SendError(const char* text) { SendClientFormat("-ERR %s", text); }

void CPOP3Connection::SendErrorFormat(const char* format, ...) {
    char text[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    SendError(text);
}

void CPOP3Connection::PostString(UINT id, ...) {
    std::string format;
    if (!LoadLocalString(GetFerrymailModule(), id, format))
        return;
    char text[2048];
    va_list arguments;
    va_start(arguments, id);
    std::vsnprintf(text, sizeof text, format.c_str(), arguments);
    va_end(arguments);
    int storeID = m_store != nullptr ? m_store->GetStoreID() : 0;
    NotifyUI(static_cast<UINT>((storeID << 16) | MN_NEW_STATE), std::string(text));
}

void CPOP3Connection::ParseClientLine(const std::string& line) {
    std::string trimmed = Trim(line);
    size_t blank = trimmed.find_first_of(" \t");
    std::string word = blank == std::string::npos ? trimmed : trimmed.substr(0, blank);
    std::string argument = blank == std::string::npos ? std::string() : Trim(trimmed.substr(blank));
    m_client.Reset();
    m_client.code = CommandCode(word);
    m_client.argument = argument;
    const SCommandInfo* info = InfoOf(m_client.code);
    m_client.simple = info->simple;
    m_client.multiLine = m_client.code == PC_RETR || m_client.code == PC_TOP ||
                         m_client.code == PC_CAPA ||
                         ((m_client.code == PC_LIST || m_client.code == PC_UIDL) && argument.empty());
    m_client.insertNotes = m_client.code == PC_RETR || m_client.code == PC_TOP;
    m_client.text = argument.empty() ? word : word + " " + argument;
    if (!info->takesNumber || argument.empty())
        return;
    int number = 0;
    std::string rest;
    bool parsed = ParseNumberAndRest(argument, number, rest);
    if (!m_filtering) {
        if (!parsed)
            return;  // relayed as the client sent it
        m_client.serverNumber = number;
    } else if (parsed && number > 0 && m_store != nullptr &&
               m_store->GetClientMessage(number) != nullptr) {
        m_client.clientNumber = number;
        m_client.serverNumber = m_store->GetServerNumber(number);
    }
    m_client.rest = rest;
    char text[64];
    std::snprintf(text, sizeof text, "%d", m_client.serverNumber);
    m_client.text = word + " " + text + (rest.empty() ? "" : " " + rest);
}

void CPOP3Connection::HandleClientLine(const std::string& line) {
    switch (m_state) {
        case 0:
            ClientCommandState0(line);
            break;
        case 1:
            ParseClientLine(line);
            m_client.Reset();
            SendError("Not connected to server yet");
            break;
        case 2:
            ClientCommandState2(line);
            break;
        case 3:
            ClientCommandState3(line);
            break;
        default:
            ParseClientLine(line);
            m_client.Reset();
            SendError("Disconnecting from server");
            break;
    }
}

int CPOP3Connection::ConnectToServer(const char* argument, std::string& text, int mode,
                                     int offset) {
    if (mode == 0)
        return CProxyConnection::ConnectToServer(argument, text, mode, offset);
    // A named host may carry its port: host:port.
    std::string host = argument;
    m_serverPort = kNamedHostPort;
    size_t colon = host.rfind(':');
    if (colon != std::string::npos && colon + 1 < host.size() &&
        host.find_first_not_of("0123456789", colon + 1) == std::string::npos) {
        int port = std::atoi(host.c_str() + colon + 1);
        if (port > 0 && port <= 65535) {
            m_serverPort = port;
            host.resize(colon);
        }
    }
    return ConnectToNamedHost(host.c_str(), m_serverPort);
}

void CPOP3Connection::ClientCommandState0(const std::string& line) {
    ParseClientLine(line);
    int code = m_client.code;
    if (code == PC_CONNECT) {
        std::string clientName;
        int result = ConnectToServer(m_client.argument.c_str(), clientName, 0, 0);
        if (!clientName.empty())
            m_clientName = clientName;
        if (result == CTS_FAILED) {
            m_client.Reset();
        } else if (result == CTS_PENDING) {
            m_state = 1;
        } else {
            Log(LOG_INFO, "Connection completed");
            m_state = 2;
            SendClientLine("0");
        }
        return;
    }
    if (code == PC_QUIT) {
        m_client.Reset();
        SendClientLine("+OK");
        // The reply is still queued: the client is closed once it has left.
        OnServerClose(0);
        return;
    }
    size_t slash = m_client.argument.find('/');
    if (code == PC_USER && slash != std::string::npos && slash > 0) {
        m_userName = m_accountUser = m_client.argument.substr(0, slash);
        m_serverHost = m_client.argument.substr(slash + 1);
        m_namedHost = true;
        m_clientName = kDirectClient;
        m_client.Reset();
        std::string unused;
        int result = ConnectToServer(m_serverHost.c_str(), unused, 1, 0);
        // The host without its port names the account's server from now on.
        size_t colon = m_serverHost.rfind(':');
        if (colon != std::string::npos && m_serverPort != kNamedHostPort)
            m_serverHost.resize(colon);
        if (result == CTS_FAILED) {
            SendErrorFormat("Can't connect to %s", m_serverHost.c_str());
        } else if (result == CTS_PENDING) {
            m_state = 1;
        } else {
            Log(LOG_INFO, "Connection completed");
            m_state = 2;
            AskServerCapabilities();
        }
        return;
    }
    if (code == PC_CAPA) {
        // Before the server is known the proxy speaks for itself.
        m_client.Reset();
        SendClient(std::string("+OK Capability list follows\r\n") + kOwnCapabilities + ".\r\n");
        return;
    }
    m_client.Reset();
    SendError("Not connected to server");
}

void CPOP3Connection::OnServerConnect(int errorCode) {
    if (m_state != 1)
        return;
    if (errorCode != 0) {
        m_state = 0;
        if (m_namedHost) {
            uint32_t address = ntohl(m_peerAddress.sin_addr.s_addr);
            SendErrorFormat("Connection to %d.%d.%d.%d failed: %d", (address >> 24) & 0xFF,
                            (address >> 16) & 0xFF, (address >> 8) & 0xFF, address & 0xFF,
                            errorCode);
        } else {
            m_client.Reset();
            SendClientFormat("%d", errorCode);
        }
        m_serverSocket.Close();
        DrainQueuedLines();
        return;
    }
    Log(LOG_INFO, "Connection completed");
    m_state = 2;
    if (m_namedHost) {
        AskServerCapabilities();
    } else {
        SendClientLine("0");
        DrainQueuedLines();
    }
}

BOOL CPOP3Connection::TakeAccount(CAccountData* account) {
    if (account == nullptr) {
        PostString(20111, m_clientName.c_str(), m_userName.c_str());
        m_filtering = false;
        return TRUE;
    }
    CRefCount::DoRelease(m_account);
    m_account = account;  // the lookup's reference
    m_filtering = IsAccountEnabled(account);
    PostString(m_filtering ? 20108 : 20109, m_clientName.c_str(), m_userName.c_str(),
               account->m_serverName.c_str());
    if (!m_filtering)
        return TRUE;
    if (!OpenStore()) {
        std::string format;
        char text[1024] = "";
        if (LoadLocalString(GetFerrymailModule(), 20110, format))
            std::snprintf(text, sizeof text, format.c_str(), m_userName.c_str(),
                          account->m_serverName.c_str());
        NotifyUI(static_cast<UINT>(MN_ERROR), std::string(text));
        SendError("Quillon proxy couldn't open local store");
        m_filtering = false;
        return FALSE;
    }
    PostString(20118, m_userName.c_str(), account->m_serverName.c_str());
    std::string specific = m_userName + "-" + account->m_serverName;
    m_settings.ReloadSettings(specific.c_str(), &m_sessionSettings);
    return TRUE;
}

void CPOP3Connection::ClientCommandState2(const std::string& line) {
    ParseClientLine(line);
    int code = m_client.code;
    if (code == PC_USER || code == PC_APOP) {
        std::string argument = m_client.argument;
        PostString(20107);
        CAccountData* account = nullptr;
        size_t slash = argument.find('/');
        if (code == PC_USER && slash != std::string::npos && slash > 0) {
            m_userName = m_accountUser = argument.substr(0, slash);
            account = FindAccountByServer(argument.substr(slash + 1).c_str(), m_userName.c_str(),
                                          m_clientName.c_str());
        } else {
            if (code == PC_USER) {
                m_userName = m_accountUser = argument;
            } else {
                size_t blank = argument.find_first_of(" \t");
                m_userName = m_accountUser =
                    blank == std::string::npos ? std::string() : argument.substr(0, blank);
            }
            account = FindAccountByAddress(m_peerAddress.sin_addr.s_addr, m_userName.c_str(),
                                           m_clientName.c_str());
        }
        if (!TakeAccount(account)) {
            m_client.Reset();
            return;
        }
        RelayClientCommand();
        return;
    }
    if (code == PC_PASS || code == PC_QUIT || code == PC_CAPA) {
        RelayClientCommand();
        return;
    }
    m_client.Reset();
    SendError("Illegal command in AUTHORIZATION state");
}

void CPOP3Connection::RelayClientCommand() {
    m_client.replyStarted = false;
    m_client.replyRelayed = false;
    m_client.headerPassed = false;
    SendServerLine(m_client.text);
}

// In named-host mode the proxy asks the server's capabilities before it logs in: a server
// that does not offer PIPELINING gets one command at a time.
void CPOP3Connection::AskServerCapabilities() {
    m_capabilities.clear();
    SendServerCommand(PC_CAPA, -1, INT32_MIN, 3);
}

void CPOP3Connection::NoteCapability(const std::string& line) {
    const std::string word = line.substr(0, line.find_first_of(" \t"));
    if (strcasecmp(word.c_str(), "PIPELINING") == 0)
        m_serverPipelining = 1;
    if (IsPassedCapability(line))
        m_capabilities += line + "\r\n";
}

size_t CPOP3Connection::ServerWindow() const { return m_serverPipelining == 1 ? kServerWindow : 1; }

// The server's capability list is cut to what the proxy can carry, except for an
// account that is not filtered: its session is relayed as it comes.
bool CPOP3Connection::FiltersCapabilities() const { return m_filtering || m_state < 3; }

void CPOP3Connection::AnswerCapabilities() {
    m_client.Reset();
    const std::string& list = m_capabilities.empty() ? std::string(kOwnCapabilities)
                                                      : m_capabilities;
    SendClient("+OK Capability list follows\r\n" + list + ".\r\n");
}

void CPOP3Connection::OnCapabilityLine(const std::string& line) {
    if (line == ".") {
        if (m_serverPipelining != 1)
            m_serverPipelining = 0;
        // The proxy itself takes pipelined commands, whatever the server does.
        if (m_capabilities.find("PIPELINING\r\n") == std::string::npos)
            m_capabilities += "PIPELINING\r\n";
        SendClient(m_capabilities + ".\r\n");
        return;
    }
    NoteCapability(line);
}

void CPOP3Connection::ClientCommandState3(const std::string& line) {
    if (!m_filtering) {
        ParseClientLine(line);
        m_client.text = Trim(line);
        RelayClientCommand();
        return;
    }
    ParseClientLine(line);
    switch (m_client.code) {
        case PC_CAPA:
            AnswerCapabilities();
            break;
        case PC_DELE:
        case PC_RSET:
            m_recordedCount = -1;
            RelayClientCommand();
            break;
        case PC_NOOP:
        case PC_STAT:
            RelayClientCommand();
            break;
        case PC_LIST:
            AnswerList(false);
            break;
        case PC_UIDL:
            AnswerList(true);
            break;
        case PC_RETR:
        case PC_TOP:
            AnswerRetrieve();
            break;
        case PC_QUIT:
            AnswerQuit();
            break;
        default:
            m_client.Reset();
            SendError("Unsupported command in TRANSACTION state");
            break;
    }
}

// ---------------------------------------------------------------------------------------
// Server lines.

void CPOP3Connection::OnServerLine(std::string& line) {
    if (m_namedHost && !m_greetingSeen) {
        m_greetingSeen = true;
        return;
    }
    if (m_internalPending) {
        OnInternalLine(line);
        return;
    }
    if (!m_client.Outstanding()) {
        // A plain relay passes on the replies to commands it has no code for (CAPA,
        // AUTH, XTND...), whatever their length.
        if (m_state == 3 && !m_filtering)
            SendClientLine(line);
        return;
    }
    OnClientReplyLine(line);
}

namespace {

// The length of the lines of a multi-line reply's body at the front of `data` (whole
// lines): everything before the "." line that ends the reply, or all of it.
size_t BodyLength(const char* data, size_t size) {
    if (size >= 3 && std::memcmp(data, ".\r\n", 3) == 0)
        return 0;
    const void* end = memmem(data, size, "\r\n.\r\n", 5);
    return end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - data) + 2 : size;
}

}  // namespace

// The body of a message being downloaded, or of one relayed to the client once its
// notes are in, is taken in whole blocks; first lines, headers and the final "." come
// line by line.
size_t CPOP3Connection::OnServerBlock(const char* data, size_t size) {
    if (m_internalPending) {
        if (!m_server.replyStarted || (m_server.code != PC_TOP && m_server.code != PC_RETR))
            return 0;
        const size_t taken = BodyLength(data, size);
        m_download.append(data, taken);
        return taken;
    }
    if (!m_client.Outstanding() || !m_client.replyStarted || !m_client.replyRelayed ||
        (m_client.code != PC_RETR && m_client.code != PC_TOP) ||
        (m_client.insertNotes && !m_client.headerPassed))
        return 0;
    const size_t taken = BodyLength(data, size);
    if (taken > 0)
        SendClient(data, static_cast<int>(taken));
    return taken;
}

void CPOP3Connection::ClientCommandDone() {
    m_client.Reset();
    if (!m_clientAhead.empty()) {
        // The next relayed command's reply follows.
        m_client = std::move(m_clientAhead.front());
        m_clientAhead.pop_front();
        if (m_client.code == PC_RETR && m_filtering)
            StartRetrieveStatistics();
        return;
    }
    DrainQueuedLines();
}

void CPOP3Connection::StartRetrieveStatistics() {
    m_retrieveTimer.Query(TRUE);
    m_retrieveSentMark = m_serverSocket.GetBytesSent();
    m_retrieveReceivedMark = m_serverSocket.GetBytesReceived();
}

void CPOP3Connection::OnClientReplyLine(const std::string& line) {
    if (m_client.replyStarted) {
        OnClientReplyData(line);
        return;
    }
    if (StartsWith(line, "-ERR")) {
        m_client.replyStarted = true;
        m_client.replyRelayed = true;
        SendClientLine(line);
        if (m_client.code == PC_QUIT && m_filtering && m_store != nullptr)
            m_store->SaveInBackground(0);
        ClientCommandDone();
        return;
    }
    if (!StartsWith(line, "+OK")) {
        OnClientReplyData(line);
        return;
    }
    m_client.replyStarted = true;
    if (m_client.code == PC_CAPA && FiltersCapabilities()) {
        m_client.replyRelayed = true;
        m_capabilities.clear();
        SendClientLine(line);
        return;
    }
    if (m_client.multiLine) {
        OnClientReplyData(line);
        return;
    }
    switch (m_client.code) {
        case PC_PASS:
        case PC_APOP:
            m_state = 3;
            if (!m_filtering || m_synchronized) {
                m_client.replyRelayed = true;
                SendClientLine(line);
            } else {
                m_client.Reset();
                StartSynchronization(line);
                return;
            }
            break;
        case PC_DELE:
            m_client.replyRelayed = true;
            SendClientLine(line);
            if (m_filtering && m_store != nullptr && m_client.clientNumber > 0)
                m_store->MarkDeletedFromServer(m_client.clientNumber, 0);
            break;
        case PC_QUIT:
            if (m_filtering && m_store != nullptr) {
                if (m_listingPending) {
                    m_store->SetServerStat(-1, -1, nullptr);
                    m_listingPending = false;
                }
                m_store->SaveInBackground(1);
                // The mailbox session is over: the store is free for the client's next
                // login before the client hears "+OK", not only once this thread has
                // written the statistics and ended. The reference stays for the
                // notifications that name the store.
                if (!m_storeSessionEnded) {
                    m_store->EndSession();
                    m_storeSessionEnded = true;
                }
            }
            m_client.replyRelayed = true;
            SendClientLine(line);
            break;
        case PC_RSET:
            m_client.replyRelayed = true;
            SendClientLine(line);
            if (m_filtering && m_store != nullptr)
                m_store->UndeleteAll();
            break;
        case PC_STAT:
            if (!m_filtering) {
                m_client.replyRelayed = true;
                SendClientLine(line);
                break;
            }
            ProcessStatReply(line);
            if (!m_synchronized) {
                // The client's STAT is answered when the store is in step again.
                StartSynchronization(std::string());
                return;
            }
            AnswerStat();
            break;
        default:
            m_client.replyRelayed = true;
            SendClientLine(line);
            break;
    }
    ClientCommandDone();
}

void CPOP3Connection::OnClientReplyData(const std::string& line) {
    bool end = line == ".";
    if (m_client.code == PC_CAPA && FiltersCapabilities()) {
        OnCapabilityLine(line);
        if (end)
            ClientCommandDone();
        return;
    }
    if (m_client.insertNotes && !m_client.headerPassed && m_client.replyRelayed &&
        (line.empty() || end)) {
        // The notes become the last lines of the header.
        m_client.headerPassed = true;
        CMessage* message = m_filtering && m_store != nullptr && m_client.clientNumber > 0
                                ? m_store->GetClientMessage(m_client.clientNumber)
                                : nullptr;
        if (message != nullptr) {
            std::string notes = message->GetQLNotes();
            if (!notes.empty())
                SendClient(notes);
        }
    }
    m_client.replyRelayed = true;
    SendClientLine(line);
    if (!end)
        return;
    if (m_client.code == PC_RETR && m_filtering && m_store != nullptr &&
        m_client.clientNumber > 0) {
        m_store->MarkDelivered(m_client.clientNumber);
        m_retrieveTime += m_retrieveTimer.Query(FALSE);
        m_retrieveSent += m_serverSocket.GetBytesSent() - m_retrieveSentMark;
        m_retrieveReceived += m_serverSocket.GetBytesReceived() - m_retrieveReceivedMark;
    }
    ClientCommandDone();
}

// ---------------------------------------------------------------------------------------
// The store and the session's own commands.

CRefCount* CPOP3Connection::GetStore() { return m_store; }

BOOL CPOP3Connection::OpenStore() {
    CloseStore();
    m_clientKey = m_account->m_programName;
    CMessageDatabase* database = CMessageDatabase::GetMessageDatabase();
    CMessageStore* store = database->FindStore(m_account->m_serverName, m_account->m_userName, 1,
                                               m_account->m_leaveMailOnServer ? 1 : 0);
    if (store == nullptr)
        return FALSE;
    store->AddRef();
    m_store = store;
    if (!m_store->GetClientStat(m_clientKey, &m_recordedCount, &m_recordedSize)) {
        m_recordedCount = -1;
        m_recordedSize = -1;
    }
    return TRUE;
}

void CPOP3Connection::CloseStore() {
    if (m_store == nullptr)
        return;
    if (!m_storeSessionEnded) {
        if (m_listingPending) {
            // The next session must not take the mailbox for unchanged.
            m_store->SetServerStat(-1, -1, nullptr);
            m_store->Save(0);
            m_listingPending = false;
        }
        // Without "+OK" to QUIT the server removed nothing (RFC 1939): the client's
        // deletions of this session are undone, or every later session would hide
        // those messages while the server still holds them.
        m_store->UndeleteAll();
        m_store->EndSession();
    }
    m_storeSessionEnded = false;
    CRefCount::DoRelease(m_store);
    m_store = nullptr;
    m_recordedCount = -1;
    m_recordedSize = -1;
}

namespace {

SPOP3Command ServerCommand(int code, int number, int secondNumber) {
    SPOP3Command command;
    command.code = code;
    command.multiLine = code == PC_RETR || code == PC_TOP || code == PC_CAPA ||
                        ((code == PC_LIST || code == PC_UIDL) && number < 0);
    command.serverNumber = number;
    command.text = CPOP3Connection::CommandWord(code);
    char numbers[48];
    if (number >= 0) {
        if (secondNumber != INT32_MIN)
            std::snprintf(numbers, sizeof numbers, " %d %d", number, secondNumber);
        else
            std::snprintf(numbers, sizeof numbers, " %d", number);
        command.text += numbers;
    }
    return command;
}

}  // namespace

void CPOP3Connection::SendServerCommand(int code, int number, int secondNumber, int replyMode) {
    m_internalPending = true;
    m_server = ServerCommand(code, number, secondNumber);
    m_replyMode = replyMode;
    m_download.clear();
    SendServerLine(m_server.text);
}

// During a synchronization the LIST n of phase 4 and the downloads of phase 5 go out in
// a window: up to kServerWindow commands wait for their replies, which come in order.
int CPOP3Connection::NextWindowNumber(int after) {
    if (m_store == nullptr)
        return 0;
    return m_phase == 4 ? m_store->FindNextUnsized(after, nullptr, nullptr)
                        : m_store->FindNext(MS_NEW, after, nullptr, nullptr);
}

void CPOP3Connection::SendWindowCommand(int number, bool head) {
    m_windowLast = number;
    const int lines = m_sessionSettings.topLines;
    const int code = m_phase == 4 ? PC_LIST : lines < 0 ? PC_RETR : PC_TOP;
    const int second = code == PC_TOP ? lines : INT32_MIN;
    if (head) {
        SendServerCommand(code, number, second, 2);
        return;
    }
    m_serverAhead.push_back(ServerCommand(code, number, second));
    SendServerLine(m_serverAhead.back().text);
}

void CPOP3Connection::FillServerWindow() {
    while (m_windowError.empty() && m_serverAhead.size() + 1 < ServerWindow() &&
           m_serverSocket.IsOpen()) {
        const int next = NextWindowNumber(m_windowLast);
        if (next == 0)
            break;
        SendWindowCommand(next, false);
    }
}

// Makes the next command of the window the one whose reply comes next, sending more
// while no error has come. False when the window is done.
bool CPOP3Connection::AdvanceServerWindow() {
    if (!m_serverAhead.empty()) {
        m_server = std::move(m_serverAhead.front());
        m_serverAhead.pop_front();
        m_internalPending = true;
        m_download.clear();
        FillServerWindow();
        return true;
    }
    if (!m_windowError.empty())
        return false;
    const int next = NextWindowNumber(m_windowLast);
    if (next == 0)
        return false;
    SendWindowCommand(next, true);
    FillServerWindow();
    return true;
}

void CPOP3Connection::ProcessStatReply(const std::string& line) {
    int count = 0, size = 0;
    if (std::sscanf(line.c_str(), "+OK %d %d", &count, &size) != 2 || m_store == nullptr)
        return;
    int same = 0;
    m_store->SetServerStat(count, size, &same);
    m_synchronized = same != 0 && !m_listingPending;
    m_store->SetClientStat(m_clientKey, count, size);
    m_recordedCount = count;
    m_recordedSize = size;
}

void CPOP3Connection::OnInternalLine(const std::string& line) {
    if (!m_server.replyStarted) {
        if (StartsWith(line, "-ERR")) {
            // A server without CAPA simply has none of the capabilities.
            CompleteInternal(m_server.code == PC_CAPA ? nullptr : &line);
            return;
        }
        if (StartsWith(line, "+OK")) {
            m_server.replyStarted = true;
            if (!m_server.multiLine) {
                switch (m_server.code) {
                    case PC_DELE:
                        if (m_store != nullptr)
                            m_store->MarkDeletedFromServer(m_server.serverNumber, 1);
                        break;
                    case PC_LIST: {
                        int number = 0, size = 0;
                        if (std::sscanf(line.c_str(), "+OK %d %d", &number, &size) == 2 &&
                            m_store != nullptr)
                            m_store->SetServerSize(number, size);
                        break;
                    }
                    case PC_STAT:
                        ProcessStatReply(line);
                        break;
                    default:
                        break;
                }
                CompleteInternal(nullptr);
                return;
            }
            if (m_server.code == PC_UIDL && m_store != nullptr) {
                m_store->BeginUidlListing();
                m_uidlTimer.Query(TRUE);
            }
            return;
        }
        // Neither: taken as a data line.
        m_server.replyStarted = true;
    }
    if (line == ".") {
        CompleteInternal(nullptr);
        return;
    }
    switch (m_server.code) {
        case PC_LIST: {
            int number = 0, size = 0;
            if (std::sscanf(line.c_str(), "%d %d", &number, &size) == 2 && m_store != nullptr)
                m_store->SetServerSize(number, size);
            break;
        }
        case PC_UIDL: {
            int number = 0;
            std::string uidl;
            if (ParseNumberAndRest(line, number, uidl) && !uidl.empty() && m_store != nullptr)
                m_store->SyncMessage(uidl, number);
            break;
        }
        case PC_RETR:
        case PC_TOP:
            m_download += line;
            m_download += "\r\n";
            break;
        case PC_CAPA:
            NoteCapability(line);
            break;
        default:
            break;
    }
}

void CPOP3Connection::CompleteInternal(const std::string* error) {
    m_internalPending = false;
    if (error != nullptr && !m_serverAhead.empty()) {
        // The replies to the rest of the window still come; the error ends the
        // synchronization once they have.
        if (m_windowError.empty())
            m_windowError = *error;
        AdvanceServerWindow();
        return;
    }
    std::string firstError;
    if (error != nullptr && !m_windowError.empty()) {
        firstError.swap(m_windowError);
        error = &firstError;
    }
    bool sent = false;
    if (error != nullptr) {
        std::string format;
        char text[2048] = "";
        if (LoadLocalString(GetFerrymailModule(), 20120, format))
            std::snprintf(text, sizeof text, format.c_str(), error->c_str());
        int storeID = m_store != nullptr ? m_store->GetStoreID() : 0;
        NotifyUI(static_cast<UINT>((storeID << 16) | MN_ERROR), std::string(text));
        if (m_phase >= 1 && m_phase <= 5) {
            // A failed synchronization still completes what the client waits for.
            m_phase = 0;
            FinishSlowResponse();
            if (m_client.code == PC_STAT) {
                SendClientLine("-ERR " + Trim(error->substr(4)));
                m_client.Reset();
            }
        }
    } else {
        int code = m_server.code;
        int number = m_server.serverNumber;
        if (code == PC_CAPA) {
            // Now the log-in goes on as the client asked.
            if (m_serverPipelining != 1)
                m_serverPipelining = 0;
            if (!m_capabilities.empty() && m_capabilities.find("PIPELINING\r\n") == std::string::npos)
                m_capabilities += "PIPELINING\r\n";
            m_server.Reset();
            HandleClientLine("USER " + m_userName);
            return;
        }
        if (code == PC_STAT && m_phase == 1) {
            if (m_synchronized) {
                FinishSynchronization();
            } else {
                NotifyStore(MN_SYNCH_MESSAGE_LIST, 0);
                m_listingPending = true;
                // Until the mailbox is listed and its new mail downloaded, a store saved
                // in the meantime (or left by a crash) must not look in step with it.
                m_listedCount = m_recordedCount;
                m_listedSize = m_recordedSize;
                if (m_store != nullptr && m_listedCount > 0)
                    m_store->SetServerStat(-1, -1, nullptr);
                m_phase = 2;
                SendServerCommand(PC_UIDL, -1, INT32_MIN, 2);
                sent = true;
            }
        } else if (code == PC_UIDL && m_phase == 2) {
            if (m_store != nullptr)
                m_store->EndUidlListing();
            m_verifyTime += m_uidlTimer.Query(FALSE);
            NotifyStore(MN_SYNCH_MESSAGE_SIZES, 0);
            int missing = 0, total = 0;
            int first = m_store != nullptr ? m_store->FindNextUnsized(0, &missing, nullptr) : 0;
            if (m_store != nullptr)
                m_store->FindNext(MS_ANY, 0, &total, nullptr);
            m_synchNew = missing;
            if (first == 0) {
                m_phase = 3;
                DownloadStep();
                sent = m_internalPending;
            } else if (total > 9 && missing * 4 <= total) {
                m_phase = 4;
                SendWindowCommand(first, true);
                FillServerWindow();
                sent = true;
            } else {
                m_phase = 3;
                SendServerCommand(PC_LIST, -1, INT32_MIN, 2);
                sent = true;
            }
        } else if (code == PC_LIST && (m_phase == 3 || m_phase == 4)) {
            if (m_phase == 4) {
                if (AdvanceServerWindow())
                    sent = true;
                else if (!m_windowError.empty())
                    return CompleteWithWindowError();
                else
                    m_phase = 3;
            }
            if (!sent && m_phase == 3) {
                DownloadStep();
                sent = m_internalPending;
            }
        } else if ((code == PC_RETR || code == PC_TOP) && m_phase == 5) {
            ++m_filtered;
            if (m_store != nullptr) {
                CFunctionTimer timer(&m_filterTime);
                m_store->AddDownloadedMessage(number, m_download,
                                              code == PC_RETR ? -1 : m_sessionSettings.topLines);
            }
            m_download.clear();
            if (AdvanceServerWindow())
                sent = true;
            else if (!m_windowError.empty())
                return CompleteWithWindowError();
            else
                FinishSynchronization();
        } else if (code == PC_DELE) {
            int next = m_store != nullptr ? m_store->FindNext(MS_DELETED, 0, nullptr, nullptr) : 0;
            if (next != 0) {
                ++m_shutdownDeletes;
                SendServerCommand(PC_DELE, next, INT32_MIN, 0);
                sent = true;
            } else {
                m_shutdownDeleteTime += m_shutdownTimer.Query(FALSE);
                if (m_recordedCount == -1) {
                    SendServerCommand(PC_STAT, -1, INT32_MIN, 0);
                    sent = true;
                }
            }
        }
    }
    if (sent)
        return;
    m_server.Reset();
    if (m_replyMode == 0 && m_client.Outstanding()) {
        if (m_client.code == PC_QUIT)
            m_state = 4;
        RelayClientCommand();
    } else if (m_replyMode == 1) {
        if (m_client.code == PC_STAT) {
            AnswerStat();
            m_client.Reset();
        } else if (!m_heldReply.empty()) {
            SendClientLine(m_heldReply);
            m_heldReply.clear();
        }
    }
    if (m_saveAfterReply) {
        // The client reads its answer while the store's records are put together.
        m_saveAfterReply = false;
        if (m_socket.IsOpen())
            SendPending(m_socket, DIR_TO_CLIENT);
        if (m_store != nullptr)
            m_store->SaveInBackground(0);
    }
    DrainQueuedLines();
}

void CPOP3Connection::StartSynchronization(const std::string& heldReply) {
    m_synchTimer.Query(TRUE);
    m_windowError.clear();
    m_serverAhead.clear();
    m_synchSentMark = m_serverSocket.GetBytesSent();
    m_synchReceivedMark = m_serverSocket.GetBytesReceived();
    m_phase = 1;
    if (m_store != nullptr)
        NotifyUI(static_cast<UINT>((m_store->GetStoreID() << 16) | MN_START_SYNCH),
                 m_store->GetName());
    SendServerCommand(PC_STAT, -1, INT32_MIN, 1);
    // A held reply line is given out slowly; a STAT that started this waits in silence.
    if (!heldReply.empty())
        StartSlowResponse(heldReply, m_client.simple || m_client.code == PC_NULL);
    m_heldReply.clear();
}

void CPOP3Connection::FinishSynchronization() {
    if (m_phase >= 3) {
        m_listingPending = false;  // listed and downloaded
        if (m_store != nullptr && m_listedCount > 0)
            m_store->SetServerStat(m_listedCount, m_listedSize, nullptr);
    }
    m_phase = 6;
    m_synchronized = true;
    m_replyMode = 1;
    // The store is saved once the client has its answer (CompleteInternal).
    m_saveAfterReply = m_store != nullptr;
    FinishSlowResponse();
    NotifyStore(MN_FINISH_SYNCH, 0);
    m_synchTime += m_synchTimer.Query(FALSE);
    m_synchSent += m_serverSocket.GetBytesSent() - m_synchSentMark;
    m_synchReceived += m_serverSocket.GetBytesReceived() - m_synchReceivedMark;
}

void CPOP3Connection::DownloadStep() {
    int count = 0;
    int first = m_store != nullptr ? m_store->FindNext(MS_NEW, 0, &count, nullptr) : 0;
    if (first == 0) {
        FinishSynchronization();
        return;
    }
    NotifyStore(MN_SYNCH_NEW_COUNT, count);
    m_phase = 5;
    SendWindowCommand(first, true);
    FillServerWindow();
}

void CPOP3Connection::CompleteWithWindowError() {
    std::string error;
    error.swap(m_windowError);
    CompleteInternal(&error);
}

// ---------------------------------------------------------------------------------------
// Answers from the store.

void CPOP3Connection::AnswerStat() {
    int count = 0, size = 0;
    if (m_store == nullptr || !m_store->GetClientViewStat(&count, &size)) {
        SendClientLine("-ERR Can't get STATs");
        return;
    }
    if (m_synchronized && m_phase != 6 && m_account != nullptr)
        PostString(20116, m_userName.c_str(), m_account->m_serverName.c_str());
    m_store->SetStatAnswered(1);
    SendClientFormat("+OK %d %d", count, size);
}

void CPOP3Connection::AnswerList(bool uidl) {
    if (!m_client.argument.empty()) {
        CMessage* message = m_client.clientNumber > 0
                                ? m_store->GetClientMessage(m_client.clientNumber)
                                : nullptr;
        if (message == nullptr || message->IsDeleted()) {
            SendError("Invalid message number");
        } else if (uidl) {
            SendClientFormat("+OK %d %s", m_client.clientNumber, message->GetUIDL().c_str());
        } else {
            SendClientFormat("+OK %d %d", m_client.clientNumber, message->GetSize());
        }
        m_client.Reset();
        return;
    }
    std::string reply = uidl ? "+OK UIDL listing follows\r\n" : "+OK Maildrop listing follows\r\n";
    CStoreLock lock(m_store, false);  // one listing of one view
    char number[16];
    for (int n = 1;; ++n) {
        CMessage* message = m_store->GetClientMessage(n);
        if (message == nullptr)
            break;
        if (message->IsDeleted())
            continue;
        reply.append(number, std::to_chars(number, number + sizeof number, n).ptr);
        reply += ' ';
        if (uidl)
            reply += message->GetUIDL();
        else
            reply.append(number,
                         std::to_chars(number, number + sizeof number, message->GetSize()).ptr);
        reply += "\r\n";
    }
    reply += ".\r\n";
    m_client.Reset();
    SendClient(reply);
}

bool CPOP3Connection::DeliverLocally(CMessage* message, int lines) {
    std::string reply = "+OK\r\n" + message->GetHeader() + message->GetQLNotes();
    if (lines < 0) {
        reply += "\r\n" + message->GetBody();
    } else if (lines > 0) {
        reply += "\r\n";
        const std::string body = message->GetBody();
        size_t at = 0;
        for (int i = 0; i < lines && at < body.size(); ++i) {
            size_t end = body.find("\r\n", at);
            end = end == std::string::npos ? body.size() : end + 2;
            reply.append(body, at, end - at);
            at = end;
        }
    }
    if (reply.size() < 2 || reply.compare(reply.size() - 2, 2, "\r\n") != 0)
        reply += "\r\n";
    reply += ".\r\n";
    return SendClient(reply) != FALSE;
}

void CPOP3Connection::AnswerRetrieve() {
    CMessage* message = m_client.clientNumber > 0 ? m_store->GetClientMessage(m_client.clientNumber)
                                                  : nullptr;
    bool usable = m_deliverLocal && message != nullptr && !message->IsDeleted() &&
                  message->HasHeader();
    if (m_client.code == PC_RETR) {
        ++m_retrieved;
        StartRetrieveStatistics();
        if (usable && message->GetBodyLines() == -1) {
            LogFormat(LOG_INFO, "Local retrieval of message: %d", m_client.clientNumber);
            DeliverLocally(message, -1);
            m_store->MarkDelivered(m_client.clientNumber);
            m_retrieveTime += m_retrieveTimer.Query(FALSE);
            m_client.Reset();
            return;
        }
    } else if (usable) {
        char* end = nullptr;
        long lines = std::strtol(m_client.rest.c_str(), &end, 10);
        bool oneNumber = !m_client.rest.empty() && end != m_client.rest.c_str() && Trim(end).empty();
        if (oneNumber && lines >= 0 &&
            (message->GetBodyLines() == -1 || lines <= message->GetBodyLines())) {
            DeliverLocally(message, static_cast<int>(lines));
            m_client.Reset();
            return;
        }
    }
    RelayClientCommand();
}

void CPOP3Connection::AnswerQuit() {
    int first = m_store->FindNext(MS_DELETED, 0, nullptr, nullptr);
    if (first != 0) {
        ++m_shutdownDeletes;
        m_shutdownTimer.Query(TRUE);
        if (m_account != nullptr)
            PostString(20119, m_userName.c_str(), m_account->m_serverName.c_str());
        SendServerCommand(PC_DELE, first, INT32_MIN, 0);
        return;
    }
    if (m_recordedCount != -1) {
        m_state = 4;
        RelayClientCommand();
        return;
    }
    SendServerCommand(PC_STAT, -1, INT32_MIN, 0);
}

// ---------------------------------------------------------------------------------------
// Closing and statistics.

void CPOP3Connection::OnServerClose(int errorCode) {
    // A server that goes away in the middle of a synchronization still leaves the
    // client with whole lines before its connection closes.
    if (m_slowActive)
        FinishSlowResponse();
    m_internalPending = false;
    m_serverAhead.clear();
    m_clientAhead.clear();
    CProxyConnection::OnServerClose(errorCode);
}

void CPOP3Connection::OnClientClose(int errorCode) {
    if (!m_statisticsWritten) {
        m_statisticsWritten = true;
        WriteStatistics(errorCode);
    }
    CProxyConnection::OnClientClose(errorCode);
}

void CPOP3Connection::CloseServer() {
    if (m_serverSocket.IsOpen()) {
        m_serverSocket.Close();
        m_rebuild = TRUE;
    }
}

void CPOP3Connection::WriteStatistics(int errorCode) {
    NotifyStore(MN_END_CONNECTION, errorCode);
    double sessionTime = m_sessionTimer.Query(FALSE);
    long long serverSent = m_serverSocket.GetBytesSent();
    long long serverReceived = m_serverSocket.GetBytesReceived();
    long long clientSent = m_socket.GetBytesSent();
    long long clientReceived = m_socket.GetBytesReceived();
    Log(LOG_INFO, "Stats:");
    LogFormat(LOG_INFO, "  Session time: %s seconds, %lld server sent, %lld server received",
              Seconds(sessionTime).c_str(), serverSent, serverReceived);
    LogFormat(LOG_INFO, "                %lld client sent, %lld client received", clientSent,
              clientReceived);
    LogFormat(LOG_INFO, "     Wait time: %s seconds", Seconds(m_waitTime).c_str());
    LogFormat(LOG_INFO, "  Retrieved %d messages", m_retrieved);
    LogFormat(LOG_INFO, "      Time: %s seconds, %lld server sent, %lld server received",
              Seconds(m_retrieveTime).c_str(), m_retrieveSent, m_retrieveReceived);
    LogFormat(LOG_INFO, "  Synch: %d new", m_synchNew);
    LogFormat(LOG_INFO, "         %s seconds, %lld server sent, %lld server received",
              Seconds(m_synchTime).c_str(), m_synchSent, m_synchReceived);
    LogFormat(LOG_INFO, "         %s store verify", Seconds(m_verifyTime).c_str());
    LogFormat(LOG_INFO, "         %d filtered, %s seconds", m_filtered,
              Seconds(m_filterTime).c_str());
    LogFormat(LOG_INFO, "  Quillon deleted %d messages at shutdown, %s seconds",
              m_shutdownDeletes, Seconds(m_shutdownDeleteTime).c_str());

    // One save of the hive for all the values.
    CRegistryBatch batch(HKEY_CURRENT_USER);
    CRegistryKey key;
    if (!key.OpenCarefully(HKEY_CURRENT_USER, kStatisticsKey, KEY_ALL_ACCESS))
        return;
    AddStatistic(key, "SessionTime", sessionTime);
    AddStatistic(key, "ServerSent", static_cast<int>(serverSent));
    AddStatistic(key, "ServerReceived", static_cast<int>(serverReceived));
    AddStatistic(key, "ClientSent", static_cast<int>(clientSent));
    AddStatistic(key, "ClientReceived", static_cast<int>(clientReceived));
    AddStatistic(key, "SessionWaitTime", m_waitTime);
    AddStatistic(key, "MessagesRetrieved", m_retrieved);
    AddStatistic(key, "MessageRetrieveTime", m_retrieveTime);
    AddStatistic(key, "MessageRetrieveSent", static_cast<int>(m_retrieveSent));
    AddStatistic(key, "MessageRetrieveReceived", static_cast<int>(m_retrieveReceived));
    AddStatistic(key, "SynchNewMessages", m_synchNew);
    AddStatistic(key, "SynchTime", m_synchTime);
    AddStatistic(key, "SynchSent", static_cast<int>(m_synchSent));
    AddStatistic(key, "SynchReceived", static_cast<int>(m_synchReceived));
    AddStatistic(key, "StoreSynchTime", m_verifyTime);
    AddStatistic(key, "FilteredMessages", m_filtered);
    AddStatistic(key, "FilterTime", m_filterTime);
    AddStatistic(key, "ShutdownDeletes", m_shutdownDeletes);
    AddStatistic(key, "ShutdownDeleteTime", m_shutdownDeleteTime);
}

unsigned CPOP3Connection::GetLogCategory(int direction) {
    switch (direction) {
        case DIR_FROM_SERVER: {
            const SPOP3Command& command = m_internalPending ? m_server : m_client;
            return command.replyStarted ? LOG_DATA_FROM_SERVER : LOG_FROM_SERVER;
        }
        case DIR_TO_SERVER:
            return LOG_TO_SERVER;
        case DIR_FROM_CLIENT:
            return LOG_FROM_CLIENT;
        case DIR_TO_CLIENT:
            return (m_client.replyRelayed || !m_client.Outstanding()) ? LOG_DATA_TO_CLIENT
                                                                      : LOG_TO_CLIENT;
        default:
            return LOG_INFO;
    }
}
