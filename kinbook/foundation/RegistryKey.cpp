#include "kinbook/foundation/RegistryKey.h"

#include <cstring>

CRegistryKey::~CRegistryKey() { Close(); }

BOOL CRegistryKey::Result(LONG code) {
    m_lastResult = code;
    return code == ERROR_SUCCESS;
}

BOOL CRegistryKey::OpenKey(HKEY parent, const char* path, DWORD access, bool create) {
    Close();
    HKEY key = nullptr;
    LONG code = create ? RegCreateKeyEx(parent, path, access, &key)
                       : RegOpenKeyEx(parent, path, access, &key);
    if (!Result(code))
        return FALSE;
    m_key = key;
    m_parent = parent;
    m_access = access;
    m_path = path != nullptr ? path : "";
    return TRUE;
}

BOOL CRegistryKey::Open(HKEY parent, const char* path, DWORD access) {
    return OpenKey(parent, path, access, false);
}

BOOL CRegistryKey::Create(HKEY parent, const char* path, DWORD access) {
    return OpenKey(parent, path, access, true);
}

BOOL CRegistryKey::OpenCarefully(HKEY parent, const char* path, DWORD access) {
    if (Open(parent, path, access))
        return TRUE;
    const char* slash = path != nullptr ? std::strchr(path, '\\') : nullptr;
    if (slash == nullptr)
        return Create(parent, path, access);
    CRegistryKey level;
    std::string first(path, slash);
    if (!level.Create(parent, first.c_str(), KEY_ALL_ACCESS)) {
        m_lastResult = level.m_lastResult;
        return FALSE;
    }
    if (!OpenCarefully(level, slash + 1, access))
        return FALSE;
    // The intermediate key closes with `level`; record the path from the caller's parent.
    m_parent = parent;
    m_path = path;
    return TRUE;
}

BOOL CRegistryKey::Close() {
    bool wasOpen = m_key != nullptr;
    LONG code = wasOpen ? RegCloseKey(m_key) : ERROR_INVALID_HANDLE;
    m_key = nullptr;
    m_maxValueLength = 0;
    m_maxSubKeyLength = 0;
    return Result(code) && wasOpen;
}

bool CRegistryKey::RefreshLengths() {
    DWORD maxSubKey = 0, maxValue = 0;
    if (!Result(RegQueryInfoKey(m_key, nullptr, &maxSubKey, nullptr, nullptr, &maxValue)))
        return false;
    m_maxSubKeyLength = maxSubKey;
    m_maxValueLength = maxValue;
    return true;
}

namespace {

// Reads value `name` whole into `data`; the type into `type`.
LONG ReadValue(HKEY key, const char* name, DWORD& type, std::vector<BYTE>& data) {
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = 0;
        LONG code = RegQueryValueEx(key, name, &type, nullptr, &size);
        if (code != ERROR_SUCCESS)
            return code;
        data.resize(size);
        code = RegQueryValueEx(key, name, &type, data.data(), &size);
        if (code == ERROR_MORE_DATA)
            continue;  // another writer made it longer in between
        if (code == ERROR_SUCCESS)
            data.resize(size);
        return code;
    }
    return ERROR_MORE_DATA;
}

