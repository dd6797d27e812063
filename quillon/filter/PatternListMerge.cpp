// The update merge of CPatternList: a newly shipped list is merged into the user's list
// against the list as last shipped, so that the user's own changes survive.
#include <algorithm>

#include "filter/PatternList.h"
#include "kinbook/foundation/Paths.h"

namespace {

bool SameFlags(const CPatternEntry& a, const CPatternEntry& b) {
    return a.m_kind == b.m_kind && a.m_subjectFlags == b.m_subjectFlags &&
           a.m_contentFlags == b.m_contentFlags;
}

bool SameLists(const std::vector<CPatternEntry>& a, const std::vector<CPatternEntry>& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!a[i].SameAs(b[i]))
            return false;
    return true;
}

void SortByText(std::vector<CPatternEntry>& entries) {
    std::stable_sort(
        entries.begin(), entries.end(),
        [](const CPatternEntry& a, const CPatternEntry& b) { return a.m_text < b.m_text; });
}

}  // namespace

int CPatternList::FindExact(const CPatternEntry& wanted) const {
    for (int i = 0; i < GetCount(); ++i)
        if (m_entries[i].SameAs(wanted))
            return i;
    return -1;
}

bool CPatternList::HasTextNoCase(const std::string& text) const {
    for (int kind : {PK_PREFIX, PK_SUFFIX, PK_CONTAINS, PK_EXACT})
        if (CPatternList::Find(text.c_str(), kind))
            return true;
    return false;
}

bool CPatternList::MergeUpdate() {
    if (SameLists(m_updateEntries, m_defaultEntries))
        return false;
    SortByText(m_updateEntries);
    SortByText(m_defaultEntries);
    bool changed = false;
    size_t u = 0;
    size_t d = 0;
    while (u < m_updateEntries.size() || d < m_defaultEntries.size()) {
        const CPatternEntry* update = u < m_updateEntries.size() ? &m_updateEntries[u] : nullptr;
        const CPatternEntry* old = d < m_defaultEntries.size() ? &m_defaultEntries[d] : nullptr;
        if (update != nullptr && old != nullptr && update->m_text == old->m_text) {
            // Changed by the update: follow it unless the user changed the entry too.
            const int mine = SameFlags(*update, *old) ? -1 : FindExact(*old);
            if (mine >= 0) {
                const int hits = m_entries[mine].m_hits;
                m_entries[mine] = *update;
                m_entries[mine].m_hits = hits;
                changed = true;
            }
            ++u;
            ++d;
        } else if (old == nullptr || (update != nullptr && update->m_text < old->m_text)) {
            if (!HasTextNoCase(update->m_text)) {  // a new word
                m_entries.push_back(*update);
                m_entries.back().m_hits = 0;
                changed = true;
            }
            ++u;
        } else {
            const int mine = FindExact(*old);  // a withdrawn word, unless the user changed it
            if (mine >= 0) {
                m_entries.erase(m_entries.begin() + mine);
                changed = true;
            }
            ++d;
        }
    }
    if (changed)
        DropMatchers();
    return changed;
}

void CPatternList::ReplaceDefaultsByUpdate() {
    std::string contents;
    if (!ReadWholeFile(UpdatePath(), contents) || !MakeFolders(GetUserDataPath() + "/defaults"))
        return;
    if (WriteFileAtomically(DefaultsPath(), contents) == 0)
        RemoveFile(UpdatePath());
}

bool CPatternList::LoadUpdates() {
    m_entries.clear();
    if (!ReadListFile(UpdatePath()))
        return false;
    m_updateEntries = std::move(m_entries);
    m_entries.clear();
    LoadDefaults();
    m_defaultEntries = std::move(m_entries);
    m_entries.clear();
    ReadListFile(FilePath(".re"));
    ReadHitFile();
    const bool changed = MergeUpdate();
    ReplaceDefaultsByUpdate();
    m_updateEntries.clear();
    m_defaultEntries.clear();
    if (changed)
        Save();
    return true;
}
