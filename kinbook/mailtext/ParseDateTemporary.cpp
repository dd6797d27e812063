// TEMPORARY date parser: reads only the plain RFC 822 form
//   [Day ","] D Mon YYYY HH:MM[:SS] (+|-)HHMM
// so that the header scanner can be built and tested. The full parser replaces this file.
#include <cctype>
#include <cstring>
#include <strings.h>

#include "kinbook/ParseDate.h"

namespace {

bool ReadNumber(const char*& p, int minDigits, int maxDigits, long& value) {
    int digits = 0;
    value = 0;
    while (digits < maxDigits && std::isdigit(static_cast<unsigned char>(*p))) {
        value = value * 10 + (*p - '0');
        ++p;
        ++digits;
    }
    return digits >= minDigits;
}

void SkipBlanks(const char*& p) {
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')
        ++p;
}

long DaysFromCivil(long y, long m, long d) {
    y -= m <= 2 ? 1 : 0;
    long era = (y >= 0 ? y : y - 399) / 400;
    long yoe = y - era * 400;
    long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool Parse(const char* text, long& result) {
    static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                          "jul", "aug", "sep", "oct", "nov", "dec"};
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (text == nullptr)
        return false;
    const char* p = text;
    SkipBlanks(p);
    if (std::isalpha(static_cast<unsigned char>(*p))) {
        while (std::isalpha(static_cast<unsigned char>(*p)))
            ++p;
        if (*p != ',')
            return false;
        ++p;
        SkipBlanks(p);
    }
    long day, year, hour, minute, second = 0, zone;
    if (!ReadNumber(p, 1, 2, day))
        return false;
    SkipBlanks(p);
    int month = -1;
    for (int i = 0; i < 12; ++i) {
        if (strncasecmp(p, kMonths[i], 3) == 0)
            month = i + 1;
    }
    if (month < 0)
        return false;
    p += 3;
    SkipBlanks(p);
    if (!ReadNumber(p, 2, 4, year))
        return false;
    SkipBlanks(p);
    if (!ReadNumber(p, 1, 2, hour) || *p++ != ':' || !ReadNumber(p, 2, 2, minute))
        return false;
    if (*p == ':') {
        ++p;
        if (!ReadNumber(p, 2, 2, second))
            return false;
    }
    SkipBlanks(p);
    char sign = *p++;
    if ((sign != '+' && sign != '-') || !ReadNumber(p, 4, 4, zone))
        return false;
    SkipBlanks(p);
    if (*p != '\0')
        return false;
    if (year < 100)
        year += 1900;
    if (year < 1970)
        year += 100;
    if (year > 2038 || day < 1 || day > kDays[month - 1] || hour > 23 || minute > 59 ||
        second > 61 || zone % 100 > 59)
        return false;
    if (month == 2 && day == 29 && year % 4 != 0)
        return false;
    long offset = (zone / 100) * 60 + zone % 100;
    if (sign == '+')
        offset = -offset;  // minutes west of UTC
    long days = DaysFromCivil(year, month, day);
    result = (days * 1440 + hour * 60 + minute + offset) * 60 + second;
    if (result == -1)
        result = 0;
    return true;
}

}  // namespace

long parsedate(const char* text) {
    long result;
    return Parse(text, result) ? result : -1;
}

int checkdate(const char* text) {
    long result;
    return Parse(text, result) ? 1 : 0;
}
