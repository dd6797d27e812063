// The matcher of links whose host is written as four dot-separated numbers
// ("http://10.1.2.3/..."): a pattern list with the one entry "http://" (contains), which
// names a match, and a matcher built from a fixed pattern rather than from its entries.
// Kept in memory only. Same ownership and locking as CPatternList.
#pragma once

#include "filter/PatternList.h"

class CNumericLinkList : public CPatternList {
public:
    CNumericLinkList();

    // Builds the fixed matcher; the entries do not take part.
    bool Compile() override;
    // There is no file: the fixed matcher is built.
    bool LoadCompiled() override;
    bool SaveCompiled() override { return false; }
};
