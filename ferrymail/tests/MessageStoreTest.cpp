#include "ferrymail/store/MessageStore.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "KilledSaver.h"
#include "TestHome.h"
#include "ferrymail/store/MessageDatabase.h"
#include "kinbook/foundation/Paths.h"

namespace {

const char kServer[] = "pop.example.org";
const char kUser[] = "anna";

const std::string kHeader =
    "Return-Path: <bounce@example.org>\r\n"
    "From: Anna Example <anna@example.org>\r\n"
    "Reply-To: reply@example.org\r\n"
    "Sender: list@example.org\r\n"
    "To: bert@example.net, Carl <carl@example.net>\r\n"
    "Cc: dora@example.com\r\n"
    "Subject: Hello\r\n"
    "Date: Mon, 6 Jan 2003 10:20:30 -0500\r\n";

// The stores of the running test by identifier, as the database would give them to
// their messages.
std::map<int, CMessageStore*> s_stores;

IMessageOwner* FindTestStore(int storeID) {
    auto found = s_stores.find(storeID);
    return found != s_stores.end() ? found->second : nullptr;
}

// Owns one reference to a store, and lets its messages find it once it is opened.
struct SStore {
    CMessageStore* store = new CMessageStore;
    SStore() { store->AddRef(); }
    ~SStore() {
        if (FindTestStore(store->GetStoreID()) == store)
            s_stores.erase(store->GetStoreID());
        CRefCount::DoRelease(store);
    }
    CMessageStore* operator->() {
        if (store->GetStoreID() != 0)
            s_stores[store->GetStoreID()] = store;
        return store;
    }
};

class MessageStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        CMessage::SetOwnerLookup(&FindTestStore);
        SetStoreErrorPrompt([this](const std::string& text, bool) {
            m_prompts.push_back(text);
            return 0;
        });
    }
    void TearDown() override {
        SetStoreErrorPrompt(nullptr);
        CMessage::SetOwnerLookup(nullptr);
    }

    std::string StorePath() { return GetStoreFilePath(kServer, kUser); }
    std::string Bytes(const std::string& path) {
        std::string contents;
        EXPECT_TRUE(ReadWholeFile(path, contents)) << path;
        return contents;
    }
    // Lists `uidls` as the server's messages 1..n.
    static void List(CMessageStore* store, const std::vector<std::string>& uidls) {
        std::vector<std::pair<int, std::string>> listing;
        for (size_t i = 0; i < uidls.size(); ++i)
            listing.emplace_back(static_cast<int>(i) + 1, uidls[i]);
        store->ApplyUidlListing(listing);
    }
    static std::vector<std::string> ClientView(CMessageStore* store) {
        std::vector<std::string> view;
        for (int n = 1; CMessage* message = store->GetClientMessage(n); ++n)
            view.push_back(message->GetUIDL());
        return view;
    }

    CTestHome m_home;
    std::vector<std::string> m_prompts;
};

