#include "kinbook/CalendarTime.h"

#include <time.h>

bool ToUniversalTime(std::time_t when, std::tm& out) {
    return gmtime_r(&when, &out) != nullptr;
}

bool ToLocalTime(std::time_t when, std::tm& out) {
    return localtime_r(&when, &out) != nullptr;
}
