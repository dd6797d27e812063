#include "kinbook/foundation/ImpFile.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

CImpFile::~CImpFile() {
    Shutdown();
}

// The mapping is the file followed by at least one page of anonymous zero bytes, so a
// text read in place through GetStringAt always meets a zero byte inside the mapping,
// even when the file ends without one or its size is a multiple of the page size.
BOOL CImpFile::Open(const char* path, UINT flags) {
    Shutdown();
    if (path == nullptr)
        return FALSE;
    // O_NONBLOCK keeps a FIFO from blocking the open; it is refused below anyway.
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return FALSE;
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0 ||
        status.st_size > INT32_MAX) {
        ::close(fd);
        return FALSE;
    }
    size_t size = static_cast<size_t>(status.st_size);
    size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    size_t length = (size + page - 1) / page * page + page;
    void* mapping = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) {
        ::close(fd);
        return FALSE;
    }
    if (size > 0 && ::mmap(mapping, size, PROT_READ, MAP_SHARED | MAP_FIXED, fd, 0) == MAP_FAILED) {
        ::munmap(mapping, length);
        ::close(fd);
        return FALSE;
    }
    m_fd = fd;
    m_fileName = path;
    m_mapping = mapping;
    m_mappedLength = length;
    m_view = static_cast<const char*>(mapping);
    m_position = 0;
    m_size = static_cast<int32_t>(size);
    return TRUE;
}

void CImpFile::Close() {
    Shutdown();
}

void CImpFile::Shutdown() {
    if (m_mapping != nullptr)
        ::munmap(m_mapping, m_mappedLength);
    m_mapping = nullptr;
    m_mappedLength = 0;
    m_view = nullptr;
    m_position = 0;
    m_size = 0;
    m_lastError = 0;
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_fileName.clear();
}

long CImpFile::Seek(long offset, UINT from) {
    long base;
    switch (from) {
        case begin:
            base = 0;
            break;
        case current:
            base = m_position;
            break;
        case end:
            base = m_size;
            break;
        default:
            m_lastError = ERROR_SEEK;
            return -1;
    }
    long target;
    if (__builtin_add_overflow(base, offset, &target) || target < 0 || target > m_size) {
        m_lastError = ERROR_SEEK;
        return -1;
    }
    m_lastError = 0;
    m_position = static_cast<int32_t>(target);
    return target;
}

bool CImpFile::SeekFor(long offset, UINT from) {
    return (offset == 0 && from == current) || Seek(offset, from) >= 0;
}

BOOL CImpFile::ReadAt(void* buffer, UINT count, long offset, UINT from) {
    if (!SeekFor(offset, from))
        return FALSE;
    if (static_cast<unsigned long>(BytesLeft()) < count)
        return FALSE;
    if (count > 0)
        std::memcpy(buffer, m_view + m_position, count);
    m_position += static_cast<int32_t>(count);
    return TRUE;
}

long CImpFile::GetStringLengthAt() const {
    if (m_view == nullptr)
        return 0;
    const char* text = m_view + m_position;
    const void* zero = std::memchr(text, 0, static_cast<size_t>(BytesLeft()));
    return zero != nullptr ? static_cast<const char*>(zero) - text : BytesLeft();
}

BOOL CImpFile::ReadStringAt(std::string& text, long offset, UINT from) {
    if (!SeekFor(offset, from)) {
        text.clear();
        return FALSE;
    }
    if (m_view == nullptr)
        text.clear();
    else
        text.assign(m_view + m_position, static_cast<size_t>(GetStringLengthAt()));
    return TRUE;
}

const char* CImpFile::GetStringAt(long offset, UINT from) {
    if (!SeekFor(offset, from))
        return nullptr;
    if (m_view == nullptr)
        return "";
    return m_view + m_position;
}

BOOL CImpFile::CheckSignature(const char* bytes, DWORD count) {
    Seek(0, begin);
    if (static_cast<unsigned long>(m_size) < count)
        return FALSE;
    m_position = static_cast<int32_t>(count);
    return count == 0 || std::memcmp(m_view, bytes, count) == 0;
}
