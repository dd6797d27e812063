// The held-mail review over real stores of the message database: the column texts, the
// numbers, naming messages, release with its notes and status texts, make friend, delete
// with its log, the counters, and the masking of offensive words.
#include "review/HeldMail.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "TestHome.h"
#include "ferrymail/accounts/AccountTable.h"
#include "ferrymail/store/MessageDatabase.h"
#include "ferrymail/store/MessageStore.h"
#include "friends/FriendsState.h"
#include "kinbook/friends/FriendData.h"
#include "kinbook/foundation/RegistryKey.h"
#include "review/HeldColumns.h"
#include "review/HeldNumbers.h"
#include "review/RegistryReviewCounters.h"
#include "review/ReviewCounters.h"
#include "review/WordMask.h"

namespace {

constexpr const char kAnna[] = "anna@pop.example.org";
constexpr const char kBert[] = "bert@mail.example.net";

class CRecordingCounters : public IReviewCounters {
public:
    void CountReleased(char tag) override { released += tag; }
    void CountDeleted(char tag) override { deleted += tag; }
    std::string released, deleted;
};

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void SetSetting(const char* name, int value) {
    CRegistryKey key;
    ASSERT_TRUE(key.OpenCarefully(HKEY_CURRENT_USER, "Software\\Brevant\\Quillon\\Settings"));
    ASSERT_TRUE(key.SetValue(name, value));
}

class HeldMailTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetFriendsState();
        CMessageDatabase::Shutdown();
        ClearAccountTable(TRUE);
        SetMailClientAccountSource(nullptr);
        Register("work", "pop.example.org", "anna");
        Register("home", "mail.example.net", "bert");
        Open();
    }
    void TearDown() override {
        m_review.reset();
        CMessageDatabase::Shutdown();
        ClearAccountTable(TRUE);
        ResetFriendsState();
    }
    static void Register(const char* account, const char* server, const char* user) {
        CRegistryKey key;
        const std::string path =
            std::string("Software\\Brevant\\Quillon\\Clients\\mpop\\") + account;
        ASSERT_TRUE(key.OpenCarefully(HKEY_CURRENT_USER, path.c_str()));
        ASSERT_TRUE(key.SetValue("ServerName", server));
        ASSERT_TRUE(key.SetValue("UserName", user));
    }
    // A database of its own, as a later run of the program has.
    void Open() {
        m_review.reset();
        CMessageDatabase::Shutdown();
        m_database = CMessageDatabase::GetMessageDatabase();
        m_review = std::make_unique<CHeldMail>(m_database, &m_counters);
    }
    CMessageStore* Store(const char* name) {
        return name == std::string(kAnna) ? m_database->FindStore("pop.example.org", "anna", 0, 0)
                                          : m_database->FindStore("mail.example.net", "bert", 0, 0);
    }
    // Files a message the way the filter leaves it: header, tag, analysis note, location.
    void File(const char* store, const std::string& uidl, const std::string& from,
              const std::string& subject, char tag, const char* note, MSSTATUS location = MS_HOLD,
              int size = 2000) {
        CMessage* message = new CMessage(uidl, nullptr);
        message->SetHeader("From: " + from + "\r\nSubject: " + subject + "\r\n\r\nbody\r\n", -1);
        message->SetTag(reinterpret_cast<void*>(static_cast<intptr_t>(tag)));
        if (note != nullptr)
            message->AddQLNote("Quillon-Analysis", note);
        message->SetSize(size);
        message->AddRef();
        CMessageStore* s = Store(store);
        ASSERT_NE(s, nullptr);
        ASSERT_TRUE(s->InstallMessage(message, 1));
        message->SetLocation(location);
        CRefCount::DoRelease(message);
        ASSERT_TRUE(s->Save(0));
    }
    CMessage* Message(const char* store, const std::string& uidl) {
        return m_database->GetMessage(Store(store)->GetStoreID(), &uidl);
    }
    std::vector<SHeldRow> Rows() {
        std::vector<SHeldRow> rows;
        std::string error;
        EXPECT_TRUE(m_review->List(rows, error)) << error;
        return rows;
    }
    std::vector<SHeldRow> Named(const std::vector<std::string>& targets) {
        std::vector<SHeldRow> rows;
        std::string error;
        EXPECT_TRUE(m_review->Resolve(targets, rows, error)) << error;
        return rows;
    }

    CTestHome m_home;
    CRecordingCounters m_counters;
    CMessageDatabase* m_database = nullptr;
    std::unique_ptr<CHeldMail> m_review;
};

