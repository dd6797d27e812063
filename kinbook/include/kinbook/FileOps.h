// Small file operations for data files that are replaced whole: removing, renaming and
// linking names, telling whether a file changed on disk, and a lock between processes.
// Any thread may call these.
#pragma once

#include <cstdint>
#include <string>

#include "kinbook/Types.h"
#include "kinbook/kinbook_export.h"

// What identifies one version of a file: a file replaced by a rename gets a new inode,
// so two stamps differ whenever the file was rewritten, however coarse the clock.
struct SFileStamp {
    bool exists = false;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t modifiedNs = 0;

    bool operator==(const SFileStamp&) const = default;
};

// The stamp of `path`; `exists` is false when there is no such file.
KINBOOK_API SFileStamp GetFileStamp(const std::string& path);
// 0 on success or when there was nothing to remove; otherwise the errno value.
KINBOOK_API int RemoveFile(const std::string& path);
// Renames `from` over `to`; 0, ENOENT when `from` is missing, or the errno value.
KINBOOK_API int RenameFile(const std::string& from, const std::string& to);
// Gives the file `from` the second name `to` (replacing `to`), copying it where the file
// system has no hard links; 0 or the errno value.
KINBOOK_API int LinkFile(const std::string& from, const std::string& to);

// Holds an advisory lock on the file `path` (made when missing) until it is destroyed;
// waits for another process that holds it. IsHeld() is false when the file cannot be
// made or locked.
class KINBOOK_API CFileLock {
public:
    explicit CFileLock(const std::string& path);
    ~CFileLock();
    CFileLock(const CFileLock&) = delete;
    CFileLock& operator=(const CFileLock&) = delete;

    bool IsHeld() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};
