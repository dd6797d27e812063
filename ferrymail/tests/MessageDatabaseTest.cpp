#include "ferrymail/store/MessageDatabase.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "TestHome.h"
#include "ferrymail/accounts/AccountTable.h"
#include "ferrymail/store/MessageStore.h"
#include "kinbook/foundation/RegistryKey.h"

// Live heap blocks of this program, to see a notification payload go at once. Kept out of
// line: inlined into a container, the compiler takes free() for a mismatched delete.
namespace {
std::atomic<long> gLiveAllocations{0};
}

__attribute__((noinline)) void* operator new(std::size_t size) {
    void* block = std::malloc(size != 0 ? size : 1);
    if (block == nullptr)
        throw std::bad_alloc();
    gLiveAllocations.fetch_add(1);
    return block;
}

__attribute__((noinline)) void operator delete(void* block) noexcept {
    if (block != nullptr)
        gLiveAllocations.fetch_sub(1);
    std::free(block);
}

__attribute__((noinline)) void operator delete(void* block, std::size_t) noexcept {
    operator delete(block);
}

namespace {

constexpr unsigned kDatabaseCategory = 0x2000;

UINT Word(int storeID, int code) {
    return (static_cast<UINT>(storeID) << 16) | (code & 0xFFFF);
}

struct SPosted {
    UINT message;
    UINT wParam;
    long data;
    CRefCount* object;
};

// Keeps what it is given; releases the payloads it still holds when it goes.
class CRecordingSink : public INotificationSink {
public:
    ~CRecordingSink() override { ReleaseAll(); }
    void Post(UINT message, UINT wParam, long data, CRefCount* object) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_posted.push_back(SPosted{message, wParam, data, object});
    }
    std::vector<SPosted> Posted() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_posted;
    }
    void ReleaseAll() {
        std::lock_guard<std::mutex> guard(m_mutex);
        for (SPosted& posted : m_posted) CRefCount::DoRelease(posted.object);
        m_posted.clear();
    }

private:
    std::mutex m_mutex;
    std::vector<SPosted> m_posted;
};

class CRecordingLogger : public IDatabaseLogger {
public:
    void LogDatabaseLine(unsigned category, const std::string& line) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_categories.push_back(category);
        m_lines.push_back(line);
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_lines;
    }
    std::string Last() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_lines.empty() ? std::string() : m_lines.back();
    }
    std::vector<unsigned> Categories() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_categories;
    }

private:
    std::mutex m_mutex;
    std::vector<unsigned> m_categories;
    std::vector<std::string> m_lines;
};

// Tells when it is destroyed.
class CFlaggedObject : public CRefCount {
public:
    explicit CFlaggedObject(bool* destroyed) : m_destroyed(destroyed) {}
    ~CFlaggedObject() override { *m_destroyed = true; }

private:
    bool* m_destroyed;
};

class MessageDatabaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        CMessageDatabase::Shutdown();
        ClearAccountTable(TRUE);
        SetMailClientAccountSource(nullptr);
        m_database = CMessageDatabase::GetMessageDatabase();
        m_database->RegisterLogger(&m_logger);
    }
    void TearDown() override {
        CMessageDatabase::Shutdown();
        ClearAccountTable(TRUE);
    }

    void RegisterAccount(const char* client, const char* account, const char* server,
                         const char* user) {
        CRegistryKey key;
        std::string path =
            std::string("Software\\Brevant\\Quillon\\Clients\\") + client + "\\" + account;
        ASSERT_TRUE(key.OpenCarefully(HKEY_CURRENT_USER, path.c_str()));
        ASSERT_TRUE(key.SetValue("ServerName", server));
        ASSERT_TRUE(key.SetValue("UserName", user));
    }

    // A message filed in `store` at `location`; the store holds the only reference.
    CMessage* File(CMessageStore* store, const char* uidl, MSSTATUS location, int size = 0) {
        CMessage* message = new CMessage(uidl, nullptr);
        message->SetLocation(location);
        message->SetSize(size);
        message->AddRef();
        EXPECT_TRUE(store->InstallMessage(message, 1));
        CRefCount::DoRelease(message);
        return message;
    }

    CTestHome m_home;
    CRecordingLogger m_logger;
    CRecordingSink m_sink;
    CMessageDatabase* m_database = nullptr;
};

