#include "app/InstanceLock.h"

#include <cerrno>
#include <cstring>

CInstanceLock::~CInstanceLock() {
    Release();
}

bool CInstanceLock::Acquire(const std::string& folder, std::string& error) {
    Release();
    m_heldElsewhere = false;
    const std::string path = folder + "/" + kFileName;
    bool opened = false;
    const int lockError = m_file.Acquire(path, &opened);
    if (!opened) {
        error = "cannot open the lock file " + path + ": " + std::strerror(lockError);
        return false;
    }
    if (lockError == EWOULDBLOCK) {
        m_heldElsewhere = true;
        const long holder = CLockFile::ReadProcessId(path);
        error = "another Quillon";
        if (holder != 0)
            error += " (process " + std::to_string(holder) + ")";
        error += " is already running with the data folder " + folder;
        return false;
    }
    if (lockError != 0) {
        error = "cannot lock " + path + ": " + std::strerror(lockError);
        return false;
    }
    // The process id only serves the message of a refused instance; the lock holds
    // without it.
    m_file.WriteProcessId();
    m_path = path;
    return true;
}

void CInstanceLock::Release() {
    if (!m_file.IsHeld())
        return;
    m_file.Release(true);  // a stale id would only mislead a message
    m_path.clear();
}