TEST(HeldColumnsTest, ColumnTexts) {
    const std::pair<int, const char*> sizes[] = {
        {0, "0B"}, {1023, "1023B"}, {1024, "1KB"}, {1025, "2KB"}, {10 * 1024, "10KB"}};
    for (const auto& [size, text] : sizes) EXPECT_EQ(HeldSizeText(size), text) << size;

    const std::tuple<char, char, const char*> tags[] = {
        {'X', 'X', "bad"}, {'N', 'N', "nice"}, {'Q', '?', "?"}, {0, ' ', " "}, {'F', ' ', " "}};
    for (const auto& [tag, category, type] : tags) {
        EXPECT_EQ(HeldCategory(tag), category) << tag;
        EXPECT_STREQ(HeldTypeText(tag), type) << tag;
    }

    const std::tuple<const char*, const char*, const char*> notes[] = {
        {"X-Quillon-Analysis: bad: numeric hyperlinks in body\r\n",
         "bad: numeric hyperlinks in body", "numeric hyperlinks in body"},
        {"X-Quillon-Analysis: other: long message\r\nX-Quillon-Analysis: later\r\n",
         "other: long message", "long message"},
        {"X-Quillon-Analysis: questionable: x", "questionable: x", "x"},
        {"X-Quillon-Analysis: evil: y\r\n", "evil: y", "y"},
        {"X-Quillon-Analysis: nice: short\r\n", "nice: short", "nice: short"},
        {"", "", ""},
        {"no colon here\r\n", "", ""},
        {"X:", "", ""},
    };
    for (const auto& [notesText, note, shown] : notes) {
        EXPECT_EQ(HeldAnalysisNote(notesText), note) << notesText;
        EXPECT_EQ(HeldAnalysisShown(note), shown) << notesText;
    }
}

TEST(HeldColumnsTest, ReceivedIsRelativeToToday) {
    tm noon = {};
    noon.tm_year = 2026 - 1900;
    noon.tm_mon = 6;  // July: away from the year's ends
    noon.tm_mday = 15;
    noon.tm_hour = 12;
    noon.tm_isdst = -1;
    const time_t now = mktime(&noon);
    auto at = [&noon](int days, int hour, int minute) {
        tm when = noon;
        when.tm_mday += days;
        when.tm_hour = hour;
        when.tm_min = minute;
        when.tm_isdst = -1;
        return static_cast<long>(mktime(&when));
    };
    const std::pair<long, const char*> cases[] = {
        {at(0, 9, 5), "9:05am"},    {at(0, 0, 30), "12:30am"},     {at(0, 12, 0), "12:00pm"},
        {at(0, 23, 59), "11:59pm"}, {at(-1, 15, 7), "Tue 3:07pm"}, {at(-6, 8, 0), "Thu 8:00am"},
        {at(-7, 8, 0), "07/08/26"}, {at(-200, 8, 0), "12/27/25"},  {0, ""},
    };
    for (const auto& [downloaded, text] : cases)
        EXPECT_EQ(HeldReceivedText(downloaded, now), text) << downloaded;
}

