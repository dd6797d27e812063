#include "kinbook/foundation/AppendFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

int OpenFileForAppend(const char* path, int& error) {
    const int file = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (file < 0) {
        error = errno;
        return -1;
    }
    if (::flock(file, LOCK_EX | LOCK_NB) != 0) {
        error = errno;
        ::close(file);
        return -1;
    }
    error = 0;
    return file;
}

BOOL WriteFileData(int file, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(file, data, length);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return FALSE;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return TRUE;
}

void CloseFileHandle(int file) {
    if (file >= 0)
        ::close(file);
}
