// The text of a list file and of a hit file (docs/word-lists.md): reading them into
// (flags, string) records and writing the fixed header. Stateless; any thread.
#pragma once

#include <functional>
#include <string>
#include <vector>

class CListFile {
public:
    // Longest line read; the rest of a longer line is ignored.
    static constexpr size_t kMaxLine = 511;

    // Calls `take`(string, subject flags, content flags) for every record of a list file
    // of version 1, 2 or a plain list, in file order. The string is still in the entry
    // syntax (see CPatternEntry::ParseSyntax).
    static void Parse(const std::string& contents,
                      const std::function<void(const std::string&, int, int)>& take);
    // The header of a list file of version 2, up to and including the empty line that
    // precedes the entries.
    static std::string Header();
    // One entry line: "%d %d\t%s\n".
    static std::string EntryLine(int subjectFlags, int contentFlags, const std::string& display);
    // The hit counts of a hit file, in order; lines that are not numbers are skipped.
    static std::vector<int> ParseHits(const std::string& contents);

private:
    // Splits `contents` into cleaned lines: leading blanks and tabs skipped, everything
    // from '#' dropped, trailing CR, LF, blanks and tabs removed. Empty lines are kept
    // so that the first line can decide the version.
    static std::vector<std::string> CleanLines(const std::string& contents);
};
