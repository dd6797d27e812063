#include "kinbook/foundation/Registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "foundation/HiveText.h"
#include "kinbook/foundation/FoundationLog.h"
#include "kinbook/foundation/Paths.h"
#include "kinbook/foundation/Sync.h"

// A handle names a key by its hive and path; every call finds the key again, so a key
// deleted through another handle (or by another process) gives ERROR_KEY_DELETED.
struct SRegistryHandle {
    int hive;
    std::vector<std::string> path;
    DWORD access;
    bool predefined;
};

namespace {

SRegistryHandle s_currentUser{0, {}, KEY_ALL_ACCESS, true};
SRegistryHandle s_localMachine{1, {}, KEY_ALL_ACCESS, true};

}  // namespace

HKEY const HKEY_CURRENT_USER = &s_currentUser;
HKEY const HKEY_LOCAL_MACHINE = &s_localMachine;

namespace {

const char* const kHiveNames[] = {"HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE"};

// What identifies one version of a hive file; a rename gives a new inode.
struct SFileIdentity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};

    bool operator==(const SFileIdentity& other) const {
        return exists == other.exists && device == other.device && inode == other.inode &&
               size == other.size && modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec;
    }
};

SFileIdentity IdentityOf(const std::string& path) {
    SFileIdentity identity;
    struct stat info;
    if (stat(path.c_str(), &info) == 0) {
        identity.exists = true;
        identity.device = info.st_dev;
        identity.inode = info.st_ino;
        identity.size = info.st_size;
        identity.modified = info.st_mtim;
    }
    return identity;
}

// One hive: the key tree in memory and its file. m_mutex serialises the threads of
// this process; an flock on the lock file serialises processes. Before each call the
// tree is read again when the file has changed since this process last saw it.
class CHive {
public:
    CHive(const char* name, const std::string& folder)
        : m_name(name),
          m_folder(folder),
          m_file(folder.empty() ? std::string() : folder + "/" + name + ".reg"),
          m_lockFile(folder.empty() ? std::string() : folder + "/" + name + ".lock") {}

    ~CHive() {
        if (m_lockFd >= 0)
            close(m_lockFd);
    }

    // Runs `operation` on the current tree. With `write`, the tree is saved afterwards
    // when the operation succeeded and reported a change; a failed save reloads the file
    // so memory never holds what the disk does not.
    template <typename Operation>
    LONG Run(bool write, Operation&& operation) {
        CLock guard(&m_mutex);
        if (m_batchDepth > 0) {
            // The batch holds the file exclusively: changes are saved when it ends.
            bool changed = false;
            LONG result = operation(m_root, changed);
            if (write && result == ERROR_SUCCESS && changed)
                m_batchChanged = true;
            return result;
        }
        FileLock lock(*this, write);
        Refresh(lock);
        bool changed = false;
        LONG result = operation(m_root, changed);
        if (write && result == ERROR_SUCCESS && changed)
            result = Save();
        return result;
    }

    // Until the matching EndBatch, this thread's calls share one lock of the file and one
    // save at the end; other threads and processes wait.
    void BeginBatch() {
        m_mutex.GetLock();
        if (m_batchDepth++ == 0) {
            m_batchLock = std::make_unique<FileLock>(*this, true);
            Refresh(*m_batchLock);
            m_batchChanged = false;
        }
    }

    LONG EndBatch() {
        LONG result = ERROR_SUCCESS;
        if (--m_batchDepth == 0) {
            if (m_batchChanged)
                result = Save();
            m_batchLock.reset();
        }
        m_mutex.ReleaseLock();
        return result;
    }

private:
    class FileLock {
    public:
        FileLock(CHive& hive, bool exclusive) : m_hive(hive), m_exclusive(exclusive) {
            if (hive.m_lockFd < 0 && !hive.m_lockFile.empty())
                hive.m_lockFd = open(hive.m_lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            if (hive.m_lockFd >= 0)
                Take(exclusive);
        }
        ~FileLock() {
            if (m_hive.m_lockFd >= 0)
                flock(m_hive.m_lockFd, LOCK_UN);
        }
        void MakeExclusive() {
            if (!m_exclusive && m_hive.m_lockFd >= 0)
                Take(true);
            m_exclusive = true;
        }

    private:
        void Take(bool exclusive) {
            while (flock(m_hive.m_lockFd, exclusive ? LOCK_EX : LOCK_SH) != 0 && errno == EINTR) {
            }
        }
        CHive& m_hive;
        bool m_exclusive;
    };

