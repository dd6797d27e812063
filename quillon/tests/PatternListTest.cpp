#include "filter/PatternList.h"

#include <gtest/gtest.h>

#include "TestHome.h"
#include "filter/DomainList.h"
#include "filter/ListFile.h"
#include "filter/WordList.h"
#include "kinbook/foundation/Paths.h"

namespace {

class PatternListTest : public ::testing::Test {
protected:
    void Write(const std::string& name, const std::string& text) {
        size_t slash = name.find_last_of('/');
        if (slash != std::string::npos)
            MakeFolders(m_home.Path() + "/" + name.substr(0, slash));
        ASSERT_EQ(WriteFileAtomically(m_home.Path() + "/" + name, text), 0);
    }
    std::string Read(const std::string& name) {
        std::string text;
        ReadWholeFile(m_home.Path() + "/" + name, text);
        return text;
    }
    // "text kind subject content" of every entry, one per line.
    static std::string Dump(const CPatternList& list) {
        std::string out;
        for (int i = 0; i < list.GetCount(); ++i) {
            const CPatternEntry& e = list.GetEntry(i);
            out += e.m_text + " " + std::to_string(e.m_kind) + " " +
                   std::to_string(e.m_subjectFlags) + " " + std::to_string(e.m_contentFlags) + "\n";
        }
        return out;
    }

