#include "filter/ListFile.h"

#include <climits>

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads a decimal number of at most nine digits at `at`; false when there is none.
bool ReadNumber(const std::string& line, size_t& at, int& value) {
    size_t begin = at;
    value = 0;
    while (at < line.size() && IsDigit(line[at])) {
        if (at - begin == 9)
            return false;
        value = value * 10 + (line[at] - '0');
        ++at;
    }
    return at > begin;
}

// At least one blank or tab, then any more; false when there is none.
bool SkipSeparator(const std::string& line, size_t& at) {
    if (at >= line.size() || !IsBlank(line[at]))
        return false;
    while (at < line.size() && IsBlank(line[at])) ++at;
    return true;
}

void ParseVersion1(const std::string& line,
                   const std::function<void(const std::string&, int, int)>& take) {
    size_t at = 0;
    int flags = 0;
    if (!ReadNumber(line, at, flags) || at >= line.size() || !IsBlank(line[at])) {
        take(line, 0, 0);
        return;
    }
    take(line.substr(at + 1), flags & 1, (flags & 2) / 2);
}

void ParseVersion2(const std::string& line,
                   const std::function<void(const std::string&, int, int)>& take) {
    size_t at = 0;
    int subjectFlags = 0;
    int contentFlags = 0;
    if (!ReadNumber(line, at, subjectFlags) || !SkipSeparator(line, at) ||
        !ReadNumber(line, at, contentFlags) || !SkipSeparator(line, at) || at >= line.size())
        return;
    take(line.substr(at), subjectFlags, contentFlags);
}

}  // namespace

std::vector<std::string> CListFile::CleanLines(const std::string& contents) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < contents.size()) {
        size_t end = contents.find('\n', at);
        if (end == std::string::npos)
            end = contents.size();
        std::string line = contents.substr(at, std::min(end - at, kMaxLine));
        at = end + 1;
        size_t begin = 0;
        while (begin < line.size() && IsBlank(line[begin])) ++begin;
        size_t hash = line.find('#', begin);
        size_t stop = hash == std::string::npos ? line.size() : hash;
        while (stop > begin && (IsBlank(line[stop - 1]) || line[stop - 1] == '\r')) --stop;
        lines.push_back(line.substr(begin, stop - begin));
    }
    return lines;
}

void CListFile::Parse(const std::string& contents,
                      const std::function<void(const std::string&, int, int)>& take) {
    std::vector<std::string> lines = CleanLines(contents);
    if (lines.empty())
        return;
    const int version = lines[0] == "1" ? 1 : lines[0] == "2" ? 2 : 0;
    for (size_t i = version == 0 ? 0 : 1; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        if (line.empty())
            continue;
        if (version == 1)
            ParseVersion1(line, take);
        else if (version == 2)
            ParseVersion2(line, take);
        else
            take(line, 0, 0);
    }
}

std::string CListFile::Header() {
    std::string text = "2\n# " QUILLON_VERSION_TEXT "\n# Do not edit!\n#\n";
    text += "# Format of this file:\n#\n";
    text += "#  The 2 on the first line of this file is the version number.\n#\n";
    text +=
        "#   +--- Subject search flags\n"
        "#   |\n"
        "#   | +- content search flags\n"
        "#   | |\n"
        "#   | |\t+ Search string\n"
        "#   | |\t|\n"
        "#   1 3\tFree\n"
        "#\n"
        "# Flags are or'ed together:\n"
        "#\n";
    text +=
        "#  1 search for this string\n"
        "#  2 whole word only\n"
        "#  4 match case\n"
        "#  8 fuzzy match\n"
        "\n";
    return text;
}

std::string CListFile::EntryLine(int subjectFlags, int contentFlags, const std::string& display) {
    return std::to_string(subjectFlags) + " " + std::to_string(contentFlags) + "\t" + display +
           "\n";
}

std::vector<int> CListFile::ParseHits(const std::string& contents) {
    std::vector<int> hits;
    for (const std::string& line : CleanLines(contents)) {
        size_t at = 0;
        long long value = 0;
        while (at < line.size() && IsDigit(line[at]) && value <= INT_MAX)
            value = value * 10 + (line[at++] - '0');
        if (at == 0 || at != line.size())
            continue;
        hits.push_back(value > INT_MAX ? INT_MAX : static_cast<int>(value));
    }
    return hits;
}
