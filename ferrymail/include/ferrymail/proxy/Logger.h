// A source of proxy log lines (every connection is one): it names itself, may render its
// data its own way and hands its lines to the listener that logs for it. Used by the
// connection's own thread; the listener it logs to is set while the connection is in a
// listener's chain.
#pragma once

#include <string>

#include "ferrymail/ferrymail_export.h"

class CListener;

// Log categories: bits of the log level and the category of every log call.
constexpr unsigned LOG_FROM_CLIENT = 0x1;
constexpr unsigned LOG_TO_CLIENT = 0x2;
constexpr unsigned LOG_FROM_SERVER = 0x4;
constexpr unsigned LOG_TO_SERVER = 0x8;
constexpr unsigned LOG_DATA_FROM_CLIENT = 0x10;
constexpr unsigned LOG_DATA_TO_CLIENT = 0x20;
constexpr unsigned LOG_DATA_FROM_SERVER = 0x40;
constexpr unsigned LOG_DATA_TO_SERVER = 0x80;
constexpr unsigned LOG_INFO = 0x100;
constexpr unsigned LOG_INFO2 = 0x200;
constexpr unsigned LOG_INFO3 = 0x400;
constexpr unsigned LOG_CONNECTION = 0x800;
constexpr unsigned LOG_CONNECTION2 = 0x1000;
constexpr unsigned LOG_NOTIFICATION = 0x2000;
constexpr unsigned LOG_USER = 0x4000;  // logged whatever the level
constexpr unsigned LOG_DEBUG = 0x8000;

class CLogger {
public:
    CLogger() = default;
    CLogger(const CLogger&) = delete;
    CLogger& operator=(const CLogger&) = delete;

    // A protocol's own rendering of `data` into `out`; 0 when it has none (the base).
    virtual int FormatLogData(std::string& out, unsigned category, const char* data,
                              int length);
    virtual ~CLogger();
    // The source's name in log lines, such as "POP3(3)".
    virtual const char* GetLogName() = 0;

    // Logs `data` (`length` -1: up to its zero byte) line by line; a text that is only a
    // line end logs nothing.
    void Log(unsigned category, const char* data, int length = -1);
    void Log(unsigned category, const std::string& text);
    void LogFormat(unsigned category, const char* format, ...)
        __attribute__((format(printf, 3, 4)));

    CListener* GetLogListener() const { return m_logListener; }

protected:
    // The listener that logs for this source (null: lines are dropped).
    CListener* m_logListener = nullptr;

private:
    void LogLines(unsigned category, const char* data, size_t length);
};
