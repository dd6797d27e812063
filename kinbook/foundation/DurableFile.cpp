#include "kinbook/foundation/DurableFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

CDurableFile::~CDurableFile() {
    Abandon();
}

int CDurableFile::Create(const char* path) {
    Abandon();
    m_fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    return m_fd >= 0 ? 0 : errno;
}

int CDurableFile::Write(const void* data, size_t count) {
    if (m_fd < 0)
        return EBADF;
    const char* next = static_cast<const char*>(data);
    while (count > 0) {
        const ssize_t written = ::write(m_fd, next, count);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        next += written;
        count -= static_cast<size_t>(written);
    }
    return 0;
}

int CDurableFile::Finish() {
    if (m_fd < 0)
        return EBADF;
    int error = ::fsync(m_fd) == 0 ? 0 : errno;
    if (::close(m_fd) != 0 && error == 0)
        error = errno;
    m_fd = -1;
    return error;
}

void CDurableFile::Abandon() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}
