#include "kinbook/LockFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

CLockFile::~CLockFile() {
    Release();
}

int CLockFile::Acquire(const std::string& path, bool* opened) {
    Release();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (opened != nullptr)
        *opened = fd >= 0;
    if (fd < 0)
        return errno;
    int result;
    while ((result = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (result != 0) {
        const int error = errno;
        ::close(fd);
        return error;
    }
    m_fd = fd;
    return 0;
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
