// A proxy listener: accepts clients on a loopback TCP port, makes one connection per
// client through its protocol's factory, keeps them in a chain and deletes each when its
// thread has ended; hands out periodic clock events; and does the proxy logging (log
// level, line forms, spool file). Created and destroyed by the program's thread; its own
// thread accepts and reaps; the chain, the clock table and the log have locks of their own.
#pragma once

#include <atomic>
#include <cstdarg>
#include <string>
#include <thread>
#include <vector>

#include "ferrymail/proxy/Logger.h"
#include "ferrymail/proxy/ProxyServer.h"
#include "ferrymail/proxy/ProxySettings.h"
#include "ferrymail/ferrymail_export.h"
#include "kinbook/foundation/PollEvent.h"
#include "kinbook/foundation/Socket.h"
#include "kinbook/foundation/Sync.h"

class CProxyConnection;
class CLogWindowSink;

// The logging settings of a listener, filled through its settings table.
struct SListenerLogSettings {
    int logLevel;           // LogLevel: the category mask
    int logToDoc;           // LogToDoc: lines also go to the log window
    int logWindowType;      // LogWindowType: the log window's show state
    POINT logDocCoords;     // LogDocCoords: window position
    POINT logDocSize;       // LogDocSize: window size
    std::string logFileName;  // LogFileName: the spool file ("" when not spooling)
};

class FERRYMAIL_API CListener : public CProxyServer {
public:
    // The logging settings: LogLevel, LogToDoc, LogWindowType, LogDocCoords, LogDocSize,
    // LogFileName.
    static const SSetting cm_pDefaultSettings[];

    // Loads the settings of section `settingsName` and opens the spool file they name.
    // `bindHost` null listens on the loopback address.
    CListener(int port, PROTOCOL protocol, const char* settingsName,
              const char* bindHost = nullptr);
    // Shutdown, then closes the spool file.
    ~CListener() override;
    // Ends the listener's thread, then every connection (their threads all asked at
    // once, each waited for up to kKillTimeout and then without limit, and deleted), then
    // the clock thread. A derived listener's destructor calls it first, so that no
    // thread of the listener runs on a half destroyed object. Called on the owner's
    // thread; afterwards the listener accepts nothing.
    void Shutdown();

    // Binds and listens (a port of 0 takes a free one: GetPort tells which) and starts
    // the thread. 0 on failure with `errorNumber` and `errorText` set as ReturnError says.
    virtual BOOL InitListener(int backlog, int& errorNumber, std::string& errorText);
    // The protocol's connection for an accepted socket (the connection owns it), or null.
    virtual CProxyConnection* NewProxyConnection(SOCKET socket, const SSocketAddress& address,
                                                 int addressLength) = 0;
    // An event signalled about every `period` ms (the first signal may come at once), or
    // null. It stays the listener's: give it back with FreeClockEvent and wait on it no
    // more after that.
    virtual CPollEvent* GetClockEvent(int period);
    virtual void FreeClockEvent(CPollEvent* event);

    // Logging. Every operation first forwards to GetLogger() when that is another one.
    virtual CListener* GetLogger();
    virtual void ClearLogThread();
    virtual void LogConnection(CProxyConnection* connection);
    // `length` -1: up to the zero byte. `source` may be null.
    virtual void LogData(CLogger* source, unsigned category, const char* data, int length);
    virtual void LogDebugData(const char* format, ...) __attribute__((format(printf, 2, 3)));
    virtual void LogDebugData(const std::string& text);
    virtual unsigned GetLogLevel();
    virtual int GetLoggingPaused();
    virtual void AddLogging(unsigned bits);
    virtual void DeleteLogging(unsigned bits);
    virtual void PauseLogging();
    virtual void ResumeLogging();
    // Takes `file` (-1: none) as the spool file; an open one is closed first and the
    // spool file name cleared.
    virtual void SetSpoolFile(int file);
    virtual void SetSpoolFile(const std::string& name, int file);
    virtual int IsSpooling();
    virtual void GetLogLoc(UINT& windowType, POINT& position, POINT& size);
    virtual void SetLogPosition(int x, int y);
    virtual void SetLogSize(UINT windowType, int width, int height);
    // "POP3", "SMTP", "AOL" or "unknown".
    virtual const char* GetServerTitle();

    int LoggingEnabled();
    void EnableLogging(int enable);
    // 1 when a line of `category` would not be logged.
    BOOL SkipLog(unsigned category);
    // 1 when lines go anywhere (a spool file, or the log window while logging to it).
    BOOL HasLogOutput();
    // The log window (null: none); it must outlive its use.
    void SetLogWindowSink(CLogWindowSink* sink);
    // Opens `name` for appending as a spool file: -1 when it cannot be opened.
    static int OpenSpoolFile(const std::string& name);

    // The connection chain (chain lock).
    void AddElementToChain(CProxyConnection* connection);
    void RemoveElementFromChain(CProxyConnection* connection);
    int GetConnectionCount();
    // Accepts one client and starts its connection; 1 when one was started.
    BOOL SpawnServer();

    // With a text of the library's string table (`id`) or a text: the error text becomes
    // "%s: %s" of the text and the system's message for `systemError` (a Windows
    // Sockets number or errno value) when that is not 0, `errorNumber` then left as it
    // was; else the text alone and `errorNumber` -1.
    static void ReturnError(UINT id, int systemError, int& errorNumber, std::string& errorText);
    static void ReturnError(const char* text, int systemError, int& errorNumber,
                            std::string& errorText);

    void FillEventVec(int& count) override;
    BOOL ProcessEvents(SWaitHandle& handle, EVENTACTION& action, int& exitCode) override;

protected:
    // The line for `data`, empty when it would not be logged.
    void GetLogLine(std::string& line, CLogger* source, unsigned category, const char* data,
                    int length);
    // Writes a finished line to the spool file and the log window (logging lock).
    void LogLine(const std::string& line);
    void SaveLogSettings();

    std::string m_bindHost;
    CProxyConnection* m_chainHead = nullptr;  // chain lock; most recent first
    CProxySettings m_settings;
    SListenerLogSettings m_logSettings;  // logging lock for changes

private:
    struct SClockEntry {
        CPollEvent* event;
        int period;
        long long due;  // steady milliseconds of the next signal
        bool freed;
    };
    BOOL StartTimerThread();
    void RunTimer();
    void VLogDebugData(const char* format, va_list arguments);

    std::atomic<int> m_spoolFile{-1};    // logging lock for changes
    std::atomic<int> m_paused{0};
    std::atomic<CLogWindowSink*> m_logWindow{nullptr};  // logging lock for changes
    std::thread m_clockThread;
    CPollEvent m_clockKillEvent;
    CPollEvent m_clockWakeEvent;
    std::vector<SClockEntry> m_clockTable;  // clock lock
    CCritical m_clockLock;
    CCritical m_logLock;
    CCritical m_chainLock;
};
