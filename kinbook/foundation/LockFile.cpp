#include "kinbook/foundation/LockFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

CLockFile::~CLockFile() {
    Release();
}

namespace {

// Opens the lock file and takes its lock; the descriptor or -1 with errno set.
int OpenAndLock(const std::string& path, bool wait, bool* opened) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (opened != nullptr)
        *opened = fd >= 0;
    if (fd < 0)
        return -1;
    int result;
    while ((result = ::flock(fd, wait ? LOCK_EX : LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (result != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

}  // namespace

int CLockFile::Acquire(const std::string& path, bool* opened) {
    Release();
    m_fd = OpenAndLock(path, false, opened);
    return m_fd >= 0 ? 0 : errno;
}

int CLockFile::AcquireWaiting(const std::string& path) {
    Release();
    m_fd = OpenAndLock(path, true, nullptr);
    return m_fd >= 0 ? 0 : errno;
}

bool CLockFile::WriteProcessId() {
    if (m_fd < 0)
        return false;
    const std::string text = std::to_string(static_cast<long>(::getpid())) + "\n";
    return ::ftruncate(m_fd, 0) == 0 &&
           ::pwrite(m_fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

long CLockFile::ReadProcessId(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[32] = {};
    const ssize_t got = ::pread(fd, text, sizeof text - 1, 0);
    ::close(fd);
    if (got <= 0)
        return 0;
    char* end = nullptr;
    const long pid = std::strtol(text, &end, 10);
    return end != text && pid > 0 ? pid : 0;
}

void CLockFile::Release(bool empty) {
    if (m_fd < 0)
        return;
    if (empty) {
        const bool emptied = ::ftruncate(m_fd, 0) == 0;  // a stale id would only mislead
        (void)emptied;
    }
    ::flock(m_fd, LOCK_UN);
    ::close(m_fd);
    m_fd = -1;
}
