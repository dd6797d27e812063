#include "filter/WordList.h"

#include <cstring>

bool CWordList::GetEntryText(int index, std::string& out, bool raw) const {
    if (raw)
        return CPatternList::GetEntryText(index, out, true);
    return GetPlainText(index, out);
}

bool CWordList::Find(const char* text, int kind) const {
    return CPatternList::Find(text, PK_CONTAINS);
}

bool CWordList::Add(const char* text, int kind, int subjectFlags, int contentFlags) {
    return CPatternList::Add(text, PK_CONTAINS, subjectFlags, contentFlags);
}

std::vector<const CMatchAutomaton*> CWordList::Matchers() const {
    return {m_matcher.get(), m_contentMatcher.get()};
}

std::vector<std::vector<SPatternSource>> CWordList::MatcherSources() const {
    return {Sources(false, true), Sources(true, true)};
}

void CWordList::InstallMatchers(std::vector<std::unique_ptr<CMatchAutomaton>> matchers) {
    m_matcher = std::move(matchers.at(0));
    m_contentMatcher = std::move(matchers.at(1));
}

void CWordList::DropMatchers() {
    m_matcher.reset();
    m_contentMatcher.reset();
}

bool CWordList::MatchSubject(const char* text, size_t length) {
    if (!HasMatchers())
        Compile();
    return RunMatcher(*m_matcher, text, length);
}

bool CWordList::MatchSubject(const char* text) {
    return MatchSubject(text, std::strlen(text));
}

bool CWordList::MatchContent(const char* text, size_t length) {
    if (!HasMatchers())
        Compile();
    return RunMatcher(*m_contentMatcher, text, length);
}

bool CWordList::MatchContent(const char* text) {
    return MatchContent(text, std::strlen(text));
}

bool CWordList::HasContentEntries() {
    if (!HasMatchers())
        Compile();
    return !m_contentMatcher->IsEmpty();
}
