// "friends.csv", "companies.csv" and their side files: formats, merges, backups, corrupted
// input, saves killed half-way and changes saved by another process.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "FriendsFixture.h"
#include "KilledSaver.h"
#include "kinbook/foundation/FoundationLog.h"
#include "kinbook/friends/Importer.h"

namespace {

std::vector<std::string> s_log;
void Collect(const char* line) {
    s_log.emplace_back(line);
}

class FriendsFileTest : public FriendsFixture {
protected:
    void SetUp() override {
        FriendsFixture::SetUp();
        s_log.clear();
        SetFoundationLogSink(&Collect);
    }
    void TearDown() override {
        SetFoundationLogSink(nullptr);
        SetFriendsErrorPrompt(nullptr);
        FriendsFixture::TearDown();
    }
    static std::string Line(const char* address, int state, const char* name, int source,
                            const char* note, int date, int count, int books) {
        char text[512];
        std::snprintf(text, sizeof text,
                      "\"%s\",\"%d\",\"%s\",\"%d\",\"%s\",\"%d\",\"%d\",\"%d\"\r\n", address, state,
                      name, source, note, date, count, books);
        return text;
    }
};

TEST_F(FriendsFileTest, FriendsRoundTrip) {
    const std::string note = "line one\r\nsays \"hi\" C:\\path\\";
    ASSERT_TRUE(
        CFriend::CreateFriendManually("ann@example.com", "Ann Example", AS_MANUAL, note.c_str()));
    CFriend* plain = CFriend::CreateFriendManually("bob@example.com", nullptr, AS_ME, nullptr);
    plain->SetHitCount(7);
    CFriend* gone = CFriend::CreateFriendManually("gone@example.com", nullptr, AS_MANUAL, "");
    CFriend::DeleteList(&gone, 1);
    ASSERT_TRUE(SaveFriendsFile());
    EXPECT_EQ(CFriend::GetDirtyCount(), 0);
    std::string file = Read("friends.csv");
    EXPECT_NE(file.find("\"ann@example.com\",\"1\",\"Ann Example\",\"11\","
                        "\"line one\\r\\nsays \\\"hi\\\" C:\\\\path\\\\\",\""),
              std::string::npos)
        << file;
    EXPECT_NE(file.find("\"bob@example.com\",\"1\",\"\",\"0\",\"\",\""), std::string::npos);

    Restart();
    CFriendData ann;
    ASSERT_TRUE(ann.Lookup("ann@example.com"));
    EXPECT_EQ(ann.GetNote(), note);
    EXPECT_EQ(ann.GetName(), "Ann Example");
    EXPECT_EQ(ann.GetSourceQuality(), AS_MANUAL);
    CFriend* bob = CFriend::FindByAddress("bob@example.com");
    EXPECT_EQ(bob->GetName(), "bob@example.com");
    EXPECT_EQ(bob->GetHitCount(), 7) << "reading is not a sighting";
    EXPECT_EQ(bob->GetSource(0)->GetDescription(), "Loaded from friends file");
    EXPECT_EQ(IsAddressFriendly("bob@example.com"), FRIENDLY_ME);
    EXPECT_TRUE(CFriend::FindByAddress("gone@example.com")->IsDeleted());
    EXPECT_EQ(CFriend::GetDirtyCount(), 0);
}

TEST_F(FriendsFileTest, TwoLinesForOneAddressAndACorruptedLine) {
    Write("friends.csv",
          Line("a@x.org", 1, "Al", 11, "", 0, 1, 0) + Line("b@x.org", 1, "", 11, "", 0, 0, 0) +
              "\"c@x.org\",\"1\",\"broken\r\n" +  // does not read
              "# a comment\r\n\r\n" + Line("A@X.ORG", 8, "Alan Long", 2, "", 0, 1, 0) +
              Line("d@x.org", 1, "", 11, "", 0, 0, 0));
    EXPECT_EQ(IsAddressFriendly("d@x.org"), FRIENDLY_FRIEND) << "lines after the bad one load";
    CFriend* a = CFriend::FindByAddress("a@x.org");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->GetName(), "Alan Long") << "the longer name";
    EXPECT_TRUE(a->IsDeleted()) << "the later state";
    ASSERT_EQ(s_log.size(), 1u);
    EXPECT_NE(s_log[0].find("friends.csv line 3 does not read"), std::string::npos) << s_log[0];
    ASSERT_TRUE(SaveFriendsFile());
    Restart();
    for (const char* address : {"b@x.org", "d@x.org"})
        EXPECT_EQ(IsAddressFriendly(address), FRIENDLY_FRIEND) << address;
    EXPECT_TRUE(CFriend::FindByAddress("a@x.org")->IsDeleted());
    EXPECT_NE(Read("friends.csv.bak").find("broken"), std::string::npos) << "kept in the backup";
}

