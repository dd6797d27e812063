#include "ferrymail/proxy/ProxySettings.h"

#include <cstdio>

#include "kinbook/foundation/Registry.h"
#include "kinbook/foundation/RegistryKey.h"
#include "kinbook/foundation/TextHelpers.h"

namespace {

template <typename T>
T& Field(void* target, const SSetting& setting) {
    return *reinterpret_cast<T*>(static_cast<char*>(target) + setting.offset);
}

template <typename T>
const T& Field(const void* source, const SSetting& setting) {
    return *reinterpret_cast<const T*>(static_cast<const char*>(source) + setting.offset);
}

// "%d,%d"; what does not read stays 0.
POINT ParsePair(const char* text) {
    int x = 0;
    int y = 0;
    if (text != nullptr)
        std::sscanf(text, "%d,%d", &x, &y);
    return POINT{x, y};
}

// The value of `setting` from `key` into its field; false when the key lacks it.
bool ReadSetting(CRegistryKey& key, const SSetting& setting, void* target) {
    if (!key.IsOpen())
        return false;
    switch (setting.type) {
    case ST_BOOLEAN:
    case ST_INTEGER: {
        DWORD value = 0;
        if (!key.QueryValue(setting.name, value))
            return false;
        if (setting.type == ST_BOOLEAN)
            Field<int>(target, setting) = value != 0 ? 1 : 0;
        else
            Field<int>(target, setting) = static_cast<int>(value);
        return true;
    }
    case ST_STRING: {
        std::string value;
        if (!key.QueryValue(setting.name, value))
            return false;
        Field<std::string>(target, setting) = value;
        return true;
    }
    case ST_PAIR: {
        std::string value;
        if (!key.QueryValue(setting.name, value))
            return false;
        Field<POINT>(target, setting) = ParsePair(value.c_str());
        return true;
    }
    default:
        return false;
    }
}

}  // namespace

CProxySettings::CProxySettings(const char* section, const SSetting* table)
    : m_section(section != nullptr ? section : ""), m_table(table) {}

CProxySettings::~CProxySettings() = default;

void CProxySettings::SetDefault(const SSetting& setting, void* target) {
    switch (setting.type) {
    case ST_BOOLEAN:
        Field<int>(target, setting) =
            setting.defaultText != nullptr && CompareNoCase(setting.defaultText, "TRUE") == 0;
        break;
    case ST_INTEGER:
        Field<int>(target, setting) = setting.defaultNumber;
        break;
    case ST_STRING:
        Field<std::string>(target, setting) =
            setting.defaultText != nullptr ? setting.defaultText : "";
        break;
    case ST_PAIR:
        Field<POINT>(target, setting) = ParsePair(setting.defaultText);
        break;
    default:
        break;
    }
}

void CProxySettings::ReloadSettings(const char* specific, void* target) {
    if (specific != nullptr)
        m_specific = specific;
    if (m_table == nullptr)
        return;
    CRegistryKey root;
    CRegistryKey general;
    CRegistryKey special;
    if (root.Open(HKEY_CURRENT_USER, kSettingsKey, KEY_READ)) {
        if (!m_section.empty())
            general.Open(root, m_section.c_str(), KEY_READ);
        if (!m_specific.empty())
            special.Open(root, m_specific.c_str(), KEY_READ);
    }
    for (const SSetting* setting = m_table; setting->name != nullptr; ++setting) {
        if (!ReadSetting(special, *setting, target) && !ReadSetting(general, *setting, target))
            SetDefault(*setting, target);
    }
}

void CProxySettings::SaveSettings(const char* section, const void* source) {
    if (m_table == nullptr)
        return;
    const char* name = section != nullptr ? section : m_section.c_str();
    // The settings key is made when missing, so that a first save on a new system is
    // not lost.
    CRegistryKey root;
    if (!root.Create(HKEY_CURRENT_USER, kSettingsKey, KEY_ALL_ACCESS))
        return;
    CRegistryKey key;
    if (!key.Create(root, name, KEY_ALL_ACCESS))
        return;
    for (const SSetting* setting = m_table; setting->name != nullptr; ++setting) {
        switch (setting->type) {
        case ST_BOOLEAN:
            key.SetValue(setting->name, Field<int>(source, *setting) != 0 ? 1 : 0);
            break;
        case ST_INTEGER:
            key.SetValue(setting->name, Field<int>(source, *setting));
            break;
        case ST_STRING:
            key.SetValue(setting->name, Field<std::string>(source, *setting).c_str());
            break;
        case ST_PAIR: {
            const POINT& pair = Field<POINT>(source, *setting);
            char text[32];
            std::snprintf(text, sizeof(text), "%d,%d", pair.x, pair.y);
            key.SetValue(setting->name, text);
            break;
        }
        default:
            break;
        }
    }
}
