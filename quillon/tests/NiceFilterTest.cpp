// The nice filter: each criterion with its failure note and counter, the limits, the
// calendar-day rule of the date check, and acceptable links.
#include "filter/NiceFilter.h"

#include "FilterFixture.h"

namespace {

// A personal message to the user sent a day before it arrived, with `extra` headers.
std::string Personal(const std::string& extra = "") {
    return "From: pat@stranger.net\n"
           "To: me@home.org\n"
           "Date: Mon, 30 Nov 2026 10:00:00 +0000\n"
           "Received: from a.example by b.example; Tue, 1 Dec 2026 09:00:00 +0000\n" +
           extra;
}

std::string Dated(const char* sent, const char* received) {
    return std::string("From: pat@stranger.net\nTo: me@home.org\nDate: ") + sent +
           "\nReceived: from a by b; " + received;
}

class NiceFilterTest : public CFilterFixture {
protected:
    void SetUp() override {
        CFilterFixture::SetUp();
        Friends() = {{"me@home.org", FRIENDLY_ME}, {"ann@friends.org", FRIENDLY_FRIEND}};
        SetList(FL_OK_LINKS, {"*example.com*"});
    }
    CNiceFilter& Filter() { return *m_chain->GetNiceFilter(); }
};

using F = CNiceFilter;

struct SNiceCase {
    std::string headers;
    const char* body;
    int size;
    std::vector<std::pair<int, int>> settings;
    const char* note;
    int counter;  // the failure counter, 0 when nice
};

// clang-format off
const SNiceCase kNiceCases[] = {
    {Personal(), "Hello.\r\n", 1999, {}, "nice", 0},
    {Personal(), "Hello.\r\n", 2000, {}, "other: size 2000 >= 2000 too big", F::kShortMessage},
    {Personal(), "Hello.\r\n", 50000, {{F::kMessageLength, 0}}, "nice", 0},
    {Personal(), "Hello.\r\n", 50000, {{F::kLengthCheck, 0}}, "nice", 0},
    {Personal(), "Hello.\r\n", 0, {}, "nice", 0},
    {"From: pat@stranger.net\nTo: list@lists.org", "", 100, {}, "other: not to or cc me", F::kToMe},
    {"From: pat@stranger.net\nCc: ann@friends.org", "", 100, {}, "other: not to or cc me",
     F::kToMe},
    {"From: pat@stranger.net\nCc: Me <me@home.org>", "", 100, {{F::kDateCheck, 1}}, "nice", 0},
    {"From: pat@stranger.net\nTo: a@x.org, b@x.org, c@x.org, d@x.org\nCc: me@home.org", "", 100, {},
     "other: to/cc 5 >= 5 too many addressees", F::kToAddresses},
    {"From: pat@stranger.net\nTo: a@x.org, b@x.org, c@x.org\nCc: me@home.org", "", 100, {}, "nice",
     0},
    {"From: pat@stranger.net\nTo: a@x.org, b@x.org, c@x.org, d@x.org\nCc: me@home.org", "", 100,
     {{F::kMaxAddressees, 0}}, "nice", 0},
    {Personal("Content-Type: multipart/mixed; boundary=x"), "", 100, {}, "other: attachment",
     F::kAttachment},
    {Personal("Content-Type: multipart/alternative; boundary=x"), "", 100, {},
     "other: not plain text", F::kPlainText},
    {Personal("Content-Type: text/html"), "", 100, {}, "other: not plain text", F::kPlainText},
    {Personal("Content-Type: Text/Plain; charset=us-ascii"), "", 100, {}, "nice", 0},
    {Personal("Content-Type: text/html"), "", 100, {{F::kFormattedCheck, 0}}, "nice", 0},
    {Personal(), "see http://www.example.com/some/path\r\n", 100, {}, "nice", 0},
    {Personal(), "see http://www.example.com/a and mailto:x@example.com\r\n", 100, {}, "nice", 0},
    {Personal(), "see https://evil.org/path?x=1\r\n", 100, {},
     "other: contains hyperlinks (https://evil.org)", F::kHyperlinks},
    {Personal(), "ok http://example.com then MAILTO:joe@evil.org.\r\n", 100, {},
     "other: contains hyperlinks (MAILTO:joe@evil.org.)", F::kHyperlinks},
    {Personal(), "see https://evil.org/path\r\n", 100, {{F::kHyperlinksCheck, 0}}, "nice", 0},
    {Personal(), "ends with http://", 100, {}, "other: contains hyperlinks (http://)",
     F::kHyperlinks},
};
// clang-format on

TEST_F(NiceFilterTest, CriteriaNotesAndCounters) {
    for (const auto& c : kNiceCases) {
        SetUp();
        for (const auto& [setting, value] : c.settings) Filter().SetSetting(setting, value);
        const bool nice = Filter().Examine(Message(c.headers, c.body, c.size));
        EXPECT_EQ(nice, c.counter == 0) << c.headers << c.body;
        EXPECT_EQ(m_chain->GetLastNote(), c.note) << c.headers << c.body;
        EXPECT_EQ(Filter().GetCounter(CFilter::kTrue), nice ? 1 : 0);
        if (!nice) {
            EXPECT_EQ(Filter().GetCounter(c.counter), 1) << c.note;
            EXPECT_EQ(Filter().GetCounter(c.counter - 1), 1) << c.note;
        }
    }
}

TEST_F(NiceFilterTest, DatesCompareCalendarDays) {
    const struct {
        const char* sent;
        const char* received;
        int maxDays;
        bool passes;
    } cases[] = {
        {"Tue, 1 Dec 2026 23:50:00 +0000", "Thu, 3 Dec 2026 00:10:00 +0000", 1, false},
        {"Tue, 1 Dec 2026 00:05:00 +0000", "Wed, 2 Dec 2026 23:55:00 +0000", 1, true},
        {"Tue, 1 Dec 2026 23:50:00 +0000", "Thu, 3 Dec 2026 00:10:00 +0000", 2, true},
        {"Thu, 3 Dec 2026 00:10:00 +0000", "Tue, 1 Dec 2026 23:50:00 +0000", 1, false},
        {"Tue, 1 Dec 2026 10:00:00 +0000", "Tue, 10 Nov 2026 10:00:00 +0000", 0, true},
    };
    for (const auto& c : cases) {
        SetUp();
        Filter().SetSetting(CNiceFilter::kMaxDays, c.maxDays);
        const bool nice = Filter().Examine(Message(Dated(c.sent, c.received), "", 100));
        EXPECT_EQ(nice, c.passes) << c.sent << " / " << c.received;
        if (!c.passes) {
            const std::string note = m_chain->GetLastNote();
            EXPECT_EQ(note.rfind("other: email date (", 0), 0u) << note;
            EXPECT_NE(
                note.find(") not within " + std::to_string(c.maxDays) + " days of received date ("),
                std::string::npos)
                << note;
            EXPECT_EQ(Filter().GetCounter(CNiceFilter::kDate), 1);
        }
    }
    // Without a Date header, or without a Received one, the check passes.
    SetUp();
    EXPECT_TRUE(Filter().Examine(Message("From: p@x.org\nTo: me@home.org", "", 100)));
    EXPECT_TRUE(Filter().Examine(
        Message("From: p@x.org\nTo: me@home.org\nDate: Tue, 1 Dec 1998 10:00:00 +0000", "", 100)));
}

TEST_F(NiceFilterTest, ActionIsReadAndWritten) {
    EXPECT_EQ(Filter().GetAction(), MS_HOLD);
    Filter().SetAction(MS_INBOX);
    Filter().SaveAction();
    EXPECT_EQ(CNiceFilter(m_chain.get()).GetAction(), MS_INBOX);
    // Without a "links" list the link criterion passes.
    ASSERT_TRUE(m_chain->ReplaceList(FL_LINKS, nullptr));
    EXPECT_TRUE(Filter().Examine(Message(Personal(), "https://evil.org\r\n", 100)));
    EXPECT_EQ(Filter().GetCounter(CNiceFilter::kHyperlinksInvoked), 0);
}

}  // namespace