TEST_F(FriendsFileTest, ReFileMergesOnceAndTombstonesWin) {
    Write("friends.csv", Line("old@x.org", 8, "", 11, "", 0, 0, 0));
    Write("friends.re", "new@x.org  # from the admin\r\n  \r\nold@x.org\r\nnot an address\r\n");
    EXPECT_EQ(IsAddressFriendly("new@x.org"), FRIENDLY_FRIEND);
    EXPECT_EQ(IsAddressFriendly("old@x.org"), FRIENDLY_NONE) << "the tombstone keeps it deleted";
    EXPECT_EQ(CFriend::FindByAddress("new@x.org")->GetSourceQuality(), AS_MANUAL);
    ASSERT_TRUE(SaveFriendsFile());
    EXPECT_FALSE(Exists("friends.re"));
    EXPECT_TRUE(Exists("friends.re.bak"));
    // Saving twice leaves the first result as the backup.
    std::string first = Read("friends.csv");
    CFriend::CreateFriendManually("third@x.org", nullptr, AS_MANUAL, nullptr);
    ASSERT_TRUE(SaveFriendsFile());
    EXPECT_EQ(Read("friends.csv.bak"), first);
    // The checkpoint undoes what came after it.
    ASSERT_TRUE(CFriend::SaveFriends(1));
    CFriend::CreateFriendManually("imported@x.org", nullptr, AS_SENT_TO, nullptr);
    ASSERT_TRUE(CImporter::RestoreFriends());
    EXPECT_EQ(CFriend::FindByAddress("imported@x.org"), nullptr);
    EXPECT_NE(CFriend::FindByAddress("third@x.org"), nullptr);
    ASSERT_TRUE(SaveFriendsFile());
    EXPECT_FALSE(Exists("friends.tmp")) << "a normal save drops the checkpoint";
}

TEST_F(FriendsFileTest, CompaniesRoundTripAndReEntries) {
    Write("companies.csv",
          "\"corp.net\",\"3\",\"Corp Inc\",\"a \\\"note\\\"\\nmore\",\"4\"\r\n"
          "  # comment\r\n"
          "\"plain.org\",\"1\",\"\",\"\",\"0\"\r\n"
          "\"bad\r\n"
          "\"off.org\",\"0\",\"\",\"\",\"2\"\r\n");
    Write("companies.re", "*.wide.com # with sub-domains\r\n*@exact.com\r\nbare.com\r\n*@\r\n");
    CEmailDomain::GetRoot()->AddAddress("deep.sub.wide.com", nullptr, 0, 1);  // known before
    EXPECT_EQ(IsAddressFriendly("x@deep.corp.net"), FRIENDLY_COMPANY);
    EXPECT_EQ(IsAddressFriendly("x@plain.org"), FRIENDLY_COMPANY);
    EXPECT_EQ(IsAddressFriendly("x@off.org"), FRIENDLY_NONE);
    EXPECT_EQ(IsAddressFriendly("x@any.wide.com"), FRIENDLY_COMPANY);
    EXPECT_EQ(IsAddressFriendly("x@exact.com"), FRIENDLY_COMPANY);
    EXPECT_EQ(IsAddressFriendly("x@sub.exact.com"), FRIENDLY_NONE);
    EXPECT_EQ(IsAddressFriendly("x@bare.com"), FRIENDLY_COMPANY);
    CEmailDomain* corp = CEmailDomain::FindAddress("corp.net", 0);
    EXPECT_EQ(corp->GetNote(), "a \"note\"\nmore");
    EXPECT_EQ(corp->GetDisplayString(), "corp.net: Corp Inc; a \"note\"\nmore");
    ASSERT_TRUE(SaveCompaniesFile());
    EXPECT_TRUE(Exists("companies.re.bak"));
    std::string file = Read("companies.csv");
    EXPECT_NE(file.find("\"corp.net\",\"3\",\"Corp Inc\",\"a \\\"note\\\"\\nmore\",\"5\"\r\n"),
              std::string::npos)
        << file;
    // Sub-domains come before their parents.
    EXPECT_LT(file.find("\"deep.sub.wide.com\""), file.find("\"wide.com\""));

    Restart();
    EXPECT_EQ(IsAddressFriendly("x@new.wide.com"), FRIENDLY_COMPANY);
    EXPECT_EQ(IsAddressFriendly("x@sub.exact.com"), FRIENDLY_NONE)
        << "a domain accepted by itself stays so after a save";
    EXPECT_EQ(IsAddressFriendly("x@exact.com"), FRIENDLY_COMPANY);
    EXPECT_TRUE(CEmailDomain::FindAddress("corp.net", 0)->IncludeChildren());
}

