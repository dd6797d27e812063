#include "kinbook/foundation/FoundationLog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace {

void WriteToStderr(const char* line) { std::fprintf(stderr, "quillon: %s\n", line); }

std::atomic<FoundationLogSink> s_sink{&WriteToStderr};

}  // namespace

FoundationLogSink SetFoundationLogSink(FoundationLogSink sink) {
    return s_sink.exchange(sink != nullptr ? sink : &WriteToStderr);
}

void FoundationLog(const char* format, ...) {
    char line[2048];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    s_sink.load()(line);
}
