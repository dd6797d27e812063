// Friends and the domain tree in memory: sources, names, the friendly look-up and the
// acceptance rules of the tree.
#include "kinbook/friends/Friend.h"

#include "FriendsFixture.h"

namespace {

// prefix + i + suffix, built by appending (GCC 12 at -O3 warns falsely on "text" + string).
std::string Address(const char* prefix, int i, const char* suffix) {
    return std::string(prefix).append(std::to_string(i)).append(suffix);
}

class FriendTest : public FriendsFixture {
protected:
    CFriend* Add(const char* address, ADDRESS_SOURCE type, const char* note = "") {
        return CFriend::CreateFriendManually(address, nullptr, type, note);
    }
    CEmailDomain* Domain(const char* name, int state, bool includeChildren = false) {
        CEmailDomain* node = CEmailDomain::GetRoot()->AddAddress(name, nullptr, 0, 1);
        node->SetState(state);
        node->SetIncludeChildren(includeChildren);
        return node;
    }
};

TEST_F(FriendTest, SourcesDecideTheKindAndCountSightings) {
    CFriend* f = Add("ann@example.com", AS_SENT_TO);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(IsAddressFriendly("ann@example.com"), FRIENDLY_FRIEND);
    // A stronger source becomes the best one and changes the answer.
    EXPECT_TRUE(f->AddSource(new CImportSource(nullptr, "list", AS_MAILING_LIST, 100), 0));
    EXPECT_EQ(f->GetSourceQuality(), AS_MAILING_LIST);
    EXPECT_EQ(IsAddressFriendly("ann@example.com"), FRIENDLY_MAILING_LIST);
    // A weaker one does not.
    EXPECT_TRUE(f->AddSource(new CImportSource(nullptr, "cc", AS_CCED_TO, 100), 0));
    EXPECT_EQ(f->GetSourceQuality(), AS_MAILING_LIST);
    // The same address book twice: refused, but counted.
    int books = f->GetAddressBookCount();
    auto* again = new CImportSource(nullptr, "book", AS_ADDRESS_BOOK, 100);
    EXPECT_TRUE(f->AddSource(new CImportSource(nullptr, "book", AS_ADDRESS_BOOK, 100), 0));
    EXPECT_FALSE(f->AddSource(again, 0));
    delete again;
    EXPECT_EQ(f->GetAddressBookCount(), books + 2);
    EXPECT_EQ(f->GetSourceCount(), 4);
    EXPECT_EQ(Add("me@example.com", AS_ME) != nullptr, true);
    EXPECT_EQ(IsAddressFriendly("me@example.com"), FRIENDLY_ME);
}

TEST_F(FriendTest, NamingRules) {
    CFriend* f = CFriend::AddFriend("bob@example.com", new CImportSource, nullptr, FRN_NONE);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->GetName(), "bob@example.com");
    struct Case {
        const char* name;
        FR_NAME quality;
        BOOL result;
        const char* stored;
    } cases[] = {
        {"'Bob Smith'", FRN_MAIL, 1, "Bob Smith"},
        {"bob@elsewhere.org", FRN_ADDRESS_BOOK, 0, "Bob Smith"},    // never an address again
        {"Bob", FRN_MAIL, 0, "Bob Smith"},                          // equal quality, shorter
        {"Robert Smith", FRN_MAIL, 1, "Robert Smith"},              // equal quality, longer
        {"Rob \"the\" (home) Smith", FRN_NONE, 0, "Robert Smith"},  // lower quality
        {"   ", FRN_USER, 0, "Robert Smith"},
        {"R. (home)", FRN_USER, 1, "R. (home)"},  // typed by the user: kept as typed
        {"Robert (from a header)", FRN_ADDRESS_BOOK, 0, "R. (home)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(f->SetName(c.name, c.quality), c.result) << c.name;
        EXPECT_EQ(f->GetName(), c.stored) << c.name;
    }
}

TEST_F(FriendTest, AddressesAreCheckedAndTrimmed) {
    struct Case {
        const char* text;
        BOOL valid;
        const char* trimmed;
    } cases[] = {
        {"  a@b \t", 1, "a@b"}, {"a b@c", 0, "a b@c"}, {"ab", 0, "ab"},
        {"a@b@c", 0, "a@b@c"},  {"", 0, ""},           {"@b", 1, "@b"},
    };
    for (const Case& c : cases) {
        std::string text = c.text;
        EXPECT_EQ(CFriend::ValidateAddress(text), c.valid) << c.text;
        EXPECT_EQ(text, c.trimmed);
    }
    CImportSource refused;
    EXPECT_EQ(CFriend::AddFriend("no address", &refused, nullptr, FRN_NONE), nullptr);
    // A second AddFriend for a known address joins the record there is.
    CFriend* first = CFriend::AddFriend("ann@x.org", new CImportSource, nullptr, FRN_NONE);
    EXPECT_EQ(CFriend::AddFriend(" ANN@x.org", new CImportSource(nullptr, "sent", AS_SENT_TO, 1),
                                 nullptr, FRN_NONE),
              first);
    EXPECT_EQ(first->GetSourceCount(), 2);
}

TEST_F(FriendTest, FriendlyAnswers) {
    Add("Ann@Example.com", AS_MANUAL);
    Add("gone@example.com", AS_MANUAL);
    CFriend* gone = CFriend::FindByAddress("gone@example.com");
    CFriend::DeleteList(&gone, 1);
    Domain("accepted.org", ES_ACCEPTED);
    Domain("present.org", 0);
    Domain("corp.net", ES_ACCEPTED, true);
    Domain("off.corp.net", 0);
    struct Case {
        const char* address;
        FRIENDLY expected;
    } cases[] = {
        {"ann@example.com", FRIENDLY_FRIEND}, {"ANN@EXAMPLE.COM", FRIENDLY_FRIEND},
        {"gone@example.com", FRIENDLY_NONE},  {"x@accepted.org", FRIENDLY_COMPANY},
        {"x@ACCEPTED.ORG", FRIENDLY_COMPANY}, {"x@sub.accepted.org", FRIENDLY_NONE},
        {"x@present.org", FRIENDLY_NONE},     {"x@corp.net", FRIENDLY_COMPANY},
        {"x@a.b.corp.net", FRIENDLY_COMPANY}, {"x@off.corp.net", FRIENDLY_COMPANY},
        {"x@accepted.org.", FRIENDLY_NONE},   {"ann@example.com.", FRIENDLY_NONE},
        {"accepted.org", FRIENDLY_NONE},      {"", FRIENDLY_NONE},
        {"x@other.org", FRIENDLY_NONE},
    };
    for (const Case& c : cases) EXPECT_EQ(IsAddressFriendly(c.address), c.expected) << c.address;
    // A look-up that matches is a contact.
    CEmailDomain* corp = CEmailDomain::FindAddress("corp.net", 0);
    EXPECT_EQ(corp->GetCount(), 3);
    EXPECT_NE(corp->GetDate(), 0);
    // Deleted: found, but skipped by the walk unless asked for.
    EXPECT_EQ(CFriend::FindByAddress("GONE@example.com"), gone);
    int live = 0, all = 0;
    std::string key;
    CFriend* f;
    for (auto p = CFriend::StartFriends(); CFriend::EnumFriends(p, key, f, 0);) ++live;
    for (auto p = CFriend::StartFriends(); CFriend::EnumFriends(p, key, f, 1);) ++all;
    EXPECT_EQ(live, 1);
    EXPECT_EQ(all, 2);
    // A deleted include-children domain accepts nothing.
    CEmailDomain* com = CEmailDomain::FindAddress("net", 0);
    com->DeleteChild("corp.net", corp, 0, 1);
    EXPECT_EQ(IsAddressFriendly("x@a.corp.net"), FRIENDLY_NONE);
}

TEST_F(FriendTest, TreePlacesFriendsAndAcceptsThroughDomains) {
    CFriend* ann = Add("ann@mail.example.com", AS_MANUAL);
    CEmailDomain* root = CEmailDomain::GetRoot();
    CEmailDomain* mail = root->AddAddress("ann@mail.example.com", ann, 1, 1);
    ASSERT_NE(mail, nullptr);
    EXPECT_EQ(mail->GetName(), "mail.example.com");
    EXPECT_EQ(ann->GetContainer(), mail);
    CEmailDomain* example = root->FindChild("com")->FindChild("example.com");
    ASSERT_EQ(mail->GetContainer(), example);
    EXPECT_TRUE(root->FindChild("com")->IsTLD());
    EXPECT_FALSE(mail->IsTLD());
    EXPECT_TRUE(example->HasLeaves());
    EXPECT_FALSE(example->OKToDelete());
    EXPECT_EQ(mail->FindChild("ann@mail.example.com"), nullptr) << "friends are not domains";

    example->RecursiveSetState(ES_ACCEPTED);
    EXPECT_TRUE(mail->IsAccepted());
    EXPECT_EQ(ann->GetState(), 5);
    EXPECT_EQ(ann->GetStateIndex(), 3);
    int found = 0;
    EXPECT_EQ(root->EnumSelected(
                  [](CEmailDomain* d, void* c) {
                      ++*static_cast<int*>(c);
                      return d->GetName() == "example.com" ? 7 : 0;
                  },
                  &found),
              7);
    EXPECT_EQ(found, 1) << "the walk stops at the accepted parent";
    example->RecursiveSetState(0);
    EXPECT_EQ(ann->GetState(), ES_ACCEPTED);

    // Include-children: the recheck accepts what lies below.
    example->SetIncludeChildren(1);
    example->SetState(ES_ACCEPTED);
    example->SetRecheck();
    mail->SetState(0);
    root->RecheckChildren(0);
    EXPECT_TRUE(mail->IsAccepted());
    EXPECT_EQ(ann->GetState(), 5);

    // A removed friend leaves the tree; a deleted domain comes back for a live friend only.
    CFriend::RemoveList(&ann, 1);
    EXPECT_FALSE(example->HasLeaves());
    EXPECT_EQ(CFriend::FindByAddress("ann@mail.example.com"), nullptr);
    example->DeleteChild("mail.example.com", mail, 0, 0);
    CFriend* dead = Add("dead@mail.example.com", AS_MANUAL);
    CFriend::DeleteList(&dead, 1);
    EXPECT_EQ(root->AddAddress("dead@mail.example.com", dead, 1, 1), mail);
    EXPECT_TRUE(mail->IsDeleted());
    CFriend* bob = Add("bob@mail.example.com", AS_MANUAL);
    EXPECT_EQ(root->AddAddress("bob@mail.example.com", bob, 1, 1), mail);
    EXPECT_EQ(mail->GetState(), 0) << "revived";
    EXPECT_EQ(dead->GetState(), ES_DELETED) << "a tombstone stays deleted under an accepted domain";
}

TEST_F(FriendTest, TombstonesAndManualCreation) {
    CFriend* f = Add("ann@example.com", AS_MANUAL, "met at work");
    CFriendData a, b;
    ASSERT_TRUE(a.Lookup("ann@example.com"));
    b = a;
    int dirty = CFriend::GetDirtyCount();
    CFriend::DeleteList(&f, 1);
    EXPECT_EQ(CFriend::GetDirtyCount(), dirty + 1);
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_TRUE(b.IsEmpty());
    EXPECT_FALSE(a.Lookup("ann@example.com")) << "only known as deleted";
    b = f;
    EXPECT_TRUE(b.IsEmpty()) << "a handle never refers to a deleted friend";
    // Creating it by hand again starts a fresh record.
    CFriend* again = Add("ann@example.com", AS_ME);
    ASSERT_NE(again, nullptr);
    EXPECT_FALSE(again->IsDeleted());
    EXPECT_EQ(again->GetSourceCount(), 1);
    EXPECT_EQ(again->GetNote(), "");
    EXPECT_EQ(IsAddressFriendly("ann@example.com"), FRIENDLY_ME);
}

// Many removals in the look-up index: every friend left is still found, in any case.
TEST_F(FriendTest, RemovalsKeepTheOthersFindable) {
    std::vector<CFriend*> all, removed;
    for (int i = 0; i < 3000; ++i)
        all.push_back(Add(Address("f", i, "@x.org").c_str(), AS_MANUAL));
    for (int i = 0; i < 3000; i += 3) removed.push_back(all[i]);
    CFriend::RemoveList(removed.data(), static_cast<int>(removed.size()));
    for (int i = 0; i < 3000; ++i) {
        std::string address = Address("F", i, "@X.ORG");
        EXPECT_EQ(CFriend::FindByAddress(address.c_str()), i % 3 ? all[i] : nullptr) << i;
    }
}

TEST_F(FriendTest, BulkAddTellsTheDialogAtTheEnd) {
    struct CDialog : CFriend::IDialog {
        std::vector<std::string> added;
        void FriendAdded(CFriend* f) override { added.push_back(f->GetAddress()); }
        void FriendChanged(CFriend*) override {}
    } dialog;
    CFriend::SetDialog(&dialog);
    Add("one@example.com", AS_MANUAL);
    EXPECT_EQ(CFriend::StartBulkAdd(), 0);
    Add("two@example.com", AS_MANUAL);
    Add("three@example.com", AS_MANUAL);
    EXPECT_EQ(dialog.added.size(), 1u);
    EXPECT_EQ(CFriend::EndBulkAdd(), 1);
    EXPECT_EQ(dialog.added.size(), 3u);
    EXPECT_EQ(CFriend::EndBulkAdd(), 0);
    CFriend::SetDialog(nullptr);
}

}  // namespace