TEST_F(HeldMailTest, ListsTheHeldMessagesOfEveryStoreWithTheirColumns) {
    File(kAnna, "a1", "=?UTF-8?Q?J=C3=BCrgen_M?= <jm@spam.example>",
         "=?ISO-8859-1?Q?Gr=FC=DFe?=", 'X', "bad: numeric hyperlinks in body", MS_HOLD, 1500);
    File(kAnna, "a2", "friend@example.org", "in the inbox", 0, nullptr, MS_INBOX);
    File(kAnna, "a3", "Nia <nia@example.org>", "jailed", 'N', "nice: everything", MS_JAIL, 100);
    File(kBert, "b1", "q@example.org", "plain", 'Q', "other: long message");

    const std::vector<SHeldRow> rows = Rows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].storeName, kAnna);
    EXPECT_EQ(rows[0].number, 1);
    EXPECT_EQ(rows[0].name, "J\xC3\xBCrgen M");
    EXPECT_EQ(rows[0].email, "jm@spam.example");
    EXPECT_EQ(rows[0].subject,
              "Gr\xFC\xDF"
              "e");
    EXPECT_EQ(rows[0].tag, 'X');
    EXPECT_EQ(rows[0].analysis, "bad: numeric hyperlinks in body");
    EXPECT_GE(rows[0].size, 1500);
    EXPECT_NE(rows[0].received, 0);
    EXPECT_EQ(rows[1].uidl, "a3");
    EXPECT_EQ(rows[1].number, 2);
    EXPECT_EQ(rows[1].subject, "jailed");
    EXPECT_EQ(rows[1].name, "Nia");
    EXPECT_EQ(rows[1].location, MS_JAIL);
    EXPECT_EQ(rows[2].storeName, kBert);
    EXPECT_EQ(rows[2].number, 1);
    EXPECT_EQ(rows[2].name, "");
}

TEST_F(HeldMailTest, NumbersStayWithTheirMessagesAndAreNeverGivenTwice) {
    File(kAnna, "a1", "x@example.org", "one", 'X', "bad: x");
    File(kAnna, "a2", "y@example.org", "two", 'X', "bad: y");
    ASSERT_EQ(Rows().size(), 2u);
    std::vector<std::string> status;
    std::string error;
    ASSERT_TRUE(m_review->Release(Named({"1"}), false, status, error)) << error;
    File(kAnna, "a0", "z@example.org", "three", 'Q', "other: z");
    Open();  // a later run reads the numbers back
    std::vector<SHeldRow> rows = Rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].uidl, "a2");
    EXPECT_EQ(rows[0].number, 2);
    EXPECT_EQ(rows[1].uidl, "a0");
    EXPECT_EQ(rows[1].number, 3) << "number 1 went with the released message";

    // The numbers file survives damage without giving a number twice.
    const std::string path = Store(kAnna)->GetPath() + ".num";
    std::ofstream(path) << "next\tgarbage\n2\ta2\nnot a line\n2\ta0\n";
    File(kAnna, "a4", "w@example.org", "four", 'Q', "other: w");
    rows = Rows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].number, 3) << "a number two lines give goes to neither";
    EXPECT_EQ(rows[1].number, 4);
    EXPECT_EQ(rows[2].number, 5);
}

TEST_F(HeldMailTest, NamingMessages) {
    File(kAnna, "a1", "x@example.org", "one", 'X', "bad: x");
    File(kAnna, "a2", "y@example.org", "two", 'X', "bad: y");
    File(kBert, "b1", "z@example.org", "three", 'X', "bad: z");
    const std::string anna = kAnna;
    struct Case {
        std::vector<std::string> targets;
        std::vector<std::string> uidls;  // empty: refused
        const char* error;
    } cases[] = {
        {{"2"}, {"a2"}, ""},
        {{"ANNA@pop.example.org:1", "2", anna + ":1"}, {"a1", "a2"}, ""},
        {{"bert@mail.example.net:1"}, {"b1"}, ""},
        {{"1"},
         {},
         "number 1 is held in more than one store (anna@pop.example.org, bert@mail.example.net); "
         "name it as STORE:1"},
        {{"2", "9"}, {}, "no held message 9"},
        {{"bert@mail.example.net:2"}, {}, "no held message bert@mail.example.net:2"},
        {{"nobody@x.org:1"}, {}, "no held messages in a store 'nobody@x.org'"},
        {{"0"}, {}, "'0' is not a message number (N or STORE:N)"},
        {{"-1"}, {}, "'-1' is not a message number (N or STORE:N)"},
        {{"2x"}, {}, "'2x' is not a message number (N or STORE:N)"},
        {{":2"}, {}, "':2' is not a message number (N or STORE:N)"},
        {{"99999999999"}, {}, "'99999999999' is not a message number (N or STORE:N)"},
    };
    for (const Case& c : cases) {
        std::vector<SHeldRow> rows;
        std::string error;
        const bool ok = m_review->Resolve(c.targets, rows, error);
        EXPECT_EQ(ok, !c.uidls.empty()) << c.targets[0];
        EXPECT_EQ(error, c.error) << c.targets[0];
        std::vector<std::string> uidls;
        for (const SHeldRow& row : rows) uidls.push_back(row.uidl);
        EXPECT_EQ(uidls, c.uidls) << c.targets[0];
    }
    EXPECT_EQ(Rows().size(), 3u) << "naming changes nothing";

    // Numbers that cannot be kept name nothing: the next run could give them to others.
    const std::string numbers = Store(kAnna)->GetPath() + ".num";
    ASSERT_EQ(std::remove(numbers.c_str()), 0);
    std::filesystem::create_directory(numbers);
    std::vector<SHeldRow> rows;
    std::string error;
    EXPECT_FALSE(m_review->Resolve({"bert@mail.example.net:1"}, rows, error));
    EXPECT_NE(error.find("the numbers of held messages cannot be kept"), std::string::npos)
        << error;
}

