// Small file operations for data files that are replaced whole: removing, renaming and
// linking names and telling whether a file changed on disk.
// Any thread may call these.
#pragma once

#include <cstdint>
#include <string>

#include "kinbook/foundation/Paths.h"
#include "kinbook/foundation/Types.h"
#include "kinbook/kinbook_export.h"

// What identifies one version of a file: a file replaced by a rename gets a new inode,
// so two stamps differ whenever the file was rewritten, however coarse the clock.
struct SFileStamp {
    bool exists = false;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t modifiedNs = 0;

    bool operator==(const SFileStamp&) const = default;
};

// The stamp of `path`; `exists` is false when there is no such file.
KINBOOK_API SFileStamp GetFileStamp(const std::string& path);
// Gives the file `from` the second name `to` (replacing `to`), copying it where the file
// system has no hard links; 0 or the errno value.
KINBOOK_API int LinkFile(const std::string& from, const std::string& to);
