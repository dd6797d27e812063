// Free-text mail dates (Date and Received headers) as seconds since 1970 (UTC).
#pragma once

#include "kinbook/kinbook_export.h"

KINBOOK_API long parsedate(const char* text);
KINBOOK_API int checkdate(const char* text);