// The instance

MSSTATUS HoldEverything(CMessage*) {
    return MS_HOLD;
}

TEST_F(MessageDatabaseTest, OneInstanceUntilShutdown) {
    EXPECT_EQ(CMessageDatabase::GetMessageDatabase(), m_database);
    EXPECT_EQ(CMessageDatabase::GetMessageDatabase(nullptr, nullptr, 0), m_database);

    // A later call registers what it brings on the same instance.
    EXPECT_EQ(CMessageDatabase::GetMessageDatabase(&HoldEverything, &m_sink, 1025), m_database);
    EXPECT_EQ(m_database->GetExamineMessage(), &HoldEverything);
    m_database->NotifyUI(7u, 3L);
    ASSERT_EQ(m_sink.Posted().size(), 1u);
    EXPECT_EQ(m_sink.Posted()[0].message, 1025u);

    // Kept alive across Shutdown, the old instance cannot share an address with the new.
    CMessageDatabase* old = m_database;
    old->AddRef();
    CMessageDatabase::Shutdown();
    m_database = CMessageDatabase::GetMessageDatabase();
    EXPECT_NE(m_database, old);
    EXPECT_EQ(m_database->GetExamineMessage(), nullptr);
    EXPECT_EQ(m_database->AddNotification(&m_sink, 1025), 1);  // not registered here yet
    EXPECT_EQ(m_database->GetStoreCount(), 0);
    CRefCount::DoRelease(old);
}

TEST_F(MessageDatabaseTest, MessagesFindTheirStoreThroughTheDatabase) {
    CMessageStore* store = m_database->FindStore("pop.example.org", "anna", 0, 0);
    ASSERT_NE(store, nullptr);
    CMessage message("uid-1", store);
    EXPECT_EQ(message.GetStoreID(), store->GetStoreID());
    EXPECT_EQ(message.GetOwner(), static_cast<IMessageOwner*>(store));
    message.SetStore(store->GetStoreID() + 1);
    EXPECT_EQ(message.GetOwner(), nullptr);
    message.SetStore(store->GetStoreID());
    CMessageDatabase::Shutdown();
    EXPECT_EQ(message.GetOwner(), nullptr);
}

// Stores

TEST_F(MessageDatabaseTest, UserNameWithHostCarriesTheServer) {
    CMessageStore* tunnelled = m_database->FindStore("localhost", "anna/pop.example.org", 0, 0);
    ASSERT_NE(tunnelled, nullptr);
    EXPECT_EQ(tunnelled->GetName(), "anna@pop.example.org");
    EXPECT_EQ(m_database->GetStore("anna/pop.example.org"), tunnelled);
    EXPECT_EQ(m_database->GetStore("anna/localhost"), nullptr);

    // The same account named the plain way has the same key, so the same store; keys
    // compare without case.
    EXPECT_EQ(m_database->FindStore("pop.example.org", "anna", 0, 0), tunnelled);
    EXPECT_EQ(m_database->FindStore("POP.Example.org", "Anna", 0, 0), tunnelled);
    EXPECT_EQ(m_database->GetStore("ANNA/POP.EXAMPLE.ORG"), tunnelled);

    // A '/' as the first character does not start a host.
    CMessageStore* leading = m_database->FindStore("mail.example.net", "/bert", 0, 0);
    ASSERT_NE(leading, nullptr);
    EXPECT_NE(leading, tunnelled);
    EXPECT_EQ(leading->GetName(), "/bert@mail.example.net");
    EXPECT_EQ(m_database->GetStore("/bert/mail.example.net"), leading);
}

