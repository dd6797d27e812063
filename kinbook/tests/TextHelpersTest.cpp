#include "kinbook/foundation/TextHelpers.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class TextHelpersTest : public ::testing::Test {};

TEST_F(TextHelpersTest, LtrimSkipsBlanksAndTabsOnly) {
    const struct {
        const char* text;
        const char* rest;
    } cases[] = {
        {"", ""},          {"abc", "abc"}, {"  abc", "abc"}, {"\t \tabc  ", "abc  "},
        {" \n x", "\n x"}, {" \r", "\r"},  {" \t ", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_STREQ(ltrim(c.text), c.rest);
    }
    const char* text = "  x";
    EXPECT_EQ(ltrim(text), text + 2);  // a pointer into the same text
}

TEST_F(TextHelpersTest, SpanFindsTheFirstSetByteWithinN) {
    const struct {
        const char* text;
        int n;
        const char* set;
        int index;
    } cases[] = {
        {"abc,def", 7, ",", 3},
        {"abc,def", 4, ",", 3},
        {"abc,def", 3, ",", 3},  // the comma is past the first 3 bytes
        {"abc,def", 2, ",", 2},
        {",abc", 4, ",", 0},
        {"a\"b,c", 5, ",\"", 1},
        {"abc", 3, "", 3},
        {"abc", 0, "a", 0},
        {"abc", -5, "a", 0},
        {"ab", 10, ",", 2},  // the text ends first: its end
        {"", 4, ",", 0},
        {"x\xC3\xA9,", 4, ",", 3},
        {"x\xC3\xA9,", 4, "\xA9", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << '"' << c.text << "\" " << c.n << " \"" << c.set << '"');
        EXPECT_EQ(_tcsspnn(c.text, c.n, c.set), c.index);
    }
}

TEST_F(TextHelpersTest, GetStringFromBufCopiesOrUnescapes) {
    const struct {
        std::string src;
        int srcLength;
        int outLength;
        std::string out;
    } cases[] = {
        {"a\\b", 3, 3, "a\\b"},  // equal lengths: verbatim
        {std::string("a\0b", 3), 3, 3, std::string("a\0b", 3)},
        {"a\\\"b", 4, 3, "a\"b"},
        {"\\\\", 2, 1, "\\"},
        {"\\n\\r", 4, 2, "nr"},     // the byte after a backslash as it stands
        {"a\\\"bcd", 6, 2, "a\""},  // stops after outLength bytes out
        {"ab\\\"cd", 3, 10, "ab"},  // a backslash ending the source is dropped
        {"abcdef", 4, 10, "abcd"},  // stops after srcLength bytes in
        // A friends field measured with its escapes: 11 source bytes for 8 text bytes.
        {"\\\"Bob\\\" \\\\x", 11, 8, "\"Bob\" \\x"},
        {"abc", 0, 0, ""},
        {"abc", -1, 2, ""},
        {"abc", 3, -1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.src << ' ' << c.srcLength << ' ' << c.outLength);
        std::string out = "previous";
        GetStringFromBuf(out, c.src.data(), c.srcLength, c.outLength);
        EXPECT_EQ(out, c.out);
    }
}

TEST_F(TextHelpersTest, CompareNoCaseFoldsAsciiLettersOnly) {
    const struct {
        const char* a;
        const char* b;
        int sign;
    } cases[] = {
        {"", "", 0},
        {"Bob@Example.COM", "bob@example.com", 0},
        {"abc", "abd", -1},
        {"ABD", "abc", 1},
        {"ab", "abc", -1},
        {"abc", "AB", 1},
        {"[", "A", -1},  // letters fold to lower case before comparing
        {"_", "a", -1},
        {"caf\xC3\xA9", "CAF\xC3\xA9", 0},
        {"\xC3\xA9", "\xC3\x89", 1},  // accented capitals are other bytes
        {"\xE4", "\xC4", 1},
        {"a\x80", "ab", 1},  // bytes compare unsigned
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.a << " / " << c.b);
        int result = CompareNoCase(c.a, c.b);
        EXPECT_EQ((result > 0) - (result < 0), c.sign);
        int reverse = CompareNoCase(c.b, c.a);
        EXPECT_EQ((reverse > 0) - (reverse < 0), -c.sign);
    }
}

TEST_F(TextHelpersTest, StartsWithNoCaseStaysInsideTheGivenLength) {
    const struct {
        const char* text;
        size_t length;
        bool starts;
    } cases[] = {
        {"PASS secret", 11, true}, {"pass secret", 5, true}, {"PaSs ", 5, true},
        {"PASS", 4, false},  // the text ends before the prefix does
        {"PASS secret", 4, false}, {"PASX secret", 11, false}, {"ÐASS ", 5, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(StartsWithNoCase(c.text, c.length, "PASS "), c.starts) << c.text;
    EXPECT_TRUE(StartsWithNoCase("", 0, ""));
}

}  // namespace
