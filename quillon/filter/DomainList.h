// A domain list ("domains", "cocodes", the maker's domains "Brevant"): every entry matches the end
// of a text, such as an address. Written in the plain form. Same ownership and locking as
// CPatternList.
#pragma once

#include "filter/PatternList.h"

class CDomainList : public CPatternList {
public:
    using CPatternList::CPatternList;

    bool GetEntryText(int index, std::string& out, bool raw) const override;
    // Looks for an entry of kind PK_SUFFIX whatever `kind` says.
    bool Find(const char* text, int kind) const override;
    // Adds an entry of kind PK_SUFFIX whatever `kind` says.
    bool Add(const char* text, int kind, int subjectFlags, int contentFlags) override;
};
