// One entry of a pattern list: the search text, its match kind, its search flags and its
// hit count. Owned by its CPatternList; used under the lock that guards the list.
#pragma once

#include <string>

// Match kinds.
enum PATTERN_KIND {
    PK_PREFIX = 1,    // the text begins with the entry
    PK_SUFFIX = 2,    // the text ends with the entry
    PK_CONTAINS = 4,  // the entry stands anywhere in the text
    PK_EXACT = 8,     // the text is the entry
};

// Search flags, or'ed together.
enum PATTERN_FLAG {
    PF_SEARCH = 1,      // search for this string
    PF_WHOLE_WORD = 2,  // whole word only
    PF_MATCH_CASE = 4,  // match case
    PF_FUZZY = 8,       // fuzzy match
};

class CPatternEntry {
public:
    CPatternEntry() = default;
    CPatternEntry(std::string text, int kind, int subjectFlags, int contentFlags)
        : m_text(std::move(text)),
          m_kind(kind),
          m_subjectFlags(subjectFlags),
          m_contentFlags(contentFlags) {}

    // Same text (compared exactly), kind and flags; the hit count does not count.
    bool SameAs(const CPatternEntry& other) const {
        return m_text == other.m_text && m_kind == other.m_kind &&
               m_subjectFlags == other.m_subjectFlags && m_contentFlags == other.m_contentFlags;
    }

    // Parses one string of a list file: "*x*" contains, "*x" suffix, "x*" prefix, "x"
    // exact; then one '"' is dropped at each end. False (nothing set) for "*", "**" and
    // an empty remainder.
    static bool ParseSyntax(const std::string& written, std::string& text, int& kind);
    // `text` in double quotes when its first or last character is a blank, tab, CR, LF,
    // '"' or '*'; otherwise as it is.
    static std::string QuoteIfNeeded(const std::string& text);

    std::string m_text;
    int m_kind = PK_EXACT;
    int m_subjectFlags = 0;
    int m_contentFlags = 0;
    int m_hits = 0;
};
