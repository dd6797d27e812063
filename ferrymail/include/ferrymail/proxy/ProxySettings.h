// A table-driven group of named settings loaded into and saved from the fields of an
// object, through the registry: a general section per proxy and an optional specific
// section over it. Owned by the session or listener whose fields it fills; not shared.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "ferrymail/ferrymail_export.h"
#include "kinbook/foundation/Types.h"

// A pair of integers (a window position or size).
struct POINT {
    LONG x;
    LONG y;
};

// Setting types, each with the field type it fills.
enum SETTING_TYPE {
    ST_BOOLEAN = 0,  // int, 0 or 1; stored as a DWORD
    ST_INTEGER = 1,  // int; stored as a DWORD
    ST_STRING = 2,   // std::string; stored as a string
    ST_PAIR = 3      // POINT; stored as the string "%d,%d"
};

// One entry of a settings table; a table ends with an entry whose name is null.
struct SSetting {
    const char* name;         // the registry value name
    size_t offset;            // where the field lies in the target object
    int type;                 // SETTING_TYPE
    const char* defaultText;  // types 0, 2, 3: "TRUE"/"FALSE", the text, "%d,%d" (null: empty)
    int defaultNumber;        // type 1
};

class CProxySettings {
public:
    // The key below HKEY_CURRENT_USER that holds one subkey per section.
    static constexpr const char* kSettingsKey = "SOFTWARE\\Brevant\\Quillon\\Settings";

    // `table` must outlive the object (tables are static).
    CProxySettings(const char* section, const SSetting* table);
    CProxySettings(const CProxySettings&) = default;
    CProxySettings& operator=(const CProxySettings&) = default;
    virtual ~CProxySettings();

    // Fills every field of `target`: from the specific section, else the general one,
    // else the default. A non-null `specific` replaces the stored specific section name.
    void ReloadSettings(const char* specific, void* target);
    // Writes every field of `source` into `section` (null: the general section); the
    // keys are made when missing. Failures end the save silently.
    void SaveSettings(const char* section, const void* source);

    const std::string& GetSection() const { return m_section; }
    const std::string& GetSpecificSection() const { return m_specific; }

    // The default of one entry, stored into its field of `target`.
    static void SetDefault(const SSetting& setting, void* target);

private:
    std::string m_section;
    std::string m_specific;
    const SSetting* m_table;
};
