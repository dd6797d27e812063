// Where the database's log lines go (the POP3 listener registers itself).
#pragma once

#include <string>

#include "ferrymail/ferrymail_export.h"

class IDatabaseLogger {
public:
    virtual ~IDatabaseLogger() = default;
    virtual void LogDatabaseLine(unsigned category, const std::string& line) = 0;
    // Whether a line of `category` would be written anywhere: lines that would not are
    // never built.
    virtual bool WantsDatabaseLine(unsigned category) { return true; }
};