TEST_F(MessageDatabaseTest, IdentifiersCountFromOne) {
    CMessageStore* first = m_database->FindStore("pop.example.org", "anna", 0, 0);
    CMessageStore* second = m_database->FindStore("pop.example.org", "bert", 0, 0);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->GetStoreID(), 1);
    EXPECT_EQ(second->GetStoreID(), 2);
    EXPECT_EQ(m_database->GetStoreCount(), 3);  // entry 0 is never used
    EXPECT_EQ(m_database->GetStore(1), first);
    EXPECT_EQ(m_database->GetStore(2), second);
    for (int unknown : {0, -1, 3, 256, 65535, 65536, 1 << 20})
        EXPECT_EQ(m_database->GetStore(unknown), nullptr) << unknown;
}

TEST_F(MessageDatabaseTest, AcquiringHonoursTheOwningSession) {
    CMessageStore* store = m_database->FindStore("pop.example.org", "anna", 1, 0);
    ASSERT_NE(store, nullptr);
    CMessageStore* otherAcquire = store;
    CMessageStore* otherLook = nullptr;
    std::thread([&] {
        otherAcquire = m_database->FindStore("pop.example.org", "anna", 1, 0);
        otherLook = m_database->FindStore("pop.example.org", "anna", 0, 0);
    }).join();
    EXPECT_EQ(otherAcquire, nullptr);
    EXPECT_EQ(otherLook, store);

    store->EndSession();
    std::thread([&] {
        otherAcquire = m_database->FindStore("pop.example.org", "anna", 1, 0);
        if (otherAcquire != nullptr)
            otherAcquire->EndSession();
    }).join();
    EXPECT_EQ(otherAcquire, store);
}

TEST_F(MessageDatabaseTest, InitializeMakesAStorePerConfiguredAccount) {
    RegisterAccount("mpop", "work", "pop.example.org", "anna");
    RegisterAccount("mpop", "tunnel", "localhost", "bert/mail.example.net");
    EXPECT_EQ(m_database->GetStoreCount(), 3);
    CMessageStore* work = m_database->GetStore("anna/pop.example.org");
    CMessageStore* tunnel = m_database->GetStore("bert/mail.example.net");
    ASSERT_NE(work, nullptr);
    ASSERT_NE(tunnel, nullptr);
    EXPECT_EQ(tunnel->GetName(), "bert@mail.example.net");

    // Again: the same stores. An account added later gets its store on the next call.
    EXPECT_EQ(m_database->GetStoreCount(), 3);
    RegisterAccount("mpop", "home", "pop.example.org", "carl");
    std::vector<SMessageHandle> handles;
    m_database->GetContents(handles, MS_ANY);
    EXPECT_EQ(m_database->GetStore(3), m_database->GetStore("carl/pop.example.org"));
    EXPECT_EQ(m_database->GetStoreCount(), 4);
}

TEST_F(MessageDatabaseTest, ContentsListStoreByStoreInServerOrder) {
    CMessageStore* anna = m_database->FindStore("pop.example.org", "anna", 0, 0);
    CMessageStore* bert = m_database->FindStore("pop.example.org", "bert", 0, 0);
    ASSERT_NE(anna, nullptr);
    ASSERT_NE(bert, nullptr);
    File(anna, "a1", MS_INBOX);
    CMessage* held = File(anna, "a2", MS_HOLD);
    File(anna, "a3", MS_JAIL)->SetDeleted(1);
    File(bert, "b1", MS_HOLD);
    File(bert, "b2", MS_DELIVERED);

    std::vector<SMessageHandle> handles = {{9, "stale"}};
    EXPECT_EQ(m_database->GetContents(handles, MS_ANY), 4);
    std::vector<std::pair<int, std::string>> listed;
    for (const SMessageHandle& handle : handles)
        listed.emplace_back(handle.m_storeID, handle.m_uidl);
    const int a = anna->GetStoreID();
    const int b = bert->GetStoreID();
    EXPECT_EQ(listed, (std::vector<std::pair<int, std::string>>{
                          {a, "a1"}, {a, "a2"}, {b, "b1"}, {b, "b2"}}));

    EXPECT_EQ(m_database->GetContents(handles, MS_HOLD), 2);
    ASSERT_EQ(handles.size(), 2u);
    EXPECT_EQ(handles[0].m_uidl, "a2");
    EXPECT_EQ(handles[1].m_uidl, "b1");
    EXPECT_EQ(m_database->GetMessage(handles[0]), held);

    EXPECT_EQ(m_database->GetContents(handles, MS_NEW), 0);
    EXPECT_TRUE(handles.empty());
}

