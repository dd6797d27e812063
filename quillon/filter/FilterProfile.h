// The filter's values in the user's profile, HKEY_CURRENT_USER "Software\Brevant\Quillon"
// and a section below it ("Settings", "Settings\Evil Filter", ...). Free functions over
// the registry; safe from any thread (the registry has its own lock).
#pragma once

#include <string>

inline constexpr const char kProfileRoot[] = "Software\\Brevant\\Quillon";
inline constexpr const char kSettingsSection[] = "Settings";

// The integer `value` of `section`, or `fallback` when it is missing or not a number.
int ReadProfileInt(const std::string& section, const char* value, int fallback);
// The text `value` of `section`; `fallback` when it is missing or not text.
std::string ReadProfileText(const std::string& section, const char* value,
                            const std::string& fallback);
// Write one value, creating the section; false when the registry cannot be written.
bool WriteProfileInt(const std::string& section, const char* value, int number);
bool WriteProfileText(const std::string& section, const char* value, const std::string& text);
