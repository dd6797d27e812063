// A file written from its start and made durable when finished: created (or emptied)
// with mode 0600, written in order, flushed to the disk and closed by Finish. Used by one
// thread at a time.
#pragma once

#include <cstddef>

#include "kinbook/kinbook_export.h"

class KINBOOK_API CDurableFile {
public:
    CDurableFile() = default;
    // An unfinished file is closed as it stands, without flushing.
    ~CDurableFile();
    CDurableFile(const CDurableFile&) = delete;
    CDurableFile& operator=(const CDurableFile&) = delete;

    // Creates or empties `path`, closing a file held before; 0 or the errno value.
    int Create(const char* path);
    // Writes all `count` bytes; 0 or the errno value (EBADF when no file is open).
    int Write(const void* data, size_t count);
    // Flushes the file to the disk and closes it; 0 or the first errno value. The file
    // is closed either way.
    int Finish();
    // Closes without flushing; safe when nothing is open.
    void Abandon();
    bool IsOpen() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};