TEST_F(MessageDatabaseTest, GetMessageNeedsAKnownStoreAndUidl) {
    CMessageStore* store = m_database->FindStore("pop.example.org", "anna", 0, 0);
    ASSERT_NE(store, nullptr);
    CMessage* message = File(store, "u1", MS_INBOX);
    const std::string uidl = "u1";
    const std::string missing = "u2";
    EXPECT_EQ(m_database->GetMessage(store->GetStoreID(), &uidl), message);
    EXPECT_EQ(m_database->GetMessage(SMessageHandle{store->GetStoreID(), "u1"}), message);
    EXPECT_EQ(m_database->GetMessage(store->GetStoreID(), &missing), nullptr);
    EXPECT_EQ(m_database->GetMessage(store->GetStoreID(), nullptr), nullptr);
    EXPECT_EQ(m_database->GetMessage(0, &uidl), nullptr);
    EXPECT_EQ(m_database->GetMessage(store->GetStoreID() + 1, &uidl), nullptr);
}

std::vector<int> Values(const SStoreStats& s) {
    return {s.count,    s.size,      s.inboxCount, s.inboxSize,    s.jailCount,
            s.jailSize, s.holdCount, s.holdSize,   s.deletedCount, s.deletedSize};
}

TEST_F(MessageDatabaseTest, StatsAreSummedOverStores) {
    EXPECT_EQ(Values(m_database->GetStoreStats()), std::vector<int>(10, 0));

    CMessageStore* anna = m_database->FindStore("pop.example.org", "anna", 0, 0);
    CMessageStore* bert = m_database->FindStore("mail.example.net", "bert", 0, 0);
    ASSERT_NE(anna, nullptr);
    ASSERT_NE(bert, nullptr);
    File(anna, "a1", MS_INBOX, 100);
    File(anna, "a2", MS_JAIL, 20);
    File(bert, "b1", MS_DELETED, 7);
    File(bert, "b2", MS_INBOX, 1000);
    File(bert, "b3", MS_HOLD, 3);

    EXPECT_EQ(Values(anna->GetStats()), (std::vector<int>{2, 120, 1, 100, 1, 20, 0, 0, 0, 0}));
    EXPECT_EQ(Values(m_database->GetStoreStats()),
              (std::vector<int>{5, 1130, 2, 1100, 1, 20, 1, 3, 1, 7}));
}

// The store table is read without the stores lock while FindStore appends to it.
TEST_F(MessageDatabaseTest, StoreTableReadWhileAppending) {
    constexpr int kStores = 300;  // beyond the first chunk of the table
    std::atomic<bool> done{false};
    std::atomic<int> faults{0};
    std::atomic<long> seen{0};
    std::atomic<int> started{0};
    auto reader = [&] {
        std::vector<CMessageStore*> known(kStores + 1, nullptr);
        ++started;
        bool last = false;
        while (!last) {
            last = done.load();  // one more pass once the writer is done
            // Stores are entered in order: a store seen means every lower one is there.
            bool above = false;
            for (int id = kStores; id >= 1; --id) {
                CMessageStore* store = m_database->GetStore(id);
                if (store == nullptr) {
                    if (above || known[id] != nullptr)
                        ++faults;
                    continue;
                }
                above = true;
                ++seen;
                if (store->GetStoreID() != id || (known[id] != nullptr && known[id] != store))
                    ++faults;
                known[id] = store;
            }
        }
    };
    std::thread first(reader);
    std::thread second(reader);
    std::thread writer([&] {
        while (started.load() < 2) std::this_thread::yield();
        for (int i = 1; i <= kStores; ++i) {
            if (m_database->FindStore("pop.example.org", "user" + std::to_string(i), 0, 0) ==
                nullptr)
                ++faults;
        }
        done.store(true);
    });
    writer.join();
    first.join();
    second.join();
    EXPECT_EQ(faults.load(), 0);
    EXPECT_GE(seen.load(), 2 * kStores);
    EXPECT_EQ(m_database->GetStoreCount(), kStores + 1);
    for (int id = 1; id <= kStores; ++id) {
        CMessageStore* store = m_database->GetStore(id);
        ASSERT_NE(store, nullptr);
        EXPECT_EQ(store->GetName(), "user" + std::to_string(id) + "@pop.example.org");
    }
}

