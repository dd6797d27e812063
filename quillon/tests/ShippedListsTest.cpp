#include "filter/ShippedLists.h"

#include <gtest/gtest.h>

#include "TestHome.h"
#include "filter/DomainList.h"
#include "filter/WordList.h"
#include "kinbook/foundation/Paths.h"

namespace {

class ShippedListsTest : public ::testing::Test {
protected:
    std::string Read(const std::string& path) {
        std::string text;
        ReadWholeFile(path, text);
        return text;
    }

    CTestHome m_home;
    const std::string m_shipped = std::string(QUILLON_BIN_DIR) + "/../share/quillon/defaults";
};

TEST_F(ShippedListsTest, TheBuildPutsTheListsWhereTheProgramLooks) {
    EXPECT_EQ(GetShippedListsFolder(), m_shipped);
    std::vector<std::string> notes;
    InstallShippedLists(GetShippedListsFolder(), GetUserDataPath(), notes);
    EXPECT_TRUE(notes.empty()) << notes.front();

    CWordList bad("badwords");
    ASSERT_TRUE(bad.Load());
    EXPECT_GE(bad.GetCount(), 300);
    EXPECT_TRUE(bad.HasContentEntries());
    EXPECT_TRUE(bad.MatchSubject("what the f.u.c.k.i.n.g hell"));
    EXPECT_TRUE(bad.MatchContent("Piece of  Shit!"));
    for (const char* clean : {"Scunthorpe class assignment", "Cocktail hour in Essex",
                              "analysis of the shitake harvest", "summa cum laude"})
        EXPECT_FALSE(bad.MatchContent(clean)) << clean << " matched " << bad.GetLastMatch();

    CDomainList codes("cocodes");
    ASSERT_TRUE(codes.Load());
    ASSERT_EQ(codes.GetCount(), 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(codes.GetEntry(i).m_text, kCountryCodes[i]);
    EXPECT_TRUE(codes.Match("li@example.com.cn"));
    EXPECT_FALSE(codes.Match("li@example.cnn.com"));

    CDomainList makers("Brevant");
    ASSERT_TRUE(makers.Load());
    ASSERT_EQ(makers.GetCount(), 5);
    EXPECT_EQ(makers.GetEntry(0).m_text, kMakerDomains[0]);
    for (const char* name : {"words", "keywords", "domains"}) {
        CWordList empty(name);
        EXPECT_TRUE(empty.Load()) << name;
        EXPECT_EQ(empty.GetCount(), 0) << name;
    }
}

TEST_F(ShippedListsTest, LaterShippedListsArriveAsUpdates) {
    const std::string shipped = m_home.Path() + "/shipped";
    const std::string data = GetUserDataPath();
    MakeFolders(shipped);
    for (const char* name : kShippedListNames)
        WriteFileAtomically(shipped + "/" + name + ".re", "2\n1 1\tfirst\n");
    std::vector<std::string> notes;
    InstallShippedLists(shipped, data, notes);
    EXPECT_TRUE(notes.empty());
    EXPECT_EQ(Read(data + "/defaults/words.re"), "2\n1 1\tfirst\n");
    EXPECT_EQ(Read(data + "/words.re"), "2\n1 1\tfirst\n");

    // The user's own list is never overwritten; a changed shipped list waits in "updates".
    WriteFileAtomically(data + "/words.re", "2\n1 1\tmine\n");
    InstallShippedLists(shipped, data, notes);
    EXPECT_EQ(Read(data + "/updates/words.re"), "");
    WriteFileAtomically(shipped + "/words.re", "2\n1 1\tfirst\n1 1\tsecond\n");
    InstallShippedLists(shipped, data, notes);
    EXPECT_EQ(Read(data + "/words.re"), "2\n1 1\tmine\n");
    EXPECT_EQ(Read(data + "/updates/words.re"), "2\n1 1\tfirst\n1 1\tsecond\n");

    CWordList words("words");
    ASSERT_TRUE(words.Load());
    ASSERT_EQ(words.GetCount(), 2);
    EXPECT_EQ(words.GetEntry(0).m_text, "mine");
    EXPECT_EQ(words.GetEntry(1).m_text, "second");
    InstallShippedLists(shipped, data, notes);
    EXPECT_EQ(Read(data + "/updates/words.re"), "");
    EXPECT_TRUE(notes.empty());

    InstallShippedLists(m_home.Path() + "/nowhere", data, notes);
    EXPECT_EQ(notes.size(), 7u);
}

}  // namespace
