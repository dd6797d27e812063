#include "ferrymail/proxy/Listener.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <system_error>

#include "ferrymail/store/FerrymailStrings.h"
#include "ferrymail/proxy/LogWindowSink.h"
#include "kinbook/foundation/AppendFile.h"
#include "kinbook/foundation/CalendarTime.h"
#include "kinbook/foundation/HostNames.h"
#include "kinbook/foundation/StringTable.h"
#include "kinbook/foundation/TextHelpers.h"
#include "proxy/ProxyConnection.h"

const SSetting CListener::cm_pDefaultSettings[] = {
    {"LogLevel", offsetof(SListenerLogSettings, logLevel), ST_INTEGER, nullptr, 47375},
    {"LogToDoc", offsetof(SListenerLogSettings, logToDoc), ST_BOOLEAN, "FALSE", 0},
    {"LogWindowType", offsetof(SListenerLogSettings, logWindowType), ST_INTEGER, nullptr, 0},
    {"LogDocCoords", offsetof(SListenerLogSettings, logDocCoords), ST_PAIR, "-1,-1", 0},
    {"LogDocSize", offsetof(SListenerLogSettings, logDocSize), ST_PAIR, "-1,-1", 0},
    {"LogFileName", offsetof(SListenerLogSettings, logFileName), ST_STRING, nullptr, 0},
    {nullptr, 0, 0, nullptr, 0},
};