// The examine call-back

std::atomic<int> gExamining{0};
std::atomic<int> gOverlaps{0};
std::atomic<int> gExaminations{0};

MSSTATUS SlowExamine(CMessage*) {
    if (gExamining.fetch_add(1) != 0)
        ++gOverlaps;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    gExamining.fetch_sub(1);
    ++gExaminations;
    return MS_JAIL;
}

TEST_F(MessageDatabaseTest, ExaminationsNeverOverlap) {
    CMessage message("uid", nullptr);
    EXPECT_EQ(m_database->GetExamineMessage(), nullptr);
    EXPECT_EQ(m_database->ExamineMessage(&message), MS_INBOX);

    m_database->SetExamineFunction(&SlowExamine);
    EXPECT_EQ(m_database->GetExamineMessage(), &SlowExamine);
    gOverlaps = 0;
    gExaminations = 0;
    std::atomic<int> wrongResults{0};
    std::vector<std::thread> sessions;
    for (int thread = 0; thread < 4; ++thread) {
        sessions.emplace_back([&] {
            CMessage own("own", nullptr);
            for (int i = 0; i < 40; ++i)
                if (m_database->ExamineMessage(&own) != MS_JAIL)
                    ++wrongResults;
        });
    }
    for (std::thread& session : sessions) session.join();
    EXPECT_EQ(gOverlaps.load(), 0);
    EXPECT_EQ(gExaminations.load(), 160);
    EXPECT_EQ(wrongResults.load(), 0);
}

// Notification sinks

TEST_F(MessageDatabaseTest, AddNotificationRules) {
    CRecordingSink other;
    EXPECT_EQ(m_database->AddNotification(&m_sink, 1025), 1);
    EXPECT_EQ(m_database->AddNotification(&m_sink, 1025), 0);
    EXPECT_EQ(m_database->AddNotification(&other, 2000), 1);
    EXPECT_EQ(m_database->AddNotification(nullptr, 5), 0);

    m_database->NotifyUI(1u, 10L);
    ASSERT_EQ(m_sink.Posted().size(), 1u);
    EXPECT_EQ(m_sink.Posted()[0].message, 1025u);
    ASSERT_EQ(other.Posted().size(), 1u);
    EXPECT_EQ(other.Posted()[0].message, 2000u);

    // Renumbered: later posts carry the new number.
    EXPECT_EQ(m_database->AddNotification(&m_sink, 1026), 1);
    m_database->NotifyUI(2u, 20L);
    ASSERT_EQ(m_sink.Posted().size(), 2u);
    EXPECT_EQ(m_sink.Posted()[1].message, 1026u);

    // Message 0 removes; removing what is not there changes nothing.
    EXPECT_EQ(m_database->AddNotification(&m_sink, 0), 1);
    EXPECT_EQ(m_database->AddNotification(&m_sink, 0), 0);
    m_database->NotifyUI(3u, 30L);
    EXPECT_EQ(m_sink.Posted().size(), 2u);
    EXPECT_EQ(other.Posted().size(), 3u);
    EXPECT_EQ(m_database->AddNotification(&other, 0), 1);
}

