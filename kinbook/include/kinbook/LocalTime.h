// The local calendar time of a moment, for texts shown to the user. Safe on any thread.
#pragma once

#include <ctime>

#include "kinbook/kinbook_export.h"

// `when` in the local time zone; false (and `local` zeroed) when it cannot be converted.
KINBOOK_API bool ToLocalTime(time_t when, tm& local);
