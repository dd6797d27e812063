// The one-instance lock of a data folder: an flock on the file "quillon.lock" in it,
// which the kernel drops when the holding process ends, however it ends, so a lock file
// left by a killed process never blocks. Owned and used by the main thread.
#pragma once

#include <string>

#include "kinbook/foundation/LockFile.h"

class CInstanceLock {
public:
    static constexpr const char kFileName[] = "quillon.lock";

    CInstanceLock() = default;
    ~CInstanceLock();
    CInstanceLock(const CInstanceLock&) = delete;
    CInstanceLock& operator=(const CInstanceLock&) = delete;

    // Takes the lock of `folder` without waiting and writes this process's id into the
    // file. False with `error` set when another holder has it (naming its process id
    // when the file tells it) or the file cannot be opened.
    bool Acquire(const std::string& folder, std::string& error);
    // Empties the file and drops the lock; the file stays (removing it would let a
    // process that opened the old file and one that creates a new one both hold a lock).
    void Release();
    bool IsHeld() const { return m_file.IsHeld(); }
    // After a failed Acquire: true when another process holds the lock (rather than the
    // file being unusable).
    bool IsHeldElsewhere() const { return m_heldElsewhere; }
    const std::string& GetPath() const { return m_path; }

private:
    CLockFile m_file;
    std::string m_path;
    bool m_heldElsewhere = false;
};