TEST_F(MessageDatabaseTest, SinksReceiveCodeStoreAndData) {
    CMessageStore* store = m_database->FindStore("pop.example.org", "anna", 0, 0);
    ASSERT_NE(store, nullptr);
    const int id = store->GetStoreID();
    ASSERT_EQ(m_database->AddNotification(&m_sink, 1025), 1);

    m_database->NotifyUI(MN_START_SYNCH, store);
    m_database->NotifyUI(MN_SYNCH_NEW_COUNT, store, 12);
    m_database->NotifyUI(MN_NEW_CONNECTION, static_cast<CMessageStore*>(nullptr), 1);
    m_database->NotifyUI(static_cast<MSG_NOTIFICATION>(0x12345), store);
    m_database->NotifyUI(0xABCD0017u, -5L);
    std::vector<SPosted> posted = m_sink.Posted();
    ASSERT_EQ(posted.size(), 5u);
    for (const SPosted& one : posted) {
        EXPECT_EQ(one.message, 1025u);
        EXPECT_EQ(one.object, nullptr);
    }
    EXPECT_EQ(posted[0].wParam, Word(id, 1));
    EXPECT_EQ(posted[0].data, 0);
    EXPECT_EQ(posted[1].wParam, Word(id, 4));
    EXPECT_EQ(posted[1].data, 12);
    EXPECT_EQ(posted[2].wParam, 19u);
    EXPECT_EQ(posted[2].data, 1);
    EXPECT_EQ(posted[3].wParam, Word(id, 0x2345));
    EXPECT_EQ(posted[4].wParam, 0xABCD0017u);
    EXPECT_EQ(posted[4].data, -5);
}

TEST_F(MessageDatabaseTest, PayloadsCarryOneReferencePerSink) {
    CMessageStore* store = m_database->FindStore("pop.example.org", "anna", 0, 0);
    ASSERT_NE(store, nullptr);
    CRecordingSink other;
    ASSERT_EQ(m_database->AddNotification(&m_sink, 1025), 1);
    ASSERT_EQ(m_database->AddNotification(&other, 1026), 1);

    CMessage message("uid-with-a-name-longer-than-short", store);
    m_database->NotifyUI(MN_TO_HOLD, &message);
    m_database->NotifyUI(Word(store->GetStoreID(), MN_NEW_STATE), std::string("Sending USER"));
    std::vector<SPosted> posted = m_sink.Posted();
    ASSERT_EQ(posted.size(), 2u);
    ASSERT_EQ(other.Posted().size(), 2u);

    EXPECT_EQ(posted[0].wParam, Word(store->GetStoreID(), MN_TO_HOLD));
    auto* uidl = dynamic_cast<CRefString*>(posted[0].object);
    ASSERT_NE(uidl, nullptr);
    EXPECT_EQ(uidl->m_text, "uid-with-a-name-longer-than-short");
    EXPECT_EQ(other.Posted()[0].object, uidl);  // one object, a reference for each sink
    EXPECT_EQ(uidl->GetRefCount(), 2);

    EXPECT_EQ(posted[1].wParam, Word(store->GetStoreID(), MN_NEW_STATE));
    auto* text = dynamic_cast<CRefString*>(posted[1].object);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->m_text, "Sending USER");
    EXPECT_EQ(text->GetRefCount(), 2);

    // The caller's own object: a reference per sink, the caller's untouched.
    bool destroyed = false;
    CFlaggedObject* object = new CFlaggedObject(&destroyed);
    object->AddRef();
    m_database->NotifyUI(Word(0, MN_SMTP_SCRAPED), object);
    EXPECT_EQ(object->GetRefCount(), 3);
    EXPECT_EQ(m_sink.Posted()[2].object, object);
    EXPECT_EQ(m_sink.Posted()[2].wParam, 23u);
    m_sink.ReleaseAll();
    other.ReleaseAll();
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(object->GetRefCount(), 1);
    CRefCount::DoRelease(object);
    EXPECT_TRUE(destroyed);
}

