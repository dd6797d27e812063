// The bad filter: every test with its note, counter and switch, the order of the tests,
// the masking of offensive words, and lists that are missing.
#include "filter/BadFilter.h"

#include "FilterFixture.h"

namespace {

class BadFilterTest : public CFilterFixture {
protected:
    void SetUp() override {
        CFilterFixture::SetUp();
        SetList(FL_DOMAINS, {"@spam.com", "junk.biz"});
        SetList(FL_BADWORDS, {"*sex*"});
        SetList(FL_WORDS, {"*viagra*", "*\" hot \"*"});
    }
    CBadFilter& Filter() { return *m_chain->GetBadFilter(); }
};

using F = CBadFilter;

struct SBadCase {
    const char* headers;
    const char* body;
    std::vector<std::pair<int, int>> settings;
    bool expurgate;
    const char* note;  // empty: not claimed
    int counter;
};

// clang-format off
const SBadCase kBadCases[] = {
    {"Subject: hi", "", {}, true, "bad: from address empty", F::kInvalidHeader},
    {"From: \"Ann Smith\" <>\nSubject: hi", "", {}, true, "", 0},
    {"Subject: hi", "", {{F::kFromCheck, 0}}, true, "", 0},
    {"From: a@spam.com", "", {}, true, "bad: from a blacklisted sender (@spam.com)",
     F::kDomainBlacklist},
    {"From: a@nospam.com", "", {}, true, "", 0},
    {"From: a@spam.com.au", "", {}, true, "", 0},
    {"From: a@nojunk.biz", "", {}, true, "bad: from a blacklisted sender (junk.biz)",
     F::kDomainBlacklist},
    {"From: a@spam.com", "", {{F::kDomainBlacklistCheck, 0}}, true, "", 0},
    {"From: li@mail.example.cn", "", {{F::kLanguageCheck, 1}}, true,
     "bad: from non-western country code - li@mail.example.cn", F::kNonWestern},
    {"From: li@mail.example.cn", "", {}, true, "", 0},
    {"From: a@b.org\nSubject: ab\xC3\xA9\xC3" "cde", "", {{F::kLanguageCheck, 1}}, true,
     "bad: non-western language - 8bit in subject", F::kNonWestern},
    {"From: a@b.org\nSubject: abc\xC3\xA9" "def", "", {{F::kLanguageCheck, 1}}, true, "", 0},
    {"From: a@b.org\nSubject: =?utf-8?B?5L2g5aW95ZCX?=", "", {{F::kLanguageCheck, 1}}, true,
     "bad: non-western language - 8bit in subject", F::kNonWestern},
    {"From: a@b.org\nSubject: free SEX now", "", {}, true, "bad: offensive words in subject",
     F::kOffensiveSubject},
    {"From: a@b.org\nSubject: free SEX now", "", {}, false, "bad: \"sex\" in subject",
     F::kOffensiveSubject},
    {"From: a@b.org\nSubject: free SEX now", "", {{F::kOffensiveWordCheck, 0}}, true, "", 0},
    {"From: a@b.org\nSubject: cheap Viagra", "", {}, true, "bad: \"viagra\" in subject",
     F::kCommercialSubject},
    {"From: a@b.org\nSubject: a hot deal", "", {}, true, "bad: \" hot \" in subject",
     F::kCommercialSubject},
    {"From: a@b.org\nSubject: cheap Viagra", "", {{F::kMyWordCheck, 0}}, true, "", 0},
    {"From: a@b.org\nSubject: hi", "more sex\r\n", {}, true, "bad: offensive words in body",
     F::kOffensiveBody},
    {"From: a@b.org\nSubject: hi", "more sex\r\n", {}, false, "bad: \"sex\" in body",
     F::kOffensiveBody},
    {"From: a@b.org\nSubject: hi", "buy viagra\r\n", {}, true, "bad: \"viagra\" in body",
     F::kCommercialBody},
    {"From: a@b.org\nSubject: sex", "buy viagra\r\n", {}, true, "bad: offensive words in subject",
     F::kOffensiveSubject},
    {"From: a@b.org\nSubject: viagra", "more sex\r\n", {}, true, "bad: \"viagra\" in subject",
     F::kCommercialSubject},
    {"From: a@b.org", "go to http://10.0.0.1/x now\r\n", {{F::kNumericLinksCheck, 1}}, true,
     "bad: numeric hyperlinks in body", F::kNumericLinks},
    {"From: a@b.org", "go to HTTPS://192.168.1.20\r\n", {{F::kNumericLinksCheck, 1}}, true,
     "bad: numeric hyperlinks in body", F::kNumericLinks},
    {"From: a@b.org", "go to http://10.0/x\r\n", {{F::kNumericLinksCheck, 1}}, true, "", 0},
    {"From: a@b.org", "go to http://1234.1.1.1/\r\n", {{F::kNumericLinksCheck, 1}}, true, "", 0},
    {"From: a@b.org", "go to http://10.0.0.1/x now\r\n", {}, true, "", 0},
    {"From: a@b.org\nContent-Type: text/plain\nContent-Transfer-Encoding: base64",
     "aHR0cDovLzEuMi4zLjQv\r\n", {{F::kNumericLinksCheck, 1}}, true,
     "bad: numeric hyperlinks in body", F::kNumericLinks},
};
// clang-format on

TEST_F(BadFilterTest, TestsNotesAndCounters) {
    for (const auto& c : kBadCases) {
        SetUp();
        m_chain->SetExpurgate(c.expurgate);
        for (const auto& [setting, value] : c.settings) Filter().SetSetting(setting, value);
        const bool claimed = Filter().Examine(Message(c.headers, c.body));
        EXPECT_EQ(claimed, c.note[0] != '\0') << c.headers;
        EXPECT_EQ(m_chain->GetLastNote(), c.note) << c.headers;
        EXPECT_EQ(Filter().GetCounter(CFilter::kTrue), claimed ? 1 : 0);
        if (claimed) {
            EXPECT_EQ(Filter().GetCounter(c.counter), 1) << c.headers;
            EXPECT_EQ(Filter().GetCounter(c.counter - 1), 1) << c.headers;
        }
    }
}

TEST_F(BadFilterTest, SubjectTestsComeBeforeTheBody) {
    const std::string subject = "From: a@b.org\nSubject: hi";
    EXPECT_FALSE(Filter().Examine(Message(subject, "clean\r\n")));
    // Every test that ran counted its try; the body was read for the body tests only.
    EXPECT_EQ(Filter().GetCounter(CBadFilter::kOffensiveSubjectInvoked), 1);
    EXPECT_EQ(Filter().GetCounter(CBadFilter::kOffensiveBodyInvoked), 1);
    EXPECT_EQ(Filter().GetCounter(CBadFilter::kNumericLinksInvoked), 0);
    SetUp();
    EXPECT_TRUE(Filter().Examine(Message("From: a@b.org\nSubject: sex", "x\r\n")));
    EXPECT_EQ(Filter().GetCounter(CBadFilter::kOffensiveBodyInvoked), 0);
    m_chain->Examine(Message("From: a@b.org\nSubject: sex", "x\r\n"));
    EXPECT_EQ(m_chain->GetCounter(CC_BODY_READ), 0);
}

TEST_F(BadFilterTest, MissingListsAnswerNoMatchAndAreNotCounted) {
    for (FILTER_LIST which :
         {FL_DOMAINS, FL_BADWORDS, FL_WORDS, FL_COUNTRY_CODES, FL_NUMERIC_LINKS})
        ASSERT_TRUE(m_chain->ReplaceList(which, nullptr));
    Filter().SetSetting(CBadFilter::kLanguageCheck, 1);
    Filter().SetSetting(CBadFilter::kNumericLinksCheck, 1);
    EXPECT_FALSE(Filter().Examine(
        Message("From: a@spam.com\nSubject: sex viagra", "http://1.2.3.4 sex\r\n")));
    EXPECT_EQ(Filter().GetCounter(CBadFilter::kDomainBlacklistInvoked), 0);
    EXPECT_EQ(Filter().GetCounter(CBadFilter::kOffensiveSubjectInvoked), 0);
    EXPECT_EQ(Filter().GetCounter(CBadFilter::kCommercialBodyInvoked), 0);
    EXPECT_EQ(Filter().GetCounter(CBadFilter::kNumericLinksInvoked), 0);
    EXPECT_EQ(Filter().GetCounter(CBadFilter::kNonWesternInvoked), 1);
    EXPECT_EQ(Filter().GetAction(), MS_HOLD);
}

TEST_F(BadFilterTest, AWordListWithoutContentEntriesSkipsTheBody) {
    SetList(FL_BADWORDS, {"*sex*"}, 1, 0);
    EXPECT_FALSE(Filter().Examine(Message("From: a@b.org\nSubject: hi", "sex\r\n")));
    EXPECT_EQ(Filter().GetCounter(CBadFilter::kOffensiveBodyInvoked), 0);
}

// A NUL byte does not end the text the checks read: words after it are found.
TEST_F(BadFilterTest, TextAfterANulByteIsSearched) {
    Filter().SetSetting(CBadFilter::kNumericLinksCheck, 1);
    const struct {
        std::string body;
        const char* note;
    } cases[] = {
        {std::string("hello\0 buy viagra\r\n", 19), "bad: \"viagra\" in body"},
        {std::string("hello\0 http://1.2.3.4/\r\n", 24), "bad: numeric hyperlinks in body"},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(Filter().Examine(Message("From: a@b.org\nSubject: hi", c.body)));
        EXPECT_EQ(m_chain->GetLastNote(), c.note);
    }
}

}  // namespace
