// The SMTP client line parser and the envelope and reply helpers, table-driven.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proxy/SMTPCommand.h"

namespace {

class SMTPCommandTest : public ::testing::Test {};

struct SParseCase {
    std::string line;
    ESMTPCommand code;
    std::string relayed;
    std::string argument;
};

TEST_F(SMTPCommandTest, ParseTrimsAndReadsTheFirstWordInAnyCase) {
    const std::vector<SParseCase> cases = {
        {"  mail FROM:<a@b.c>\t", ESMTPCommand::kMail, "mail FROM:<a@b.c>", "FROM:<a@b.c>"},
        {"EHLO\tclient.example  x", ESMTPCommand::kEhlo, "EHLO\tclient.example  x",
         "client.example  x"},
        {"rcpt   TO:<x@y.z>  NOTIFY=NEVER ", ESMTPCommand::kRcpt, "rcpt   TO:<x@y.z>  NOTIFY=NEVER",
         "TO:<x@y.z>  NOTIFY=NEVER"},
        {"HELO", ESMTPCommand::kHelo, "HELO", ""},
        {"Quit ", ESMTPCommand::kQuit, "Quit", ""},
        {"CONNECT 127.0.0.1:25 text", ESMTPCommand::kConnect, "CONNECT 127.0.0.1:25 text",
         "127.0.0.1:25 text"},
        {"AUTH PLAIN =", ESMTPCommand::kAuth, "AUTH PLAIN =", "PLAIN ="},
        // A word that only begins like a command is no command.
        {"QUITE", ESMTPCommand::kOther, "QUITE", ""},
        {"MAILFROM:<a@b>", ESMTPCommand::kOther, "MAILFROM:<a@b>", ""},
        {"", ESMTPCommand::kOther, "", ""},
        {" \t ", ESMTPCommand::kOther, "", ""},
    };
    for (const SParseCase& test : cases) {
        SCOPED_TRACE("'" + test.line + "'");
        const SSMTPCommand command = SSMTPCommand::Parse(test.line);
        EXPECT_EQ(command.code, test.code);
        EXPECT_EQ(command.line, test.relayed);
        EXPECT_EQ(command.argument, test.argument);
    }
}

TEST_F(SMTPCommandTest, EnvelopePathLeavesTheParametersOut) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"<a@b.c> SIZE=10 BODY=8BITMIME", "<a@b.c>"},
        {"  <a@b.c>", "<a@b.c>"},
        {"<\"odd name\"@b.c> NOTIFY=NEVER", "<\"odd name\"@b.c>"},
        {"a@b.c SIZE=10", "a@b.c"},
        {"a@b.c\tSIZE=10", "a@b.c"},
        {"<a@b.c", "<a@b.c"},  // never closed: all of it
        {"<>", "<>"},
        {"", ""},
    };
    for (const auto& [rest, path] : cases)
        EXPECT_EQ(SSMTPCommand::EnvelopePath(rest), path) << rest;
}

TEST_F(SMTPCommandTest, FinalReplyLineAndPrefixes) {
    for (const char* line : {"250", "250 OK", "25", "", "250x"})
        EXPECT_TRUE(SSMTPCommand::IsFinalReplyLine(line)) << line;
    for (const char* line : {"250-mail.example.org", "250-"})
        EXPECT_FALSE(SSMTPCommand::IsFinalReplyLine(line)) << line;
    EXPECT_TRUE(SSMTPCommand::StartsNoCase("from:<a@b>", "FROM:"));
    EXPECT_FALSE(SSMTPCommand::StartsNoCase("FROM", "FROM:"));
    EXPECT_EQ(SSMTPCommand::Trim("\t a b \t"), "a b");
}

}  // namespace
