// What an SMTP client of the proxy is offered: the relayed EHLO reply fed line by line,
// the refusal of never-offered commands and the MAIL parameters a server did not offer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ferrymail/proxy/Logger.h"
#include "proxy/SMTPCapabilities.h"

namespace {

class CSilentLog : public CLogger {
public:
    const char* GetLogName() override { return "SMTP(test)"; }
};

class SMTPCapabilitiesTest : public ::testing::Test {
protected:
    // The client's reply for a server's EHLO reply; empty when it never ended.
    std::vector<std::string> Filter(const std::vector<std::string>& reply) {
        m_capabilities.StartFiltering();
        std::vector<std::string> forClient;
        for (size_t i = 0; i < reply.size(); ++i) {
            EXPECT_TRUE(m_capabilities.IsFiltering());
            const bool ended = m_capabilities.FilterLine(reply[i], forClient);
            EXPECT_EQ(ended, i + 1 == reply.size()) << reply[i];
        }
        EXPECT_FALSE(m_capabilities.IsFiltering());
        return forClient;
    }

    CSilentLog m_log;
    CSMTPCapabilities m_capabilities{m_log};
};

TEST_F(SMTPCapabilitiesTest, RelayedEhloReplyLosesWithheldExtensionsAndStaysWellFormed) {
    // The withheld extension last: the line before it becomes the final one.
    EXPECT_EQ(Filter({"250-mail.example.org", "250-SIZE 1000", "250 STARTTLS"}),
              (std::vector<std::string>{"250-mail.example.org", "250 SIZE 1000"}));
    EXPECT_EQ(Filter({"250-mail.example.org", "250-pipelining", "250-Chunking", "250-BINARYMIME",
                      "250-AUTH=PLAIN", "250 8BITMIME"}),
              (std::vector<std::string>{"250-mail.example.org", "250-AUTH=PLAIN", "250 8BITMIME"}));
    EXPECT_EQ(Filter({"250 mail.example.org"}), std::vector<std::string>{"250 mail.example.org"});
    // A refusal is the server's own and reaches the client as it is.
    EXPECT_EQ(Filter({"502 5.5.1 no EHLO here"}),
              std::vector<std::string>{"502 5.5.1 no EHLO here"});
    // A keyword that only begins like a withheld one stays.
    EXPECT_EQ(Filter({"250-mail", "250 STARTTLSX"}),
              (std::vector<std::string>{"250-mail", "250 STARTTLSX"}));
}

TEST_F(SMTPCapabilitiesTest, OwnReplyEndsWithOneFinalLineAndOffersNoWithheldExtension) {
    const std::vector<std::string>& own = CSMTPCapabilities::OwnReply();
    ASSERT_FALSE(own.empty());
    for (size_t i = 0; i < own.size(); ++i) {
        EXPECT_EQ(own[i].compare(0, 3, "250"), 0) << own[i];
        EXPECT_EQ(own[i][3], i + 1 == own.size() ? ' ' : '-') << own[i];
    }
    // Fed back through the filter, nothing of it is withheld.
    EXPECT_EQ(Filter(own), own);
}

TEST_F(SMTPCapabilitiesTest, StartTLSAndBdatAreRefusedOtherLinesAreNot) {
    EXPECT_EQ(CSMTPCapabilities::RefusalOf("starttls"),
              "502 5.5.1 STARTTLS is not offered: the proxy must see the message text");
    EXPECT_EQ(CSMTPCapabilities::RefusalOf("BDAT 12 LAST"),
              "502 5.5.1 BDAT is not offered: the proxy must see the message text");
    for (const char* line : {"STARTTLSX", "MAIL FROM:<a@b>", "", "DATA"})
        EXPECT_EQ(CSMTPCapabilities::RefusalOf(line), "") << line;
}

TEST_F(SMTPCapabilitiesTest, MailParametersTheServerDidNotOfferAreLeftOut) {
    struct SCase {
        std::vector<std::string> keywords;
        std::string line;
        std::string sent;
    };
    const std::vector<SCase> cases = {
        {{}, "MAIL FROM:<a@b> SIZE=10 BODY=8BITMIME", "MAIL FROM:<a@b>"},
        {{"SIZE 1000"}, "MAIL FROM:<a@b> size=10 BODY=8BITMIME", "MAIL FROM:<a@b> size=10"},
        {{"8bitmime"}, "MAIL FROM:<a@b>  SIZE=10\tbody=7BIT", "MAIL FROM:<a@b> body=7BIT"},
        {{"SIZE", "8BITMIME"},
         "MAIL FROM:<a@b> SIZE=10 BODY=8BITMIME",
         "MAIL FROM:<a@b> SIZE=10 BODY=8BITMIME"},
        // Other parameters are the client's business.
        {{}, "MAIL FROM:<a@b> RET=HDRS ENVID=x", "MAIL FROM:<a@b> RET=HDRS ENVID=x"},
        // SIZEX is no SIZE.
        {{"SIZEX"}, "MAIL FROM:<a@b> SIZE=10", "MAIL FROM:<a@b>"},
    };
    for (const SCase& test : cases)
        EXPECT_EQ(CSMTPCapabilities::WithoutUnofferedParameters(test.line, test.keywords),
                  test.sent)
            << test.line;
}

}  // namespace
