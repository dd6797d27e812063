// Breaking a time value down into calendar fields, safe on every thread (the C library's
// gmtime and localtime share one buffer between threads).
#pragma once

#include <ctime>

#include "kinbook/kinbook_export.h"

// `when` as universal time; false (and `out` zeroed) when it cannot be broken down.
KINBOOK_API bool ToUniversalTime(std::time_t when, std::tm& out);
// `when` in the local time zone, for texts shown to the user; false (and `out` zeroed)
// when it cannot be broken down.
KINBOOK_API bool ToLocalTime(std::time_t when, std::tm& out);
