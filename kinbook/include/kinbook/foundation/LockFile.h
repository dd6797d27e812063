// An exclusive lock on a lock file, held from Acquire until Release or the object's end.
// The kernel drops it when the holding process ends, however it ends, so a file left by
// a killed process never blocks. Used by one thread at a time.
#pragma once

#include <string>

#include "kinbook/kinbook_export.h"

class KINBOOK_API CLockFile {
public:
    CLockFile() = default;
    ~CLockFile();
    CLockFile(const CLockFile&) = delete;
    CLockFile& operator=(const CLockFile&) = delete;

    // Opens `path` (creating it with mode 0600) and takes its lock without waiting,
    // releasing a lock held before: 0, EWOULDBLOCK when another holder has it, or the
    // errno value of the open or the lock; `opened` (when given) tells whether the file
    // could be opened.
    int Acquire(const std::string& path, bool* opened = nullptr);
    // The same, but waits for another holder to let go: 0 or the errno value.
    int AcquireWaiting(const std::string& path);
    // Replaces the file's text by this process's id and a line end; false when it
    // cannot (the lock holds without it).
    bool WriteProcessId();
    // The process id a holder wrote into the file at `path`, or 0.
    static long ReadProcessId(const std::string& path);
    // Drops the lock and closes the file; with `empty` the file's text is removed first.
    // The file stays: removing it would let a process that opened the old file and one
    // that creates a new one both hold a lock. Safe when nothing is held.
    void Release(bool empty = false);
    bool IsHeld() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};
