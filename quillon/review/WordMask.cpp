#include "review/WordMask.h"

#include "filter/ListFile.h"
#include "filter/PatternEntry.h"
#include "filter/WordList.h"
#include "kinbook/foundation/Paths.h"

CWordMask::CWordMask(std::string listName) : m_listName(std::move(listName)) {}

CWordMask::~CWordMask() = default;

void CWordMask::LoadWhenChanged() {
    CWordList probe(m_listName);
    const std::string listPath = probe.FilePath(".re");
    const std::string defaultsPath = probe.DefaultsPath();
    const SFileStamp listStamp = GetFileStamp(listPath);
    const SFileStamp defaultsStamp = GetFileStamp(defaultsPath);
    if (m_list != nullptr && listStamp == m_listStamp && defaultsStamp == m_defaultsStamp)
        return;
    m_listStamp = listStamp;
    m_defaultsStamp = defaultsStamp;

    auto list = std::make_unique<CWordList>(m_listName);
    std::string contents;
    if (!ReadWholeFile(listStamp.exists ? listPath : defaultsPath, contents))
        contents.clear();
    CListFile::Parse(contents, [&list](const std::string& written, int subject, int content) {
        std::string text;
        int kind = 0;
        if (CPatternEntry::ParseSyntax(written, text, kind))
            list->Add(text.c_str(), kind, subject, content);
    });
    list->Compile();
    m_list = std::move(list);
}

std::string CWordMask::Mask(const std::string& text) {
    LoadWhenChanged();
    std::string masked = text;
    // Each round overwrites one match, so the next round finds the next one; a match at
    // the start or the end is still found there, as the text keeps its length. Bounded:
    // a round that masks nothing new ends the scan.
    for (size_t round = 0; round <= masked.size(); ++round) {
        if (!m_list->MatchSubject(masked.data(), masked.size()))
            break;
        const size_t start = static_cast<size_t>(m_list->GetMatchStart() - masked.data());
        const size_t end = static_cast<size_t>(m_list->GetMatchEnd() - masked.data());
        bool changed = false;
        for (size_t i = start; i < end && i < masked.size(); ++i) {
            changed = changed || masked[i] != '*';
            masked[i] = '*';
        }
        if (!changed)
            break;
    }
    return masked;
}