TEST_F(MessageDatabaseTest, PayloadWithoutSinkGoesAtOnce) {
    CMessageStore* store = m_database->FindStore("pop.example.org", "anna", 0, 0);
    ASSERT_NE(store, nullptr);
    m_database->RegisterLogger(nullptr);
    CMessage message("uid-with-a-name-longer-than-short", store);

    long before = gLiveAllocations.load();
    m_database->NotifyUI(MN_TO_INBOX, &message);
    m_database->NotifyUI(Word(0, MN_ERROR), std::string("an error text longer than short"));
    EXPECT_EQ(gLiveAllocations.load(), before);

    // With a sink the payload lives until the sink releases it (the sink's list has
    // room already, so only the payload counts).
    ASSERT_EQ(m_database->AddNotification(&m_sink, 1025), 1);
    m_database->NotifyUI(MN_TO_INBOX, &message);
    m_sink.ReleaseAll();
    before = gLiveAllocations.load();
    m_database->NotifyUI(MN_TO_INBOX, &message);
    EXPECT_GT(gLiveAllocations.load(), before);
    m_sink.ReleaseAll();
    EXPECT_EQ(gLiveAllocations.load(), before);
}

// Log lines

// The ends of the code table, and codes beyond it: no text is read from outside it.
TEST_F(MessageDatabaseTest, CodesBeyondTheTableGetTheFallbackText) {
    const std::pair<int, const char*> kCodeTexts[] = {
        {0, "New state"},
        {13, "Deleted->"},
        {24, "Passing all mail for new message store"},
        {25, "New notification added. Please update MessageDatabase.cpp"},
        {-1, "New notification added. Please update MessageDatabase.cpp"},
    };
    for (const auto& [code, text] : kCodeTexts) {
        m_database->NotifyLog(static_cast<MSG_NOTIFICATION>(code), 0, nullptr,
                              static_cast<const std::string*>(nullptr));
        EXPECT_EQ(m_logger.Last(), text) << code;
    }
    for (unsigned category : m_logger.Categories()) EXPECT_EQ(category, kDatabaseCategory);
}

