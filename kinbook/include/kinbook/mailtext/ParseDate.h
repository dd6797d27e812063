// The mail date parser: reads the free-text dates of Date and Received header lines
// (RFC 822 dates and the common looser forms). Every call keeps its state on its own
// stack, so any thread may parse at any time.
#pragma once

#include "kinbook/kinbook_export.h"

// Seconds since 1 January 1970 (UTC) of `text`, or -1 when the text is not a date
// this parser accepts (no text, a syntax error, more than one date or time, neither
// a date nor a time, a field out of range, a year outside 1970-2038, or a result
// that does not fit in 32 bits). A computed value of -1 is returned as 0.
//
// A date without a zone is read as UTC, less one hour when the local time zone
// observes daylight saving at that instant.
KINBOOK_API long parsedate(const char* text);

// 1 when `text` reads as a date (the same parse as parsedate, without the range
// checks of the fields it found) and holds exactly one date and exactly one time,
// else 0. "31 Feb 2003 10:20" passes here and gives -1 from parsedate.
int checkdate(const char* text);
