#include "filter/NumericLinkList.h"

CNumericLinkList::CNumericLinkList() : CPatternList("numeric links") {
    CPatternList::Add("http://", PK_CONTAINS, PF_SEARCH, 0);
    Compile();
}

bool CNumericLinkList::Compile() {
    auto matcher = std::make_unique<CMatchAutomaton>();
    const bool built = matcher->BuildNumericLink();
    std::vector<std::unique_ptr<CMatchAutomaton>> matchers;
    matchers.push_back(std::move(matcher));
    InstallMatchers(std::move(matchers));
    return built;
}

bool CNumericLinkList::LoadCompiled() {
    return Compile();
}
