// SIGTERM and SIGINT start the orderly shut-down. They are blocked in every thread (the
// mask is inherited, so block them before the first thread starts) and taken by the main
// thread with sigwait, so no handler ever runs inside a proxy thread.
#pragma once

#include "kinbook/kinbook_export.h"

// Blocks SIGTERM and SIGINT in the calling thread. False when the mask cannot be set.
KINBOOK_API bool BlockShutdownSignals();
// Waits until SIGTERM or SIGINT is pending (one sent before this call counts) and
// returns its number. The signals must be blocked.
KINBOOK_API int WaitForShutdownSignal();
