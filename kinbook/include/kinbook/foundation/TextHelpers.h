// Small text helpers over byte strings.
#pragma once

#include <string>

#include "kinbook/foundation/Types.h"
#include "kinbook/kinbook_export.h"

// Past the leading blanks and tabs of `text`.
const char* ltrim(const char* text);
// Index of the first of the first `n` bytes of `text` that is in `set`; `n` when none
// is (0 when `n` < 1). When `text` ends within those bytes, the index of its end.
int _tcsspnn(const char* text, int n, const char* set);
// Copies `outLength` bytes when both lengths are equal; otherwise copies while dropping
// each backslash and taking the byte after it as it stands, until `outLength` bytes are
// out or `srcLength` bytes are read.
KINBOOK_API void GetStringFromBuf(std::string& out, const char* src, int srcLength, int outLength);
// Case-insensitive compare of ASCII letters; other bytes compare as they are.
KINBOOK_API int CompareNoCase(const char* a, const char* b);
// True when the first `length` bytes of `text` are `prefix` (zero-terminated, at most
// `length` bytes), comparing ASCII letters without case.
KINBOOK_API bool StartsWithNoCase(const char* text, size_t length, const char* prefix);
