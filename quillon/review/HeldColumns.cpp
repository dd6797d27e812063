#include "review/HeldColumns.h"

#include <cstdio>

#include "kinbook/foundation/CalendarTime.h"

namespace {

std::string ClockText(const tm& local) {
    const int hour = local.tm_hour % 12 == 0 ? 12 : local.tm_hour % 12;
    char text[16];
    std::snprintf(text, sizeof text, "%d:%02d%s", hour, local.tm_min,
                  local.tm_hour < 12 ? "am" : "pm");
    return text;
}

constexpr time_t kSecondsPerDay = 24 * 60 * 60;

}  // namespace

std::string HeldReceivedText(long downloaded, time_t now) {
    if (downloaded == 0)
        return {};
    const time_t when = static_cast<time_t>(downloaded);
    tm local = {}, today = {};
    if (!ToLocalTime(when, local) || !ToLocalTime(now, today))
        return {};
    if (local.tm_year == today.tm_year && local.tm_yday == today.tm_yday)
        return ClockText(local);
    // A message from an earlier year is dated too: a weekday alone would pass it for one
    // of this week.
    if (now - when >= 7 * kSecondsPerDay) {
        char text[16];
        std::strftime(text, sizeof text, "%m/%d/%y", &local);
        return text;
    }
    char weekday[8];
    std::strftime(weekday, sizeof weekday, "%a", &local);
    return std::string(weekday) + " " + ClockText(local);
}

std::string HeldSizeText(int size) {
    if (size < 1024)
        return std::to_string(size) + "B";
    return std::to_string((static_cast<long long>(size) + 1023) / 1024) + "KB";
}

char HeldCategory(char tag) {
    switch (tag) {
        case 'X':
        case 'N':
            return tag;
        case 'Q':
            return '?';
        default:
            return ' ';
    }
}

const char* HeldTypeText(char tag) {
    switch (tag) {
        case 'X':
            return "bad";
        case 'N':
            return "nice";
        case 'Q':
            return "?";
        default:
            return " ";
    }
}

std::string HeldAnalysisNote(const std::string& notes) {
    const size_t colon = notes.find(':');
    if (colon == std::string::npos || colon + 2 > notes.size())
        return {};
    const size_t start = colon + 2;
    const size_t end = notes.find('\r', start);
    return notes.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string HeldAnalysisShown(const std::string& note) {
    for (const char* prefix : {"questionable: ", "other: ", "evil: ", "bad: "}) {
        const std::string_view p(prefix);
        if (note.compare(0, p.size(), p) == 0)
            return note.substr(p.size());
    }
    return note;
}

std::string HeldOneLine(const std::string& text) {
    std::string line = text;
    for (char& c : line)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    return line;
}
