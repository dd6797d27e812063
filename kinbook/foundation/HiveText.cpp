#include "foundation/HiveText.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char kFirstLine[] = "QUILLON-REGISTRY 1";

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Quoted text: `\\`, `\"` and `\xHH` for control bytes and DEL; other bytes as they are.
void AppendQuoted(std::string& out, const char* bytes, size_t length) {
    out += '"';
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

void AppendPath(std::string& out, const std::vector<const std::string*>& path) {
    for (size_t i = 0; i < path.size(); ++i) {
        if (i > 0)
            out += '\\';
        out += *path[i];
    }
}

bool IsPlainString(const SValue& value) {
    if (value.data.empty() || value.data.back() != 0)
        return false;
    return std::memchr(value.data.data(), 0, value.data.size() - 1) == nullptr;
}

void AppendValue(std::string& out, const std::string& name, const SValue& value) {
    if (name.empty())
        out += '@';
    else
        AppendQuoted(out, name.data(), name.size());
    out += '=';
    const char* bytes = reinterpret_cast<const char*>(value.data.data());
    if ((value.type == REG_SZ || value.type == REG_EXPAND_SZ) && IsPlainString(value)) {
        out += value.type == REG_SZ ? "sz:" : "expand:";
        AppendQuoted(out, bytes, value.data.size() - 1);
    } else if (value.type == REG_DWORD && value.data.size() == 4) {
        DWORD number;
        std::memcpy(&number, value.data.data(), 4);
        char text[20];
        std::snprintf(text, sizeof text, "dword:%08x", number);
        out += text;
    } else {
        char prefix[24];
        if (value.type == REG_BINARY)
            std::snprintf(prefix, sizeof prefix, "hex:");
        else
            std::snprintf(prefix, sizeof prefix, "hex(%u):", value.type);
        out += prefix;
        for (size_t i = 0; i < value.data.size(); ++i) {
            char hex[4];
            std::snprintf(hex, sizeof hex, i == 0 ? "%02x" : ",%02x", value.data[i]);
            out += hex;
        }
    }
    out += '\n';
}

void AppendKey(std::string& out, const SKeyNode& node, std::vector<const std::string*>& path) {
    if (!path.empty() || !node.values.empty()) {
        out += "\n[";
        AppendPath(out, path);
        out += "]\n";
        for (const auto& [name, value] : node.values)
            AppendValue(out, name, value);
    }
    for (const auto& [name, child] : node.subkeys) {
        path.push_back(&name);
        AppendKey(out, *child, path);
        path.pop_back();
    }
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = Lower(c);
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Reads a quoted text at `*at`; leaves `*at` past the closing quote.
bool ReadQuoted(const std::string& line, size_t* at, std::string& out) {
    if (*at >= line.size() || line[*at] != '"')
        return false;
    for (size_t i = *at + 1; i < line.size(); ++i) {
        char c = line[i];
        if (c == '"') {
            *at = i + 1;
            return true;
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i >= line.size())
            return false;
        if (line[i] == '\\' || line[i] == '"') {
            out += line[i];
        } else if (line[i] == 'x' && i + 2 < line.size() && HexDigit(line[i + 1]) >= 0 &&
                   HexDigit(line[i + 2]) >= 0) {
            out += static_cast<char>(HexDigit(line[i + 1]) * 16 + HexDigit(line[i + 2]));
            i += 2;
        } else {
            return false;
        }
    }
    return false;
}

bool ReadHexBytes(const std::string& text, std::vector<BYTE>& out) {
    size_t i = 0;
    while (i < text.size()) {
        if (i + 1 >= text.size() || HexDigit(text[i]) < 0 || HexDigit(text[i + 1]) < 0)
            return false;
        out.push_back(static_cast<BYTE>(HexDigit(text[i]) * 16 + HexDigit(text[i + 1])));
        i += 2;
        if (i < text.size()) {
            if (text[i] != ',' || i + 1 >= text.size())
                return false;
            ++i;
        }
    }
    return true;
}

bool ReadValueData(const std::string& text, SValue& value) {
    auto startsWith = [&](const char* prefix) { return text.compare(0, std::strlen(prefix), prefix) == 0; };
    if (startsWith("sz:") || startsWith("expand:")) {
        value.type = startsWith("sz:") ? REG_SZ : REG_EXPAND_SZ;
        size_t at = text.find(':') + 1;
        std::string content;
        if (!ReadQuoted(text, &at, content) || at != text.size())
            return false;
        value.data.assign(content.begin(), content.end());
        value.data.push_back(0);
        return true;
    }
    if (startsWith("dword:")) {
        std::string digits = text.substr(6);
        if (digits.size() != 8)
            return false;
        DWORD number = 0;
        for (char c : digits) {
            if (HexDigit(c) < 0)
                return false;
            number = number * 16 + static_cast<DWORD>(HexDigit(c));
        }
        value.type = REG_DWORD;
        value.data.resize(4);
        std::memcpy(value.data.data(), &number, 4);
        return true;
    }
    if (startsWith("hex:")) {
        value.type = REG_BINARY;
        return ReadHexBytes(text.substr(4), value.data);
    }
    if (startsWith("hex(")) {
        size_t close = text.find("):");
        if (close == std::string::npos || close == 4)
            return false;
        DWORD type = 0;
        for (size_t i = 4; i < close; ++i) {
            if (text[i] < '0' || text[i] > '9' || type > 100000000)
                return false;
            type = type * 10 + static_cast<DWORD>(text[i] - '0');
        }
        value.type = type;
        return ReadHexBytes(text.substr(close + 2), value.data);
    }
    return false;
}

SKeyNode* KeyForSection(SKeyNode& root, const std::string& path) {
    SKeyNode* node = &root;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos)
            end = path.size();
        std::string level = path.substr(start, end - start);
        if (level.empty())
            return nullptr;
        for (unsigned char c : level)
            if (c < 0x20 || c == 0x7F)
                return nullptr;
        auto& child = node->subkeys[level];
        if (!child)
            child = std::make_unique<SKeyNode>();
        node = child.get();
        start = end + 1;
    }
    return node;
}

}  // namespace