TEST_F(FriendsFileTest, FailedSavesKeepTheListAndReportThroughThePrompt) {
    std::vector<std::string> prompts;
    SetFriendsErrorPrompt([&](const std::string& text, bool) {
        prompts.push_back(text);
        return 0;
    });
    CFriend::CreateFriendManually("a@x.org", nullptr, AS_MANUAL, nullptr);
    CEmailDomain::GetRoot()->AddAddress("x.org", nullptr, 0, 1)->SetState(ES_ACCEPTED);
    ASSERT_EQ(mkdir(Path("companies.csv").c_str(), 0700), 0);
    EXPECT_EQ(SaveAll(), 0);
    EXPECT_TRUE(Exists("friends.csv")) << "the friends file was still saved";
    ASSERT_EQ(prompts.size(), 1u);
    EXPECT_EQ(
        prompts[0].rfind("Couldn't save companies file '" + Path("companies.csv") + "':\n", 0), 0u)
        << prompts[0];
    EXPECT_TRUE(CEmailDomain::CompaniesListDirty());

    // Without a data folder nothing is read or written anywhere, and saving says why.
    setenv("QUILLON_HOME", (Path("friends.csv") + "/sub").c_str(), 1);
    ResetUserDataPath();
    Restart();
    EXPECT_EQ(GetUserDataPath(), "");
    CFriend::CreateFriendManually("b@x.org", nullptr, AS_MANUAL, nullptr);
    EXPECT_FALSE(CFriend::LoadFriends(0, 0));
    EXPECT_EQ(SaveFriendsFile(), 0);
    EXPECT_EQ(prompts.back(),
              "Couldn't save friends file 'friends.csv:\nthere is no user data folder");
    EXPECT_TRUE(CFriend::FriendsListDirty());
    EXPECT_FALSE(GetFileStamp("/friends.csv").exists);
}

// Another process (here a forked child, which starts from this one's memory) saves a
// change; this one sees it at its next look-up and keeps its own unsaved changes.
TEST_F(FriendsFileTest, ChangesSavedByAnotherProcessAreSeen) {
    CFriendData ann;
    ASSERT_TRUE(ann.Create("ann@x.org", "Ann", AS_MANUAL, "first"));
    pid_t child = fork();
    if (child == 0) {
        CFriendData handle;
        bool ok = handle.Create("bob@x.org", nullptr, AS_MAILING_LIST, nullptr) &&
                  handle.Lookup("ann@x.org") &&
                  handle.Update(FRD_NOTE, nullptr, nullptr, AS_MANUAL, "from the child");
        CEmailDomain::GetRoot()->AddAddress("corp.net", nullptr, 0, 1)->SetState(ES_ACCEPTED);
        _exit(ok && SaveCompaniesFile() ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // This process changed something of its own meanwhile and has not saved it.
    CFriend::CreateFriendManually("carol@x.org", nullptr, AS_MANUAL, nullptr);
    usleep(30000);  // past the interval between looks at the disk
    EXPECT_EQ(IsAddressFriendly("bob@x.org"), FRIENDLY_MAILING_LIST);
    EXPECT_EQ(IsAddressFriendly("x@corp.net"), FRIENDLY_COMPANY);
    EXPECT_EQ(ann.GetNote(), "from the child");
    ASSERT_TRUE(SaveFriendsFile());
    Restart();
    for (const char* address : {"ann@x.org", "bob@x.org", "carol@x.org"})
        EXPECT_NE(CFriend::FindByAddress(address), nullptr) << address;
}

// A process killed at random points while it saves leaves a whole friends file.
TEST_F(FriendsFileTest, KilledSaveLeavesOldOrNewFile) {
    constexpr int kFriends = 5000;
    std::mt19937 random(4242);
    for (int round = 0; round < 15; ++round) {
        const auto save = [&](int generation) {
            for (int i = 0; i < kFriends; ++i) {
                std::string address = std::string("f").append(std::to_string(i)).append("@x.org");
                CFriend* f = CFriend::FindByAddress(address.c_str());
                if (f == nullptr)
                    f = CFriend::CreateFriendManually(address.c_str(), nullptr, AS_MANUAL, "");
                f->SetNote("generation " + std::to_string(generation));
            }
            return SaveFriendsFile() != 0;
        };
        ASSERT_TRUE(KillWhileSaving([] { return true; }, save, 200000, random))
            << "the child saved once";

        Restart();
        std::string note;
        int count = 0;
        std::string key;
        CFriend* f;
        for (auto p = CFriend::StartFriends(); CFriend::EnumFriends(p, key, f, 1);) {
            ++count;
            if (note.empty())
                note = f->GetNote();
            EXPECT_EQ(f->GetNote(), note) << "one generation only, round " << round;
        }
        EXPECT_EQ(count, kFriends) << "round " << round;
        EXPECT_TRUE(s_log.empty()) << s_log.front();
    }
}

}  // namespace
