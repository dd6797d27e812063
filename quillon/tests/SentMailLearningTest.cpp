// Sent-mail learning over hand-made non-friend collections: known addresses, friends
// made at once, offers kept in the data folder and settled by the offer commands, the
// subject as the offer shows it, and the offers file itself.
#include "app/SentMailLearning.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <utility>

#include "TestHome.h"
#include "app/OfferCommands.h"
#include "app/SentMailOffers.h"
#include "ferrymail/proxy/NonFriendCollection.h"
#include "ferrymail/proxy/SMTPMessage.h"
#include "friends/FriendsState.h"
#include "kinbook/friends/FriendData.h"
#include "kinbook/friends/Friends.h"

namespace {

using SSent = std::pair<std::string, std::vector<std::string>>;  // address, subjects

class SentMailLearningTest : public ::testing::Test {
protected:
    SentMailLearningTest() : m_offers(m_home.Path()), m_learning(m_offers) {
        ResetFriendsState();
        m_learning.SetLog([this](const std::string& line) { m_log.push_back(line); });
    }
    ~SentMailLearningTest() override { ResetFriendsState(); }

    // A collection as a session makes it: one message per subject, in order.
    bool Learn(const std::vector<SSent>& sent, bool ask, bool on = true) {
        CNonFriendCollection* collection = new CNonFriendCollection;
        collection->AddRef();
        for (const auto& [address, subjects] : sent) {
            for (const std::string& subject : subjects) {
                CSMTPMessage* message = new CSMTPMessage;
                message->AddRef();
                message->AddToSubject("Subject: " + subject);
                collection->Add(address, message);
                CRefCount::DoRelease(message);
            }
        }
        std::string error;
        const bool done = m_learning.Learn(*collection, {on, ask}, error);
        EXPECT_TRUE(done) << error;
        CRefCount::DoRelease(collection);
        return done;
    }
    SControlReply Command(OFFER_COMMAND which, std::vector<std::string> addresses = {}) {
        SControlReply reply;
        RunOfferCommand(m_learning, m_offers, {which, std::move(addresses)}, reply);
        return reply;
    }
    static std::string Joined(const std::vector<std::string>& lines) {
        std::string text;
        for (const std::string& line : lines) text += line + "\n";
        return text;
    }
    static bool IsFriend(const char* address) { return CFriendData().Lookup(address) != FALSE; }

