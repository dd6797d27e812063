/* The LALR grammar of mail dates. Bison generates the parser at build time; the
   scanner is ScanDateToken (DateScanner.cpp) and the conversion of the fields into
   seconds is in ParseDate.cpp. The parser is pure: all its state is on the stack of
   RunDateGrammar and in the SDateParse it is given. */

%code requires {
#include <cstdint>

#include "mailtext/DateParse.h"
}

%code {
namespace {

int pdlex(PDSTYPE* value, SDateParse& parse) { return ScanDateToken(parse, *value); }

// Syntax errors and stack exhaustion only fail the parse; nothing is reported.
void pderror(SDateParse&, const char*) {}

// An SIGNED number read as +-hhmm: minutes west of UTC, or false when the minutes
// exceed 59 or the number has more than four digits.
bool OffsetMinutesWest(int64_t number, int64_t& minutesWest) {
    const int64_t size = number < 0 ? -number : number;
    if (size > 9999 || size % 100 > 59) {
        return false;
    }
    const int64_t minutes = size / 100 * 60 + size % 100;
    minutesWest = number < 0 ? minutes : -minutes;
    return true;
}

// total += count * unit; false when that does not fit.
bool AddScaled(int64_t& total, int64_t count, int64_t unit) {
    int64_t product = 0;
    return !__builtin_mul_overflow(count, unit, &product) &&
           !__builtin_add_overflow(total, product, &total);
}

}  // namespace

#define YYINITDEPTH 200
#define YYMAXDEPTH 10000
}

%define api.pure full
%define api.prefix {pd}
%define api.value.type {int64_t}
%parse-param {SDateParse& parse}
%lex-param {SDateParse& parse}

/* Six shift/reduce conflicts, each resolved by shifting, as LALR parsers do:
   - a number before a month name is its day ("6 Jan"), not an hour followed by
     "Jan 6"; a number after "6 Jan" is its year, not an hour;
   - a SIGNED after a time is its zone offset, not the start of a relative item
     (twice for "hh:mm" and "hh:mm:ss", where the offset belongs to the clock time
     itself, once after any other clock time);
   - a SIGNED after a zone word belongs to that zone ("GMT+0100"). */
%expect 6

%token DAYNAME DSTZONE AMPM MONTHNAME MONTHUNIT SECONDUNIT SIGNED UNSIGNED ZONENAME

%%

dateText
    : %empty
    | dateText element
    ;

element
    : clockTime {
        parse.haveTime++;
    }
    | clockTime zoneSpec {
        parse.haveTime++;
        parse.timezone = $2;
    }
    | calendarDate {
        parse.haveDate++;
    }
    | relative {
        parse.haveRelative = true;
    }
    ;

clockTime
    : UNSIGNED ampmOpt {
        if ($1 < 100) {
            parse.hour = $1;
            parse.minutes = 0;
        } else {
            parse.hour = $1 / 100;
            parse.minutes = $1 % 100;
        }
        parse.seconds = 0;
        parse.meridian = static_cast<MERIDIAN>($2);
    }
    | UNSIGNED ':' UNSIGNED ampmOpt {
        parse.hour = $1;
        parse.minutes = $3;
        parse.seconds = 0;
        parse.meridian = static_cast<MERIDIAN>($4);
    }
    | UNSIGNED ':' UNSIGNED offset {
        parse.hour = $1;
        parse.minutes = $3;
        parse.seconds = 0;
        parse.timezone = $4;
        parse.meridian = MER24;
        parse.dstMode = DSTOFF;
    }
    | UNSIGNED ':' UNSIGNED ':' UNSIGNED ampmOpt {
        parse.hour = $1;
        parse.minutes = $3;
        parse.seconds = $5;
        parse.meridian = static_cast<MERIDIAN>($6);
    }
    | UNSIGNED ':' UNSIGNED ':' UNSIGNED offset {
        parse.hour = $1;
        parse.minutes = $3;
        parse.seconds = $5;
        parse.timezone = $6;
        parse.meridian = MER24;
        parse.dstMode = DSTOFF;
    }
    ;

zoneSpec
    : ZONENAME {
        $$ = $1;
        parse.dstMode = DSTOFF;
    }
    | DSTZONE {
        $$ = $1;
        parse.dstMode = DSTON;
    }
    | ZONENAME offset {
        /* Only a zone of offset 0 ("GMT", "UT", an unknown word) may carry an offset. */
        if ($1 != 0) {
            YYABORT;
        }
        $$ = $2;
        parse.dstMode = DSTOFF;
    }
    | offset {
        $$ = $1;
        parse.dstMode = DSTOFF;
    }
    ;

offset
    : SIGNED {
        if (!OffsetMinutesWest($1, $$)) {
            YYABORT;
        }
    }
    ;

calendarDate
    : UNSIGNED '/' UNSIGNED {
        parse.month = $1;
        parse.day = $3;
    }
    | UNSIGNED '/' UNSIGNED '/' UNSIGNED {
        if ($1 > 100) {
            parse.year = $1;
            parse.month = $3;
            parse.day = $5;
        } else {
            parse.month = $1;
            parse.day = $3;
            parse.year = $5;
        }
    }
    | MONTHNAME UNSIGNED {
        parse.month = $1;
        parse.day = $2;
    }
    | MONTHNAME UNSIGNED ',' UNSIGNED {
        parse.month = $1;
        parse.day = $2;
        parse.year = $4;
    }
    | UNSIGNED MONTHNAME {
        parse.day = $1;
        parse.month = $2;
    }
    | UNSIGNED MONTHNAME UNSIGNED {
        parse.day = $1;
        parse.month = $2;
        parse.year = $3;
    }
    | DAYNAME ',' UNSIGNED MONTHNAME UNSIGNED {
        parse.day = $3;
        parse.month = $4;
        parse.year = $5;
    }
    ;

relative
    : SIGNED SECONDUNIT {
        if (!AddScaled(parse.relSeconds, $1, $2)) {
            YYABORT;
        }
    }
    | UNSIGNED SECONDUNIT {
        if (!AddScaled(parse.relSeconds, $1, $2)) {
            YYABORT;
        }
    }
    | SIGNED MONTHUNIT {
        if (!AddScaled(parse.relMonths, $1, $2)) {
            YYABORT;
        }
    }
    | UNSIGNED MONTHUNIT {
        if (!AddScaled(parse.relMonths, $1, $2)) {
            YYABORT;
        }
    }
    ;

ampmOpt
    : %empty {
        $$ = MER24;
    }
    | AMPM {
        $$ = $1;
    }
    ;

%%

bool RunDateGrammar(SDateParse& parse) { return pdparse(parse) == 0; }
