#include "kinbook/foundation/CalendarTime.h"

#include <time.h>

bool ToUniversalTime(std::time_t when, std::tm& out) {
    if (gmtime_r(&when, &out) != nullptr)
        return true;
    out = {};
    return false;
}

bool ToLocalTime(std::time_t when, std::tm& out) {
    if (localtime_r(&when, &out) != nullptr)
        return true;
    out = {};
    return false;
}
