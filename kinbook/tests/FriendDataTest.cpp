// The exported friends interface: weak handles, updates, lists by kind, the strict
// address check and the user-interface hook.
#include "kinbook/friends/FriendData.h"

#include "FriendsFixture.h"
#include "kinbook/foundation/RegistryKey.h"

namespace {

class FriendDataTest : public FriendsFixture {};

TEST_F(FriendDataTest, HandlesEmptyWhenTheirFriendGoes) {
    CFriendData a;
    ASSERT_TRUE(a.Create("ann@example.com", "Ann", AS_MANUAL, "note"));
    EXPECT_TRUE(Exists("friends.csv")) << "Create saves at once";
    CFriendData b(a), c;
    c = a;
    EXPECT_EQ(b.GetName(), "Ann");
    EXPECT_EQ(c.GetFriendly(), FRIENDLY_FRIEND);
    EXPECT_TRUE(b.Delete());
    for (const CFriendData* h : {&a, &b, &c}) {
        EXPECT_EQ(h->GetName(), "");
        EXPECT_EQ(h->GetCount(), -1);
        EXPECT_EQ(h->GetSourceQuality(), AS_UNKNOWN);
        EXPECT_EQ(h->GetFriendly(), FRIENDLY_NONE);
        EXPECT_EQ(h->GetDate(), 0);
    }
    EXPECT_FALSE(a.Delete());
    EXPECT_FALSE(a.Update(FRD_NAME, nullptr, "x", AS_MANUAL, nullptr));
    EXPECT_FALSE(a.Lookup("ann@example.com"));
    EXPECT_EQ(IsAddressFriendly("ann@example.com"), FRIENDLY_NONE);
    // A handle that outlives its friend's record is empty too.
    CFriendData d;
    ASSERT_TRUE(d.Create("bob@example.com", nullptr, AS_MANUAL, nullptr));
    CFriend* bob = CFriend::FindByAddress("bob@example.com");
    CFriend::RemoveList(&bob, 1);
    EXPECT_TRUE(d.IsEmpty());
    EXPECT_FALSE(a.Create("not an address", nullptr, AS_MANUAL, nullptr));
}

TEST_F(FriendDataTest, UpdateChangesWhatItNames) {
    CFriendData h;
    ASSERT_TRUE(h.Create("ann@example.com", nullptr, AS_MANUAL, "met in Rome"));
    int count = h.GetCount();
    EXPECT_FALSE(
        h.Update(FRD_MATCH_ADDRESS | FRD_NAME, "bob@example.com", "Bob", AS_MANUAL, nullptr));
    EXPECT_EQ(h.GetName(), "ann@example.com");
    EXPECT_TRUE(h.Update(FRD_MATCH_ADDRESS | FRD_SOURCE, "ANN@example.com", nullptr, AS_MANUAL,
                         "met in Rome"));
    EXPECT_EQ(CFriend::FindByAddress("ann@example.com")->GetSourceCount(), 1) << "no duplicate";
    EXPECT_EQ(h.GetCount(), count + 1);
    EXPECT_TRUE(h.Update(FRD_NAME | FRD_NOTE, nullptr, "Ann", AS_MANUAL, "line\nbreak"));
    EXPECT_EQ(h.GetName(), "Ann");
    EXPECT_EQ(h.GetNote(), "line\nbreak");
    EXPECT_EQ(h.GetSourceDesc(), "Manual: line\nbreak");
    EXPECT_TRUE(h.Update(FRD_SOURCE, nullptr, nullptr, AS_MAILING_LIST, "list"));
    EXPECT_EQ(h.GetFriendly(), FRIENDLY_MAILING_LIST);
    EXPECT_EQ(CFriend::GetDirtyCount(), 0) << "each update saved";
}

TEST_F(FriendDataTest, ListsByKindWithPositions) {
    CFriendData h;
    ASSERT_TRUE(h.Create("me@home.org", nullptr, AS_ME, nullptr));
    ASSERT_TRUE(h.Create("me@work.org", nullptr, AS_ME, nullptr));
    ASSERT_TRUE(h.Create("list@lists.org", nullptr, AS_MAILING_LIST, nullptr));
    ASSERT_TRUE(h.Create("friend@x.org", nullptr, AS_MANUAL, nullptr));
    CFriendDataArray* me = nullptr;
    CFriendDataArray* lists = nullptr;
    ASSERT_TRUE(GetMe(&me));
    ASSERT_TRUE(GetMailingLists(&lists));
    ASSERT_EQ(me->size(), 2u);
    ASSERT_EQ(lists->size(), 1u);
    EXPECT_EQ((*lists)[0].GetAddress(), "list@lists.org");
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ((*me)[i].GetPositionHandle()->array, me);
        EXPECT_EQ((*me)[i].GetPositionHandle()->index, i);
        EXPECT_EQ((*me)[i].GetFriendly(), FRIENDLY_ME);
    }
    CFriendData ann;
    ann.Lookup("me@home.org");
    ann.Delete();
    EXPECT_TRUE((*me)[0].IsEmpty() || (*me)[1].IsEmpty());
    delete me;
    delete lists;
    int live = 0;
    CFriendData each;
    for (auto p = CFriendData::StartFriends(); CFriendData::EnumFriends(p, each);) ++live;
    EXPECT_EQ(live, 3);
}

