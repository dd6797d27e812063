// A list of words and phrases ("keywords", "badwords", "words") searched in subjects and
// in bodies: entries match anywhere, and each has its own flags for the subject and for
// the content, with one matcher for each. Same ownership and locking as CPatternList.
#pragma once

#include "filter/PatternList.h"

class CWordList : public CPatternList {
public:
    using CPatternList::CPatternList;

    bool GetEntryText(int index, std::string& out, bool raw) const override;
    // Looks for a contains entry whatever `kind` says.
    bool Find(const char* text, int kind) const override;
    // Adds a contains entry whatever `kind` says.
    bool Add(const char* text, int kind, int subjectFlags, int contentFlags) override;

    // Runs the matcher of the entries marked for subjects (or for bodies).
    bool MatchSubject(const char* text, size_t length);
    bool MatchSubject(const char* text);
    bool MatchContent(const char* text, size_t length);
    bool MatchContent(const char* text);
    // True when some entry is searched for in bodies.
    bool HasContentEntries();

protected:
    std::vector<const CMatchAutomaton*> Matchers() const override;
    std::vector<std::vector<SPatternSource>> MatcherSources() const override;
    void InstallMatchers(std::vector<std::unique_ptr<CMatchAutomaton>> matchers) override;
    void DropMatchers() override;

private:
    std::unique_ptr<CMatchAutomaton> m_contentMatcher;
};