TEST_F(MessageStoreTest, GoldenFile) {
    {
        SStore s;
        ASSERT_TRUE(s->Open(nullptr, 1, kServer, kUser, 0));
        EXPECT_TRUE(s->IsNewStore());
        int same = 0;
        s->SetServerStat(2, 1234, &same);
        EXPECT_EQ(same, 0);
        s->SetClientStat("mpop", 1, 100);
        s->SetClientStat("fetchmail", 2, 200);
        s->SetClientStat("MPOP", 1, 100);  // the same key
        List(s.store, {"abcde", "12345678"});
        ASSERT_TRUE(s->SetServerSize(1, 600));
        ASSERT_TRUE(s->AddDownloadedMessage(1, kHeader + "\r\nline1\r\nline2\r\nline3\r\n", 3));
        CMessage* first = s->GetMessage("abcde");
        first->SetTag(reinterpret_cast<void*>(7));
        first->SetDownloadedDate(1041866500);
        // Cache every header-derived field so that each optional field is written.
        first->GetDate();
        first->GetSubject();
        first->GetFrom();
        first->GetReplyTo();
        first->GetReturnPath();
        first->GetSender();
        first->GetTo();
        first->GetCC();
        first->GetContentType();  // cached, but never written
        s->GetMessage("12345678")->SetLocation(MS_HOLD);
        ASSERT_TRUE(s->MarkDeletedFromServer(2, 1));
        ASSERT_TRUE(s->Save(0));
        std::string expected = Bytes(std::string(QUILLON_TEST_DATA) + "/store-golden.ms");
        EXPECT_EQ(Bytes(StorePath()), expected);

        SStore second;
        EXPECT_FALSE(second->Open(nullptr, 2, kServer, kUser, 0)) << "the first store holds it";
    }
    SStore original;  // rebuilt from the expected bytes alone
    ASSERT_TRUE(original->Open(nullptr, 3, kServer, kUser, 0));
    EXPECT_FALSE(original->IsNewStore());
    EXPECT_FALSE(original->IsDirty());
    int count = 0, size = 0;
    original->GetServerStat(&count, &size);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(size, 1234);
    EXPECT_TRUE(original->GetClientStat("Fetchmail", &count, &size));
    EXPECT_EQ(count, 2);
    EXPECT_EQ(size, 200);
    CMessage* first = original->GetMessage("abcde");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->GetFlags(), 0x1FFu);
    EXPECT_EQ(first->GetDate(), 1041866430);
    EXPECT_EQ(first->GetFrom()->m_name, "Anna Example");
    EXPECT_EQ((*first->GetTo())[1].m_address, "carl@example.net");
    EXPECT_EQ(first->GetBody(), "line1\r\nline2\r\nline3\r\n");
    EXPECT_EQ(original->GetMessage("12345678")->IsDeleted(), 1);

    // A message written from the loaded one reads back the same: written again, its
    // record has the same bytes.
    auto write = [&](CMessage* message, const std::string& path) {
        CStoreFile file;
        EXPECT_TRUE(file.Open(path.c_str(), CStoreFile::kModeWrite));
        EXPECT_TRUE(message->Write(file));
        EXPECT_TRUE(file.CloseFile());
        return Bytes(path);
    };
    const std::string record = write(first, m_home.Path() + "/copy");
    CStoreFile file;
    ASSERT_TRUE(file.Open((m_home.Path() + "/copy").c_str(), 0));
    CMessage copy;
    ASSERT_TRUE(copy.Load(file));
    EXPECT_EQ(write(&copy, m_home.Path() + "/again"), record);
    EXPECT_EQ(copy.GetHeader(), first->GetHeader());
    EXPECT_EQ(copy.GetBody(), first->GetBody());
}

TEST_F(MessageStoreTest, EmptyFileOpensAsNewStoreAndFirstSaveWritesAWholeFile) {
    ASSERT_TRUE(MakeFolders(GetMessageStoreFolder()));
    ASSERT_EQ(WriteFileAtomically(StorePath(), ""), 0);
    SStore s;
    ASSERT_TRUE(s->Open(nullptr, 1, kServer, kUser, 1));
    EXPECT_TRUE(s->IsNewStore());
    EXPECT_TRUE(s->IsDirty());
    ASSERT_TRUE(s->Save(0));
    EXPECT_EQ(Bytes(StorePath()),
              std::string("STOR\1\0\0\0\xff\xff\xff\xff\xff\xff\xff\xff\0\0\0\0ROTS", 24));
    EXPECT_FALSE(s->IsNewStore());
}