TEST_F(HeldMailTest, ReleaseNotesEachMessageAndCountsItByItsTag) {
    const std::string longName(30, 'L');
    struct Case {
        std::vector<std::string> from;  // one held message each
        const char* status;
    } cases[] = {
        {{"Ann <ann@example.org>"}, "Released \"Ann\" to inbox."},
        {{longName + " <long@example.org>"}, "Released \"LLLLLLLLLLLLLLLLLLLLLLL...\" to inbox."},
        {{"plain@example.org"}, "Released \"plain@example.org\" to inbox."},
        {{"<>"}, "Release one message to inbox."},
        {{"a@example.org", "b@example.org"}, "Released 2 messages to inbox."},
    };
    const char tags[] = {'X', 'N', 'Q', 0};
    const auto uidlOf = [](int i) {
        std::string uidl = "m";
        return uidl += std::to_string(i);
    };
    int uidl = 0;
    for (const Case& c : cases) {
        std::vector<std::string> targets;
        for (const std::string& from : c.from) {
            ++uidl;
            File(kAnna, uidlOf(uidl), from, "subject", tags[uidl % 4], "bad: x");
            targets.push_back(std::to_string(uidl));
        }
        std::vector<std::string> status;
        std::string error;
        ASSERT_TRUE(m_review->Release(Named(targets), false, status, error)) << error;
        EXPECT_EQ(status, std::vector<std::string>{c.status});
    }
    for (int i = 1; i <= uidl; ++i) {
        const CMessage* message = Message(kAnna, uidlOf(i));
        EXPECT_EQ(message->GetLocation(), MS_INBOX);
        EXPECT_EQ(
            message->GetQLNotes(),
            "X-Quillon-Analysis: bad: x\r\nX-Quillon-Analysis: user moved message to inbox.\r\n");
    }
    EXPECT_EQ(m_counters.released, std::string("NQ\0XNQ", 6));
    EXPECT_TRUE(Rows().empty());

    // Saved at once: a later run finds them released.
    Open();
    EXPECT_EQ(Message(kAnna, "m1")->GetLocation(), MS_INBOX);
}

