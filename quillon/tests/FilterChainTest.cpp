// The filter chain: the decisions, tags and counters of each category, the actions in
// the registry, counters and hit counts across runs, the dry run, the examination lock,
// and every message of the sample mail folders on the machine.
#include "filter/FilterChain.h"

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "FilterFixture.h"
#include "filter/BadFilter.h"
#include "filter/FilterProfile.h"
#include "filter/FriendlyFilter.h"
#include "filter/NiceFilter.h"
#include "filter/ShippedLists.h"

namespace {

const char kFriendMail[] = "From: ann@friends.org\nTo: me@home.org";
const char kBadMail[] = "Subject: no sender";
const char kNiceMail[] = "From: pat@stranger.net\nTo: me@home.org";
const char kOtherMail[] = "From: pat@stranger.net\nTo: list@lists.org";

class FilterChainTest : public CFilterFixture {
protected:
    void SetUp() override {
        CFilterFixture::SetUp();
        Friends() = {{"me@home.org", FRIENDLY_ME}, {"ann@friends.org", FRIENDLY_FRIEND}};
    }
};

TEST_F(FilterChainTest, CategoriesTagsLocationsAndCounters) {
    const struct {
        const char* headers;
        MSSTATUS niceAction, otherAction;
        MSSTATUS location;
        char tag;  // 0: left as it was
        CHAIN_COUNTER held;
        const char* note;
    } cases[] = {
        {kFriendMail, MS_HOLD, MS_HOLD, MS_INBOX, 0, CC_FRIEND_HELD, "friendly: from a friend"},
        {kBadMail, MS_INBOX, MS_INBOX, MS_HOLD, 'X', CC_EVIL_HELD, "bad: from address empty"},
        {kNiceMail, MS_HOLD, MS_HOLD, MS_HOLD, 'N', CC_NICE_HELD, "nice"},
        {kNiceMail, MS_INBOX, MS_HOLD, MS_INBOX, 'N', CC_NICE_HELD, "nice"},
        {kOtherMail, MS_HOLD, MS_HOLD, MS_HOLD, 'Q', CC_QUESTIONABLE_HELD,
         "other: not to or cc me"},
        {kOtherMail, MS_HOLD, MS_INBOX, MS_INBOX, 'Q', CC_QUESTIONABLE_HELD,
         "other: not to or cc me"},
        {kOtherMail, MS_HOLD, MS_DELETED, MS_DELETED, 'Q', CC_QUESTIONABLE_HELD,
         "other: not to or cc me"},
    };
    for (const auto& c : cases) {
        SetUp();
        m_chain->GetNiceFilter()->SetAction(c.niceAction);
        m_chain->SetOtherAction(c.otherAction);
        CMessage* message = Message(c.headers, "Hi.\r\n", 100);
        EXPECT_EQ(m_chain->Examine(message), c.location) << c.headers;
        EXPECT_EQ(Tag(message), c.tag) << c.headers;
        EXPECT_EQ(m_chain->GetLastNote(), c.note);
        const bool passed = c.location == MS_INBOX;
        EXPECT_EQ(m_chain->GetCounter(CC_PASSED), passed ? 1 : 0);
        EXPECT_EQ(m_chain->GetCounter(CC_HELD), passed ? 0 : 1);
        EXPECT_EQ(m_chain->GetCounter(c.held), passed ? 0 : 1);
        EXPECT_EQ(m_chain->GetOtherInvoked(), c.tag == 'Q' ? 1 : 0);
        const SCheckTallies tallies = m_chain->GetCheckTallies();
        EXPECT_EQ(tallies.friendly + tallies.bad + tallies.nice + tallies.other, 1);
    }
}

TEST_F(FilterChainTest, ActionTexts) {
    const struct {
        const char* stored;  // null: missing
        MSSTATUS action;
    } cases[] = {
        {nullptr, MS_HOLD}, {"inbox", MS_INBOX},    {"Inbox", MS_INBOX}, {"junk", MS_HOLD},
        {"HOLD", MS_HOLD},  {"delete", MS_DELETED}, {"jail", MS_INBOX},  {"", MS_INBOX},
    };
    for (const auto& c : cases) {
        SetUp();
        if (c.stored != nullptr) {
            WriteProfileText("Settings\\Nice Filter", "Action", c.stored);
            WriteProfileText(CFilterChain::kQuestionableSection, "Action", c.stored);
        }
        m_chain->LoadFilters();
        EXPECT_EQ(m_chain->GetNiceFilter()->GetAction(), c.action) << (c.stored ? c.stored : "-");
        EXPECT_EQ(m_chain->GetOtherAction(), c.action);
        EXPECT_EQ(m_chain->GetBadFilter()->GetAction(), MS_HOLD);
        EXPECT_EQ(m_chain->GetFriendlyFilter()->GetAction(), MS_INBOX);
    }
    for (MSSTATUS action : {MS_DELETED, MS_HOLD, MS_INBOX, MS_JAIL}) {
        m_chain->SetOtherAction(action);
        m_chain->SaveOtherAction();
        EXPECT_EQ(ReadProfileText(CFilterChain::kQuestionableSection, "Action", "?"),
                  action == MS_DELETED ? "delete"
                  : action == MS_HOLD  ? "hold"
                                       : "inbox");
    }
}

TEST_F(FilterChainTest, CountersAndHitsOutliveTheRun) {
    SetList(FL_WORDS, {"*viagra*"});
    ASSERT_TRUE(m_chain->GetList(FL_WORDS)->Save());
    for (const char* headers : {kFriendMail, kBadMail, kNiceMail, kOtherMail})
        m_chain->Examine(Message(headers, "Hi.\r\n", 100));
    m_chain->Examine(Message("From: x@y.org\nSubject: hi", "viagra\r\n", 100));
    EXPECT_EQ(m_chain->GetCounter(CC_BODY_READ), 3);  // nice, other and the viagra body
    EXPECT_TRUE(m_chain->CountReleased('X'));
    EXPECT_TRUE(m_chain->CountDeleted('Q'));
    EXPECT_TRUE(m_chain->CountDeleted('N'));
    EXPECT_FALSE(m_chain->CountReleased('-'));
    EXPECT_FALSE(m_chain->CountDeleted(0));
    ASSERT_TRUE(m_chain->ReloadLists());
    m_chain.reset();
    EXPECT_TRUE(std::filesystem::exists(m_home.Path() + "/words.dat"));
    EXPECT_FALSE(std::filesystem::exists(m_home.Path() + "/links.dat")) << "kept in memory only";

    CFilterChain again;
    again.LoadFilters();
    const int expected[CC_COUNT] = {1, 4, 0, 2, 1, 1, 1, 0, 0, 0, 1, 1, 3};
    for (int i = 0; i < CC_COUNT; ++i)
        EXPECT_EQ(again.GetCounter(static_cast<CHAIN_COUNTER>(i)), expected[i])
            << CFilterChain::CounterName(static_cast<CHAIN_COUNTER>(i));
    EXPECT_EQ(again.GetOtherInvoked(), 1);
    EXPECT_EQ(again.GetFriendlyFilter()->GetCounter(CFilter::kInvoked), 5);
    EXPECT_EQ(again.GetBadFilter()->GetCounter(CBadFilter::kCommercialBody), 1);
    EXPECT_EQ(again.GetNiceFilter()->GetCounter(CNiceFilter::kToMe), 1);
    EXPECT_EQ(again.GetList(FL_WORDS)->GetEntry(0).m_hits, 1);

    ASSERT_TRUE(again.ClearCounters());
    EXPECT_EQ(ReadProfileText(kSettingsSection, "Filter Stats Date", "?"), "");
    CFilterChain cleared;
    cleared.LoadFilters();
    for (int i = 0; i < CC_COUNT; ++i)
        EXPECT_EQ(cleared.GetCounter(static_cast<CHAIN_COUNTER>(i)), 0);
    EXPECT_EQ(cleared.GetOtherInvoked(), 0);
    EXPECT_EQ(cleared.GetFriendlyFilter()->GetCounter(CFilter::kInvoked), 0);
    EXPECT_EQ(cleared.GetBadFilter()->GetCounter(CBadFilter::kCommercialBodyInvoked), 0);
}

TEST_F(FilterChainTest, ADryRunWritesNothing) {
    m_chain.reset();
    const std::string hive = m_home.HiveFile();
    std::error_code ignored;
    std::filesystem::remove_all(m_home.Path(), ignored);
    std::filesystem::create_directories(m_home.Path());
    {
        CFilterChain dry(true);
        dry.SetFriendlyLookup(&Lookup);
        dry.LoadFilters();
        CMessage* message = Message("From: x@y.cn\nSubject: hi", "Hi.\r\n", 100);
        dry.GetBadFilter()->SetSetting(CBadFilter::kLanguageCheck, 1);
        EXPECT_EQ(dry.Examine(message), MS_HOLD);
        EXPECT_EQ(dry.GetLastNote(), "bad: from non-western country code - x@y.cn");
        EXPECT_FALSE(dry.ReloadLists());
        EXPECT_FALSE(dry.SaveCounters());
        EXPECT_FALSE(dry.ClearCounters());
        EXPECT_EQ(dry.GetCounter(CC_EVIL_HELD), 1);
    }
    EXPECT_TRUE(std::filesystem::is_empty(m_home.Path())) << m_home.Path();
}

TEST_F(FilterChainTest, ShippedListsLoadAndMatchAsWordLists) {
    m_chain.reset();
    std::vector<std::string> notes;
    InstallShippedLists(std::string(QUILLON_BIN_DIR) + "/../share/quillon/defaults", m_home.Path(),
                        notes);
    ASSERT_TRUE(notes.empty()) << notes.front();
    CFilterChain chain;
    chain.SetFriendlyLookup(&Lookup);
    chain.LoadFilters();
    CWordList* badwords = chain.GetWordList(FL_BADWORDS);
    ASSERT_NE(badwords, nullptr);
    EXPECT_TRUE(badwords->MatchSubject("you fucking idiot"));
    EXPECT_TRUE(badwords->MatchContent("you fucking idiot"));
    // The same file read as a plain pattern list keeps the written kinds: an entry
    // without asterisks is exact, so it matches a whole text only.
    CPatternList plain("badwords");
    ASSERT_TRUE(plain.Load());
    EXPECT_FALSE(plain.Match("you fucking idiot"));
    EXPECT_TRUE(plain.Match("Fucking"));
    EXPECT_EQ(plain.GetEntry(0).m_kind, PK_EXACT);
    EXPECT_EQ(chain.Examine(Message("From: a@b.org\nSubject: fuck", "", 100)), MS_HOLD);
    EXPECT_EQ(chain.GetLastNote(), "bad: offensive words in subject");
}

// A lookup that stops the examination that calls it until the test lets it go.
struct SGate {
    std::mutex mutex;
    std::condition_variable changed;
    bool inside = false;
    bool open = false;
};
SGate* g_gate = nullptr;

FRIENDLY GatedLookup(const char* address) {
    std::unique_lock<std::mutex> lock(g_gate->mutex);
    g_gate->inside = true;
    g_gate->changed.notify_all();
    g_gate->changed.wait(lock, [] { return g_gate->open; });
    return address == std::string("me@home.org") ? FRIENDLY_ME : FRIENDLY_NONE;
}

TEST_F(FilterChainTest, ChangesWaitForTheExaminationInProgress) {
    const struct {
        std::function<void(CFilterChain&)> change;
        int held;  // "Emails Held" afterwards
    } changes[] = {
        {[](CFilterChain& chain) { chain.ClearCounters(); }, 0},
        {[](CFilterChain& chain) { chain.CountReleased('Q'); }, 1},
        {[](CFilterChain& chain) {
             chain.ReplaceList(FL_LINKS, nullptr);
             chain.ReplaceList(FL_OK_LINKS, nullptr);
         },
         1},
        {[](CFilterChain& chain) {
             CLock lock(&chain.GetLock());
             chain.GetNiceFilter()->SetSetting(CNiceFilter::kHyperlinksCheck, 0);
         },
         1},
    };
    for (const auto& [change, held] : changes) {
        SetUp();
        SGate gate;
        g_gate = &gate;
        m_chain->SetFriendlyLookup(&GatedLookup);
        CMessage* message = Message(kNiceMail, "see http://evil.org/\r\n", 100);
        MSSTATUS result = MS_ANY;
        std::thread examination([&] { result = m_chain->Examine(message); });
        {
            std::unique_lock<std::mutex> lock(gate.mutex);
            gate.changed.wait(lock, [&] { return gate.inside; });
        }
        std::atomic<bool> changed{false};
        std::thread user([&] {
            change(*m_chain);
            changed = true;
        });
        // Whenever the change runs, it must not see or alter the examination half done.
        for (int i = 0; i < 1000 && !changed; ++i) std::this_thread::yield();
        {
            std::lock_guard<std::mutex> lock(gate.mutex);
            gate.open = true;
            gate.changed.notify_all();
        }
        examination.join();
        user.join();
        // The examination ran whole with the old settings and lists, before the change.
        EXPECT_EQ(result, MS_HOLD);
        EXPECT_EQ(m_chain->GetLastNote(), "other: contains hyperlinks (http://evil.org)");
        EXPECT_EQ(m_chain->GetCounter(CC_HELD), held);
        EXPECT_EQ(m_chain->GetOtherInvoked(), held);
        g_gate = nullptr;
    }
}

// Every message of a sample mail folder gets a place and a note; false when the package
// that ships the folder is not installed.
bool ClassifyFolder(const std::string& folder, const std::string& pattern) {
    namespace fs = std::filesystem;
    if (!fs::is_directory(folder))
        return false;
    SCOPED_TRACE(folder);
    CFilterChain chain(true);
    chain.LoadFilters();
    int examined = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (!entry.is_regular_file() || name.find(pattern) == std::string::npos)
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream raw;
        raw << in.rdbuf();
        std::string text;
        for (char c : raw.str()) {
            if (c == '\n' && (text.empty() || text.back() != '\r'))
                text += '\r';
            text += c;
        }
        CMessage message;
        message.SetHeader(text, -1);
        message.SetSize(static_cast<int>(text.size()));
        const MSSTATUS location = chain.Examine(&message);
        EXPECT_TRUE(location == MS_INBOX || location == MS_HOLD) << name;
        EXPECT_FALSE(chain.GetLastNote().empty()) << name;
        ++examined;
    }
    EXPECT_GT(examined, 0);
    EXPECT_EQ(chain.GetFriendlyFilter()->GetCounter(CFilter::kInvoked), examined);
    return true;
}

class FilterChainCorpusTest : public ::testing::Test {
protected:
    CTestHome m_home;
};

TEST_F(FilterChainCorpusTest, SampleMailFolders) {
    const std::pair<const char*, const char*> folders[] = {
        {"/usr/lib/python3/dist-packages/flufl/bounce/tests/data", ".txt"},
        {"/usr/share/gocode/src/github.com/jhillyerd/enmime/testdata/mail", ".raw"},
        {"/usr/share/gocode/src/github.com/jhillyerd/enmime/testdata/low-quality", ".raw"},
        {"/usr/share/gocode/src/github.com/jhillyerd/enmime/testdata/parts", ".raw"},
        {"/usr/lib/python3.11/test/test_email/data", "msg_"},
        {"/usr/lib/python3/dist-packages/dkim/tests/data", ".msg"},
        {"/usr/share/doc/spamassassin/examples", "sample-"},
    };
    int installed = 0;
    for (const auto& [folder, pattern] : folders) installed += ClassifyFolder(folder, pattern);
    if (installed == 0)
        GTEST_SKIP() << "no sample mail package installed";
}

}  // namespace
