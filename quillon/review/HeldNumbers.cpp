#include "review/HeldNumbers.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <unordered_map>

#include "kinbook/foundation/Paths.h"

namespace {

constexpr const char kNextWord[] = "next";

// A UIDL is printable ASCII (RFC 1939); anything else, blanks and '%' are written %XX
// so that a line always splits at its tab.
std::string Escape(const std::string& uidl) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : uidl) {
        if (c <= 0x20 || c >= 0x7F || c == '%') {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() &&
            std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// A positive decimal number that fits an int, or 0.
int ParseNumber(const std::string& text) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return 0;
    const long long value = std::atoll(text.c_str());
    return value > 0 && value <= INT_MAX ? static_cast<int>(value) : 0;
}

struct SNumberFile {
    int next = 1;
    std::unordered_map<std::string, int> numbers;
};

// Lines that do not read are skipped; the next number is never below one past the
// highest number read, so a damaged "next" line cannot make a number be given twice.
SNumberFile ReadNumberFile(const std::string& path) {
    SNumberFile file;
    std::unordered_map<int, int> uses;  // number -> lines that give it
    std::string contents;
    if (!ReadWholeFile(path, contents))
        return file;
    std::istringstream lines(contents);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos)
            continue;
        const std::string first = line.substr(0, tab), second = line.substr(tab + 1);
        if (first == kNextWord) {
            file.next = std::max(file.next, ParseNumber(second));
        } else if (const int number = ParseNumber(first); number > 0 && !second.empty()) {
            if (number < INT_MAX)
                file.next = std::max(file.next, number + 1);
            file.numbers[Unescape(second)] = number;
            ++uses[number];
        }
    }
    // A number that two messages have cannot tell them apart: both get new ones.
    std::erase_if(file.numbers, [&uses](const auto& entry) { return uses[entry.second] > 1; });
    return file;
}

}  // namespace

bool CHeldNumbers::Assign(const std::vector<std::string>& held, std::vector<int>& numbers,
                          std::string& error) {
    SNumberFile file = ReadNumberFile(m_path);
    bool changed = file.numbers.size() != held.size();
    numbers.clear();
    std::string text = std::string(kNextWord) + "\t";
    std::string entries;
    for (const std::string& uidl : held) {
        auto found = file.numbers.find(uidl);
        int number = 0;
        if (found != file.numbers.end()) {
            number = found->second;
        } else {
            number = file.next < INT_MAX ? file.next++ : INT_MAX;
            changed = true;
        }
        numbers.push_back(number);
        entries += std::to_string(number) + "\t" + Escape(uidl) + "\n";
    }
    if (!changed)
        return true;
    text += std::to_string(file.next) + "\n" + entries;
    if (const int failure = WriteFileAtomically(m_path, text); failure != 0) {
        error = "cannot write " + m_path + ": " + std::strerror(failure);
        return false;
    }
    return true;
}