TEST_F(HeldMailTest, ReleaseAndMakeFriendTakesEverySameSenderAndMakesTheFriendOnce) {
    File(kAnna, "s1", "Sam Sender <sam@x.org>", "one", 'X', "bad: a");
    File(kAnna, "o1", "other@x.org", "other", 'Q', "other: b");
    File(kAnna, "s2", "SAM@X.org", "two", 'N', "nice: c");
    File(kBert, "s3", "Sam <Sam@x.org>", "three", 'Q', "other: d");
    File(kBert, "f1", "not-an-address", "four", 'Q', "other: e");
    std::vector<std::string> status;
    std::string error;
    ASSERT_TRUE(m_review->Release(Named({"anna@pop.example.org:1"}), true, status, error)) << error;
    EXPECT_EQ(status, (std::vector<std::string>{
                          "Released \"Sam Sender\" to inbox.",
                          "Add \"sam@x.org\" as new friend!",
                          "The address \"SAM@X.org\" is already a friend!",
                          "The address \"Sam@x.org\" is already a friend!",
                      }));
    const std::pair<const char*, const char*> notes[] = {
        {"s1", "user moved message to inbox + make friend."},
        {"s2", "user moved message to inbox + make friend (friend already)."},
        {"s3", "user moved message to inbox + make friend (friend already)."},
    };
    for (const auto& [uidl, note] : notes) {
        const CMessage* message = Message(uidl[1] == '3' ? kBert : kAnna, uidl);
        EXPECT_EQ(message->GetLocation(), MS_INBOX) << uidl;
        const std::string notesText = message->GetQLNotes();
        EXPECT_EQ(notesText.substr(notesText.find("\r\n") + 2),
                  std::string("X-Quillon-Analysis: ") + note + "\r\n")
            << uidl;
    }
    EXPECT_EQ(Message(kAnna, "o1")->GetLocation(), MS_HOLD);
    EXPECT_EQ(m_counters.released, "XNQ");
    CFriendData sam;
    ASSERT_TRUE(sam.Lookup("sam@x.org"));
    EXPECT_EQ(sam.GetFriendly(), FRIENDLY_FRIEND);
    EXPECT_EQ(sam.GetName(), "Sam Sender");
    EXPECT_EQ(sam.GetSourceQuality(), AS_MANUAL);
    EXPECT_EQ(sam.GetNote(), "message moved from hold");

    // A sender that cannot become a friend is released all the same.
    status.clear();
    ASSERT_TRUE(m_review->Release(Named({"bert@mail.example.net:2"}), true, status, error));
    EXPECT_EQ(status.back(), "Add \"not-an-address\" as new friend failed!");
    EXPECT_EQ(Message(kBert, "f1")->GetLocation(), MS_INBOX);
    EXPECT_NE(
        Message(kBert, "f1")
            ->GetQLNotes()
            .find("X-Quillon-Analysis: user moved message to inbox + make friend FAILED!.\r\n"),
        std::string::npos);
}

