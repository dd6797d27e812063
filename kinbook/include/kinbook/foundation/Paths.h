// Where the user's data and settings live, and how files are replaced safely.
#pragma once

#include <string>

#include "kinbook/foundation/Types.h"
#include "kinbook/kinbook_export.h"

// The user data folder, made on first use and cached for the process:
// $QUILLON_HOME, else $XDG_DATA_HOME/Brevant/Quillon (default ~/.local/share/...).
// Empty when it cannot be made (the failure is logged).
KINBOOK_API std::string& GetUserDataPath();
// The folder of the registry hive files: $QUILLON_HOME/registry, else
// $XDG_CONFIG_HOME/Brevant/Quillon (default ~/.config/...). Not cached; made on demand.
std::string GetRegistryFolder();
// Forgets the cached user data folder (tests relocate QUILLON_HOME).
KINBOOK_API void ResetUserDataPath();

// Makes `path` and its missing parents; true when it exists as a folder afterwards.
KINBOOK_API bool MakeFolders(const std::string& path);

// Replaces `path` with `contents` through a CAtomicFile: written to `path`.tmp-<pid>-<n>,
// flushed to disk, renamed over `path`, and the folder flushed. On failure `path` is
// untouched, the temporary file removed, and the errno value returned (0 on success).
KINBOOK_API int WriteFileAtomically(const std::string& path, const std::string& contents);
// Renames `from` to `to` (replacing it); 0 or the errno value.
KINBOOK_API int RenameFile(const std::string& from, const std::string& to);
// Creates `path` empty (mode 0600) unless it exists; 0 or the errno value.
KINBOOK_API int CreateFileIfMissing(const std::string& path);
// Flushes the folder holding `path` so that a rename in it is durable.
KINBOOK_API int SyncParentFolder(const std::string& path);
KINBOOK_API bool ReadWholeFile(const std::string& path, std::string& contents);
// Removes the file `path`; 0 on success or when it was already gone, else the errno value.
KINBOOK_API int RemoveFile(const std::string& path);
// The folder of the running program's executable (no trailing slash); empty when unknown.
KINBOOK_API std::string GetProgramFolder();
