#include "filter/DomainList.h"

bool CDomainList::GetEntryText(int index, std::string& out, bool raw) const {
    if (raw)
        return CPatternList::GetEntryText(index, out, true);
    return GetPlainText(index, out);
}

bool CDomainList::Find(const char* text, int kind) const {
    return CPatternList::Find(text, PK_SUFFIX);
}

bool CDomainList::Add(const char* text, int kind, int subjectFlags, int contentFlags) {
    return CPatternList::Add(text, PK_SUFFIX, subjectFlags, contentFlags);
}
