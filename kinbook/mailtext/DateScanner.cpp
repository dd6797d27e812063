// The scanner of the mail date grammar: numbers, words looked up in the month, day,
// zone and unit tables, RFC 822 comments, and single characters.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "mailtext/DateGrammar.h"
#include "mailtext/DateParse.h"

namespace {

struct SDateWord {
    const char* name;
    int token;
    int64_t value;
};

// Months and days; a three-letter word (or three letters and a dot) matches the first
// entry whose name begins with it.
constexpr SDateWord kMonthsAndDays[] = {
    {"january", MONTHNAME, 1},  {"february", MONTHNAME, 2},  {"march", MONTHNAME, 3},
    {"april", MONTHNAME, 4},    {"may", MONTHNAME, 5},       {"june", MONTHNAME, 6},
    {"july", MONTHNAME, 7},     {"august", MONTHNAME, 8},    {"september", MONTHNAME, 9},
    {"october", MONTHNAME, 10}, {"november", MONTHNAME, 11}, {"december", MONTHNAME, 12},
    {"sunday", DAYNAME, 0},     {"monday", DAYNAME, 0},      {"tuesday", DAYNAME, 0},
    {"wednesday", DAYNAME, 0},  {"thursday", DAYNAME, 0},    {"friday", DAYNAME, 0},
    {"saturday", DAYNAME, 0},
};

// Zones in minutes west of UTC. Daylight-time names are DSTZONE with the standard
// offset of their zone.
constexpr SDateWord kZones[] = {
    {"gmt", ZONENAME, 0},     {"ut", ZONENAME, 0},      {"utc", ZONENAME, 0},
    {"cut", ZONENAME, 0},     {"z", ZONENAME, 0},       {"wet", ZONENAME, 0},
    {"bst", DSTZONE, 0},      {"nst", ZONENAME, 210},   {"ndt", DSTZONE, 210},
    {"ast", ZONENAME, 240},   {"adt", DSTZONE, 240},    {"est", ZONENAME, 300},
    {"edt", DSTZONE, 300},    {"cst", ZONENAME, 360},   {"cdt", DSTZONE, 360},
    {"mst", ZONENAME, 420},   {"mdt", DSTZONE, 420},    {"pst", ZONENAME, 480},
    {"pdt", DSTZONE, 480},    {"yst", ZONENAME, 540},   {"akst", ZONENAME, 540},
    {"ydt", DSTZONE, 540},    {"akdt", DSTZONE, 540},   {"hst", ZONENAME, 600},
    {"hast", ZONENAME, 600},  {"hadt", DSTZONE, 600},   {"mez", ZONENAME, -60},
    {"cet", ZONENAME, -60},   {"met", ZONENAME, -60},   {"ces", DSTZONE, -60},
    {"cest", DSTZONE, -60},   {"mezt", DSTZONE, -60},   {"eet", ZONENAME, -120},
    {"msk", ZONENAME, -180},  {"msd", DSTZONE, -180},   {"wast", ZONENAME, -480},
    {"hkt", ZONENAME, -480},  {"cct", ZONENAME, -480},  {"wadt", DSTZONE, -480},
    {"jst", ZONENAME, -540},  {"kst", ZONENAME, -540},  {"kdt", ZONENAME, -540},
    {"cast", ZONENAME, -570}, {"cadt", DSTZONE, -570},  {"east", ZONENAME, -600},
    {"eadt", DSTZONE, -600},  {"nzst", ZONENAME, -720}, {"nzdt", DSTZONE, -720},
};

// Relative units: months for MONTHUNIT, seconds for SECONDUNIT.
constexpr SDateWord kUnits[] = {
    {"year", MONTHUNIT, 12},    {"month", MONTHUNIT, 1},    {"week", SECONDUNIT, 604800},
    {"day", SECONDUNIT, 86400}, {"hour", SECONDUNIT, 3600}, {"minute", SECONDUNIT, 60},
    {"min", SECONDUNIT, 60},    {"second", SECONDUNIT, 1},  {"sec", SECONDUNIT, 1},
};

// Only the first 19 characters of a word take part in the look-up.
constexpr std::size_t kMaxWord = 19;

// ASCII classes: the text is bytes in any code page, so no locale may widen them.
bool IsSpace(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
bool IsDigit(unsigned char c) {
    return c >= '0' && c <= '9';
}
bool IsAlpha(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
char ToLower(unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
}

template <std::size_t N>
const SDateWord* FindWord(const SDateWord (&table)[N], std::string_view word) {
    for (const SDateWord& entry : table) {
        if (word == entry.name) {
            return &entry;
        }
    }
    return nullptr;
}

// Looks a lowered word of letters and dots up in the tables.
int LookUpWord(std::string_view word, int64_t& value) {
    const SDateWord* hit = nullptr;
    if (word.size() == 3 || (word.size() == 4 && word[3] == '.')) {
        for (const SDateWord& entry : kMonthsAndDays) {
            if (std::strncmp(entry.name, word.data(), 3) == 0) {
                hit = &entry;
                break;
            }
        }
    } else {
        hit = FindWord(kMonthsAndDays, word);
    }
    if (hit == nullptr) {
        hit = FindWord(kZones, word);
    }
    if (hit == nullptr) {
        hit = FindWord(kUnits, word);
    }
    if (hit == nullptr && word.size() > 1 && word.back() == 's') {
        hit = FindWord(kUnits, word.substr(0, word.size() - 1));
    }
    if (hit != nullptr) {
        value = hit->value;
        return hit->token;
    }

    char plain[kMaxWord + 1];
    std::size_t length = 0;
    for (char c : word) {
        if (c != '.') {
            plain[length++] = c;
        }
    }
    const std::string_view plainWord(plain, length);
    if (plainWord == "am" || plainWord == "pm") {
        value = plainWord == "am" ? MERAM : MERPM;
        return AMPM;
    }
    if (length != word.size()) {
        hit = FindWord(kZones, plainWord);
        if (hit != nullptr) {
            value = hit->value;
            return hit->token;
        }
    }
    // An unknown word reads as a zone at UTC: it is valid only after a time.
    value = 0;
    return ZONENAME;
}

// Skips the comment that starts at `text` (its "("). Comments nest; a backslash takes
// the next byte as it is. Returns false, with `text` at the fault, for a NUL (the text
// ends inside the comment), a CR or a byte of 128 or more, escaped or not.
bool SkipComment(const char*& text) {
    int depth = 1;
    ++text;
    for (;;) {
        unsigned char c = static_cast<unsigned char>(*text);
        if (c == '\\') {
            ++text;
            c = static_cast<unsigned char>(*text);
            if (c == '\0' || c == '\r' || c >= 128) {
                return false;
            }
            ++text;
            continue;
        }
        if (c == '\0' || c == '\r' || c >= 128) {
            return false;
        }
        ++text;
        if (c == '(') {
            ++depth;
        } else if (c == ')' && --depth == 0) {
            return true;
        }
    }
}

}  // namespace

int ScanDateToken(SDateParse& parse, int64_t& value) {
    const char*& text = parse.input;
    for (;;) {
        while (IsSpace(static_cast<unsigned char>(*text))) {
            ++text;
        }
        const unsigned char c = static_cast<unsigned char>(*text);

        if (c == '(') {
            if (!SkipComment(text)) {
                return '?';
            }
            continue;
        }

        if (IsDigit(c) || c == '+' || c == '-') {
            const bool isSigned = !IsDigit(c);
            if (isSigned) {
                ++text;
                if (!IsDigit(static_cast<unsigned char>(*text))) {
                    continue;  // a lone sign is skipped
                }
            }
            // A number too large for 64 bits cannot be a date field; it reads as a
            // character the grammar does not know.
            bool overflow = false;
            int64_t number = 0;
            for (; IsDigit(static_cast<unsigned char>(*text)); ++text) {
                overflow = overflow || __builtin_mul_overflow(number, 10, &number) ||
                           __builtin_add_overflow(number, *text - '0', &number);
            }
            if (overflow) {
                return '?';
            }
            value = c == '-' ? -number : number;
            return isSigned ? SIGNED : UNSIGNED;
        }

        if (IsAlpha(c)) {
            char word[kMaxWord];
            std::size_t length = 0;
            for (; IsAlpha(static_cast<unsigned char>(*text)) || *text == '.'; ++text) {
                if (length < kMaxWord) {
                    word[length++] = ToLower(static_cast<unsigned char>(*text));
                }
            }
            return LookUpWord(std::string_view(word, length), value);
        }

        if (c == '\0') {
            return 0;
        }
        ++text;
        return c;
    }
}
