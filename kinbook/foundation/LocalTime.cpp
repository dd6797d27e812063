#include "kinbook/LocalTime.h"

bool ToLocalTime(time_t when, tm& local) {
    local = {};
    if (localtime_r(&when, &local) != nullptr)
        return true;
    local = {};
    return false;
}