TEST_F(FriendDataTest, StrictAddressCheck) {
    struct Case {
        const char* text;
        int valid;
    } cases[] = {
        {"ann@example.com", 1},
        {"first.last@mail.example.com", 1},
        {"a@b.c", 1},
        {"@example.com", 0},
        {"ann@example", 0},
        {"ann@example.com.", 0},
        {"ann@example..com", 0},
        {"ann@.example.com", 0},
        {"ann@@example.com", 0},
        {"a@b@example.com", 0},
        {"ann @example.com", 0},
        {"ann@example.com\t", 0},
        {"", 0},
        {"ann", 0},
        {".ann.@x.org", 1},
    };
    for (const Case& c : cases) EXPECT_EQ(ValidateAddress(c.text), c.valid) << c.text;
    EXPECT_EQ(ValidateAddress(nullptr), 0);
}

int s_wizardRuns = 0;
int s_wizardResult = 1;

TEST_F(FriendDataTest, WizardAndDialogsGoThroughTheHook) {
    // Headless: nothing shown, nothing written, dialogs cancel.
    FRRunWizard(0);
    EXPECT_EQ(InvokeAddUI(), 2);
    EXPECT_EQ(InvokeAddCompanyUI(), 2);
    EXPECT_EQ(GetFriendsPage(0), nullptr);
    static int page = 0;
    static const SFriendsUI ui = {[] { return ++s_wizardRuns, s_wizardResult; }, [] { return 1; },
                                  nullptr,
                                  [](int which) -> void* { return which == 1 ? &page : nullptr; }};
    SetFriendsUI(&ui);
    s_wizardRuns = 0;
    s_wizardResult = 0;  // cancelled
    FRRunWizard(0);
    FRRunWizard(0);
    EXPECT_EQ(s_wizardRuns, 2);
    s_wizardResult = 1;
    FRRunWizard(0);
    FRRunWizard(0);
    EXPECT_EQ(s_wizardRuns, 3) << "a finished wizard is not shown again";
    FRRunWizard(1);
    EXPECT_EQ(s_wizardRuns, 4);
    CRegistryKey key;
    DWORD ran = 0;
    ASSERT_TRUE(key.Open(HKEY_CURRENT_USER, "SOFTWARE\\Brevant\\Quillon\\Settings"));
    EXPECT_TRUE(key.QueryValue("RanWizard", ran));
    EXPECT_EQ(ran, 1u);
    EXPECT_EQ(InvokeAddUI(), 1);
    EXPECT_EQ(InvokeAddCompanyUI(), 2);
    EXPECT_EQ(GetFriendsPage(1), &page);
    EXPECT_EQ(GetFriendsPage(3), nullptr);
    SetFriendsUI(nullptr);
}

TEST_F(FriendDataTest, ExportedHelpers) {
    EXPECT_STREQ(AddressSourceDesc(AS_MAILING_LIST), "Mailing list");
    EXPECT_STREQ(AddressSourceDesc(static_cast<ADDRESS_SOURCE>(99)), "Unknown");
    EXPECT_EQ(AddressSourceSortOrder(AS_MANUAL), 2);
    EXPECT_EQ(AddressSourceSortOrder(static_cast<ADDRESS_SOURCE>(-1)), 32767);
    EXPECT_EQ(ParseDate("Tue, 1 Jan 2002 00:00:00 GMT"), 1009843200L);
    EXPECT_EQ(ParseDate("no date"), -1L);
    EXPECT_EQ(GetUserDataPath(), m_home.Path());
}

}  // namespace
