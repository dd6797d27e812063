// One open registry key. Not shared between threads (its owner's lock guards it).
// Every operation stores the registry's result code in GetLastResult().
#pragma once

#include <string>
#include <vector>

#include "kinbook/foundation/Registry.h"
#include "kinbook/foundation/RegistryBatch.h"
#include "kinbook/foundation/Types.h"
#include "kinbook/kinbook_export.h"

class KINBOOK_API CRegistryKey {
public:
    CRegistryKey() = default;
    virtual ~CRegistryKey();
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    operator HKEY() const { return m_key; }
    LONG GetLastResult() const { return m_lastResult; }
    bool IsOpen() const { return m_key != nullptr; }
    const std::string& GetPath() const { return m_path; }

    BOOL Open(HKEY parent, const char* path, DWORD access = KEY_ALL_ACCESS);
    BOOL Create(HKEY parent, const char* path, DWORD access = KEY_ALL_ACCESS);
    // Opens `path`, creating each missing level on the way.
    BOOL OpenCarefully(HKEY parent, const char* path, DWORD access = KEY_ALL_ACCESS);
    BOOL Close();

    // REG_SZ, and REG_EXPAND_SZ with its %NAME% references expanded. With `lenient`,
    // also a REG_BINARY holding UTF-16 text (converted to UTF-8) and a REG_DWORD whose
    // raw bytes are taken as text.
    BOOL QueryValue(const char* name, std::string& value, BOOL lenient = FALSE);
    BOOL QueryValue(const char* name, DWORD& value);  // REG_DWORD only
    // REG_DWORD only; otherwise 0, and `value` becomes 0 when `zeroIfMissing`.
    BOOL QueryValue(const char* name, int& value, BOOL zeroIfMissing);
    BOOL QueryValue(const char* name, double& value);  // 8-byte REG_BINARY
    BOOL QueryValue(const char* name, std::vector<BYTE>& data);  // REG_BINARY

    BOOL SetValue(const char* name, const char* text, BOOL expandable = FALSE);
    BOOL SetValue(const char* name, int value);
    BOOL SetValue(const char* name, double value);
    BOOL SetValue(const char* name, const std::vector<BYTE>& data);

    // Name of subkey `index` and 1; otherwise 0, with `done` set to 1 when there are no
    // more subkeys or the key could not be asked.
    BOOL EnumKey(DWORD index, std::string& name, BOOL& done);
    BOOL DeleteKey(const char* name);
    BOOL DeleteValue(const char* name);

private:
    BOOL OpenKey(HKEY parent, const char* path, DWORD access, bool create);
    BOOL Result(LONG code);
    bool RefreshLengths();

    HKEY m_key = nullptr;
    HKEY m_parent = nullptr;
    std::string m_path;
    DWORD m_access = 0;
    DWORD m_maxValueLength = 0;    // 0: not asked yet
    DWORD m_maxSubKeyLength = 0;   // 0: not asked yet
    LONG m_lastResult = ERROR_SUCCESS;
};
