// Replaces a file by a new version in one step: the new contents go to a temporary file
// beside it, are flushed to the disk and renamed over the file, and the folder is
// flushed; a crash at any point leaves the old or the new version, never none. Used by
// one thread at a time.
#pragma once

#include <cstddef>
#include <string>

#include "kinbook/foundation/DurableFile.h"
#include "kinbook/kinbook_export.h"

class KINBOOK_API CAtomicFile {
public:
    // `temporary` names the file written first; empty: `path`.tmp-<process id>-<n>.
    explicit CAtomicFile(std::string path, std::string temporary = {});
    // Removes a temporary file that was not renamed over the file.
    ~CAtomicFile();
    CAtomicFile(const CAtomicFile&) = delete;
    CAtomicFile& operator=(const CAtomicFile&) = delete;

    // Each returns 0 or the errno value. After a failed Create, Write or Finish the
    // temporary file is removed and the file is untouched. Commit renames the finished
    // temporary file over the file and then flushes the folder; after a failed rename
    // the temporary file stays and Commit may be tried again.
    int Create();
    int Write(const void* data, size_t count);
    int Finish();
    int Commit();

    const std::string& GetPath() const { return m_path; }
    const std::string& GetTemporaryPath() const { return m_temporary; }
    // The errno value of the folder flush after the rename (0: flushed).
    int GetFolderSyncError() const { return m_folderSyncError; }

private:
    int Fail(int error);

    std::string m_path;
    std::string m_temporary;
    CDurableFile m_file;
    bool m_temporaryExists = false;
    int m_folderSyncError = 0;
};