namespace {

long long SteadyMilliseconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Log time stamps follow the steady clock from a base fixed once per process, so they
// do not jump when the system time is changed.
void AppendTimeStamp(std::string& line) {
    static const long long baseSeconds = static_cast<long long>(std::time(nullptr)) -
                                         SteadyMilliseconds() / 1000;
    const long long tick = SteadyMilliseconds();
    const time_t seconds = static_cast<time_t>(baseSeconds + tick / 1000);
    tm local {};
    ToLocalTime(seconds, local);
    char text[32];
    const size_t length = std::strftime(text, sizeof(text), "%H:%M:%S", &local);
    std::snprintf(text + length, sizeof(text) - length, ".%03d: ", static_cast<int>(tick % 1000));
    line += text;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// A line of one word of base64 characters that is no POP3 or SMTP command: a SASL
// response (RFC 5034, RFC 4954), which may carry a password or a token.
bool IsSASLResponse(const char* data, size_t start, size_t end, size_t length) {
    static const char* const kWords[] = {
        "STAT", "LIST", "UIDL", "RETR", "DELE", "NOOP", "RSET", "QUIT",     "CAPA",
        "STLS", "USER", "APOP", "TOP",  "UTF8", "LANG", "NULL", "XSENDER",  "DATA",
        "EHLO", "HELO", "HELP", "TURN", "ETRN", "VRFY", "EXPN", "STARTTLS",
    };
    size_t last = length;
    while (last > end && IsBlank(data[last - 1])) --last;
    if (last != end || end == start)
        return false;
    for (size_t i = start; i < end; ++i) {
        const char c = data[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/' && c != '=')
            return false;
    }
    for (const char* word : kWords)
        if (end - start == std::strlen(word) && StartsWithNoCase(data + start, end - start, word))
            return false;
    return true;
}

// The command as the sessions parse it: blanks before it, its word up to a blank or a
// tab. PASS keeps its word and loses every argument character; AUTH keeps its mechanism
// and loses the initial response; a SASL response loses everything. False when the
// line carries no secret.
bool MaskCredentials(const char* data, size_t length, std::string& masked) {
    size_t at = 0;
    while (at < length && IsBlank(data[at])) ++at;
    const size_t word = at;
    while (at < length && data[at] != ' ' && data[at] != '\t') ++at;
    const size_t wordLength = at - word;
    const bool pass = wordLength == 4 && StartsWithNoCase(data + word, wordLength, "PASS");
    const bool auth = wordLength == 4 && StartsWithNoCase(data + word, wordLength, "AUTH");
    if (!pass && !auth && IsSASLResponse(data, word, at, length))
        at = word;
    else if (!pass && !auth)
        return false;
    if (auth) {
        while (at < length && IsBlank(data[at])) ++at;
        while (at < length && !IsBlank(data[at])) ++at;  // the mechanism
    }
    masked.assign(data, length);
    bool any = false;
    for (size_t i = at; i < masked.size(); ++i) {
        if (!IsBlank(masked[i])) {
            masked[i] = 'x';
            any = true;
        }
    }
    return any;
}

const char* DirectionMarker(unsigned category) {
    switch (category) {
    case LOG_FROM_CLIENT:
    case LOG_DATA_FROM_CLIENT:
        return "C->  ";
    case LOG_TO_CLIENT:
    case LOG_DATA_TO_CLIENT:
        return "C<-  ";
    case LOG_FROM_SERVER:
    case LOG_DATA_FROM_SERVER:
        return " <-S ";
    case LOG_TO_SERVER:
    case LOG_DATA_TO_SERVER:
        return " ->S ";
    default:
        return " ";
    }
}

template <typename T>
T LoadRelaxed(T& field) {
    return std::atomic_ref<T>(field).load(std::memory_order_relaxed);
}

template <typename T>
void StoreRelaxed(T& field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}

}  // namespace

CListener::CListener(int port, PROTOCOL protocol, const char* settingsName, const char* bindHost)
    : CProxyServer(port, protocol),
      m_bindHost(bindHost != nullptr ? bindHost : ""),
      m_settings(settingsName, cm_pDefaultSettings),
      m_logSettings{} {
    m_settings.ReloadSettings(nullptr, &m_logSettings);
    if (!m_logSettings.logFileName.empty())
        m_spoolFile = OpenSpoolFile(m_logSettings.logFileName);
}

CListener::~CListener() {
    Shutdown();
    CloseFileHandle(m_spoolFile.exchange(-1));
}

void CListener::Shutdown() {
    // No more accepting or reaping while the connections are taken down.
    StopThread();
    m_socket.Close();

    // Every connection is asked to end at once, so that all of them have the same
    // kKillTimeout, then each is waited for and destroyed.
    {
        CLock lock(&m_chainLock);
        for (CProxyConnection* c = m_chainHead; c != nullptr;
             c = static_cast<CProxyConnection*>(c->GetNext()))
            c->SignalKill();
    }
    for (;;) {
        CProxyConnection* connection;
        {
            CLock lock(&m_chainLock);
            connection = m_chainHead;
        }
        if (connection == nullptr)
            break;
        // Its thread ends before any part of it is destroyed.
        connection->StopThread();
        delete connection;  // leaves the chain
    }

    if (m_clockThread.joinable()) {
        m_clockKillEvent.Signal();
        m_clockThread.join();
    }
    CLock lock(&m_clockLock);
    for (SClockEntry& entry : m_clockTable)
        delete entry.event;
    m_clockTable.clear();
}

void CListener::ReturnError(UINT id, int systemError, int& errorNumber, std::string& errorText) {
    std::string text;
    LoadLocalString(GetFerrymailModule(), id, text);
    ReturnError(text.c_str(), systemError, errorNumber, errorText);
}

void CListener::ReturnError(const char* text, int systemError, int& errorNumber,
                            std::string& errorText) {
    if (systemError == 0) {
        errorNumber = -1;
        errorText = text;
        return;
    }
    std::string message;
    if (!GetErrorString(static_cast<DWORD>(ErrnoFromWSAError(systemError)), message))
        message = "Unknown error code";
    errorText = text;
    errorText += ": ";
    errorText += message;
    while (!errorText.empty() && IsBlank(errorText.back()))
        errorText.pop_back();
}

BOOL CListener::InitListener(int backlog, int& errorNumber, std::string& errorText) {
    if (!m_socket.IsOpen()) {
        // Loopback only: a proxy open to the network would let anyone use the user's
        // mail accounts.
        SSocketAddress address = MakeSocketAddress(INADDR_LOOPBACK, m_port);
        if (!m_bindHost.empty()) {
            std::vector<uint32_t> found;
            if (!ResolveHostIPv4(m_bindHost, found)) {
                ReturnError(20122, WSAHOST_NOT_FOUND, errorNumber, errorText);
                return FALSE;
            }
            address.sin_addr.s_addr = found.front();
        }
        if (!m_socket.Create(TRUE)) {
            ReturnError(20121, m_socket.GetLastError(), errorNumber, errorText);
            return FALSE;
        }
        if (!m_socket.Bind(address)) {
            ReturnError(20122, m_socket.GetLastError(), errorNumber, errorText);
            m_socket.Close();
            return FALSE;
        }
        m_port = m_socket.GetLocalPort();
    }
    if (!m_socket.Listen(backlog)) {
        ReturnError(20123, m_socket.GetLastError(), errorNumber, errorText);
        m_socket.Close();
        return FALSE;
    }
    if (!HasThread() && !StartThread()) {
        ReturnError(20124, 0, errorNumber, errorText);
        return FALSE;
    }
    if (!SkipLog(LOG_INFO)) {
        char text[64];
        std::snprintf(text, sizeof(text), "Server listening on %d", m_port);
        LogData(nullptr, LOG_INFO, text, -1);
    }
    return TRUE;
}

void CListener::AddElementToChain(CProxyConnection* connection) {
    CLock lock(&m_chainLock);
    connection->SetListener(this);
    connection->SetNext(m_chainHead);
    m_chainHead = connection;
}

void CListener::RemoveElementFromChain(CProxyConnection* connection) {
    CLock lock(&m_chainLock);
    connection->SetListener(nullptr);
    CProxyServer* previous = nullptr;
    for (CProxyServer* c = m_chainHead; c != nullptr; previous = c, c = c->GetNext()) {
        if (c != connection)
            continue;
        if (previous == nullptr)
            m_chainHead = static_cast<CProxyConnection*>(c->GetNext());
        else
            previous->SetNext(c->GetNext());
        break;
    }
    connection->SetNext(nullptr);
}

int CListener::GetConnectionCount() {
    CLock lock(&m_chainLock);
    int count = 0;
    for (CProxyServer* c = m_chainHead; c != nullptr; c = c->GetNext())
        ++count;
    return count;
}

BOOL CListener::SpawnServer() {
    SSocketAddress address;
    std::memset(&address, 0, sizeof(address));
    const SOCKET accepted = m_socket.Accept(&address);
    if (accepted == INVALID_SOCKET) {
        const int error = m_socket.GetLastError();
        if (error != WSAEWOULDBLOCK && error != WSAECONNABORTED && error != WSAEINTR) {
            // Out of handles or memory: the client stays queued, so wait a little
            // rather than spin on it.
            if (!SkipLog(LOG_INFO)) {
                char text[64];
                std::snprintf(text, sizeof(text), "Accept failed: %d", error);
                LogData(nullptr, LOG_INFO, text, -1);
            }
            m_killEvent.Wait(100);
        }
        return FALSE;
    }
    CProxyConnection* connection = NewProxyConnection(accepted, address, sizeof(address));
    if (connection == nullptr) {
        SockClose(accepted);
        return FALSE;
    }
    LogConnection(connection);
    AddElementToChain(connection);
    if (!connection->StartConnection()) {
        connection->GetClientSocket().Close();
        delete connection;
        return FALSE;
    }
    return TRUE;
}

void CListener::FillEventVec(int& count) {
    CProxyServer::FillEventVec(count);
    {
        CLock lock(&m_chainLock);
        for (CProxyServer* c = m_chainHead; c != nullptr; c = c->GetNext()) {
            if (CPollEvent* ended = c->GetThreadHandle())
                AddEvent(count, ended, false);
        }
    }
    if (m_socket.IsOpen())
        AddSocket(count, &m_socket);
}

BOOL CListener::ProcessEvents(SWaitHandle& handle, EVENTACTION& action, int& exitCode) {
    if (CProxyServer::ProcessEvents(handle, action, exitCode))
        return TRUE;
    if (handle.socket == &m_socket) {
        SNetworkEvents events;
        if (m_socket.GetNetworkEvents(handle.pollEvents, events) &&
            (events.events & FD_ACCEPT)) {
            SpawnServer();
            action = EA_REBUILD;
        }
        return TRUE;
    }
    if (handle.event == nullptr)
        return FALSE;
    CLock lock(&m_chainLock);
    for (CProxyServer* c = m_chainHead; c != nullptr; c = c->GetNext()) {
        if (c->GetThreadHandle() == handle.event) {
            c->StopThread();  // the thread has ended; joining it makes that known
            delete static_cast<CProxyConnection*>(c);
            action = EA_REBUILD;
            return TRUE;
        }
    }
    return FALSE;
}

// The clock.

BOOL CListener::StartTimerThread() {
    CLock lock(&m_clockLock);
    if (m_clockThread.joinable())
        return TRUE;
    if (!m_clockKillEvent.IsValid() || !m_clockWakeEvent.IsValid())
        return FALSE;
    try {
        m_clockThread = std::thread(&CListener::RunTimer, this);
    } catch (const std::system_error&) {
        return FALSE;
    }
    return TRUE;
}

CPollEvent* CListener::GetClockEvent(int period) {
    if (!StartTimerThread())
        return nullptr;
    CPollEvent* event = new CPollEvent;
    if (!event->IsValid()) {
        delete event;
        return nullptr;
    }
    if (period < 1)
        period = 1;
    {
        CLock lock(&m_clockLock);
        m_clockTable.push_back(SClockEntry{event, period, SteadyMilliseconds() + period, false});
    }
    m_clockWakeEvent.Signal();
    return event;
}

void CListener::FreeClockEvent(CPollEvent* event) {
    {
        CLock lock(&m_clockLock);
        for (SClockEntry& entry : m_clockTable) {
            if (entry.event == event && !entry.freed) {
                entry.freed = true;
                break;
            }
        }
    }
    m_clockWakeEvent.Signal();
}

void CListener::RunTimer() {
    for (;;) {
        LogDebugData(std::string("RND: Runtimer"));
        long long wait = 0x7FFFFFFF;
        {
            CLock lock(&m_clockLock);
            const long long now = SteadyMilliseconds();
            for (size_t i = m_clockTable.size(); i-- > 0;) {
                SClockEntry& entry = m_clockTable[i];
                if (entry.freed) {
                    delete entry.event;
                    m_clockTable.erase(m_clockTable.begin() + static_cast<long>(i));
                    continue;
                }
                if (entry.due <= now) {
                    entry.event->Signal();
                    entry.due += entry.period;
                    if (entry.due <= now)  // fell behind: no burst of signals
                        entry.due = now + entry.period;
                }
                if (entry.due - now < wait)
                    wait = entry.due - now;
            }
        }
        SWaitEntry entries[2] = {{m_clockKillEvent.GetHandle(), kWaitRead, 0},
                             {m_clockWakeEvent.GetHandle(), kWaitRead, 0}};
        int error = 0;
        const int ready = SockWait(entries, 2, static_cast<int>(wait), error);
        if (ready < 0)
            return;
        if (entries[0].revents != 0) {
            m_clockKillEvent.Reset();
            return;
        }
        if (entries[1].revents != 0)
            m_clockWakeEvent.Reset();
    }
}

// Logging.

CListener* CListener::GetLogger() { return this; }

void CListener::ClearLogThread() {}

void CListener::SetLogWindowSink(CLogWindowSink* sink) {
    CListener* logger = GetLogger();
    if (logger != this)
        return logger->SetLogWindowSink(sink);
    CLock lock(&m_logLock);
    m_logWindow = sink;
}

BOOL CListener::SkipLog(unsigned category) {
    CListener* logger = GetLogger();
    if (logger != this)
        return logger->SkipLog(category);
    if (m_paused.load(std::memory_order_relaxed))
        return TRUE;
    const unsigned level = static_cast<unsigned>(LoadRelaxed(m_logSettings.logLevel));
    return (category & level) == 0 && (category & LOG_USER) == 0;
}

BOOL CListener::HasLogOutput() {
    CListener* logger = GetLogger();
    if (logger != this)
        return logger->HasLogOutput();
    return m_spoolFile.load(std::memory_order_relaxed) >= 0 ||
           (LoadRelaxed(m_logSettings.logToDoc) && m_logWindow.load() != nullptr);
}

void CListener::LogConnection(CProxyConnection* connection) {
    CListener* logger = GetLogger();
    if (logger != this)
        return logger->LogConnection(connection);
    if (m_paused.load() || !(static_cast<unsigned>(LoadRelaxed(m_logSettings.logLevel)) &
                             LOG_CONNECTION))
        return;
    LogData(connection, LOG_CONNECTION, nullptr, 0);
}

void CListener::LogData(CLogger* source, unsigned category, const char* data, int length) {
    CListener* logger = GetLogger();
    if (logger != this)
        return logger->LogData(source, category, data, length);
    if (SkipLog(category))
        return;
    // Nowhere to write: the line is not built.
    if (!HasLogOutput())
        return;
    std::string line;
    GetLogLine(line, source, category, data, length);
    if (!line.empty())
        LogLine(line);
}

void CListener::VLogDebugData(const char* format, va_list arguments) {
    if (SkipLog(LOG_DEBUG))
        return;
    char text[1024];
    va_list copy;
    va_copy(copy, arguments);
    const int needed = std::vsnprintf(text, sizeof(text), format, copy);
    va_end(copy);
    if (needed < 0)
        return;
    if (static_cast<size_t>(needed) < sizeof(text)) {
        LogData(nullptr, LOG_DEBUG, text, needed);
        return;
    }
    std::string longer(static_cast<size_t>(needed) + 1, '\0');
    std::vsnprintf(longer.data(), longer.size(), format, arguments);
    LogData(nullptr, LOG_DEBUG, longer.data(), needed);
}

void CListener::LogDebugData(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    VLogDebugData(format, arguments);
    va_end(arguments);
}

void CListener::LogDebugData(const std::string& text) {
    LogData(nullptr, LOG_DEBUG, text.data(), static_cast<int>(text.size()));
}

unsigned CListener::GetLogLevel() {
    CListener* logger = GetLogger();
    if (logger != this)
        return logger->GetLogLevel();
    return static_cast<unsigned>(LoadRelaxed(m_logSettings.logLevel));
}

int CListener::GetLoggingPaused() {
    CListener* logger = GetLogger();
    if (logger != this)
        return logger->GetLoggingPaused();
    return m_paused.load();
}

void CListener::AddLogging(unsigned bits) {
    CListener* logger = GetLogger();
    if (logger != this)
        return logger->AddLogging(bits);
    CLock lock(&m_logLock);
    StoreRelaxed(m_logSettings.logLevel,
                 static_cast<int>(static_cast<unsigned>(m_logSettings.logLevel) | bits));
    SaveLogSettings();
}

void CListener::DeleteLogging(unsigned bits) {
    CListener* logger = GetLogger();
    if (logger != this)
        return logger->DeleteLogging(bits);
    CLock lock(&m_logLock);
    StoreRelaxed(m_logSettings.logLevel,
                 static_cast<int>(static_cast<unsigned>(m_logSettings.logLevel) & ~bits));
    SaveLogSettings();
}

void CListener::PauseLogging() {
    CListener* logger = GetLogger();
    if (logger != this)
        return logger->PauseLogging();
    m_paused = 1;
}

void CListener::ResumeLogging() {
    CListener* logger = GetLogger();
    if (logger != this)
        return logger->ResumeLogging();
    m_paused = 0;
}

int CListener::OpenSpoolFile(const std::string& name) {
    int error = 0;
    return OpenFileForAppend(name.c_str(), error);
}

void CListener::SetSpoolFile(int file) {
    CListener* logger = GetLogger();
    if (logger != this)
        return logger->SetSpoolFile(file);
    CLock lock(&m_logLock);
    const int previous = m_spoolFile.exchange(file);
    if (previous >= 0 && previous != file) {
        CloseFileHandle(previous);
        m_logSettings.logFileName.clear();
        SaveLogSettings();
    }
}

void CListener::SetSpoolFile(const std::string& name, int file) {
    CListener* logger = GetLogger();
    if (logger != this)
        return logger->SetSpoolFile(name, file);
    CLock lock(&m_logLock);
    const int previous = m_spoolFile.exchange(file);
    if (previous >= 0 && previous != file)
        CloseFileHandle(previous);
    m_logSettings.logFileName = name;
    SaveLogSettings();
}

int CListener::IsSpooling() {
    CListener* logger = GetLogger();
    if (logger != this)
        return logger->IsSpooling();
    return m_spoolFile.load() >= 0;
}

void CListener::GetLogLoc(UINT& windowType, POINT& position, POINT& size) {
    CListener* logger = GetLogger();
    if (logger != this)
        return logger->GetLogLoc(windowType, position, size);
    CLock lock(&m_logLock);
    windowType = static_cast<UINT>(m_logSettings.logWindowType);
    position = m_logSettings.logDocCoords;
    size = m_logSettings.logDocSize;
}

void CListener::SetLogPosition(int x, int y) {
    CListener* logger = GetLogger();
    if (logger != this)
        return logger->SetLogPosition(x, y);
    CLock lock(&m_logLock);
    m_logSettings.logDocCoords = POINT{x, y};
    SaveLogSettings();
}

void CListener::SetLogSize(UINT windowType, int width, int height) {
    CListener* logger = GetLogger();
    if (logger != this)
        return logger->SetLogSize(windowType, width, height);
    CLock lock(&m_logLock);
    m_logSettings.logWindowType = static_cast<int>(windowType);
    m_logSettings.logDocSize = POINT{width, height};
    SaveLogSettings();
}

const char* CListener::GetServerTitle() {
    switch (m_protocol) {
    case PROTOCOL_POP3:
        return "POP3";
    case PROTOCOL_SMTP:
        return "SMTP";
    case PROTOCOL_AOL:
        return "AOL";
    default:
        return "unknown";
    }
}

int CListener::LoggingEnabled() {
    CListener* logger = GetLogger();
    if (logger != this)
        return logger->LoggingEnabled();
    return LoadRelaxed(m_logSettings.logToDoc);
}

void CListener::EnableLogging(int enable) {
    CListener* logger = GetLogger();
    if (logger != this)
        return logger->EnableLogging(enable);
    CLock lock(&m_logLock);
    StoreRelaxed(m_logSettings.logToDoc, enable ? 1 : 0);
    SaveLogSettings();
}

void CListener::SaveLogSettings() {
    CLock lock(&m_logLock);
    m_settings.SaveSettings(nullptr, &m_logSettings);
}

void CListener::GetLogLine(std::string& line, CLogger* source, unsigned category,
                           const char* data, int length) {
    line.clear();
    if (SkipLog(category))
        return;
    if (data == nullptr)
        length = 0;
    else if (length < 0)
        length = static_cast<int>(std::strlen(data));

    std::string prefix;
    AppendTimeStamp(prefix);
    if (source != nullptr) {
        prefix += source->GetLogName();
        prefix += ": ";
    }

    // A password to the proxy or to the server never reaches the log.
    std::string masked;
    if ((category == LOG_FROM_CLIENT || category == LOG_TO_SERVER) &&
        MaskCredentials(data, static_cast<size_t>(length), masked))
        data = masked.data();

    line.reserve(prefix.size() + static_cast<size_t>(length) + 16);
    line += prefix;
    switch (category) {
    case LOG_INFO:
    case LOG_INFO2:
    case LOG_INFO3:
        line.append(data, static_cast<size_t>(length));
        break;
    case LOG_CONNECTION:
    case LOG_CONNECTION2:
        line += length > 0 ? "Connection closed" : "New connection";
        break;
    case LOG_NOTIFICATION:
        line += " ->UI ";
        line.append(data, static_cast<size_t>(length));
        break;
    case LOG_USER:
        line += "USER '";
        line.append(data, static_cast<size_t>(length));
        line += "'";
        break;
    case LOG_DEBUG:
        line += "DBG  ";
        line.append(data, static_cast<size_t>(length));
        break;
    default:
        line += DirectionMarker(category);
        line.append(data, static_cast<size_t>(length));
        break;
    }
    line += "\r\n";
}

void CListener::LogLine(const std::string& line) {
    CLock lock(&m_logLock);
    const int file = m_spoolFile.load();
    if (file >= 0)
        WriteFileData(file, line.data(), line.size());
    CLogWindowSink* window = m_logWindow.load();
    if (window != nullptr && m_logSettings.logToDoc)
        window->AppendLogLine(line);
}