    void Refresh(FileLock& lock) {
        if (m_file.empty())
            return;
        SFileIdentity identity = IdentityOf(m_file);
        if (m_loaded && identity == m_identity)
            return;
        std::string text;
        std::string error;
        SKeyNode tree;
        if (!identity.exists) {
            m_root = SKeyNode();
        } else if (ReadWholeFile(m_file, text) && ParseHiveText(text, tree, error)) {
            m_root = std::move(tree);
        } else {
            // Another process may be half-way through nothing (saves are atomic), but it
            // may hold the file open for reading: decide under the exclusive lock.
            lock.MakeExclusive();
            identity = IdentityOf(m_file);
            if (identity.exists && ReadWholeFile(m_file, text) && ParseHiveText(text, tree, error)) {
                m_root = std::move(tree);
            } else if (identity.exists) {
                PutAside(error);
                m_root = SKeyNode();
                identity = IdentityOf(m_file);
            } else {
                m_root = SKeyNode();
            }
        }
        m_identity = identity;
        m_loaded = true;
    }

    void PutAside(const std::string& error) {
        char stamp[32];
        time_t now = time(nullptr);
        tm local;
        localtime_r(&now, &local);
        strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
        std::string aside = m_file + ".corrupt-" + stamp + "-" + std::to_string(getpid());
        if (rename(m_file.c_str(), aside.c_str()) == 0) {
            SyncParentFolder(m_file);
            FoundationLog("registry hive %s could not be read (%s); kept as \"%s\", starting empty",
                          m_file.c_str(), error.c_str(), aside.c_str());
        } else {
            FoundationLog("registry hive %s could not be read (%s) nor moved aside (%s)",
                          m_file.c_str(), error.c_str(), std::strerror(errno));
        }
    }

    LONG Save() {
        if (m_file.empty()) {
            m_loaded = false;
            return ERROR_WRITE_FAULT;
        }
        int error = WriteFileAtomically(m_file, FormatHiveText(m_name, m_root));
        if (error != 0) {
            FoundationLog("cannot save registry hive %s: %s", m_file.c_str(), std::strerror(error));
            m_loaded = false;  // the next call reads the file again
            return ERROR_WRITE_FAULT;
        }
        m_identity = IdentityOf(m_file);
        return ERROR_SUCCESS;
    }

    CCritical m_mutex;
    const std::string m_name;
    const std::string m_folder;
    const std::string m_file;
    const std::string m_lockFile;
    int m_lockFd = -1;              // guarded by m_mutex
    bool m_loaded = false;          // guarded by m_mutex
    SFileIdentity m_identity;       // guarded by m_mutex
    SKeyNode m_root;                // guarded by m_mutex
    int m_batchDepth = 0;           // guarded by m_mutex
    bool m_batchChanged = false;    // guarded by m_mutex
    std::unique_ptr<FileLock> m_batchLock;  // guarded by m_mutex
};

CCritical s_hivesLock;
std::shared_ptr<CHive> s_hives[2];  // guarded by s_hivesLock

std::shared_ptr<CHive> HiveOf(const SRegistryHandle* handle) {
    CLock guard(&s_hivesLock);
    std::shared_ptr<CHive>& hive = s_hives[handle->hive];
    if (!hive)
        hive = std::make_shared<CHive>(kHiveNames[handle->hive], GetRegistryFolder());
    return hive;
}

// Splits a `\`-separated key path; empty levels are skipped.
std::vector<std::string> SplitPath(const char* path) {
    std::vector<std::string> levels;
    if (path == nullptr)
        return levels;
    std::string level;
    for (const char* p = path;; ++p) {
        if (*p == '\\' || *p == '\0') {
            if (!level.empty())
                levels.push_back(level);
            level.clear();
            if (*p == '\0')
                break;
        } else {
            level += *p;
        }
    }
    return levels;
}

bool ValidKeyName(const std::string& name) {
    if (name.size() > 255)
        return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F)
            return false;
    return true;
}

SKeyNode* Find(SKeyNode& root, const std::vector<std::string>& path) {
    SKeyNode* node = &root;
    for (const std::string& level : path) {
        auto found = node->subkeys.find(level);
        if (found == node->subkeys.end())
            return nullptr;
        node = found->second.get();
    }
    return node;
}

bool ValidHandle(HKEY key) {
    return key != nullptr && (key->hive == 0 || key->hive == 1);
}

std::string ValueName(const char* name) { return name == nullptr ? std::string() : name; }

// Runs `operation(node, changed)` on the key of `key`, after checking `access`.
template <typename Operation>
LONG OnKey(HKEY key, DWORD access, bool write, Operation&& operation) {
    if (!ValidHandle(key))
        return ERROR_INVALID_HANDLE;
    if ((key->access & access) != access)
        return ERROR_ACCESS_DENIED;
    std::shared_ptr<CHive> hive = HiveOf(key);
    return hive->Run(write, [&](SKeyNode& root, bool& changed) -> LONG {
        SKeyNode* node = Find(root, key->path);
        if (node == nullptr)
            return ERROR_KEY_DELETED;
        return operation(*node, changed);
    });
}