class CFixedZone {
public:
    explicit CFixedZone(const char* zone) {
        const char* old = getenv("TZ");
        m_hadZone = old != nullptr;
        if (m_hadZone)
            m_oldZone = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~CFixedZone() {
        if (m_hadZone)
            setenv("TZ", m_oldZone.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool m_hadZone = false;
    std::string m_oldZone;
};

// "%m/%d/%y %H:%M:%S" written out by hand, `offset` seconds east of UTC.
std::string Stamp(long when, long offset) {
    time_t shifted = static_cast<time_t>(when + offset);
    tm parts{};
    gmtime_r(&shifted, &parts);
    char text[32];
    snprintf(text, sizeof text, "%02d/%02d/%02d %02d:%02d:%02d", parts.tm_mon + 1, parts.tm_mday,
             parts.tm_year % 100, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return text;
}

// Each notification makes one log line; a message adds its identity and what a person
// would recognise it by, the parts that are empty left out but their separators kept.
TEST_F(MessageDatabaseTest, LineForms) {
    CFixedZone zone("QLT-5");  // five hours east of UTC, no summer time
    CMessageStore* store = m_database->FindStore("pop.example.org", "anna", 0, 0);
    ASSERT_NE(store, nullptr);
    const int id = store->GetStoreID();
    const std::string text = "Sending USER";
    const std::string extra = "extra";
    CMessage bare("uid-1", store);  // nothing downloaded yet: no detail at all
    CMessage full("uid-2", store), noSubject("uid-3", store), noFrom("uid-4", store);
    full.SetHeader("From: Anna Example <anna@example.org>\r\nSubject: Lunch today\r\n\r\nBody\r\n",
                   -1);
    noSubject.SetHeader("From: bert@example.net\r\n\r\n", -1);
    noFrom.SetHeader("Subject: hi\r\n\r\n", -1);
    ASSERT_NE(full.GetDownloadedDate(), 0);
    auto stamp = [](CMessage& m) { return Stamp(m.GetDownloadedDate(), 5 * 3600); };
    const std::string on = " on anna@pop.example.org";
    const std::string fullDetail =
        on + "; msg uid-2 [From: anna@example.org; Downloaded: " + stamp(full) + "; 'Lunch today']";

    struct {
        std::function<void()> notify;
        std::string line;
    } cases[] = {
        {[&] { m_database->NotifyUI(MN_START_SYNCH, store); }, "Start synch" + on},
        {[&] { m_database->NotifyUI(MN_SYNCH_NEW_COUNT, store, 3); },
         "Synch new message count" + on + " (Data: 3)"},
        {[&] { m_database->NotifyUI(MN_NEW_CONNECTION, store, 0); },
         "New connection" + on + " (Protocol: POP3)"},
        {[&] { m_database->NotifyUI(MN_NEW_CONNECTION, static_cast<CMessageStore*>(nullptr), 1); },
         "New connection: Protocol: SMTP"},
        {[&] { m_database->NotifyLog(MN_NEW_CONNECTION, 0, nullptr, 2); },
         "New connection: Protocol: AOL"},
        {[&] { m_database->NotifyLog(MN_NEW_CONNECTION, 0, nullptr, 3); },
         "New connection: Protocol: unknown"},
        {[&] { m_database->NotifyLog(MN_ERROR, 0, nullptr, -7); }, "Error: Data: -7"},
        {[&] { m_database->NotifyUI(MN_END_CONNECTION, static_cast<CMessageStore*>(nullptr)); },
         "End connection"},
        {[&] { m_database->NotifyUI(Word(id, MN_NEW_STATE), text); },
         "New state" + on + " (Sending USER)"},
        {[&] { m_database->NotifyUI(Word(0, MN_ERROR), text); }, "Error: Sending USER"},
        {[&] { m_database->NotifyUI(Word(0, 30), text); },
         "New notification added. Please update MessageDatabase.cpp: Sending USER"},
        {[&] { m_database->NotifyLog(static_cast<MSG_NOTIFICATION>(30), id, nullptr, &text); },
         "New notification added. Please update MessageDatabase.cpp" + on + " (Sending USER)"},
        {[&] { m_database->NotifyUI(MN_TO_HOLD, &bare); }, "Message->Hold" + on + "; msg uid-1 []"},
        {[&] { m_database->NotifyUI(MN_TO_INBOX, &full); }, "Message->Inbox" + fullDetail},
        // The store comes from the message when none is given; the text goes last.
        {[&] { m_database->NotifyLog(MN_SYNCH_MESSAGE_PROCESSED, 0, &full, &extra); },
         "Synch message processed" + fullDetail + " (extra)"},
        {[&] { m_database->NotifyLog(MN_SYNCH_MESSAGE_PROCESSED, 0, &full, 4); },
         "Synch message processed" + fullDetail + " (Data: 4)"},
        {[&] { m_database->NotifyUI(MN_FROM_HOLD, &noSubject); },
         "Hold->" + on + "; msg uid-3 [From: bert@example.net; Downloaded: " + stamp(noSubject) +
             "; ]"},
        {[&] { m_database->NotifyUI(MN_TO_DELETED, &noFrom); },
         "Message->Deleted" + on + "; msg uid-4 [Downloaded: " + stamp(noFrom) + "; 'hi']"},
    };
    for (auto& entry : cases) {
        size_t before = m_logger.Lines().size();
        entry.notify();
        ASSERT_EQ(m_logger.Lines().size(), before + 1) << entry.line;
        EXPECT_EQ(m_logger.Last(), entry.line);
    }
    for (unsigned category : m_logger.Categories()) EXPECT_EQ(category, kDatabaseCategory);

    // Posting without logging.
    size_t before = m_logger.Lines().size();
    m_database->NotifyUI(Word(id, MN_NEW_STATE), 5L);
    EXPECT_EQ(m_logger.Lines().size(), before);
    // No logger, no line.
    m_database->RegisterLogger(nullptr);
    m_database->NotifyUI(MN_START_SYNCH, store);
    EXPECT_EQ(m_logger.Lines().size(), before);
}

}  // namespace
