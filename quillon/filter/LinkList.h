// A list of link beginnings ("links"): every entry matches anywhere in a text. Written in the plain
// form. Same ownership and locking as CPatternList.
#pragma once

#include "filter/PatternList.h"

class CLinkList : public CPatternList {
public:
    using CPatternList::CPatternList;

    bool GetEntryText(int index, std::string& out, bool raw) const override;
    // Looks for an entry of kind PK_CONTAINS whatever `kind` says.
    bool Find(const char* text, int kind) const override;
    // Adds an entry of kind PK_CONTAINS whatever `kind` says.
    bool Add(const char* text, int kind, int subjectFlags, int contentFlags) override;
};
