// The statistics texts: the summary's two texts for every case of the counts, the
// details table, the detailed figures and footer, and the "since" date.
#include "filter/FilterStatistics.h"

#include "FilterFixture.h"
#include "filter/FilterProfile.h"
#include "filter/FriendlyFilter.h"

namespace {

class FilterStatisticsTest : public CFilterFixture {};

TEST_F(FilterStatisticsTest, FirstText) {
    const struct {
        int passed, held;
        const char* text;
    } cases[] = {
        {3, 1,
         "Since D Quillon has scanned 4 emails.3 were sent directly to your Inbox, and 1 was "
         "placed in the hold window."},
        {1, 2,
         "Since D Quillon has scanned 3 emails.1 was sent directly to your Inbox, and 2 were "
         "placed in the hold window."},
        {1, 0, "Since D Quillon has scanned 1 email. It was sent directly to your Inbox."},
        {2, 0, "Since D Quillon has scanned 2 emails. Both were sent directly to your Inbox."},
        {7, 0, "Since D Quillon has scanned 7 emails. All were sent directly to your Inbox."},
        {0, 1, "Since D Quillon has scanned 1 email. It was placed in the hold window."},
        {0, 2, "Since D Quillon has scanned 2 emails. Both were placed in the hold window."},
        {0, 9, "Since D Quillon has scanned 9 emails. All were placed in the hold window."},
        {0, 0,
         "Quillon will track the number of emails processed and display the information here."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SummaryFirstText(c.passed, c.held, "D"), c.text) << c.passed << "/" << c.held;
}

TEST_F(FilterStatisticsTest, SecondText) {
    const struct {
        int held, sent, deleted;
        const char* text;
    } cases[] = {
        {0, 0, 0, ""},
        {4, 0, 0, ""},
        {1, 0, 1, "You deleted the email placed in hold."},
        {1, 1, 0, "You sent the email placed in hold to your inbox."},
        {2, 0, 1, "You deleted both emails placed in hold."},
        {2, 1, 1, "From hold you deleted one email and sent one email to your inbox."},
        {2, 2, 0, "You sent both emails placed in hold to your inbox."},
        {5, 2, 1, "Of the 5 emails placed in hold, you deleted 1 and sent 2 to your inbox."},
        {5, 5, 0, "You sent all 5 emails placed in hold to your inbox."},
        {5, 3, 0, "Of the 5 emails placed in hold, you sent 3 to your inbox."},
        {5, 0, 5, "You deleted all 5 emails placed in hold."},
        {5, 0, 2, "You deleted 2 of the 5 emails placed in hold."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SummarySecondText(c.held, c.sent, c.deleted), c.text)
            << c.held << " " << c.sent << " " << c.deleted;
}

TEST_F(FilterStatisticsTest, SummaryAndDetailsFromTheChain) {
    Friends() = {{"ann@friends.org", FRIENDLY_FRIEND}};
    for (const char* headers :
         {"From: ann@friends.org", "Subject: none", "Subject: none", "From: p@x.org\nTo: q@x.org"})
        m_chain->Examine(Message(headers, "Hi.\r\n", 100));
    m_chain->CountReleased('X');
    m_chain->CountDeleted('Q');
    EXPECT_EQ(SummaryText(*m_chain, "D"),
              "Since D Quillon has scanned 4 emails.1 was sent directly to your Inbox, and 3 were "
              "placed in the hold window.\n"
              "Of the 3 emails placed in hold, you deleted 1 and sent 1 to your inbox.\n\n"
              "Details:\n"
              "            Held   Deleted   Sent to Inbox\n"
              "Bad            2         0               1\n"
              "Nice           0         0               0\n"
              "Other          1         1               0\n");
    const std::vector<StatisticsRow> rows = FilterStatisticsRows(*m_chain);
    const std::vector<StatisticsRow> expected = {
        {"Friendly Filter", "1/4"},
        {"Bad Filter", "2/3"},
        {"Nice Filter", "0/1"},
        {"Other", "1/1"},
        {"", ""},
        {"Yourself", "0"},
        {"Friend", "1"},
        {"Friendly Company", "0"},
        {"Email List", "0"},
        {"To/Cc Friend", "0"},
        {"Key Phrase", "0"},
        {"", ""},
        {"Invalid Header", "2/3"},
        {"Domain Blacklist", "0/1"},
        {"Non-western", "0/0"},
        {"Offensive Subject", "0/1"},
        {"Commercial Subject", "0/1"},
        {"Offensive Body", "0/0"},
        {"Commercial Body", "0/0"},
        {"Numeric Hyperlinks", "0/0"},
        {"", ""},
        {"Long Message", "0/1"},
        {"Not to Me", "1/1"},
        {"Many Addressees", "0/0"},
        {"Not Current", "0/0"},
        {"Attachments", "0/0"},
        {"Formatting", "0/0"},
        {"Hyperlinks", "0/0"},
    };
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(FilterStatisticsFooter(*m_chain),
              "Of the 3 non-friendly emails processed, 0 required that the body be read.");
    const std::string text = FilterStatisticsText(*m_chain, "D");
    EXPECT_EQ(text.rfind("Filter statistics since D\n\nFriendly Filter", 0), 0u) << text;
    EXPECT_NE(text.find("\nNot to Me                    1/1\n"), std::string::npos) << text;
}

TEST_F(FilterStatisticsTest, FooterNeedsMoreThanOneStranger) {
    m_chain->Examine(Message("Subject: none", "", 100));
    EXPECT_EQ(FilterStatisticsFooter(*m_chain), "");
    m_chain->Examine(Message("Subject: none", "", 100));
    EXPECT_EQ(FilterStatisticsFooter(*m_chain),
              "Of the 2 non-friendly emails processed, 0 required that the body be read.");
}

TEST_F(FilterStatisticsTest, TheDateIsFixedWhenFirstShown) {
    const std::string today = ShortDateToday();
    ASSERT_FALSE(today.empty());
    EXPECT_EQ(GetFilterStatsDate(false), today);
    EXPECT_EQ(ReadProfileText(kSettingsSection, "Filter Stats Date", "missing"), "missing");
    WriteProfileText(kSettingsSection, "Filter Stats Date", "01/02/03");
    EXPECT_EQ(GetFilterStatsDate(), "01/02/03");
    ASSERT_TRUE(m_chain->ClearCounters());
    EXPECT_EQ(GetFilterStatsDate(), today);
    EXPECT_EQ(ReadProfileText(kSettingsSection, "Filter Stats Date", ""), today);
}

}  // namespace