    CTestHome m_home;
    CSentMailOffers m_offers;
    CSentMailLearning m_learning;
    std::vector<std::string> m_log;
};

TEST_F(SentMailLearningTest, WithoutAskingAddressesBecomeFriendsWithTheNote) {
    CFriendData known;
    ASSERT_TRUE(known.Create("known@x.example", nullptr, AS_MANUAL, "by hand"));
    Learn({{"Known@X.example", {"a"}}, {"new@x.example", {"b", "c"}}, {"no-at-sign", {"d"}}},
          false);
    EXPECT_EQ(Joined(m_log),
              "Add \"Known@X.example\" as new friend from sent mail -- already friend!\n"
              "Add \"new@x.example\" as new friend from sent mail!\n"
              "Add \"no-at-sign\" as new friend from sent mail failed!\n");
    CFriendData made;
    ASSERT_TRUE(made.Lookup("new@x.example"));
    EXPECT_EQ(made.GetNote(), "added from sent mail.");
    EXPECT_EQ(made.GetFriendly(), FRIENDLY_FRIEND);
    EXPECT_EQ(known.GetNote(), "by hand") << "a known address is left as it is";
    std::vector<SSentMailOffer> offers;
    std::string error;
    ASSERT_TRUE(m_offers.List(offers, error)) << error;
    EXPECT_TRUE(offers.empty());

    std::ifstream saved(m_home.Path() + "/friends.csv");
    std::stringstream text;
    text << saved.rdbuf();
    EXPECT_NE(text.str().find("new@x.example"), std::string::npos) << "saved at once";
}

TEST_F(SentMailLearningTest, TurnedOffLearnsNothing) {
    Learn({{"a@x.example", {"s"}}}, false, false);
    Learn({{"b@x.example", {"s"}}}, true, false);
    EXPECT_TRUE(m_log.empty());
    EXPECT_FALSE(IsFriend("a@x.example"));
    EXPECT_EQ(Joined(Command(OC_LIST_OFFERS).output), "");
}

TEST_F(SentMailLearningTest, AskingKeepsOffersThatTheCommandsSettle) {
    CFriendData known;
    ASSERT_TRUE(known.Create("known@x.example", nullptr, AS_MANUAL, nullptr));
    Learn({{"ann@x.example", {"first"}}, {"known@x.example", {"k"}}, {"bob@x.example", {"hi"}}},
          true);
    Learn({{"ANN@x.example", {"second", "third"}}, {"cy@x.example", {""}}}, true);
    EXPECT_FALSE(IsFriend("ann@x.example")) << "asking makes no friend before the answer";
    EXPECT_EQ(m_log[0], "Add \"known@x.example\" as new friend from sent mail -- already friend!");

    // One line per address, in first-offer order; counts add up, the last subject stays.
    SControlReply list = Command(OC_LIST_OFFERS);
    EXPECT_EQ(Joined(list.output),
              "ann@x.example\t3\tthird\nbob@x.example\t1\thi\ncy@x.example\t1\t\n");
    EXPECT_EQ(list.status, 0);

    // Unknown addresses are refused without keeping the others from being settled.
    SControlReply accept = Command(OC_ACCEPT_OFFER, {"Ann@X.example", "nobody@x.example"});
    EXPECT_EQ(accept.status, 1);
    EXPECT_EQ(Joined(accept.output), "Add \"ann@x.example\" as new friend from sent mail!\n");
    EXPECT_EQ(Joined(accept.errors), "no offer for nobody@x.example\n");
    CFriendData made;
    ASSERT_TRUE(made.Lookup("ann@x.example"));
    EXPECT_EQ(made.GetNote(), "added from sent mail.");

    SControlReply reject = Command(OC_REJECT_OFFER, {"bob@x.example", "ann@x.example"});
    EXPECT_EQ(reject.status, 1);
    EXPECT_EQ(Joined(reject.output), "Offer of \"bob@x.example\" rejected.\n");
    EXPECT_EQ(Joined(reject.errors), "no offer for ann@x.example\n") << "accepted ones are gone";
    EXPECT_FALSE(IsFriend("bob@x.example"));
    EXPECT_EQ(Joined(Command(OC_LIST_OFFERS).output), "cy@x.example\t1\t\n");

    // An offer whose address meanwhile became a friend is settled as already known.
    ASSERT_TRUE(CFriendData().Create("cy@x.example", nullptr, AS_MANUAL, nullptr));
    SControlReply late = Command(OC_ACCEPT_OFFER, {"cy@x.example"});
    EXPECT_EQ(late.status, 0);
    EXPECT_EQ(Joined(late.output),
              "Add \"cy@x.example\" as new friend from sent mail -- already friend!\n");
    EXPECT_EQ(Joined(Command(OC_LIST_OFFERS).output), "");
}

TEST_F(SentMailLearningTest, SubjectsAreShownWholeUpToFiftyBytes) {
    const std::string fifty(50, 's');
    const std::string umlauts = std::string(46, 'u') + "\xc3\xa4\xc3\xa4\xc3\xa4";  // 52 bytes
    const struct {
        std::string subject;
        std::string shown;
    } cases[] = {
        {"", ""},
        {fifty, fifty},
        {fifty + "t", std::string(47, 's') + "..."},
        {std::string(200, 'x'), std::string(47, 'x') + "..."},
        {umlauts, std::string(46, 'u') + "..."},  // byte 47 would split the first umlaut
    };
    for (const auto& c : cases)
        EXPECT_EQ(CSentMailOffers::ShownSubject(c.subject), c.shown) << c.subject.size();

    Learn({{"long@x.example", {fifty + "t"}}}, true);
    EXPECT_EQ(Joined(Command(OC_LIST_OFFERS).output),
              "long@x.example\t1\t" + std::string(47, 's') + "...\n");
}

TEST_F(SentMailLearningTest, OffersFileKeepsWhatItCannotReadAndEscapesControlBytes) {
    const SSentMailOffer odd{"a%b@x.example", 2, "tab\there, 100% sure\r\n"};
    const std::string line = CSentMailOffers::FormatLine(odd);
    EXPECT_EQ(line, "a%25b@x.example\t2\ttab%09here, 100%25 sure%0D%0A");
    SSentMailOffer back;
    ASSERT_TRUE(CSentMailOffers::ParseLine(line, back));
    EXPECT_EQ(back.address, odd.address);
    EXPECT_EQ(back.subject, odd.subject);
    for (const char* bad : {"a@x\t0\ts", "a@x\t-1\ts", "a@x\t1", "a@x\t1\ts\tt", "\t1\ts",
                            "a@x\t1\t%4", "a@x\t1\t%zz", "a@x\tone\ts"})
        EXPECT_FALSE(CSentMailOffers::ParseLine(bad, back)) << bad;

    {
        std::ofstream file(m_offers.GetPath());
        file << "garbage line\n" << line << "\n";
    }
    Learn({{"new@x.example", {"s"}}}, true);
    std::vector<std::string> unknown;
    std::string error;
    ASSERT_TRUE(m_offers.Remove({"A%B@x.example"}, unknown, error)) << error;
    EXPECT_TRUE(unknown.empty());
    std::ifstream file(m_offers.GetPath());
    std::stringstream text;
    text << file.rdbuf();
    EXPECT_EQ(text.str(), "new@x.example\t1\ts\ngarbage line\n");
}

}  // namespace
