// parsedate and checkdate: the grammar's fields turned into seconds since 1970.

#include "kinbook/mailtext/ParseDate.h"

#include <time.h>

#include <cstdint>
#include <limits>
#include <optional>

#include "mailtext/DateParse.h"

namespace {

constexpr int64_t kFirstYear = 1970;
constexpr int64_t kLastYear = 2038;
constexpr int64_t kHour = 3600;

// The leap years of the range this parser converts.
bool IsLeapYear(int64_t year) {
    return year >= 1972 && year <= 2036 && (year - 1972) % 4 == 0;
}

int64_t MonthLength(int64_t year, int64_t month) {
    static constexpr int64_t kLengths[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kLengths[month - 1];
}

// Two-digit years: "99" is 1999, "03" is 2003.
int64_t FullYear(int64_t year) {
    if (year < 0) {
        year = -year;
    }
    if (year < 100) {
        year += 1900;
        if (year < kFirstYear) {
            year += 100;
        }
    }
    return year;
}

// Whether the local time zone observes daylight saving at `seconds`.
bool LocalDaylightSaving(int64_t seconds) {
    const time_t when = static_cast<time_t>(seconds);
    struct tm local {};
    return localtime_r(&when, &local) != nullptr && local.tm_isdst > 0;
}

// Seconds since 1970 of a full year, month, day and time of day in the zone
// `timezone` (minutes west of UTC); nothing when a field is out of range.
std::optional<int64_t> Convert(int64_t month, int64_t day, int64_t year, int64_t hour,
                               int64_t minutes, int64_t seconds, MERIDIAN meridian, DSTMODE dstMode,
                               int64_t timezone) {
    if (year < kFirstYear || year > kLastYear || month < 1 || month > 12 || day < 1 ||
        day > MonthLength(year, month)) {
        return std::nullopt;
    }
    int64_t days = (year - kFirstYear) * 365;
    for (int64_t leap = 1972; leap < year; leap += 4) {
        days += IsLeapYear(leap) ? 1 : 0;
    }
    for (int64_t earlier = 1; earlier < month; ++earlier) {
        days += MonthLength(year, earlier);
    }
    days += day - 1;

    if (minutes < 0 || minutes > 59 || seconds < 0 || seconds > 61) {
        return std::nullopt;
    }
    if (meridian == MER24) {
        if (hour < 0 || hour > 23) {
            return std::nullopt;
        }
    } else {
        if (hour < 1 || hour > 12) {
            return std::nullopt;
        }
        hour %= 12;
        if (meridian == MERPM) {
            hour += 12;
        }
    }

    int64_t result = (days * 1440 + timezone) * 60 + (hour * 60 + minutes) * 60 + seconds;
    if (dstMode == DSTON || (dstMode == DSTMAYBE && LocalDaylightSaving(result))) {
        result -= kHour;
    }
    return result;
}

// Days from 1 January 1970 to a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

// A local clock reading as seconds on a UTC scale, to compare two readings.
int64_t ClockSeconds(const struct tm& clock) {
    const int64_t days = DaysFromCivil(clock.tm_year + 1900LL, clock.tm_mon + 1LL, clock.tm_mday);
    return ((days * 24 + clock.tm_hour) * 60 + clock.tm_min) * 60 + clock.tm_sec;
}

// `start` moved by `months` whole months of the local calendar, keeping the local
// date and clock time; nothing when that date does not exist (31 January + 1 month)
// or falls outside 1970-2038.
std::optional<int64_t> MoveByMonths(int64_t start, int64_t months, int64_t timezone) {
    const time_t startTime = static_cast<time_t>(start);
    struct tm local {};
    if (localtime_r(&startTime, &local) == nullptr) {
        return std::nullopt;
    }
    int64_t monthCount = (local.tm_year + 1900LL) * 12 + local.tm_mon;
    if (__builtin_add_overflow(monthCount, months, &monthCount) || monthCount < 0) {
        return std::nullopt;
    }
    struct tm moved = local;
    const int64_t year = monthCount / 12;
    const int64_t month = monthCount % 12 + 1;
    const std::optional<int64_t> future =
        Convert(month, local.tm_mday, year, local.tm_hour, local.tm_min, local.tm_sec, MER24,
                DSTMAYBE, timezone);
    if (!future) {
        return std::nullopt;
    }
    moved.tm_year = static_cast<int>(year - 1900);
    moved.tm_mon = static_cast<int>(month - 1);

    // The conversion reads the clock in the parsed zone; shift the instant by what
    // its local clock is off from the moved clock, so that a move across a
    // daylight-saving change or between zones keeps the local clock time.
    const time_t futureTime = static_cast<time_t>(*future);
    struct tm futureLocal {};
    if (localtime_r(&futureTime, &futureLocal) == nullptr) {
        return std::nullopt;
    }
    return *future + (ClockSeconds(moved) - ClockSeconds(futureLocal));
}

// Runs the grammar over `text`; nothing when it is not accepted.
std::optional<SDateParse> Parse(const char* text) {
    if (text == nullptr) {
        return std::nullopt;
    }
    SDateParse parse;
    parse.input = text;
    if (!RunDateGrammar(parse)) {
        return std::nullopt;
    }
    return parse;
}

}  // namespace

long parsedate(const char* text) {
    const std::optional<SDateParse> parse = Parse(text);
    if (!parse || parse->haveTime > 1 || parse->haveDate > 1 ||
        (parse->haveTime == 0 && parse->haveDate == 0)) {
        return -1;
    }
    const std::optional<int64_t> start =
        Convert(parse->month, parse->day, FullYear(parse->year), parse->hour, parse->minutes,
                parse->seconds, parse->meridian, parse->dstMode, parse->timezone);
    if (!start) {
        return -1;
    }
    int64_t result = *start;
    if (__builtin_add_overflow(result, parse->relSeconds, &result)) {
        return -1;
    }
    if (parse->relMonths != 0) {
        const std::optional<int64_t> moved =
            MoveByMonths(result, parse->relMonths, parse->timezone);
        if (!moved) {
            return -1;
        }
        result = *moved;
    }
    // Times are 32-bit everywhere they are kept.
    if (result < std::numeric_limits<int32_t>::min() ||
        result > std::numeric_limits<int32_t>::max()) {
        return -1;
    }
    return result == -1 ? 0 : static_cast<long>(result);
}

int checkdate(const char* text) {
    const std::optional<SDateParse> parse = Parse(text);
    return parse && parse->haveDate == 1 && parse->haveTime == 1 ? 1 : 0;
}
