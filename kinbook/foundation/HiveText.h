// The text form of a registry hive (docs/registry-format.md): the key tree in memory,
// and the reader and writer of the hive file. Used by the registry under its hive lock.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kinbook/foundation/Types.h"

// Orders names without regard to ASCII case, as key and value names compare.
struct SLessNoCase {
    bool operator()(const std::string& a, const std::string& b) const;
};

struct SValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct SKeyNode {
    std::map<std::string, std::unique_ptr<SKeyNode>, SLessNoCase> subkeys;
    std::map<std::string, SValue, SLessNoCase> values;

    SKeyNode() = default;
    SKeyNode(SKeyNode&&) = default;
    SKeyNode& operator=(SKeyNode&&) = default;
};

// Reads a hive file's text into `root`; false with `error` ("line N: ...") when any
// line does not read (nothing is guessed).
bool ParseHiveText(const std::string& text, SKeyNode& root, std::string& error);
// The file text of a hive named `hiveName`.
std::string FormatHiveText(const std::string& hiveName, const SKeyNode& root);
