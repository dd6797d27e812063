#include "filter/LinkList.h"

bool CLinkList::GetEntryText(int index, std::string& out, bool raw) const {
    if (raw)
        return CPatternList::GetEntryText(index, out, true);
    return GetPlainText(index, out);
}

bool CLinkList::Find(const char* text, int kind) const {
    return CPatternList::Find(text, PK_CONTAINS);
}

bool CLinkList::Add(const char* text, int kind, int subjectFlags, int contentFlags) {
    return CPatternList::Add(text, PK_CONTAINS, subjectFlags, contentFlags);
}