    CTestHome m_home;
};

const char kHeader[] =
    "2\n# Quillon Version 1.0.0, build 65\n# Do not edit!\n#\n# Format of this file:\n#\n"
    "#  The 2 on the first line of this file is the version number.\n#\n"
    "#   +--- Subject search flags\n#   |\n#   | +- content search flags\n#   | |\n"
    "#   | |\t+ Search string\n#   | |\t|\n#   1 3\tFree\n#\n# Flags are or'ed together:\n#\n"
    "#  1 search for this string\n#  2 whole word only\n#  4 match case\n#  8 fuzzy match\n\n";

TEST_F(PatternListTest, WritesTheListFileInItsExactForm) {
    CWordList list("words");
    list.Add("free", PK_EXACT, 1, 3);
    list.Add(" hot ", PK_EXACT, 1, 1);
    list.GetEntry(0).m_hits = 7;
    EXPECT_TRUE(list.Save());
    EXPECT_EQ(Read("words.re"), std::string(kHeader) + "1 3\tfree\n1 1\t\" hot \"\n");
    EXPECT_EQ(Read("words.dat"), "7\n0\n");

    CWordList again("words");
    ASSERT_TRUE(again.Load());
    EXPECT_EQ(Dump(again), "free 4 1 3\n hot  4 1 1\n");
    EXPECT_EQ(again.GetEntry(0).m_hits, 7);
}

TEST_F(PatternListTest, ReadsEachVersionAndPlainLists) {
    struct {
        const char* file;
        const char* entries;
    } cases[] = {
        {"1\n3 money\nmoney\n2\tcash  # note\n12x\n",
         "money 4 1 1\nmoney 4 0 0\ncash 4 0 1\n12x 4 0 0\n"},
        {"2\n1 3\tfree\n  5   7 \"a b\"   \n1\tno second number\n# only a comment\n\n",
         "free 4 1 3\na b 4 5 7\n"},
        {"2\r\n1 1\tcrlf\r\n", "crlf 4 1 1\n"},
        {"viagra\n  casino \n\n*x*\n", "viagra 4 0 0\ncasino 4 0 0\nx 4 0 0\n"},
        {"", ""},
    };
    for (const auto& c : cases) {
        Write("words.re", c.file);
        CWordList list("words");
        EXPECT_TRUE(list.Load()) << c.file;
        EXPECT_EQ(Dump(list), c.entries) << c.file;
    }
    CWordList missing("nothing");
    EXPECT_FALSE(missing.Load());
}

TEST_F(PatternListTest, ALongLineIsCutNotSplit) {
    Write("words.re", std::string(600, 'a') + "\nnext\n");
    CWordList list("words");
    ASSERT_TRUE(list.Load());
    ASSERT_EQ(list.GetCount(), 2);
    EXPECT_EQ(list.GetEntry(0).m_text, std::string(511, 'a'));
    EXPECT_EQ(list.GetEntry(1).m_text, "next");
}

TEST_F(PatternListTest, EntrySyntaxGivesKindsAndRejects) {
    Write("oklinks.re",
          "2\n0 0\t*\n0 0\t**\n0 0\t\"*\"\n0 0\t*mid*\n0 0\tpre*\n0 0\t*suf\n0 0\t\"\"\n"
          "0 0\t*\"\"*\n0 0\tplain\n0 0\t\"\"\"\n");
    CPatternList list("oklinks");
    ASSERT_TRUE(list.Load());
    EXPECT_EQ(Dump(list), "* 8 0 0\nmid 4 0 0\npre 1 0 0\nsuf 2 0 0\nplain 8 0 0\n\" 8 0 0\n");
    // Written back in the wildcard form, each reads back as the same entry.
    ASSERT_TRUE(list.Save());
    CPatternList again("oklinks");
    ASSERT_TRUE(again.Load());
    EXPECT_EQ(Dump(again), Dump(list));
    std::string text;
    EXPECT_TRUE(list.GetEntryText(1, text, false));
    EXPECT_EQ(text, "*mid*");
    EXPECT_TRUE(list.GetEntryText(0, text, false));
    EXPECT_EQ(text, "\"*\"");
    EXPECT_FALSE(list.GetEntryText(99, text, false));
    EXPECT_TRUE(list.GetEntryText(2, text, true));
    EXPECT_EQ(text, "pre");
}

TEST_F(PatternListTest, SubclassesForceTheirKindAndFindIgnoresCase) {
    CDomainList domains("domains");
    EXPECT_TRUE(domains.Add("@Example.com", PK_EXACT, 0, 0));
    EXPECT_FALSE(domains.Add("", PK_SUFFIX, 0, 0));
    EXPECT_EQ(domains.GetEntry(0).m_kind, PK_SUFFIX);
    EXPECT_TRUE(domains.Find("@example.COM", PK_EXACT));
    EXPECT_FALSE(domains.Find("example.com", PK_SUFFIX));
    CPatternList links("oklinks");
    links.Add("http://a", PK_PREFIX, 0, 0);
    EXPECT_TRUE(links.Find("HTTP://A", PK_PREFIX));
    EXPECT_FALSE(links.Find("http://a", PK_EXACT));
}

TEST_F(PatternListTest, HitFileSkipsCommentsAndJunk) {
    Write("words.re", "2\n1 1\ta\n1 1\tb\n1 1\tc\n");
    Write("words.dat", "# hits\n4\n\n  x\n5  \n6\n9\n");
    CWordList list("words");
    ASSERT_TRUE(list.Load());
    EXPECT_EQ(list.GetEntry(0).m_hits, 4);
    EXPECT_EQ(list.GetEntry(1).m_hits, 5);
    EXPECT_EQ(list.GetEntry(2).m_hits, 6);
    EXPECT_FALSE(list.IsModified());
    EXPECT_TRUE(list.MatchSubject("b"));
    EXPECT_EQ(list.GetEntry(1).m_hits, 6);
    EXPECT_TRUE(list.SaveHits());
    EXPECT_EQ(Read("words.dat"), "4\n6\n6\n");
}

TEST_F(PatternListTest, UpdateMergeKeepsTheUsersChanges) {
    Write("defaults/words.re", "2\n1 1\tkeep\n1 1\tgone\n1 1\tmine\n1 1\tflip\n1 1\tmyflip\n");
    // The user changed "mine" and "myflip", added "own"; the update withdraws "gone" and
    // "mine", changes "flip" and "myflip", adds "new" and "own".
    Write("words.re", "2\n1 1\tkeep\n1 1\tgone\n3 1\tmine\n1 1\tflip\n1 3\tmyflip\n1 1\town\n");
    Write("words.dat", "1\n2\n3\n4\n5\n6\n");
    const std::string update = "2\n1 1\tkeep\n1 3\tflip\n3 3\tmyflip\n1 1\tnew\n1 1\tOWN\n";
    Write("updates/words.re", update);
    CWordList list("words");
    ASSERT_TRUE(list.Load());
    EXPECT_EQ(Dump(list),
              "keep 4 1 1\nmine 4 3 1\nflip 4 1 3\nmyflip 4 1 3\nown 4 1 1\nnew 4 1 1\n");
    EXPECT_EQ(list.GetEntry(2).m_hits, 4);
    EXPECT_EQ(Read("defaults/words.re"), update);
    EXPECT_EQ(Read("updates/words.re"), "");
    CWordList saved("words");
    ASSERT_TRUE(saved.Load());
    EXPECT_EQ(Dump(saved), Dump(list));
    EXPECT_TRUE(saved.MatchSubject("brand new"));
}

TEST_F(PatternListTest, UpdateEqualToDefaultsOnlyReplacesTheDefaultsFile) {
    Write("defaults/words.re", "2\n1 1\ta\n");
    Write("updates/words.re", "2\n# another comment\n1 1\ta\n");
    Write("words.re", "2\n1 1\tb\n");
    CWordList list("words");
    ASSERT_TRUE(list.Load());
    EXPECT_EQ(Dump(list), "b 4 1 1\n");
    EXPECT_EQ(Read("defaults/words.re"), "2\n# another comment\n1 1\ta\n");
    EXPECT_EQ(Read("updates/words.re"), "");
    EXPECT_EQ(Read("words.re"), "2\n1 1\tb\n");
}

TEST_F(PatternListTest, RestoreReadsTheDefaults) {
    CWordList list("words");
    list.Add("x", 0, 1, 1);
    EXPECT_FALSE(list.Restore());
    EXPECT_EQ(list.GetCount(), 0);
    Write("defaults/words.re", "2\n1 1\tshipped\n");
    EXPECT_TRUE(list.Restore());
    EXPECT_EQ(Dump(list), "shipped 4 1 1\n");
    EXPECT_TRUE(list.MatchSubject("a shipped thing"));
}

}  // namespace

// Entries made of long runs of blanks with fuzzy letters between them multiply the
// states of the automaton: a list found by the fuzzer took over 2 GB to compile. Such a
// list is refused (it matches nothing), quickly and within memory; real lists compile.
TEST_F(PatternListTest, AListTooComplexToCompileMatchesNothing) {
    std::string contents;
    ASSERT_TRUE(ReadWholeFile(std::string(QUILLON_TEST_DATA) + "/wordlist-state-blowup.re",
                              contents));
    CPatternList list("blowup");
    CListFile::Parse(contents, [&list](const std::string& written, int subject, int content) {
        std::string text;
        int kind = 0;
        if (CPatternEntry::ParseSyntax(written, text, kind))
            list.Add(text.c_str(), kind, subject, content);
    });
    ASSERT_GT(list.GetCount(), 0);
    EXPECT_FALSE(list.Compile());
    EXPECT_FALSE(list.Match(contents.c_str(), contents.size()));

    CPatternList plain("plain");
    ASSERT_TRUE(plain.Add("free offer", PK_CONTAINS, 3, 3));
    EXPECT_TRUE(plain.Compile());
}
