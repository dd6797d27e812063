#include "filter/MatchAutomaton.h"

#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <random>
#include <set>

#include "TestHome.h"
#include "filter/DomainList.h"
#include "filter/PatternEntry.h"
#include "filter/WordList.h"
#include "kinbook/foundation/Paths.h"

namespace {

struct SCase {
    const char* entry;
    int kind;
    int flags;
    const char* text;
    bool matches;
};

const SCase kCases[] = {
    {"free", PK_PREFIX, 0, "Freedom", true},
    {"free", PK_PREFIX, 0, "carefree", false},
    {"free", PK_PREFIX, PF_WHOLE_WORD, "freedom", false},
    {"free", PK_PREFIX, PF_WHOLE_WORD, "free money", true},
    {"free", PK_PREFIX, PF_WHOLE_WORD, "free", true},
    {"free", PK_SUFFIX, 0, "carefree", true},
    {"free", PK_SUFFIX, 0, "freedom", false},
    {"free", PK_SUFFIX, PF_WHOLE_WORD, "carefree", false},
    {"free", PK_SUFFIX, PF_WHOLE_WORD, "it's free", true},
    {"@example.com", PK_SUFFIX, 0, "joe@example.com", true},
    {"@example.com", PK_SUFFIX, 0, "joe@example.com.evil.net", false},
    {"@example.com", PK_SUFFIX, 0, "joe@myexample.com", false},
    {"example.com", PK_SUFFIX, 0, "joe@myexample.com", true},
    {"free", PK_EXACT, 0, "FREE", true},
    {"free", PK_EXACT, 0, "free ", false},
    {"free", PK_EXACT, 0, "fre", false},
    {"free", PK_CONTAINS, 0, "carefree", true},
    {"free", PK_CONTAINS, 0, "freedom", true},
    {"free", PK_CONTAINS, 0, "(free)", true},
    {"free", PK_CONTAINS, PF_WHOLE_WORD, "carefree", false},
    {"free", PK_CONTAINS, PF_WHOLE_WORD, "freedom", false},
    {"free", PK_CONTAINS, PF_WHOLE_WORD, "free.", true},
    {"free", PK_CONTAINS, PF_WHOLE_WORD, "(free)", true},
    {"free", PK_CONTAINS, PF_WHOLE_WORD, "carefree but free", true},
    {"free", PK_CONTAINS, PF_MATCH_CASE, "FREE", false},
    {"Free", PK_CONTAINS, PF_MATCH_CASE, "a Free b", true},
    {"free", PK_CONTAINS, 0, "fREe", true},
    {"free", PK_CONTAINS, PF_FUZZY, "f.r.e.e", true},
    {"free", PK_CONTAINS, PF_FUZZY, "f r e e", true},
    {"free", PK_CONTAINS, PF_FUZZY, "fr~ee", true},
    {"free", PK_CONTAINS, PF_FUZZY, "f..ree", false},
    {"free", PK_CONTAINS, 0, "f.r.e.e", false},
    {"free", PK_CONTAINS, PF_FUZZY, "f\tree", false},
    {"no way", PK_CONTAINS, 0, "no\r\n\t way", true},
    {"no way", PK_CONTAINS, 0, "noway", false},
    {"no way", PK_CONTAINS, 0, "no-way", false},
    {"no way", PK_CONTAINS, PF_FUZZY, "no-way", true},
    {"no  way", PK_CONTAINS, 0, "no way", false},
    {"no  way", PK_CONTAINS, 0, "no   way", true},
    {"caf\xc3\xa9", PK_CONTAINS, 0, "caf\xc3\xa9", false},
    {"free", PK_CONTAINS, 0, "fr\xc3\xa9\x65 free", true},
    {"x+y", PK_CONTAINS, 0, "a X+Y b", true},
};

TEST(MatchAutomatonTest, MatchesEachKindAndFlagAsAFileReadBack) {
    for (const SCase& c : kCases) {
        CMatchAutomaton built;
        built.Build({{c.entry, c.kind, c.flags, true}});
        std::string data;
        built.Serialize(data);
        CMatchAutomaton loaded;
        size_t at = 0;
        ASSERT_TRUE(loaded.Deserialize(data, at));
        EXPECT_EQ(at, data.size());
        for (const CMatchAutomaton* automaton : {&built, &loaded}) {
            SMatchResult result;
            EXPECT_EQ(automaton->Run(c.text, strlen(c.text), result), c.matches)
                << c.entry << " (kind " << c.kind << ", flags " << c.flags << ") in " << c.text;
        }
    }
}

TEST(MatchAutomatonTest, ReportsEntryAndBoundsAndSkipsExcludedEntries) {
    CMatchAutomaton automaton;
    automaton.Build({{"spam", PK_CONTAINS, 0, false},
                     {"cheap", PK_CONTAINS, PF_WHOLE_WORD, true},
                     {"pills", PK_CONTAINS, 0, true},
                     {"subject:", PK_PREFIX, 0, true},
                     {"!!!", PK_SUFFIX, 0, true}});
    EXPECT_EQ(automaton.SlotKinds(), (std::vector<int32_t>{0, 0, 20, 4, 1, 2}));
    struct {
        const char* text;
        int entry;
        size_t start, end;
    } cases[] = {
        {"spam spam", -1, 0, 0},
        {"cheapest pills here", 2, 9, 14},
        {"Subject: cheap pills!!!", 3, 0, 8},
        {"buy now!!!", 4, 7, 10},
        {"so cheap!", 1, 3, 8},
    };
    for (const auto& c : cases) {
        SMatchResult result;
        const bool found = automaton.Run(c.text, strlen(c.text), result);
        EXPECT_EQ(found, c.entry >= 0) << c.text;
        if (found) {
            EXPECT_EQ(result.entry, c.entry) << c.text;
            EXPECT_EQ(result.start, c.start) << c.text;
            EXPECT_EQ(result.end, c.end) << c.text;
        }
    }
}

TEST(MatchAutomatonTest, SharedStatesStillFindTheLessDemandingEntry) {
    CMatchAutomaton automaton;
    automaton.Build({{"free", PK_EXACT, 0, true},
                     {"free", PK_PREFIX, 0, true},
                     {"win", PK_CONTAINS, PF_WHOLE_WORD, true},
                     {"win", PK_CONTAINS, 0, true}});
    SMatchResult result;
    EXPECT_TRUE(automaton.Run("freedom", 7, result));
    EXPECT_EQ(result.entry, 1);
    EXPECT_TRUE(automaton.Run("winner", 6, result));
    EXPECT_EQ(result.entry, 3);
}

TEST(MatchAutomatonTest, LeadingBlanksDoNotMakeLongBlankRunsQuadratic) {
    CMatchAutomaton automaton;
    automaton.Build({{" hot", PK_CONTAINS, PF_WHOLE_WORD, true}, {"  x", PK_CONTAINS, 0, true}});
    SMatchResult result;
    ASSERT_TRUE(automaton.Run("a \r\n  hot", 10, result));
    EXPECT_EQ(result.start, 5u);  // the match begins at the run's last blank
    EXPECT_FALSE(automaton.Run("a hotter", 8, result));
    EXPECT_FALSE(automaton.Run(" x", 2, result));
    // Two million blanks and no match: linear time, or this test never ends.
    const std::string blanks(2000000, ' ');
    EXPECT_FALSE(automaton.Run(blanks.data(), blanks.size(), result));
}

TEST(MatchAutomatonTest, RefusesDamagedData) {
    CMatchAutomaton automaton;
    automaton.Build({{"free", PK_CONTAINS, PF_FUZZY, true}, {"x", PK_SUFFIX, 0, true}});
    std::string data;
    automaton.Serialize(data);
    for (size_t length = 0; length < data.size(); ++length) {
        CMatchAutomaton loaded;
        size_t at = 0;
        EXPECT_FALSE(loaded.Deserialize(data.substr(0, length), at)) << length;
    }
    // Any index pushed out of its table is refused; an overwritten value that stays in
    // range may be accepted but the walk stays inside the tables.
    for (size_t offset = 4; offset < data.size(); offset += 4) {
        for (uint32_t value : {0x7fffffffu, 0x80000000u, 0xfffffffeu, 1000u}) {
            std::string bad = data;
            for (int i = 0; i < 4; ++i)
                bad[offset + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
            CMatchAutomaton loaded;
            size_t at = 0;
            if (loaded.Deserialize(bad, at)) {
                SMatchResult result;
                loaded.Run("f.r.e.e x free", 14, result);
                std::string again;  // what is accepted is written back as it was read
                loaded.Serialize(again);
                EXPECT_EQ(again, bad.substr(0, at)) << offset;
            }
        }
    }
}

// A matcher written straight from the matching rules, one entry and one position at a
// time, to hold the automaton to.
class CReferenceMatcher {
public:
    explicit CReferenceMatcher(const std::vector<SPatternSource>& sources) : m_sources(sources) {
        for (const SPatternSource& source : sources) m_patterns.push_back(Pattern(source));
    }

    bool Run(const std::string& text, SMatchResult& result) const {
        const size_t n = text.size();
        for (size_t i = 0; i <= n; ++i) {  // anchored: prefix and exact entries
            const int e = Chosen(text, 0, i, {PK_PREFIX, PK_EXACT});
            if (e >= 0 && (i == n || (m_sources[e].kind == PK_PREFIX &&
                                      (!WholeWord(e) || !Letter(text[i])))))
                return result = {e, 0, i}, true;
        }
        for (size_t j = n; j-- > 0;) {  // suffix entries, the shortest first
            const int e = Chosen(text, j, n, {PK_SUFFIX});
            if (e >= 0 && (!WholeWord(e) || j == 0 || !Letter(text[j - 1])))
                return result = {e, j, n}, true;
        }
        for (size_t s = 0; s < n; ++s) {  // contains entries, the leftmost start first
            for (size_t end = s + 1; end <= n; ++end) {
                const int e = Chosen(text, s, end, {PK_CONTAINS});
                if (e >= 0 && (!WholeWord(e) || ((s == 0 || !Letter(text[s - 1])) &&
                                                 (end == n || !Letter(text[end])))))
                    return result = {e, s, end}, true;
            }
        }
        return false;
    }

private:
    struct SStep {
        std::string chars;
        bool repeat = false;
        bool optional = false;
    };
    using Steps = std::vector<SStep>;

    static bool Letter(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }

    static std::optional<Steps> Pattern(const SPatternSource& source) {
        const std::string& t = source.text;
        const bool fuzzy = (source.flags & PF_FUZZY) != 0;
        bool leading = source.kind == PK_CONTAINS;
        Steps steps;
        for (size_t i = 0; i < t.size(); ++i) {
            if (static_cast<unsigned char>(t[i]) > 127)
                return std::nullopt;
            const bool blank = t[i] == ' ' || t[i] == '\t';
            leading = leading && blank;
            if (fuzzy && i > 0 && Letter(t[i]) && Letter(t[i - 1]))
                steps.push_back({" *-._~", false, true});
            if (blank) {
                const bool last = i + 1 == t.size() || (t[i + 1] != ' ' && t[i + 1] != '\t');
                steps.push_back({fuzzy ? " \t\r\n*-._~" : " \t\r\n", last && !leading, false});
            } else if (Letter(t[i]) && (source.flags & PF_MATCH_CASE) == 0) {
                steps.push_back({std::string{static_cast<char>(std::tolower(t[i])),
                                             static_cast<char>(std::toupper(t[i]))}});
            } else {
                steps.push_back({std::string(1, t[i])});
            }
        }
        return steps;
    }

    // True when steps k.. match text[at, end) exactly.
    static bool Matches(const Steps& steps, size_t k, const std::string& text, size_t at,
                        size_t end) {
        if (k == steps.size())
            return at == end;
        const SStep& step = steps[k];
        auto takes = [&](size_t p) {
            return p < end && text[p] != '\0' && step.chars.find(text[p]) != std::string::npos;
        };
        if (step.optional && Matches(steps, k + 1, text, at, end))
            return true;
        for (size_t p = at; takes(p); ++p) {
            if (Matches(steps, k + 1, text, p + 1, end))
                return true;
            if (!step.repeat)
                break;
        }
        return false;
    }

    bool WholeWord(int e) const { return (m_sources[e].flags & PF_WHOLE_WORD) != 0; }

    // Of the entries of these kinds that match text[at, end), the least demanding: a
    // prefix entry before an exact one, not whole-word before whole-word, then the first.
    int Chosen(const std::string& text, size_t at, size_t end, std::set<int> kinds) const {
        int best = -1, bestRank = 99;
        for (size_t e = 0; e < m_sources.size(); ++e) {
            const SPatternSource& source = m_sources[e];
            if (!source.included || !kinds.count(source.kind) || !m_patterns[e] ||
                m_patterns[e]->empty() || !Matches(*m_patterns[e], 0, text, at, end))
                continue;
            const int rank = source.kind == PK_EXACT ? 2 : WholeWord(static_cast<int>(e)) ? 1 : 0;
            if (rank < bestRank)
                best = static_cast<int>(e), bestRank = rank;
        }
        return best;
    }

    std::vector<SPatternSource> m_sources;
    std::vector<std::optional<Steps>> m_patterns;
};

std::string RandomText(std::mt19937& random, const std::string& alphabet, size_t maxLength) {
    std::string text(std::uniform_int_distribution<size_t>(0, maxLength)(random), ' ');
    for (char& c : text) c = alphabet[random() % alphabet.size()];
    return text;
}

// Random small lists over a few letters, blanks and separators, with every kind and
// flag, against the reference: same decision, entry and bounds, also read back.
TEST(MatchAutomatonTest, AgreesWithTheReferenceOnRandomListsAndTexts) {
    std::mt19937 random(2026);
    const int kinds[] = {PK_PREFIX, PK_SUFFIX, PK_CONTAINS, PK_EXACT};
    for (int round = 0; round < 1500; ++round) {
        std::vector<SPatternSource> sources(1 + random() % (round % 10 == 0 ? 40 : 6));
        for (SPatternSource& source : sources) {
            source.text = RandomText(random, "abAB  \t.-*\xe9", 4);
            if (source.text.empty())
                source.text = "a";
            source.kind = kinds[random() % 4];
            source.flags = static_cast<int>(random() % 16) & ~PF_SEARCH;
            source.included = random() % 8 != 0;
        }
        CMatchAutomaton built;
        ASSERT_TRUE(built.Build(sources));
        std::string data;
        built.Serialize(data);
        CMatchAutomaton loaded;
        size_t at = 0;
        ASSERT_TRUE(loaded.Deserialize(data, at));
        const CReferenceMatcher reference(sources);
        for (int t = 0; t < 25; ++t) {
            const std::string text = RandomText(random, "abAB \t\r\n.-*~_x\xe9", 12);
            SMatchResult expected;
            const bool found = reference.Run(text, expected);
            for (const CMatchAutomaton* automaton : {&built, &loaded}) {
                SMatchResult result;
                ASSERT_EQ(automaton->Run(text.data(), text.size(), result), found)
                    << "round " << round << " text '" << text << "'";
                if (found) {
                    ASSERT_TRUE(result.entry == expected.entry &&
                                result.start == expected.start && result.end == expected.end)
                        << "round " << round << " text '" << text << "': entry "
                        << result.entry << " [" << result.start << ", " << result.end
                        << ") instead of " << expected.entry << " [" << expected.start << ", "
                        << expected.end << ")";
                }
            }
        }
    }
}

class MatchAutomatonFileTest : public ::testing::Test {
protected:
    CTestHome m_home;
};

TEST_F(MatchAutomatonFileTest, ListsRebuildAStaleOrDamagedDfa) {
    CWordList list("badwords");
    list.Add("free", PK_CONTAINS, PF_SEARCH | PF_WHOLE_WORD, 0);
    list.Add("cash", PK_CONTAINS, 0, PF_SEARCH | PF_FUZZY);
    ASSERT_TRUE(list.Save());
    const std::string dfa = list.FilePath(".dfa");
    std::string saved;
    ASSERT_TRUE(ReadWholeFile(dfa, saved));

    CWordList loaded("badwords");
    ASSERT_TRUE(loaded.Load());
    EXPECT_TRUE(loaded.LoadCompiled());  // the file is trusted
    EXPECT_TRUE(loaded.MatchSubject("free!"));
    EXPECT_FALSE(loaded.MatchSubject("carefree cash"));
    EXPECT_TRUE(loaded.MatchContent("c-a-s-h"));
    EXPECT_TRUE(loaded.HasContentEntries());

    const std::string damaged[] = {saved.substr(0, saved.size() - 1), saved + "x", "",
                                   saved.substr(0, 40)};
    for (const std::string& bytes : damaged) {
        ASSERT_EQ(WriteFileAtomically(dfa, bytes), 0);
        EXPECT_FALSE(loaded.LoadCompiled());
        std::string rewritten;
        ASSERT_TRUE(ReadWholeFile(dfa, rewritten));
        EXPECT_EQ(rewritten, saved);
        EXPECT_TRUE(loaded.MatchContent("c.a.s.h"));
    }

    // A ".dfa" of another list with the same kinds is not taken for this one.
    CWordList other("badwords");
    other.Add("gift", PK_CONTAINS, PF_SEARCH | PF_WHOLE_WORD, 0);
    other.Add("cash", PK_CONTAINS, 0, PF_SEARCH | PF_FUZZY);
    EXPECT_FALSE(other.LoadCompiled());
    EXPECT_TRUE(other.MatchSubject("a gift"));
    EXPECT_FALSE(other.MatchSubject("free"));
}

TEST_F(MatchAutomatonFileTest, DomainListMatchesAddressEnds) {
    CDomainList makers("Brevant");
    makers.Add("@brevant.com", PK_EXACT, 0, 0);
    EXPECT_TRUE(makers.Match("ann@brevant.com"));
    EXPECT_EQ(makers.GetLastMatch(), 0);
    EXPECT_EQ(std::string(makers.GetMatchStart()), "@brevant.com");
    EXPECT_EQ(makers.GetEntry(0).m_hits, 1);
    EXPECT_FALSE(makers.Match("ann@brevant.com.example.net"));
    EXPECT_TRUE(makers.IsModified());
}

}  // namespace