TEST_F(HeldMailTest, DeleteWritesTheLogFirstAndCountsByTag) {
    File(kAnna, "d1", "Dee <dee@spam.example>", "Buy\tnow", 'X', "bad: numeric hyperlinks in body",
         MS_HOLD, 3000);
    File(kAnna, "d2", "nn@example.org", "nice one", 'N', "nice: short");
    File(kAnna, "d3", "qq@example.org", "third", 'Q', "other: long message", MS_JAIL);
    std::vector<std::string> status;
    std::string error;
    ASSERT_TRUE(m_review->Delete(Named({"1", "2"}), DS_NONE, status, error)) << error;
    EXPECT_EQ(status, std::vector<std::string>{"Deleted 2 messages."});
    EXPECT_EQ(Message(kAnna, "d1")->GetLocation(), MS_DELETED);
    EXPECT_EQ(Message(kAnna, "d2")->GetLocation(), MS_DELETED);
    EXPECT_EQ(m_counters.deleted, "XN");

    const std::string log = ReadText(m_home.Path() + "/deletelog.txt");
    const std::string header = CDeleteLog::Header(false);
    EXPECT_EQ(
        header,
        "Date Deleted\t\tType\tName\t\t\tEmail\t\t\t\tSubject\t\t\t\t\t\t\t\tReceived\t\tSize\t"
        "Analysis\n============\t\t====\t====\t\t\t=====\t\t\t\t=======\t\t\t\t\t\t\t\t========"
        "\t\t====\t========\n");
    ASSERT_EQ(log.compare(0, header.size(), header), 0) << log;
    std::istringstream lines(log.substr(header.size()));
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    // Each field starts at its column's tab stop.
    std::string expanded;
    for (char c : line) {
        if (c != '\t')
            expanded += c;
        else
            expanded.resize((expanded.size() / 8 + 1) * 8, ' ');
    }
    const std::pair<size_t, std::string> fields[] = {
        {24, "bad "},     {32, "Dee "}, {56, "dee@spam.example "},
        {88, "Buy now "}, {176, "3"},   {184, "bad: numeric hyperlinks in body"}};
    for (const auto& [column, text] : fields)
        EXPECT_EQ(expanded.compare(column, text.size(), text), 0) << column << "\n" << expanded;
    EXPECT_EQ(expanded[2], '/');
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_NE(line.find("\tnice\t\t\t\tnn@example.org"), std::string::npos) << line;

    // The header comes once; with "Log Deletes" off nothing is written.
    ASSERT_TRUE(m_review->Delete(Named({"3"}), DS_NONE, status, error));
    const std::string after = ReadText(m_home.Path() + "/deletelog.txt");
    EXPECT_EQ(after.find("Date Deleted", header.size()), std::string::npos);
    EXPECT_NE(after.find("other: long message\n"), std::string::npos);
    EXPECT_EQ(m_counters.deleted, "XNQ");
    // A message that left hold since it was named is left where it went.
    File(kAnna, "d5", "v@example.org", "fifth", 'X', "bad: v");
    const std::vector<SHeldRow> named = Named({"4"});
    Message(kAnna, "d5")->SetLocation(MS_DELIVERED);
    EXPECT_FALSE(m_review->Delete(named, DS_NONE, status, error));
    EXPECT_EQ(error, "message anna@pop.example.org:4 is no longer held; left as it is");
    EXPECT_EQ(Message(kAnna, "d5")->GetLocation(), MS_DELIVERED);
    EXPECT_EQ(m_counters.deleted, "XNQ");
    SetSetting("Log Deletes", 0);
    File(kAnna, "d4", "z@example.org", "fourth", 'X', "bad: z");
    ASSERT_TRUE(m_review->Delete(Named({"5"}), DS_NONE, status, error));
    EXPECT_EQ(ReadText(m_home.Path() + "/deletelog.txt"), after);
    EXPECT_EQ(Message(kAnna, "d4")->GetLocation(), MS_DELETED);
}

TEST(DeleteLogTest, WithASourceTheLogHasTheActionColumnAndItsKey) {
    const std::string header = CDeleteLog::Header(true);
    EXPECT_EQ(
        header.rfind("Action Column Key:\n" + std::string(65, '=') + "\nd\tdelete selected", 0),
        0u);
    EXPECT_NE(
        header.find(
            "menu\tdelete selected messages from mouse popup menu\n\nDate Deleted\t\tAction\tType"),
        std::string::npos);
    SHeldRow row;
    row.email = "e@x.org";
    row.tag = 'Q';
    row.analysis = "other: x";
    const std::string line = CDeleteLog::Line(row, DS_MENU, 0);
    EXPECT_EQ(line, "\t\t\tmenu\t?\t\t\t\te@x.org\t\t\t\t\t\t\t\t\t\t\t\t\t\t\t0\tother: x\n");
}

TEST_F(HeldMailTest, ExpurgateMasksOffensiveWordsInTheShownTexts) {
    std::ofstream(m_home.Path() + "/badwords.re") << "2\n1 1\tdamn\n3 3\tass\n";
    CHeldMail::SSettings on, off;
    off.expurgate = false;
    const std::pair<const char*, const char*> cases[] = {
        {"damn it", "**** it"},
        {"it is DAMN", "it is ****"},
        {"damn, damn and damn", "****, **** and ****"},
        {"classic ass", "classic ***"},
        {"nothing here", "nothing here"},
        {"", ""},
    };
    for (const auto& [text, masked] : cases) {
        EXPECT_EQ(m_review->Shown(text, on), masked) << text;
        EXPECT_EQ(m_review->Shown(text, off), text) << text;
    }
    // A changed list is read again.
    std::ofstream(m_home.Path() + "/badwords.re.new") << "2\n1 1\tdarn\n";
    ASSERT_EQ(std::rename((m_home.Path() + "/badwords.re.new").c_str(),
                          (m_home.Path() + "/badwords.re").c_str()),
              0);
    EXPECT_EQ(m_review->Shown("damn darn", on), "damn ****");
}

}  // namespace
