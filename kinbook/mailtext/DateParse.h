// The state of one date parse: the scanner's position and the fields the grammar's
// actions set. It lives on the stack of the parsedate or checkdate call that owns it.
#pragma once

#include <cstdint>

enum DSTMODE { DSTON, DSTOFF, DSTMAYBE };
enum MERIDIAN { MERAM, MERPM, MER24 };

struct SDateParse {
    const char* input = nullptr;  // the next byte the scanner reads; the text ends at NUL

    int haveDate = 0;
    int haveTime = 0;
    bool haveRelative = false;

    int64_t timezone = 0;  // minutes west of UTC
    DSTMODE dstMode = DSTMAYBE;
    int64_t month = 0;
    int64_t day = 0;
    int64_t year = 0;
    int64_t hour = 0;
    int64_t minutes = 0;
    int64_t seconds = 0;
    MERIDIAN meridian = MER24;
    int64_t relSeconds = 0;
    int64_t relMonths = 0;
};

// Runs the grammar over parse.input, setting the fields. True when the whole text is
// accepted; the field values are then still to be range-checked.
bool RunDateGrammar(SDateParse& parse);

// The scanner: the next token of parse.input, advancing past it. Returns 0 at the end
// of the text, a token number of the grammar, or a single character (':', '/', ',' or
// any byte the grammar does not know, which fails the parse). Sets `value` for numbers,
// month names, zones, units and am/pm.
int ScanDateToken(SDateParse& parse, int64_t& value);
