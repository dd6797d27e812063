#include "kinbook/foundation/FileOps.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "kinbook/foundation/Paths.h"

SFileStamp GetFileStamp(const std::string& path) {
    SFileStamp stamp;
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return stamp;
    stamp.exists = true;
    stamp.inode = static_cast<uint64_t>(info.st_ino);
    stamp.size = static_cast<int64_t>(info.st_size);
    stamp.modifiedNs =
        static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return stamp;
}

int LinkFile(const std::string& from, const std::string& to) {
    RemoveFile(to);
    if (link(from.c_str(), to.c_str()) == 0)
        return 0;
    if (errno != EPERM && errno != EXDEV && errno != EMLINK && errno != ENOTSUP)
        return errno;
    std::string contents;
    if (!ReadWholeFile(from, contents))
        return errno != 0 ? errno : EIO;
    return WriteFileAtomically(to, contents);
}

