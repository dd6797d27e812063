// Texts for the user: each library compiles in a table of id -> text, and the system's
// error numbers become text.
#pragma once

#include <string>

#include "kinbook/foundation/Types.h"
#include "kinbook/kinbook_export.h"

struct SStringEntry {
    UINT id;
    const char* text;
};

// A module with a string table. Libraries define one at namespace scope.
struct SStringModule {
    const char* name;
    const SStringEntry* entries;
    int count;
};

HINSTANCE GetKinbookModule();
// The running program's resource module and main module (null until it sets them).
void SetResourceModule(HINSTANCE module);
void SetMainModule(HINSTANCE module);

// Looks `id` up in `module`, then Kinbook, then the resource module and, when `module`
// is not null, the main module (each module once). 1 when found; otherwise 0 and
// `text` is empty.
KINBOOK_API BOOL LoadLocalString(HINSTANCE module, UINT id, std::string& text);

// The system's text for error number `code` (an errno value), trailing blanks removed;
// 0 (and `text` empty) for code 0 or when the system has no text.
KINBOOK_API BOOL GetErrorString(DWORD code, std::string& text);
