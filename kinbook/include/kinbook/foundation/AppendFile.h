// Files that are only ever appended to, such as a log spool file. Each write goes to the
// end of the file in one piece. Any thread may call these; the caller serialises writes
// to one file.
#pragma once

#include <cstddef>

#include "kinbook/foundation/Types.h"
#include "kinbook/kinbook_export.h"

// Opens `path` for writing at its end: created when missing, never truncated, and held
// exclusively (another open for appending of the same file fails while it is held).
// The file handle, or -1 with `error` set to the errno value.
KINBOOK_API int OpenFileForAppend(const char* path, int& error);
// Writes all `length` bytes; 0 when the file did not take them.
KINBOOK_API BOOL WriteFileData(int file, const char* data, size_t length);
KINBOOK_API void CloseFileHandle(int file);