bool SLessNoCase::operator()(const std::string& a, const std::string& b) const {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(Lower(a[i]));
        unsigned char y = static_cast<unsigned char>(Lower(b[i]));
        if (x != y)
            return x < y;
    }
    return a.size() < b.size();
}

std::string FormatHiveText(const std::string& hiveName, const SKeyNode& root) {
    std::string out = kFirstLine;
    out += "\n; ";
    out += hiveName;
    out += " of Quillon's registry (see docs/registry-format.md)\n";
    std::vector<const std::string*> path;
    AppendKey(out, root, path);
    return out;
}

bool ParseHiveText(const std::string& text, SKeyNode& root, std::string& error) {
    root = SKeyNode();
    SKeyNode* current = nullptr;
    size_t start = 0;
    int lineNumber = 0;
    bool sawFirstLine = false;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        auto fail = [&](const char* why) {
            error = "line " + std::to_string(lineNumber) + ": " + why;
            return false;
        };
        if (!sawFirstLine) {
            if (line != kFirstLine)
                return fail("not a Quillon registry hive (first line must be \"QUILLON-REGISTRY 1\")");
            sawFirstLine = true;
            continue;
        }
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == ';' || line[first] == '#')
            continue;
        line.erase(0, first);
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        if (line[0] == '[') {
            if (line.back() != ']')
                return fail("a key line must end with ']'");
            current = KeyForSection(root, line.substr(1, line.size() - 2));
            if (current == nullptr)
                return fail("bad key path");
            continue;
        }
        if (current == nullptr)
            return fail("a value before the first key line");
        std::string name;
        size_t at = 0;
        if (line[0] == '@') {
            at = 1;
        } else if (!ReadQuoted(line, &at, name)) {
            return fail("a value name must be quoted");
        }
        if (at >= line.size() || line[at] != '=')
            return fail("'=' expected after the value name");
        SValue value;
        if (!ReadValueData(line.substr(at + 1), value))
            return fail("value data does not read (sz:\"...\", expand:\"...\", dword:XXXXXXXX, hex:..)");
        current->values[name] = std::move(value);
    }
    if (!sawFirstLine) {
        error = "empty file";
        return false;
    }
    return true;
}
