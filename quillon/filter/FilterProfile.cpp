#include "filter/FilterProfile.h"

#include "kinbook/foundation/RegistryKey.h"

namespace {

std::string KeyPath(const std::string& section) {
    return section.empty() ? std::string(kProfileRoot) : std::string(kProfileRoot) + "\\" + section;
}

}  // namespace

int ReadProfileInt(const std::string& section, const char* value, int fallback) {
    CRegistryKey key;
    int number = 0;
    if (!key.Open(HKEY_CURRENT_USER, KeyPath(section).c_str(), KEY_READ) ||
        !key.QueryValue(value, number, FALSE))
        return fallback;
    return number;
}

std::string ReadProfileText(const std::string& section, const char* value,
                            const std::string& fallback) {
    CRegistryKey key;
    std::string text;
    if (!key.Open(HKEY_CURRENT_USER, KeyPath(section).c_str(), KEY_READ) ||
        !key.QueryValue(value, text))
        return fallback;
    return text;
}

bool WriteProfileInt(const std::string& section, const char* value, int number) {
    CRegistryKey key;
    return key.OpenCarefully(HKEY_CURRENT_USER, KeyPath(section).c_str()) &&
           key.SetValue(value, number);
}

bool WriteProfileText(const std::string& section, const char* value, const std::string& text) {
    CRegistryKey key;
    return key.OpenCarefully(HKEY_CURRENT_USER, KeyPath(section).c_str()) &&
           key.SetValue(value, text.c_str());
}
