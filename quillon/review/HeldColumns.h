// The column texts of the held-mail list, made from the fields of one row. Plain
// functions; any thread.
#pragma once

#include <ctime>
#include <string>

// The download time in local time, as the list shows it relative to `now`: the same day
// "h:MMam"/"h:MMpm", seven or more days ago "MM/DD/YY", otherwise the weekday and the
// time ("Mon 3:07pm"); empty when `downloaded` is 0.
std::string HeldReceivedText(long downloaded, time_t now);
// "%dB" below 1024 bytes, else "%dKB" with the kilobytes rounded up.
std::string HeldSizeText(int size);
// The "?" column: 'X' bad, 'N' nice, '?' other (tag 'Q'), a blank for any other tag.
char HeldCategory(char tag);
// The delete log's type: "bad", "nice", "?" or a blank.
const char* HeldTypeText(char tag);
// The first analysis note of a message's notes: the text after the first colon and the
// character that follows it, up to the first CR (or the end).
std::string HeldAnalysisNote(const std::string& notes);
// The note as the list shows it: without a leading "questionable: ", "other: ", "evil: "
// or "bad: ".
std::string HeldAnalysisShown(const std::string& note);
// `text` with every control byte (tab, CR, LF and the others) replaced by a blank, for
// output that is one line per message with tab-separated fields.
std::string HeldOneLine(const std::string& text);
