// The registry: two hives (HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE) of nested keys with
// typed values, each kept in a text file in the hive folder (docs/registry-format.md).
// Key and value names compare without regard to case. Every call is safe from any
// thread; changes reach the file at once through a temporary file, fsync and rename,
// and changes made by another process are picked up at the next call.
// Every call returns ERROR_SUCCESS or an error number of Types.h.
#pragma once

#include <string>

#include "kinbook/foundation/Types.h"
#include "kinbook/kinbook_export.h"

KINBOOK_API extern HKEY const HKEY_CURRENT_USER;
KINBOOK_API extern HKEY const HKEY_LOCAL_MACHINE;

// Opens `subKey` (a path with `\` between levels; empty opens `parent` again) below
// `parent`. ERROR_FILE_NOT_FOUND when a level is missing.
LONG RegOpenKeyEx(HKEY parent, const char* subKey, DWORD access, HKEY* result);
// Opens `subKey`, creating the missing levels (the parent needs KEY_CREATE_SUB_KEY
// access when a level is missing).
LONG RegCreateKeyEx(HKEY parent, const char* subKey, DWORD access, HKEY* result);
LONG RegCloseKey(HKEY key);

// Reads a value. With `data` null only the type and size are given. When `*size` is
// too small, ERROR_MORE_DATA and `*size` tells the size needed. String values come
// with their terminating zero byte.
KINBOOK_API LONG RegQueryValueEx(HKEY key, const char* name, DWORD* type, BYTE* data,
                                 DWORD* size);
LONG RegSetValueEx(HKEY key, const char* name, DWORD type, const BYTE* data,
                               DWORD size);
LONG RegDeleteValue(HKEY key, const char* name);
// Deletes the subkey `subKey` of `key`; ERROR_ACCESS_DENIED when it has subkeys.
LONG RegDeleteKey(HKEY key, const char* subKey);

// Subkey `index` (in name order) into `name` of `*nameSize` bytes (with the zero byte);
// ERROR_NO_MORE_ITEMS past the end; `*nameSize` becomes the length without the zero.
LONG RegEnumKeyEx(HKEY key, DWORD index, char* name, DWORD* nameSize);
// Value `index` (in name order); the sizes behave as in RegEnumKeyEx and RegQueryValueEx.
LONG RegEnumValue(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* type,
                              BYTE* data, DWORD* dataSize);
// Counts and the longest subkey name, value name and value data of a key; any may be null.
LONG RegQueryInfoKey(HKEY key, DWORD* subKeys, DWORD* maxSubKeyLength,
                                 DWORD* values, DWORD* maxValueNameLength,
                                 DWORD* maxValueLength);

// Groups the calls that follow on this thread into one change of the hive of `key`: the
// hive file stays locked until RegEndBatch, which writes it once. Batches nest; every
// RegBeginBatch needs its RegEndBatch on the same thread. RegEndBatch returns the save's
// result.
KINBOOK_API LONG RegBeginBatch(HKEY key);
KINBOOK_API LONG RegEndBatch(HKEY key);

// Replaces `%NAME%` references with the environment's values; unknown ones stay.
KINBOOK_API std::string ExpandEnvironmentStrings(const std::string& text);

// Checks that a hive file reads; on failure `error` says where and why.
KINBOOK_API bool RegCheckHiveFile(const std::string& path, std::string& error);

// Drops the hives held in memory; the next call reads them again from the hive folder
// as it is then (tests relocate the folder through QUILLON_HOME between cases).
// Handles opened before stay valid and refer to the same key paths.
KINBOOK_API void RegResetHives();
