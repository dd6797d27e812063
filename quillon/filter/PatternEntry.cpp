#include "filter/PatternEntry.h"

namespace {

bool NeedsQuotes(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '"' || c == '*';
}

}  // namespace

bool CPatternEntry::ParseSyntax(const std::string& written, std::string& text, int& kind) {
    if (written == "*" || written == "**")
        return false;
    size_t begin = 0;
    size_t end = written.size();
    const bool leading = end > 0 && written[0] == '*';
    const bool trailing = end > 1 && written[end - 1] == '*';
    if (leading)
        ++begin;
    if (trailing)
        --end;
    if (end > begin && written[begin] == '"')
        ++begin;
    if (end > begin && written[end - 1] == '"')
        --end;
    if (end <= begin)
        return false;
    text = written.substr(begin, end - begin);
    kind = leading && trailing ? PK_CONTAINS
           : leading           ? PK_SUFFIX
           : trailing          ? PK_PREFIX
                               : PK_EXACT;
    return true;
}

std::string CPatternEntry::QuoteIfNeeded(const std::string& text) {
    if (text.empty() || (!NeedsQuotes(text.front()) && !NeedsQuotes(text.back())))
        return text;
    return '"' + text + '"';
}
