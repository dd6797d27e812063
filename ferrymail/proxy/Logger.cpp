#include "ferrymail/proxy/Logger.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "ferrymail/proxy/Listener.h"
#include "ferrymail/proxy/LogWindowSink.h"

CLogger::~CLogger() = default;
CLogWindowSink::~CLogWindowSink() = default;

int CLogger::FormatLogData(std::string& out, unsigned category, const char* data, int length) {
    return 0;
}

void CLogger::Log(unsigned category, const char* data, int length) {
    CListener* listener = m_logListener;
    if (listener == nullptr || data == nullptr || !listener->HasLogOutput() ||
        listener->SkipLog(category))
        return;
    const size_t size = length < 0 ? std::strlen(data) : static_cast<size_t>(length);
    std::string formatted;
    if (FormatLogData(formatted, category, data, static_cast<int>(size)))
        LogLines(category, formatted.data(), formatted.size());
    else
        LogLines(category, data, size);
}

void CLogger::Log(unsigned category, const std::string& text) {
    Log(category, text.data(), static_cast<int>(text.size()));
}

void CLogger::LogFormat(unsigned category, const char* format, ...) {
    CListener* listener = m_logListener;
    if (listener == nullptr || !listener->HasLogOutput() || listener->SkipLog(category))
        return;
    char small[512];
    va_list arguments;
    va_start(arguments, format);
    va_list copy;
    va_copy(copy, arguments);
    const int needed = std::vsnprintf(small, sizeof(small), format, arguments);
    va_end(arguments);
    if (needed < 0) {
        va_end(copy);
        return;
    }
    if (static_cast<size_t>(needed) < sizeof(small)) {
        va_end(copy);
        Log(category, small, needed);
        return;
    }
    std::string text(static_cast<size_t>(needed) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, copy);
    va_end(copy);
    text.resize(static_cast<size_t>(needed));
    Log(category, text);
}

// Lines end at LF (a CR before it is dropped); an unfinished last line is logged too.
void CLogger::LogLines(unsigned category, const char* data, size_t length) {
    CListener* listener = m_logListener;
    size_t start = 0;
    while (start < length) {
        const void* found = std::memchr(data + start, '\n', length - start);
        size_t end = found ? static_cast<const char*>(found) - data : length;
        size_t lineEnd = end;
        if (found && lineEnd > start && data[lineEnd - 1] == '\r')
            --lineEnd;
        // A text that is only a line end (the CR LF sent after a line) logs nothing.
        if (!(start == 0 && found && end + 1 == length && lineEnd == start))
            listener->LogData(this, category, data + start, static_cast<int>(lineEnd - start));
        start = found ? end + 1 : length;
    }
}
