// Where the foundation reports problems it handles itself (a hive file put aside, a data
// folder that cannot be made). The program installs a sink; the default writes to stderr.
#pragma once

#include "kinbook/kinbook_export.h"

using FoundationLogSink = void (*)(const char* line);

// Installs `sink` (null restores stderr); returns the previous one.
FoundationLogSink SetFoundationLogSink(FoundationLogSink sink);
KINBOOK_API void FoundationLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
