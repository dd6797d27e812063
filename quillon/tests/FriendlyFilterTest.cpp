// The friendly filter: every check with its note and counter, the switches, the maker's
// domains with offensive words, and the own-name check over real friends data.
#include "filter/FriendlyFilter.h"

#include "FilterFixture.h"
#include "friends/FriendsState.h"
#include "kinbook/friends/FriendData.h"

namespace {

class FriendlyFilterTest : public CFilterFixture {
protected:
    void SetUp() override {
        CFilterFixture::SetUp();
        Friends() = {{"me@home.org", FRIENDLY_ME},
                     {"ann@friends.org", FRIENDLY_FRIEND},
                     {"bob@corp.com", FRIENDLY_COMPANY},
                     {"news@lists.org", FRIENDLY_MAILING_LIST}};
        SetList(FL_BADWORDS, {"*sex*"});
        SetList(FL_KEYWORDS, {"*project quill*"});
    }
    CFriendlyFilter& Filter() { return *m_chain->GetFriendlyFilter(); }
};

using F = CFriendlyFilter;

struct SFriendlyCase {
    const char* headers;
    const char* body;
    std::vector<std::pair<int, int>> settings;
    const char* note;  // empty: not claimed
    int counter;
};

// clang-format off
const SFriendlyCase kFriendlyCases[] = {
    {"From: me@home.org", "", {}, "friendly: from yourself", F::kMyself},
    {"From: Ann <ann@friends.org>", "", {}, "friendly: from a friend", F::kFriend},
    {"From: bob@corp.com", "", {}, "friendly: from a known company", F::kCompany},
    {"From: news@lists.org", "", {}, "friendly: from an email list", F::kEmailList},
    {"From: ann@friends.org", "", {{F::kFromFriendCheck, 0}}, "", 0},
    {"From: me@home.org", "", {{F::kFromMeCheck, 0}}, "", 0},
    {"From: bob@corp.com", "", {{F::kFromCompanyCheck, 0}}, "", 0},
    {"From: x@brevant.com\nSubject: hello", "fine", {}, "friendly: from Brevant, \"@brevant.com\"",
     F::kCompany},
    {"From: x@brevant.com\nSubject: free sex", "fine", {}, "", 0},
    {"From: x@brevant.com\nSubject: hello", "sex here", {}, "", 0},
    {"From: x@notbrevant.com", "", {}, "", 0},
    {"From: x@stranger.net\nTo: y@else.net, ann@friends.org", "", {{F::kToFriendCheck, 1}},
     "friendly: to a friend", F::kToFriend},
    {"From: x@stranger.net\nTo: y@else.net\nCc: ann@friends.org", "", {{F::kToFriendCheck, 1}},
     "friendly: cc a friend", F::kToFriend},
    {"From: x@stranger.net\nTo: ann@friends.org", "", {}, "", 0},
    {"From: x@stranger.net\nTo: me@home.org, bob@corp.com", "", {{F::kToFriendCheck, 1}}, "", 0},
    {"To: ann@friends.org", "", {{F::kToFriendCheck, 1}}, "friendly: to a friend", F::kToFriend},
    {"From: x@stranger.net\nSender: news@lists.org", "", {}, "friendly: sender an email list",
     F::kEmailList},
    {"From: x@stranger.net\nReply-To: news@lists.org", "", {}, "friendly: reply-to an email list",
     F::kEmailList},
    {"From: x@stranger.net\nTo: news@lists.org", "", {}, "friendly: to an email list",
     F::kEmailList},
    {"From: x@stranger.net\nCc: news@lists.org", "", {}, "friendly: cc an email list",
     F::kEmailList},
    {"From: x@stranger.net\nReply-To: news@lists.org", "", {{F::kFromEmailListCheck, 0}}, "", 0},
    {"From: x@stranger.net\nSubject: Project  Quill news", "project quill",
     {{F::kKeyPhraseCheck, 1}}, "friendly: \"project quill\" in subject", F::kKeyword},
    {"From: x@stranger.net\nSubject: news", "about project quill", {{F::kKeyPhraseCheck, 1}},
     "friendly: \"project quill\" in body", F::kKeyword},
    {"From: x@stranger.net\nSubject: project quill", "", {}, "", 0},
};
// clang-format on

TEST_F(FriendlyFilterTest, ChecksNotesAndCounters) {
    for (const auto& c : kFriendlyCases) {
        SetUp();
        for (const auto& [setting, value] : c.settings) Filter().SetSetting(setting, value);
        CMessage* message = Message(c.headers, c.body);
        const bool claimed = Filter().Examine(message);
        EXPECT_EQ(claimed, c.note[0] != '\0') << c.headers;
        EXPECT_EQ(m_chain->GetLastNote(), c.note) << c.headers;
        EXPECT_EQ(Filter().GetCounter(CFilter::kInvoked), 1);
        EXPECT_EQ(Filter().GetCounter(CFilter::kTrue), claimed ? 1 : 0);
        if (claimed) {
            EXPECT_EQ(Filter().GetCounter(c.counter), 1) << c.headers;
            EXPECT_EQ(message->GetQLNotes(), std::string("X-Quillon-Analysis: ") + c.note + "\r\n");
        }
    }
}

TEST_F(FriendlyFilterTest, OwnNameMustMatchWhenAsked) {
    ResetFriendsState();
    m_chain->SetFriendlyLookup(nullptr);  // the friends data itself
    CFriendData me;
    ASSERT_TRUE(me.Create("me@home.org", "Home Office", AS_ME, ""));
    const struct {
        const char* from;
        int nameCheck;
        bool friendly;
    } cases[] = {
        {"From: HOME OFFICE <me@home.org>", 1, true},
        {"From: Home Office <me@home.org>", 1, true},
        {"From: Someone Else <me@home.org>", 1, false},
        {"From: me@home.org", 1, false},
        {"From: me@home.org", 0, true},
    };
    for (const auto& c : cases) {
        Filter().SetSetting(CFriendlyFilter::kMeNameCheck, c.nameCheck);
        EXPECT_EQ(Filter().Examine(Message(c.from)), c.friendly) << c.from;
    }
    ResetFriendsState();
}

TEST_F(FriendlyFilterTest, SettingsAndCountersPersist) {
    Filter().SetSetting(CFriendlyFilter::kKeyPhraseCheck, 1);
    Filter().SaveSettings();
    Filter().Examine(Message("From: ann@friends.org"));
    Filter().SaveStats();
    CFriendlyFilter again(m_chain.get());
    EXPECT_EQ(again.GetSetting(CFriendlyFilter::kKeyPhraseCheck), 1);
    EXPECT_EQ(again.GetSetting(CFriendlyFilter::kMeNameCheck), 0);
    EXPECT_EQ(again.GetCounter(CFriendlyFilter::kFriend), 1);
    EXPECT_EQ(again.GetAction(), MS_INBOX);
    again.ClearStats();
    EXPECT_EQ(again.GetCounter(CFilter::kInvoked), 0);
}

}  // namespace
