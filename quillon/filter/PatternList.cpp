#include "filter/PatternList.h"

#include <cstring>

#include "filter/ListFile.h"
#include "kinbook/foundation/FoundationLog.h"
#include "kinbook/foundation/Paths.h"

namespace {

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(const std::string& a, const char* b) {
    size_t length = std::strlen(b);
    if (a.size() != length)
        return false;
    for (size_t i = 0; i < length; ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    return true;
}

void AppendInt32(std::string& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

bool ReadInt32(const std::string& data, size_t& at, uint32_t& value) {
    if (data.size() - at < 4 || at > data.size())
        return false;
    value = 0;
    for (int i = 0; i < 4; ++i)
        value |= static_cast<uint32_t>(static_cast<unsigned char>(data[at + i])) << (8 * i);
    at += 4;
    return true;
}

}  // namespace

CPatternList::CPatternList(std::string name, std::string subfolder)
    : m_name(std::move(name)), m_subfolder(std::move(subfolder)) {}

CPatternList::~CPatternList() = default;

std::string CPatternList::FilePath(const char* extension) const {
    std::string folder = GetUserDataPath();
    if (!m_subfolder.empty())
        folder += (folder.empty() ? "" : "/") + m_subfolder;
    return (folder.empty() ? std::string() : folder + "/") + m_name + extension;
}

std::string CPatternList::DefaultsPath() const {
    return GetUserDataPath() + "/defaults/" + m_name + ".re";
}

std::string CPatternList::UpdatePath() const {
    return GetUserDataPath() + "/updates/" + m_name + ".re";
}

bool CPatternList::GetPlainText(int index, std::string& out) const {
    if (index < 0 || index >= GetCount())
        return false;
    out = CPatternEntry::QuoteIfNeeded(m_entries[index].m_text);
    return true;
}

bool CPatternList::GetEntryText(int index, std::string& out, bool raw) const {
    if (index < 0 || index >= GetCount())
        return false;
    const CPatternEntry& entry = m_entries[index];
    if (raw) {
        out = entry.m_text;
        return true;
    }
    const std::string quoted = CPatternEntry::QuoteIfNeeded(entry.m_text);
    switch (entry.m_kind) {
        case PK_PREFIX:
            out = quoted + "*";
            return true;
        case PK_SUFFIX:
            out = "*" + quoted;
            return true;
        case PK_CONTAINS:
            out = "*" + quoted + "*";
            return true;
        case PK_EXACT:
            out = quoted;
            return true;
        default:
            return false;
    }
}

bool CPatternList::Find(const char* text, int kind) const {
    for (const CPatternEntry& entry : m_entries)
        if (entry.m_kind == kind && EqualNoCase(entry.m_text, text))
            return true;
    return false;
}

bool CPatternList::Add(const char* text, int kind, int subjectFlags, int contentFlags) {
    if (text == nullptr || text[0] == '\0')
        return false;
    m_entries.emplace_back(text, kind, subjectFlags, contentFlags);
    DropMatchers();
    m_modified = true;
    return true;
}

void CPatternList::Clear() {
    m_entries.clear();
    DropMatchers();
    m_lastMatch = -1;
    m_modified = true;
}

bool CPatternList::ReadListFile(const std::string& path) {
    std::string contents;
    if (!ReadWholeFile(path, contents))
        return false;
    CListFile::Parse(contents,
                     [this](const std::string& written, int subjectFlags, int contentFlags) {
                         std::string text;
                         int kind = 0;
                         if (CPatternEntry::ParseSyntax(written, text, kind))
                             Add(text.c_str(), kind, subjectFlags, contentFlags);
                     });
    return true;
}

void CPatternList::ReadHitFile() {
    std::string contents;
    if (!ReadWholeFile(FilePath(".dat"), contents))
        return;
    std::vector<int> hits = CListFile::ParseHits(contents);
    for (size_t i = 0; i < hits.size() && i < m_entries.size(); ++i) m_entries[i].m_hits = hits[i];
}

bool CPatternList::Load() {
    if (LoadUpdates()) {
        if (HasMatchers())  // the merge saved the list, which compiled it
            return true;
    } else {
        m_entries.clear();
        if (!ReadListFile(FilePath(".re")))
            return false;
        ReadHitFile();
    }
    m_modified = false;
    LoadCompiled();
    return true;
}

bool CPatternList::LoadReadOnly(const std::string& fallbackPath) {
    m_entries.clear();
    if (ReadListFile(FilePath(".re"))) {
        ReadHitFile();
    } else {
        m_entries.clear();
        if (fallbackPath.empty() || !ReadListFile(fallbackPath))
            return false;
    }
    m_modified = false;
    if (!ReadCompiled())
        Compile();
    return true;
}

bool CPatternList::LoadDefaults() {
    return ReadListFile(DefaultsPath());
}

bool CPatternList::Restore() {
    Clear();
    return LoadDefaults();
}

std::string CPatternList::ListFileText() const {
    std::string text = CListFile::Header();
    for (int i = 0; i < GetCount(); ++i) {
        std::string display;
        if (GetEntryText(i, display, false))
            text += CListFile::EntryLine(m_entries[i].m_subjectFlags, m_entries[i].m_contentFlags,
                                         display);
    }
    return text;
}

std::string CPatternList::HitFileText() const {
    std::string text;
    for (const CPatternEntry& entry : m_entries) text += std::to_string(entry.m_hits) + "\n";
    return text;
}

bool CPatternList::Save() {
    const std::string path = FilePath(".re");
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0)
        MakeFolders(path.substr(0, slash));
    bool written = WriteFileAtomically(path, ListFileText()) == 0;
    if (WriteFileAtomically(FilePath(".dat"), HitFileText()) == 0)
        m_modified = false;
    else
        written = false;
    Compile();
    return SaveCompiled() && written;
}

bool CPatternList::SaveHits() {
    if (!m_modified)
        return true;
    if (WriteFileAtomically(FilePath(".dat"), HitFileText()) != 0)
        return false;
    m_modified = false;
    return true;
}

std::vector<SPatternSource> CPatternList::Sources(bool content, bool needSearchFlag) const {
    std::vector<SPatternSource> sources;
    sources.reserve(m_entries.size());
    for (const CPatternEntry& entry : m_entries) {
        const int flags = content ? entry.m_contentFlags : entry.m_subjectFlags;
        sources.push_back(
            {entry.m_text, entry.m_kind, flags, !needSearchFlag || (flags & PF_SEARCH) != 0});
    }
    return sources;
}

std::vector<const CMatchAutomaton*> CPatternList::Matchers() const {
    return {m_matcher.get()};
}

std::vector<std::vector<SPatternSource>> CPatternList::MatcherSources() const {
    return {Sources(false, false)};
}

void CPatternList::DropMatchers() {
    m_matcher.reset();
}

void CPatternList::InstallMatchers(std::vector<std::unique_ptr<CMatchAutomaton>> matchers) {
    m_matcher = std::move(matchers.at(0));
}

bool CPatternList::Compile() {
    std::vector<std::unique_ptr<CMatchAutomaton>> built;
    bool complete = true;
    for (const std::vector<SPatternSource>& sources : MatcherSources()) {
        built.push_back(std::make_unique<CMatchAutomaton>());
        complete = built.back()->Build(sources) && complete;
    }
    if (!complete)
        FoundationLog("Word list %s is too complex to compile; it matches nothing",
                      FilePath("").c_str());
    InstallMatchers(std::move(built));
    return complete;
}

bool CPatternList::ReadCompiled() {
    std::string data;
    if (!ReadWholeFile(FilePath(".dfa"), data))
        return false;
    std::vector<std::unique_ptr<CMatchAutomaton>> loaded;
    size_t at = 0;
    for (const std::vector<SPatternSource>& sources : MatcherSources()) {
        auto matcher = std::make_unique<CMatchAutomaton>();
        if (!matcher->Deserialize(data, at) || matcher->SlotKinds().size() != sources.size() + 1)
            return false;
        for (size_t i = 0; i < sources.size(); ++i)
            if (matcher->SlotKinds()[i + 1] != CMatchAutomaton::SlotKindOf(sources[i]))
                return false;
        loaded.push_back(std::move(matcher));
    }
    uint32_t low = 0;
    uint32_t high = 0;
    if (!ReadInt32(data, at, low) || !ReadInt32(data, at, high) || at != data.size() ||
        ((static_cast<uint64_t>(high) << 32) | low) != Fingerprint())
        return false;
    InstallMatchers(std::move(loaded));
    return true;
}

bool CPatternList::LoadCompiled() {
    if (ReadCompiled())
        return true;
    Compile();
    SaveCompiled();
    return false;
}

bool CPatternList::RunMatcher(const CMatchAutomaton& matcher, const char* text, size_t length) {
    SMatchResult result;
    if (!matcher.Run(text, length, result) || result.entry < 0 || result.entry >= GetCount())
        return false;
    m_lastMatch = result.entry;
    m_matchStart = text + result.start;
    m_matchEnd = text + result.end;
    ++m_entries[result.entry].m_hits;
    m_modified = true;
    return true;
}

bool CPatternList::Match(const char* text) {
    return Match(text, std::strlen(text));
}

bool CPatternList::Match(const char* text, size_t length) {
    if (!HasMatchers())
        Compile();
    return RunMatcher(*m_matcher, text, length);
}

uint64_t CPatternList::Fingerprint() const {
    uint64_t hash = 1469598103934665603ull;  // FNV-1a, 64 bits
    auto mix = [&hash](const void* data, size_t size) {
        const unsigned char* bytes = static_cast<const unsigned char*>(data);
        for (size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
    };
    for (const CPatternEntry& entry : m_entries) {
        mix(entry.m_text.data(), entry.m_text.size() + 1);
        const int32_t numbers[3] = {entry.m_kind, entry.m_subjectFlags, entry.m_contentFlags};
        mix(numbers, sizeof numbers);
    }
    return hash;
}

bool CPatternList::SaveCompiled() {
    if (!HasMatchers())
        Compile();
    std::string data;
    for (const CMatchAutomaton* matcher : Matchers()) matcher->Serialize(data);
    const uint64_t fingerprint = Fingerprint();
    AppendInt32(data, static_cast<uint32_t>(fingerprint));
    AppendInt32(data, static_cast<uint32_t>(fingerprint >> 32));
    return WriteFileAtomically(FilePath(".dfa"), data) == 0;
}