// UTF-16LE text up to its first zero character, as UTF-8.
std::string Utf16ToUtf8(const std::vector<BYTE>& data) {
    std::string out;
    size_t units = data.size() / 2;
    for (size_t i = 0; i < units; ++i) {
        uint32_t c = data[2 * i] | (data[2 * i + 1] << 8);
        if (c == 0)
            break;
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units) {
            uint32_t low = data[2 * i + 2] | (data[2 * i + 3] << 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            } else {
                c = 0xFFFD;
            }
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// The bytes up to the first zero byte.
std::string TextOf(const std::vector<BYTE>& data) {
    const char* bytes = reinterpret_cast<const char*>(data.data());
    return std::string(bytes, strnlen(bytes, data.size()));
}

}  // namespace

BOOL CRegistryKey::QueryValue(const char* name, std::string& value, BOOL lenient) {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    if (!Result(ReadValue(m_key, name, type, data)))
        return FALSE;
    switch (type) {
        case REG_SZ:
            value = TextOf(data);
            return TRUE;
        case REG_EXPAND_SZ:
            value = ExpandEnvironmentStrings(TextOf(data));
            return TRUE;
        case REG_BINARY:
            if (!lenient)
                return FALSE;
            value = Utf16ToUtf8(data);
            return TRUE;
        case REG_DWORD:
            if (!lenient)
                return FALSE;
            value = TextOf(data);
            return TRUE;
        default:
            return FALSE;
    }
}

BOOL CRegistryKey::QueryValue(const char* name, DWORD& value) {
    DWORD type = REG_NONE;
    BYTE bytes[4] = {};
    DWORD size = sizeof bytes;
    if (!Result(RegQueryValueEx(m_key, name, &type, bytes, &size)) || type != REG_DWORD ||
        size != 4)
        return FALSE;
    std::memcpy(&value, bytes, 4);
    return TRUE;
}

BOOL CRegistryKey::QueryValue(const char* name, int& value, BOOL zeroIfMissing) {
    DWORD number = 0;
    if (QueryValue(name, number)) {
        value = static_cast<int>(number);
        return TRUE;
    }
    if (zeroIfMissing)
        value = 0;
    return FALSE;
}

BOOL CRegistryKey::QueryValue(const char* name, double& value) {
    DWORD type = REG_NONE;
    BYTE bytes[8] = {};
    DWORD size = sizeof bytes;
    if (!Result(RegQueryValueEx(m_key, name, &type, bytes, &size)) || type != REG_BINARY ||
        size != 8)
        return FALSE;
    std::memcpy(&value, bytes, 8);
    return TRUE;
}

BOOL CRegistryKey::QueryValue(const char* name, std::vector<BYTE>& data) {
    if (m_maxValueLength == 0 && m_key != nullptr)
        RefreshLengths();
    DWORD type = REG_NONE;
    data.resize(m_maxValueLength);
    DWORD size = m_maxValueLength;
    LONG code = RegQueryValueEx(m_key, name, &type, data.data(), &size);
    if (code == ERROR_MORE_DATA && RefreshLengths())
        code = ReadValue(m_key, name, type, data), size = static_cast<DWORD>(data.size());
    if (!Result(code) || type != REG_BINARY) {
        data.clear();
        return FALSE;
    }
    data.resize(size);
    return TRUE;
}

BOOL CRegistryKey::SetValue(const char* name, const char* text, BOOL expandable) {
    const char* bytes = text != nullptr ? text : "";
    return Result(RegSetValueEx(m_key, name, expandable ? REG_EXPAND_SZ : REG_SZ,
                                reinterpret_cast<const BYTE*>(bytes),
                                static_cast<DWORD>(std::strlen(bytes) + 1)));
}

BOOL CRegistryKey::SetValue(const char* name, int value) {
    DWORD number = static_cast<DWORD>(value);
    BYTE bytes[4];
    std::memcpy(bytes, &number, 4);
    return Result(RegSetValueEx(m_key, name, REG_DWORD, bytes, 4));
}

BOOL CRegistryKey::SetValue(const char* name, double value) {
    BYTE bytes[8];
    std::memcpy(bytes, &value, 8);
    return Result(RegSetValueEx(m_key, name, REG_BINARY, bytes, 8));
}

BOOL CRegistryKey::SetValue(const char* name, const std::vector<BYTE>& data) {
    return Result(RegSetValueEx(m_key, name, REG_BINARY, data.data(),
                                static_cast<DWORD>(data.size())));
}

BOOL CRegistryKey::EnumKey(DWORD index, std::string& name, BOOL& done) {
    if (m_maxSubKeyLength == 0 && !RefreshLengths()) {
        done = TRUE;
        return FALSE;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::vector<char> buffer(m_maxSubKeyLength + 1);
        DWORD size = static_cast<DWORD>(buffer.size());
        LONG code = RegEnumKeyEx(m_key, index, buffer.data(), &size);
        if (code == ERROR_MORE_DATA && attempt == 0 && RefreshLengths())
            continue;  // a longer name was added since the length was asked
        if (Result(code)) {
            name.assign(buffer.data(), size);
            return TRUE;
        }
        if (code == ERROR_NO_MORE_ITEMS)
            done = TRUE;
        return FALSE;
    }
    return FALSE;
}

BOOL CRegistryKey::DeleteKey(const char* name) { return Result(RegDeleteKey(m_key, name)); }

BOOL CRegistryKey::DeleteValue(const char* name) { return Result(RegDeleteValue(m_key, name)); }
