// A named list of patterns kept in the user data folder: the list file (".re"), its hit
// counts (".dat") and its compiled matcher (".dfa"), with the shipped defaults and the
// update merge. Owned by the filter chain (or a list window's copy); not thread-safe:
// callers hold the chain's lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "filter/MatchAutomaton.h"
#include "filter/PatternEntry.h"

class CPatternList {
public:
    // The window text shown when Restore finds no defaults file.
    static constexpr const char kRestoreMissingText[] = "Can't find list to restore.";

    explicit CPatternList(std::string name, std::string subfolder = {});
    virtual ~CPatternList();
    CPatternList(const CPatternList&) = delete;
    CPatternList& operator=(const CPatternList&) = delete;

    // The display text of entry `index`: quoted when needed and, in this class, with the
    // kind's asterisks; `raw` gives the bare text. False for a bad index or a kind that
    // has no written form.
    virtual bool GetEntryText(int index, std::string& out, bool raw) const;
    // Merges a waiting update, else reads the list and hit files; then loads or rebuilds
    // the matcher. False when the list file cannot be read and no update was merged.
    virtual bool Load();
    // Reads the list and hit files (or, when the list file cannot be read, the list file
    // `fallbackPath` without hits) and the matcher, writing nothing: a waiting update is
    // not merged, and a missing or stale ".dfa" file is compiled in memory only. False
    // when neither list file can be read.
    bool LoadReadOnly(const std::string& fallbackPath);
    // Appends the entries of the defaults file; false when it cannot be read.
    virtual bool LoadDefaults();
    // True when an entry has this text (compared case-insensitively) and kind.
    virtual bool Find(const char* text, int kind) const;
    // Appends an entry; false (nothing added) for an empty text.
    virtual bool Add(const char* text, int kind, int subjectFlags, int contentFlags);
    // Builds the matcher from the entries.
    virtual bool Compile();
    // Reads the ".dfa" file. When it is missing, damaged or was built from other entries,
    // the matcher is compiled and the file rewritten, and the result is false.
    virtual bool LoadCompiled();
    // Writes the ".dfa" file; false when it cannot be written.
    virtual bool SaveCompiled();
    // Merges the update file into the list when there is one (docs/word-lists.md); true
    // when there was one. The list is saved when the merge changed it.
    virtual bool LoadUpdates();

    // Writes the list file, the hit file and the compiled matcher; false when any of
    // them could not be written (the entries stay as they are).
    bool Save();
    // Rewrites the hit file when hit counts changed since it was written.
    bool SaveHits();
    // Runs the matcher over `text`; on a match remembers the entry and the bounds and
    // counts a hit.
    bool Match(const char* text);
    bool Match(const char* text, size_t length);
    void Clear();
    // Replaces the entries by the defaults file's; false when there is none (show
    // kRestoreMissingText).
    bool Restore();

    const std::string& GetName() const { return m_name; }
    int GetCount() const { return static_cast<int>(m_entries.size()); }
    const CPatternEntry& GetEntry(int index) const { return m_entries[index]; }
    CPatternEntry& GetEntry(int index) { return m_entries[index]; }
    int GetLastMatch() const { return m_lastMatch; }
    const char* GetMatchStart() const { return m_matchStart; }
    const char* GetMatchEnd() const { return m_matchEnd; }
    bool IsModified() const { return m_modified; }

    // The list's files: "<data folder>[/<subfolder>]/<name><extension>", and the
    // defaults and update files in "<data folder>/defaults" and "<data folder>/updates".
    std::string FilePath(const char* extension) const;
    std::string DefaultsPath() const;
    std::string UpdatePath() const;

protected:
    // The entries as one matcher sees them: with the subject or the content flags, and
    // only those with PF_SEARCH set when `needSearchFlag`.
    std::vector<SPatternSource> Sources(bool content, bool needSearchFlag) const;
    // Runs `matcher` and records a match as Match does.
    bool RunMatcher(const CMatchAutomaton& matcher, const char* text, size_t length);
    // The plain written form: the text, quoted when needed.
    bool GetPlainText(int index, std::string& out) const;
    // The matchers in file order, and the sources each must have been built from.
    virtual std::vector<const CMatchAutomaton*> Matchers() const;
    virtual std::vector<std::vector<SPatternSource>> MatcherSources() const;
    // Takes matchers built from MatcherSources(), in the same order.
    virtual void InstallMatchers(std::vector<std::unique_ptr<CMatchAutomaton>> matchers);
    // Drops the compiled matchers; the next match compiles them again.
    virtual void DropMatchers();
    bool HasMatchers() const { return m_matcher != nullptr; }

    std::unique_ptr<CMatchAutomaton> m_matcher;
    std::vector<CPatternEntry> m_entries;

private:
    bool ReadListFile(const std::string& path);
    // Reads the ".dfa" file; false when it cannot be trusted.
    bool ReadCompiled();
    void ReadHitFile();
    std::string ListFileText() const;
    std::string HitFileText() const;
    uint64_t Fingerprint() const;
    // The update merge proper; true when the entries changed.
    bool MergeUpdate();
    void ReplaceDefaultsByUpdate();
    // The index of the entry with the same text and flags, or -1.
    int FindExact(const CPatternEntry& wanted) const;
    bool HasTextNoCase(const std::string& text) const;

    std::string m_name;
    std::string m_subfolder;
    std::vector<CPatternEntry> m_updateEntries;
    std::vector<CPatternEntry> m_defaultEntries;
    int m_lastMatch = -1;
    const char* m_matchStart = nullptr;
    const char* m_matchEnd = nullptr;
    bool m_modified = false;
};