TEST_F(MessageStoreTest, BadFramesStartEmptyAndKeepTheFileAside) {
    const std::string good("STOR\1\0\0\0\2\0\0\0\0\0\0\0\0\0\0\0ROTS", 24);
    struct SCase {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"wrong version", std::string("STOR\2\0\0\0", 8) + good.substr(8)},
        {"no end mark", good.substr(0, good.size() - 4) + "XXXX"},
        {"wrong start", "STOP" + good.substr(4)},
        {"too short", std::string("STORROTS")},
        {"bad header", std::string("STOR\1\0\0\0\0\0\0\0\0\0\0\0\x7f\0\0\0ROTS", 24)},
    };
    for (const SCase& c : cases) {
        std::filesystem::remove_all(GetMessageStoreFolder());
        ASSERT_TRUE(MakeFolders(GetMessageStoreFolder()));
        ASSERT_EQ(WriteFileAtomically(StorePath(), c.bytes), 0);
        SStore s;
        ASSERT_TRUE(s->Open(nullptr, 1, kServer, kUser, 1)) << c.name;
        EXPECT_TRUE(s->IsNewStore()) << c.name;
        EXPECT_TRUE(s->IsDirty()) << c.name;
        std::string aside;
        for (const auto& entry : std::filesystem::directory_iterator(GetMessageStoreFolder()))
            if (entry.path().string().find(".ms.bad-") != std::string::npos)
                aside = entry.path().string();
        ASSERT_FALSE(aside.empty()) << c.name;
        EXPECT_EQ(Bytes(aside), c.bytes) << c.name;
        ASSERT_TRUE(s->Save(0));
        EXPECT_EQ(Bytes(aside), c.bytes) << c.name;  // the save did not touch it
    }
}

TEST_F(MessageStoreTest, UnreadableRecordRefusesTheStoreAndKeepsTheFile) {
    {
        SStore s;
        ASSERT_TRUE(s->Open(nullptr, 1, kServer, kUser, 0));
        List(s.store, {"one", "two"});
        s->AddDownloadedMessage(2, kHeader + "\r\nbody\r\n", -1);
        ASSERT_TRUE(s->Save(0));
    }
    std::string whole = Bytes(StorePath());
    // Cut the second record short, keeping the end mark.
    std::string cut = whole.substr(0, whole.size() - 40) + "ROTS";
    ASSERT_EQ(WriteFileAtomically(StorePath(), cut), 0);
    SStore s;
    EXPECT_FALSE(s->Open(nullptr, 1, kServer, kUser, 0));
    ASSERT_EQ(m_prompts.size(), 1u);
    EXPECT_EQ(m_prompts[0].rfind("Error loading message from file anna@pop.example.org, pos ", 0),
              0u)
        << m_prompts[0];
    EXPECT_EQ(Bytes(StorePath()), cut);
}

TEST_F(MessageStoreTest, LaterRecordOfTheSameUidlWins) {
    ASSERT_TRUE(MakeFolders(GetMessageStoreFolder()));
    CStoreFile file;
    ASSERT_TRUE(file.Open(StorePath().c_str(), CStoreFile::kModeWrite));
    file.WriteBytes("STOR\1\0\0\0", 8);
    file.WriteInt(2);
    file.WriteInt(20);
    file.WriteInt(0);
    CMessage first("same", nullptr), other("other", nullptr), second("same", nullptr);
    first.AddQLNote("Quillon-Analysis", "first");
    second.AddQLNote("Quillon-Analysis", "second");
    second.SetLocation(MS_INBOX);
    ASSERT_TRUE(first.Write(file) && other.Write(file) && second.Write(file));
    file.WriteBytes("ROTS", 4);
    ASSERT_TRUE(file.CloseFile());

    SStore s;
    ASSERT_TRUE(s->Open(nullptr, 1, kServer, kUser, 0));
    EXPECT_EQ(s->GetMessage("same")->GetQLNotes(), "X-Quillon-Analysis: second\r\n");
    EXPECT_EQ(s->GetServerMessage(1)->GetUIDL(), "other");
    EXPECT_EQ(s->GetServerMessage(2)->GetUIDL(), "same");
    EXPECT_EQ(s->GetServerMessage(2)->GetMessageNumber(), 2);
    EXPECT_EQ(ClientView(s.store), std::vector<std::string>{"same"});
}

