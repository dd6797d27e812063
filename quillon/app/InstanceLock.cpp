#include "app/InstanceLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

int LockFile(int file) {
    int result;
    while ((result = flock(file, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    return result == 0 ? 0 : errno;
}

// The process id written in the lock file by its holder, or 0.
long ReadHolder(int file) {
    char text[32] = {};
    const ssize_t got = pread(file, text, sizeof text - 1, 0);
    if (got <= 0)
        return 0;
    char* end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    return end != text && pid > 0 ? pid : 0;
}

}  // namespace

CInstanceLock::~CInstanceLock() {
    Release();
}

bool CInstanceLock::Acquire(const std::string& folder, std::string& error) {
    Release();
    const std::string path = folder + "/" + kFileName;
    const int file = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (file < 0) {
        error = "cannot open the lock file " + path + ": " + std::strerror(errno);
        return false;
    }
    const int lockError = LockFile(file);
    if (lockError != 0) {
        if (lockError == EWOULDBLOCK) {
            const long holder = ReadHolder(file);
            error = "another Quillon";
            if (holder != 0)
                error += " (process " + std::to_string(holder) + ")";
            error += " is already running with the data folder " + folder;
        } else {
            error = "cannot lock " + path + ": " + std::strerror(lockError);
        }
        close(file);
        return false;
    }
    const std::string pid = std::to_string(static_cast<long>(getpid())) + "\n";
    // The process id only serves the message of a refused instance; the lock holds
    // without it.
    const bool written = ftruncate(file, 0) == 0 && pwrite(file, pid.data(), pid.size(), 0) ==
                                                        static_cast<ssize_t>(pid.size());
    (void)written;
    m_file = file;
    m_path = path;
    return true;
}

void CInstanceLock::Release() {
    if (m_file < 0)
        return;
    const bool emptied = ftruncate(m_file, 0) == 0;  // a stale id would only mislead a message
    (void)emptied;
    flock(m_file, LOCK_UN);
    close(m_file);
    m_file = -1;
    m_path.clear();
}
