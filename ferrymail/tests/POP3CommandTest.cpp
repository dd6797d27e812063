// The command table and the parser of client lines.
#include <gtest/gtest.h>

#include <string>

#include "proxy/POP3Command.h"

namespace {

TEST(POP3CommandTest, LinesParseIntoCommandsWithCheckedNumbers) {
    struct SCase {
        const char* line;
        EPOP3Command code;
        const char* argument;
        bool multiLine;
        bool simple;
        bool hasNumber;
        int number;
        const char* rest;
    };
    const SCase cases[] = {
        {"  retr 3 \r\n", EPOP3Command::kRetr, "3", true, false, true, 3, ""},
        {"TOP 2\t 10 ", EPOP3Command::kTop, "2\t 10", true, false, true, 2, "10"},
        {"LIST", EPOP3Command::kList, "", true, false, false, 0, ""},
        {"LIST 4", EPOP3Command::kList, "4", false, false, true, 4, ""},
        {"UIDL", EPOP3Command::kUidl, "", true, false, false, 0, ""},
        {"DELE x", EPOP3Command::kDele, "x", false, true, false, 0, ""},
        {"DELE -2", EPOP3Command::kDele, "-2", false, true, true, -2, ""},
        // Too large for an int: no number, so it can never name some other message.
        {"RETR 99999999999", EPOP3Command::kRetr, "99999999999", true, false, false, 0, ""},
        {"DELE 2147483647", EPOP3Command::kDele, "2147483647", false, true, true, 2147483647, ""},
        {"STAT", EPOP3Command::kStat, "", false, false, false, 0, ""},
        {"pass my secret", EPOP3Command::kPass, "my secret", false, true, false, 0, ""},
        {"STAT 3", EPOP3Command::kStat, "3", false, false, false, 0, ""},
        {"CAPA", EPOP3Command::kCapa, "", true, false, false, 0, ""},
        {"XTND XMIT", EPOP3Command::kNull, "XMIT", false, true, false, 0, ""},
        {"", EPOP3Command::kNull, "", false, true, false, 0, ""},
    };
    for (const SCase& c : cases) {
        SCOPED_TRACE(c.line);
        const SPOP3Command command = SPOP3Command::Parse(c.line);
        EXPECT_EQ(command.code, c.code);
        EXPECT_EQ(command.argument, c.argument);
        EXPECT_EQ(command.multiLine, c.multiLine);
        EXPECT_EQ(command.simple, c.simple);
        EXPECT_EQ(command.hasNumber, c.hasNumber);
        if (c.hasNumber) {
            EXPECT_EQ(command.number, c.number);
            EXPECT_EQ(command.rest, c.rest);
        }
        EXPECT_EQ(command.insertNotes, command.Retrieves());
        EXPECT_FALSE(command.clientNumber.IsSet());
    }
    // The word keeps the client's spelling; the argument is trimmed.
    EXPECT_EQ(SPOP3Command::Parse(" noop  ").text, "noop");
    EXPECT_EQ(SPOP3Command::Parse("Top 1   5 ").text, "Top 1   5");
}

TEST(POP3CommandTest, TableAndCommandsOfTheSessionsOwn) {
    for (EPOP3Command code :
         {EPOP3Command::kApop, EPOP3Command::kRetr, EPOP3Command::kCapa, EPOP3Command::kXsender})
        EXPECT_EQ(SPOP3Command::Code(SPOP3Command::Word(code)), code);
    EXPECT_EQ(SPOP3Command::Code("uidl"), EPOP3Command::kUidl);
    EXPECT_EQ(SPOP3Command::Code("auth"), EPOP3Command::kAuth);
    EXPECT_EQ(SPOP3Command::Code("AUTHX"), EPOP3Command::kNull);
    EXPECT_STREQ(SPOP3Command::Word(static_cast<EPOP3Command>(1)), "");

    EXPECT_EQ(SPOP3Command::Make(EPOP3Command::kTop, 7, 10).text, "TOP 7 10");
    EXPECT_EQ(SPOP3Command::Make(EPOP3Command::kTop, 7, 0).text, "TOP 7 0");
    EXPECT_EQ(SPOP3Command::Make(EPOP3Command::kRetr, 7).text, "RETR 7");
    EXPECT_TRUE(SPOP3Command::Make(EPOP3Command::kList, -1).multiLine);
    EXPECT_FALSE(SPOP3Command::Make(EPOP3Command::kList, 3).multiLine);
    EXPECT_EQ(SPOP3Command::Make(EPOP3Command::kList, 3).serverNumber.value, 3);
}

TEST(POP3CommandTest, BodyLengthStopsBeforeTheFinalDot) {
    const std::string whole = "a\r\n..b\r\n.\r\n+OK next\r\n";
    EXPECT_EQ(SPOP3Command::BodyLength(whole.data(), whole.size()), 8u);
    EXPECT_EQ(SPOP3Command::BodyLength(".\r\n", 3), 0u);
    EXPECT_EQ(SPOP3Command::BodyLength("a\r\nb\r\n", 6), 6u);
}

}  // namespace