TEST_F(MessageStoreTest, SaveWithoutChangeLeavesTheFileAlone) {
    {
        SStore s;
        ASSERT_TRUE(s->Open(nullptr, 1, kServer, kUser, 0));
        List(s.store, {"a"});
    }
    struct stat before;
    ASSERT_EQ(stat(StorePath().c_str(), &before), 0);
    SStore s;
    ASSERT_TRUE(s->Open(nullptr, 1, kServer, kUser, 0));
    List(s.store, {"a"});  // the server lists the same message again
    EXPECT_TRUE(s->Save(0));
    struct stat after;
    ASSERT_EQ(stat(StorePath().c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
}

// Saves handed to the writer thread reach the file in order, the newest last; one that
// cannot be written leaves the store dirty, and the next save writes it.
TEST_F(MessageStoreTest, BackgroundSavesLandInOrderAndFailuresAreMadeGood) {
    const std::vector<std::string> uidls = {"u1", "u2", "u3"};
    auto reopenedLocations = [&] {
        SStore s;
        EXPECT_TRUE(s->Open(nullptr, 1, kServer, kUser, 0));
        std::vector<int> locations;
        for (const std::string& uidl : uidls) {
            CMessage* message = s->GetMessage(uidl);
            locations.push_back(message != nullptr ? message->GetLocation() : -1);
        }
        return locations;
    };
    {
        SStore s;
        ASSERT_TRUE(s->Open(nullptr, 1, kServer, kUser, 0));
        List(s.store, uidls);
        for (int round = 0; round < 50; ++round) {
            s->GetMessage(uidls[round % 3])->SetLocation(round % 2 ? MS_INBOX : MS_HOLD);
            ASSERT_TRUE(s->SaveInBackground(0));
        }
        s->FlushSaves();
        EXPECT_FALSE(s->IsDirty());
    }
    // Rounds 47, 48 and 49 set the last locations of u3, u1 and u2.
    EXPECT_EQ(reopenedLocations(), (std::vector<int>{MS_HOLD, MS_INBOX, MS_INBOX}));

    {
        SStore s;
        ASSERT_TRUE(s->Open(nullptr, 1, kServer, kUser, 0));
        const std::string blocker = StorePath() + ".new";
        ASSERT_TRUE(std::filesystem::create_directory(blocker));
        s->GetMessage("u1")->SetLocation(MS_DELIVERED);
        ASSERT_TRUE(s->SaveInBackground(0));
        s->FlushSaves();
        EXPECT_TRUE(s->IsDirty()) << "the write failed";
        std::filesystem::remove(blocker);
        EXPECT_TRUE(s->Save(0));
        EXPECT_FALSE(s->IsDirty());
    }
    EXPECT_EQ(reopenedLocations(), (std::vector<int>{MS_DELIVERED, MS_INBOX, MS_INBOX}));
}

// The save after a server listing is asked for "soon": the writer thread makes it unless
// a save comes first, and a store that ends before then saves it on the way out.
TEST_F(MessageStoreTest, ListingSaveIsMadeSoonUnlessAnotherSaveComesFirst) {
    auto listed = [&] {
        SStore s;
        EXPECT_TRUE(s->Open(nullptr, 1, kServer, kUser, 0));
        std::vector<std::string> uidls;
        for (int n = 1; CMessage* message = s->GetServerMessage(n); ++n)
            uidls.push_back(message->GetUIDL());
        return uidls;
    };
    auto waitClean = [](CMessageStore* store) {
        for (int i = 0; i < 400 && store->IsDirty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return !store->IsDirty();
    };
    {
        SStore s;
        ASSERT_TRUE(s->Open(nullptr, 1, kServer, kUser, 0));
        List(s.store, {"u1", "u2"});
        EXPECT_TRUE(waitClean(s.store)) << "the writer thread saved it";
        // A save that comes first makes the asked-for one useless: it never runs.
        List(s.store, {"u1", "u2", "u3"});
        ASSERT_TRUE(s->SaveInBackground(0));
        s->GetMessage("u3")->SetLocation(MS_HOLD);
        std::this_thread::sleep_for(CRecordStore::kSaveSoonDelay * 2);
        EXPECT_TRUE(s->IsDirty());
    }
    EXPECT_EQ(listed(), (std::vector<std::string>{"u1", "u2", "u3"}));
    {
        SStore s;
        ASSERT_TRUE(s->Open(nullptr, 1, kServer, kUser, 0));
        List(s.store, {"u2", "u4"});
    }  // ends before the writer's turn
    EXPECT_EQ(listed(), (std::vector<std::string>{"u2", "u4"}));
}

TEST_F(MessageStoreTest, ClientViewRenumbersVisibleMessagesInServerOrder) {
    SStore s;
    ASSERT_TRUE(s->Open(nullptr, 1, kServer, kUser, 0));
    s->SetServerStat(4, 400, nullptr);
    List(s.store, {"u1", "u2", "u3", "u4"});
    s->GetMessage("u1")->SetLocation(MS_INBOX);
    s->GetMessage("u2")->SetLocation(MS_HOLD);
    s->GetMessage("u4")->SetLocation(MS_INBOX);
    s->GetMessage("u3")->SetLocation(MS_JAIL);
    for (int n = 1; n <= 4; ++n) s->SetServerSize(n, 100 * n);
    ASSERT_TRUE(s->BeginSession(1));
    EXPECT_EQ(ClientView(s.store), (std::vector<std::string>{"u1", "u4"}));
    EXPECT_EQ(s->GetServerNumber(2), 4);
    EXPECT_EQ(s->GetServerNumber(3), -1);
    // The client's count and size.
    auto stat = [&] {
        int count = 0, size = 0;
        EXPECT_TRUE(s->GetClientViewStat(&count, &size));
        return std::make_pair(count, size);
    };
    EXPECT_EQ(stat(), std::make_pair(2, 500));

    // Released before any STAT: it joins the view in server order at once.
    s->GetMessage("u2")->SetLocation(MS_INBOX);
    EXPECT_EQ(ClientView(s.store), (std::vector<std::string>{"u1", "u2", "u4"}));
    EXPECT_EQ(stat(), std::make_pair(3, 700));

    // The client deletes message 2 (u2) and then takes it back.
    EXPECT_TRUE(s->MarkDeletedFromServer(2, 0));
    EXPECT_FALSE(s->MarkDeletedFromServer(2, 0));
    EXPECT_EQ(stat(), std::make_pair(2, 500));
    EXPECT_EQ(ClientView(s.store).size(), 3u) << "numbers stay for the session";
    EXPECT_TRUE(s->UndeleteAll());
    EXPECT_EQ(stat().first, 3);
    EXPECT_FALSE(s->UndeleteAll());

    EXPECT_TRUE(s->MarkDelivered(1));
    EXPECT_EQ(s->GetMessage("u1")->GetLocation(), MS_DELIVERED);
    EXPECT_FALSE(s->MarkDelivered(4));
    int count = 0;
    EXPECT_EQ(s->FindNextClient(MS_INBOX, 0, &count), 2);
    EXPECT_EQ(count, 2);
    std::string uidl;
    EXPECT_EQ(s->FindNext(MS_JAIL, 0, nullptr, &uidl), 3);
    EXPECT_EQ(uidl, "u3");
    s->EndSession();
}

TEST_F(MessageStoreTest, ViewFreezesOnceTheClientHasItsStat) {
    SStore s;
    ASSERT_TRUE(s->Open(nullptr, 1, kServer, kUser, 0));
    List(s.store, {"u1", "u2", "u3"});
    s->GetMessage("u1")->SetLocation(MS_INBOX);
    s->GetMessage("u2")->SetLocation(MS_HOLD);
    s->GetMessage("u3")->SetLocation(MS_INBOX);
    ASSERT_TRUE(s->BeginSession(1));
    int count = 0, size = 0;
    s->GetClientViewStat(&count, &size);
    s->SetStatAnswered(1);

    s->GetMessage("u2")->SetLocation(MS_INBOX);    // released from hold in the review
    s->GetMessage("u3")->SetLocation(MS_DELETED);  // deleted in the review
    EXPECT_EQ(ClientView(s.store), (std::vector<std::string>{"u1", "u3"}));
    int frozenCount = 0;
    s->GetClientViewStat(&frozenCount, nullptr);
    EXPECT_EQ(frozenCount, count);
    s->EndSession();

    ASSERT_TRUE(s->BeginSession(1));  // the next session sees the change
    EXPECT_EQ(ClientView(s.store), (std::vector<std::string>{"u1", "u2"}));
    s->EndSession();
}

TEST_F(MessageStoreTest, OneSessionOwnsTheStoreAtATime) {
    SStore s;
    ASSERT_TRUE(s->Open(nullptr, 1, kServer, kUser, 0));
    ASSERT_TRUE(s->BeginSession(1));
    int acquired = -1;
    std::thread other([&] { acquired = s->BeginSession(1); });
    other.join();
    EXPECT_EQ(acquired, 0);
    EXPECT_TRUE(s->BeginSession(0));
    s->EndSession();
    std::thread later([&] {
        acquired = s->BeginSession(1);
        if (acquired)
            s->EndSession();
    });
    later.join();
    EXPECT_EQ(acquired, 1);
}

TEST_F(MessageStoreTest, SavingWithoutDeletedMessagesRenumbers) {
    SStore s;
    ASSERT_TRUE(s->Open(nullptr, 1, kServer, kUser, 0));
    List(s.store, {"u1", "u2", "u3"});
    for (const char* uidl : {"u1", "u2", "u3"}) s->GetMessage(uidl)->SetLocation(MS_INBOX);
    ASSERT_TRUE(s->MarkDeletedFromServer(2, 1));
    ASSERT_TRUE(s->Save(1));
    EXPECT_EQ(s->GetMessage("u2"), nullptr);
    EXPECT_EQ(s->GetMessage("u3")->GetMessageNumber(), 2);
    EXPECT_EQ(ClientView(s.store), (std::vector<std::string>{"u1", "u3"}));
    int count = 0;
    s->GetClientViewStat(&count, nullptr);
    EXPECT_EQ(count, 2);
}

TEST_F(MessageStoreTest, ServerListingDropsWhatTheServerNoLongerHas) {
    SStore s;
    ASSERT_TRUE(s->Open(nullptr, 1, kServer, kUser, 1));
    List(s.store, {"u1", "u2"});
    // A new store of an account that leaves mail on the server passes what it finds.
    EXPECT_EQ(s->GetMessage("u1")->GetLocation(), MS_INBOX);
    EXPECT_EQ(s->GetMessage("u1")->GetQLNotes(),
              "X-Quillon-Analysis: Skipped because synchronizing new message store\r\n");
    ASSERT_TRUE(s->Save(0));
    List(s.store, {"u2", "u3"});
    EXPECT_EQ(s->GetMessage("u1"), nullptr);
    EXPECT_EQ(s->GetServerMessage(1)->GetUIDL(), "u2");
    EXPECT_EQ(s->GetMessage("u3")->GetLocation(), MS_NEW) << "no longer a new store";
    int same = 0;
    s->SetServerStat(0, 0, &same);
    EXPECT_EQ(same, 1);
    EXPECT_EQ(s->GetMessage("u2"), nullptr);
}

TEST_F(MessageStoreTest, FileNamesFromClientNamesStayInTheStoreFolder) {
    std::string folder = GetMessageStoreFolder();
    EXPECT_EQ(GetStoreFilePath("../../etc", "x/../y"), folder + "/..%2F..%2Fetc-x%2F..%2Fy.ms");
    EXPECT_EQ(GetStoreFilePath("a\\b", "c\nd%"), folder + "/a%5Cb-c%0Ad%25.ms");
    EXPECT_NE(GetStoreFilePath("a/b", "c"), GetStoreFilePath("a%2Fb", "c"));
    SStore s;
    ASSERT_TRUE(s->Open(nullptr, 1, "../../evil", "/tmp/x", 0));
    ASSERT_TRUE(s->Save(0));
    EXPECT_EQ(std::filesystem::path(s->GetPath()).parent_path(), folder);
}

// A second process holds the store while it runs, and not after it is killed.
TEST_F(MessageStoreTest, StoreLockBelongsToOneProcess) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
        CMessageStore* store = new CMessageStore;
        char answer = store->Open(nullptr, 1, kServer, kUser, 0) ? '1' : '0';
        if (write(ready[1], &answer, 1) != 1)
            _exit(1);
        pause();
        _exit(0);
    }
    char answer = 0;
    ASSERT_EQ(read(ready[0], &answer, 1), 1);
    ASSERT_EQ(answer, '1');
    {
        SStore s;
        EXPECT_FALSE(s->Open(nullptr, 1, kServer, kUser, 0));
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    SStore s;
    EXPECT_TRUE(s->Open(nullptr, 1, kServer, kUser, 0)) << "the lock died with its process";
}

// A process killed at random points while it saves leaves either the old or the new store.
TEST_F(MessageStoreTest, KilledSaveLeavesOldOrNewStore) {
    constexpr int kMessages = 3000;
    std::vector<std::string> uidls;
    for (int i = 0; i < kMessages; ++i) uidls.push_back("uidl-" + std::to_string(i));
    std::mt19937 random(12345);
    for (int round = 0; round < 25; ++round) {
        CMessageStore* store = nullptr;
        const auto open = [&] {
            store = new CMessageStore;
            return store->Open(nullptr, 1, kServer, kUser, 0) != 0;
        };
        const auto save = [&](int generation) {
            List(store, uidls);
            std::string mark = "generation " + std::to_string(generation);
            for (const std::string& uidl : uidls) {
                CMessage* message = store->GetMessage(uidl);
                message->SetHeader("Subject: " + mark + "\r\nX-Filler: " + std::string(200, 'f') +
                                       "\r\n\r\nbody\r\n",
                                   -1);
                message->SetTag(reinterpret_cast<void*>(static_cast<intptr_t>(generation)));
                store->SetServerSize(message->GetMessageNumber(), 1000 + generation);
            }
            return store->Save(0) != 0;
        };
        ASSERT_TRUE(KillWhileSaving(open, save, 300000, random)) << "the child saved once";

        SStore s;
        ASSERT_TRUE(s->Open(nullptr, 1, kServer, kUser, 0)) << "round " << round;
        EXPECT_FALSE(s->IsNewStore()) << "round " << round;
        CMessage* first = s->GetServerMessage(1);
        ASSERT_NE(first, nullptr) << "round " << round;
        void* generation = first->GetTag();
        int count = 0;
        for (int n = 1; CMessage* message = s->GetServerMessage(n); ++n) {
            ++count;
            EXPECT_EQ(message->GetTag(), generation) << "round " << round << " message " << n;
            EXPECT_EQ(message->GetSizeInStore(),
                      1000 + static_cast<int>(reinterpret_cast<intptr_t>(generation)));
        }
        EXPECT_EQ(count, kMessages) << "round " << round;
    }
}

// Records what the database posts: (code, store identifier) and the text payloads.
class CRecordingSink : public INotificationSink {
public:
    void Post(UINT, UINT wParam, long, CRefCount* object) override {
        m_codes.emplace_back(static_cast<int>(wParam & 0xFFFF), static_cast<int>(wParam >> 16));
        if (object != nullptr) {
            m_payloads.push_back(static_cast<CRefString*>(object)->m_text);
            CRefCount::DoRelease(object);
        }
    }
    std::vector<int> Codes() const {
        std::vector<int> codes;
        for (const auto& [code, store] : m_codes) codes.push_back(code);
        return codes;
    }
    std::vector<std::pair<int, int>> m_codes;
    std::vector<std::string> m_payloads;
};

MSSTATUS HoldWhatAsksForIt(CMessage* message) {
    bool hold = message->GetSubject().find("hold") != std::string::npos;
    message->AddQLNote("Quillon-Analysis", hold ? "Held" : "Passed");
    return hold ? MS_HOLD : MS_INBOX;
}

TEST_F(MessageStoreTest, DownloadsAreExaminedFiledAndNotified) {
    CRecordingSink sink;
    CMessageDatabase* database =
        CMessageDatabase::GetMessageDatabase(&HoldWhatAsksForIt, &sink, 1025);
    CMessageStore* store = database->FindStore(kServer, kUser, 1, 0);
    ASSERT_NE(store, nullptr);
    List(store, {"u1", "u2"});
    sink.m_codes.clear();
    sink.m_payloads.clear();
    ASSERT_TRUE(store->AddDownloadedMessage(1, "Subject: please hold\r\n\r\nbody\r\n", 10));
    ASSERT_TRUE(store->AddDownloadedMessage(2, "Subject: fine\r\n\r\nbody\r\n", 10));
    EXPECT_FALSE(store->AddDownloadedMessage(3, "Subject: nowhere\r\n\r\n", 10));
    EXPECT_EQ(sink.Codes(), (std::vector<int>{MN_SYNCH_MESSAGE_PROCESSED, MN_TO_HOLD,
                                              MN_SYNCH_MESSAGE_PROCESSED, MN_TO_INBOX}));
    EXPECT_EQ(sink.m_codes[0].second, store->GetStoreID());
    EXPECT_EQ(sink.m_payloads, (std::vector<std::string>{"u1", "u1", "u2", "u2"}));
    EXPECT_EQ(store->GetMessage("u1")->GetQLNotes(), "X-Quillon-Analysis: Held\r\n");
    EXPECT_EQ(ClientView(store), std::vector<std::string>{"u2"});

    // Released in the review window: it leaves hold and reaches the inbox.
    sink.m_codes.clear();
    store->GetMessage("u1")->SetLocation(MS_INBOX);
    EXPECT_EQ(sink.Codes(), (std::vector<int>{MN_FROM_HOLD, MN_TO_INBOX}));
    EXPECT_EQ(ClientView(store), (std::vector<std::string>{"u1", "u2"}));
    store->EndSession();

    // A new store of an account that leaves its mail on the server passes it unexamined,
    // and says so once.
    sink.m_codes.clear();
    sink.m_payloads.clear();
    CMessageStore* fresh = database->FindStore(kServer, "bert", 1, 1);
    ASSERT_NE(fresh, nullptr);
    List(fresh, {"a", "b"});
    EXPECT_EQ(sink.Codes(), (std::vector<int>{MN_PASSING_ALL, MN_TO_INBOX, MN_TO_INBOX}));
    EXPECT_EQ(sink.m_payloads.front(), "bert@pop.example.org");
    fresh->EndSession();
    CMessageDatabase::Shutdown();
}

// A download that lacks text the filter and the client would have seen is held with the
// note that says why, moved once, whether a call-back examined it or not.
TEST_F(MessageStoreTest, DownloadWithAHoldNoteIsHeldWhereTheClientWouldHaveSeenIt) {
    struct SCase {
        bool examined;
        const char* subject;
        std::vector<int> codes;  // besides MN_SYNCH_MESSAGE_PROCESSED
        const char* notes;
    };
    const SCase kCases[] = {
        {true, "fine", {MN_TO_HOLD}, "X-Quillon-Analysis: Passed\r\nX-Quillon-Analysis: cut\r\n"},
        {true,
         "please hold",
         {MN_TO_HOLD},
         "X-Quillon-Analysis: Held\r\nX-Quillon-Analysis: cut\r\n"},
        {false,
         "fine",
         {MN_PASSING_ALL, MN_TO_HOLD},
         "X-Quillon-Analysis: cut\r\nX-Quillon-Analysis: Skipped because synchronizing new "
         "message store\r\n"},
    };
    int number = 0;
    for (const SCase& test : kCases) {
        SCOPED_TRACE(std::string(test.subject) + (test.examined ? ", examined" : ", unexamined"));
        const std::string user = "case" + std::to_string(++number);
        CRecordingSink sink;
        CMessageDatabase* database = CMessageDatabase::GetMessageDatabase(
            test.examined ? &HoldWhatAsksForIt : nullptr, &sink, 1025);
        CMessageStore* store = database->FindStore(kServer, user, 1, 0);
        ASSERT_NE(store, nullptr);
        List(store, {"u1"});
        sink.m_codes.clear();
        const std::string text = std::string("Subject: ") + test.subject + "\r\n\r\nbody\r\n";
        ASSERT_TRUE(store->AddDownloadedMessage(1, text, 0, "cut"));
        std::vector<int> codes = sink.Codes();
        codes.erase(std::remove(codes.begin(), codes.end(), MN_SYNCH_MESSAGE_PROCESSED),
                    codes.end());
        EXPECT_EQ(codes, test.codes);
        CMessage* message = store->GetMessage("u1");
        EXPECT_EQ(message->GetLocation(), MS_HOLD);
        EXPECT_EQ(message->GetQLNotes(), test.notes);
        EXPECT_EQ(ClientView(store), std::vector<std::string>{});
        store->EndSession();
        CMessageDatabase::Shutdown();
    }
}

}  // namespace
