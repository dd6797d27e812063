// Where a listener's log lines go when logging to the window is on: the program's log
// window implements it. Called under the listener's logging lock from any proxy thread,
// so an implementation only queues the line for its own thread and never blocks.
#pragma once

#include <string>

#include "ferrymail/ferrymail_export.h"

class CLogWindowSink {
public:
    virtual ~CLogWindowSink();
    // One finished line, ending in "\r\n".
    virtual void AppendLogLine(const std::string& line) = 0;
};