// Copies `bytes` into a caller's buffer with the size rules of RegQueryValueEx.
LONG CopyOut(const std::vector<BYTE>& bytes, BYTE* data, DWORD* size) {
    DWORD needed = static_cast<DWORD>(bytes.size());
    if (data == nullptr) {
        if (size != nullptr)
            *size = needed;
        return ERROR_SUCCESS;
    }
    if (size == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (*size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (needed > 0)
        std::memcpy(data, bytes.data(), needed);
    *size = needed;
    return ERROR_SUCCESS;
}

LONG CopyName(const std::string& text, char* name, DWORD* nameSize) {
    if (name == nullptr || nameSize == nullptr)
        return ERROR_INVALID_PARAMETER;
    if (*nameSize < text.size() + 1)
        return ERROR_MORE_DATA;
    std::memcpy(name, text.c_str(), text.size() + 1);
    *nameSize = static_cast<DWORD>(text.size());
    return ERROR_SUCCESS;
}

LONG OpenOrCreate(HKEY parent, const char* subKey, DWORD access, HKEY* result, bool create) {
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    if (!ValidHandle(parent))
        return ERROR_INVALID_HANDLE;
    std::vector<std::string> levels = SplitPath(subKey);
    for (const std::string& level : levels)
        if (!ValidKeyName(level))
            return ERROR_INVALID_PARAMETER;
    std::vector<std::string> path = parent->path;
    LONG code = OnKey(parent, 0, create, [&](SKeyNode& node, bool& changed) -> LONG {
        SKeyNode* current = &node;
        for (const std::string& level : levels) {
            auto found = current->subkeys.find(level);
            if (found == current->subkeys.end()) {
                if (!create)
                    return ERROR_FILE_NOT_FOUND;
                if ((parent->access & KEY_CREATE_SUB_KEY) != KEY_CREATE_SUB_KEY)
                    return ERROR_ACCESS_DENIED;
                found = current->subkeys.emplace(level, std::make_unique<SKeyNode>()).first;
                changed = true;
            }
            path.push_back(found->first);
            current = found->second.get();
        }
        return ERROR_SUCCESS;
    });
    if (code == ERROR_SUCCESS)
        *result = new SRegistryHandle{parent->hive, std::move(path), access, false};
    return code;
}

}  // namespace

LONG RegOpenKeyEx(HKEY parent, const char* subKey, DWORD access, HKEY* result) {
    return OpenOrCreate(parent, subKey, access, result, false);
}

LONG RegCreateKeyEx(HKEY parent, const char* subKey, DWORD access, HKEY* result) {
    return OpenOrCreate(parent, subKey, access, result, true);
}

LONG RegCloseKey(HKEY key) {
    if (!ValidHandle(key))
        return ERROR_INVALID_HANDLE;
    if (!key->predefined)
        delete key;
    return ERROR_SUCCESS;
}

LONG RegQueryValueEx(HKEY key, const char* name, DWORD* type, BYTE* data, DWORD* size) {
    return OnKey(key, KEY_QUERY_VALUE, false, [&](SKeyNode& node, bool&) -> LONG {
        auto found = node.values.find(ValueName(name));
        if (found == node.values.end())
            return ERROR_FILE_NOT_FOUND;
        if (type != nullptr)
            *type = found->second.type;
        return CopyOut(found->second.data, data, size);
    });
}

LONG RegSetValueEx(HKEY key, const char* name, DWORD type, const BYTE* data, DWORD size) {
    if (data == nullptr && size > 0)
        return ERROR_INVALID_PARAMETER;
    if (type == REG_DWORD && size != 4)
        return ERROR_INVALID_PARAMETER;
    return OnKey(key, KEY_SET_VALUE, true, [&](SKeyNode& node, bool& changed) -> LONG {
        SValue value{type, std::vector<BYTE>(data, data + size)};
        auto found = node.values.find(ValueName(name));
        if (found == node.values.end()) {
            node.values.emplace(ValueName(name), std::move(value));
        } else if (found->second.type == type && found->second.data == value.data) {
            return ERROR_SUCCESS;  // unchanged: no save
        } else {
            found->second = std::move(value);
        }
        changed = true;
        return ERROR_SUCCESS;
    });
}

LONG RegDeleteValue(HKEY key, const char* name) {
    return OnKey(key, KEY_SET_VALUE, true, [&](SKeyNode& node, bool& changed) -> LONG {
        if (node.values.erase(ValueName(name)) == 0)
            return ERROR_FILE_NOT_FOUND;
        changed = true;
        return ERROR_SUCCESS;
    });
}

LONG RegDeleteKey(HKEY key, const char* subKey) {
    std::vector<std::string> levels = SplitPath(subKey);
    if (levels.empty())
        return ERROR_INVALID_PARAMETER;
    std::string last = levels.back();
    levels.pop_back();
    return OnKey(key, 0, true, [&](SKeyNode& node, bool& changed) -> LONG {
        SKeyNode* parent = Find(node, levels);
        if (parent == nullptr)
            return ERROR_FILE_NOT_FOUND;
        auto found = parent->subkeys.find(last);
        if (found == parent->subkeys.end())
            return ERROR_FILE_NOT_FOUND;
        if (!found->second->subkeys.empty())
            return ERROR_ACCESS_DENIED;
        parent->subkeys.erase(found);
        changed = true;
        return ERROR_SUCCESS;
    });
}

LONG RegEnumKeyEx(HKEY key, DWORD index, char* name, DWORD* nameSize) {
    return OnKey(key, KEY_ENUMERATE_SUB_KEYS, false, [&](SKeyNode& node, bool&) -> LONG {
        if (index >= node.subkeys.size())
            return ERROR_NO_MORE_ITEMS;
        auto it = node.subkeys.begin();
        std::advance(it, index);
        return CopyName(it->first, name, nameSize);
    });
}

LONG RegEnumValue(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* type, BYTE* data,
                  DWORD* dataSize) {
    return OnKey(key, KEY_QUERY_VALUE, false, [&](SKeyNode& node, bool&) -> LONG {
        if (index >= node.values.size())
            return ERROR_NO_MORE_ITEMS;
        auto it = node.values.begin();
        std::advance(it, index);
        LONG code = CopyName(it->first, name, nameSize);
        if (code != ERROR_SUCCESS)
            return code;
        if (type != nullptr)
            *type = it->second.type;
        if (data == nullptr && dataSize == nullptr)
            return ERROR_SUCCESS;
        return CopyOut(it->second.data, data, dataSize);
    });
}

LONG RegQueryInfoKey(HKEY key, DWORD* subKeys, DWORD* maxSubKeyLength, DWORD* values,
                     DWORD* maxValueNameLength, DWORD* maxValueLength) {
    return OnKey(key, 0, false, [&](SKeyNode& node, bool&) -> LONG {
        DWORD longestKey = 0, longestName = 0, longestData = 0;
        for (const auto& [keyName, child] : node.subkeys)
            longestKey = std::max<DWORD>(longestKey, static_cast<DWORD>(keyName.size()));
        for (const auto& [valueName, value] : node.values) {
            longestName = std::max<DWORD>(longestName, static_cast<DWORD>(valueName.size()));
            longestData = std::max<DWORD>(longestData, static_cast<DWORD>(value.data.size()));
        }
        if (subKeys != nullptr)
            *subKeys = static_cast<DWORD>(node.subkeys.size());
        if (maxSubKeyLength != nullptr)
            *maxSubKeyLength = longestKey;
        if (values != nullptr)
            *values = static_cast<DWORD>(node.values.size());
        if (maxValueNameLength != nullptr)
            *maxValueNameLength = longestName;
        if (maxValueLength != nullptr)
            *maxValueLength = longestData;
        return ERROR_SUCCESS;
    });
}

std::string ExpandEnvironmentStrings(const std::string& text) {
    std::string out;
    size_t at = 0;
    while (at < text.size()) {
        size_t open = text.find('%', at);
        if (open == std::string::npos) {
            out.append(text, at, std::string::npos);
            break;
        }
        out.append(text, at, open - at);
        size_t close = text.find('%', open + 1);
        if (close == std::string::npos) {
            out.append(text, open, std::string::npos);
            break;
        }
        std::string name = text.substr(open + 1, close - open - 1);
        const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
        if (value != nullptr)
            out += value;
        else
            out.append(text, open, close - open + 1);  // unknown: kept as written
        at = close + 1;
    }
    return out;
}

bool RegCheckHiveFile(const std::string& path, std::string& error) {
    std::string text;
    if (!ReadWholeFile(path, text)) {
        error = std::strerror(errno);
        return false;
    }
    SKeyNode tree;
    return ParseHiveText(text, tree, error);
}

LONG RegBeginBatch(HKEY key) {
    if (!ValidHandle(key))
        return ERROR_INVALID_HANDLE;
    HiveOf(key)->BeginBatch();
    return ERROR_SUCCESS;
}

LONG RegEndBatch(HKEY key) {
    if (!ValidHandle(key))
        return ERROR_INVALID_HANDLE;
    return HiveOf(key)->EndBatch();
}

void RegResetHives() {
    CLock guard(&s_hivesLock);
    s_hives[0].reset();
    s_hives[1].reset();
}
