// The bounded text view under the header scanner: every primitive stays inside the view,
// also over a buffer that has no terminating zero byte.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "kinbook/mailtext/TextMessageGen.h"

namespace {

class TextMessageGenTest : public ::testing::Test {
protected:
    // A heap copy of exactly the bytes of `text` (no zero byte after them), so that the
    // address sanitizer sees any read past the view.
    CTextMessageGen ExactView(const std::string& text) {
        m_buffer = std::make_unique<char[]>(text.size());
        std::memcpy(m_buffer.get(), text.data(), text.size());
        return CTextMessageGen(m_buffer.get(), static_cast<unsigned>(text.size()));
    }

    std::unique_ptr<char[]> m_buffer;
};

TEST_F(TextMessageGenTest, SpanStopsAtSetZeroByteOrEndOfView) {
    struct SCase {
        std::string text;
        unsigned pos;
        const char* set;
        int expected;
    };
    const SCase kCases[] = {
        {"Subject: x\r\nTo: y", 0, "\r\n", 10},
        {"Subject: x\r\nTo: y", 0, ":", 7},
        {"Subject: x\r\nTo: y", 12, "\r\n", 5},  // runs to the end of the view
        {"Subject: x\r\nTo: y", 17, "\r\n", 0},  // at the end
        {"Subject: x\r\nTo: y", 40, "\r\n", 0},  // past the end
        {std::string("ab\0cd", 5), 0, "x", 2},   // a zero byte ends the text
        {"\r\n", 0, "\r\n", 0},
        {"abc", 1, "", 2},
        {"J\xC3\xB6rg: x", 0, ":", 5},  // UTF-8 bytes are ordinary bytes
    };
    for (const SCase& c : kCases) {
        CTextMessageGen gen = ExactView(c.text);
        EXPECT_EQ(c.expected, gen.strcspn(c.pos, c.set)) << c.text << " @" << c.pos;
    }
}

TEST_F(TextMessageGenTest, CaseInsensitiveCompare) {
    struct SCase {
        std::string text;
        unsigned pos;
        const char* s;
        unsigned n;
        bool equal;
    };
    const SCase kCases[] = {
        {"SUBJECT: x", 0, "Subject", 7, true},
        {"subj: x", 0, "Subject", 4, true},            // a leading part
        {"Subject-Line: x", 0, "Subject", 12, false},  // longer than the known name
        {"To: x", 0, "To", 2, true},
        {"Toxic: x", 0, "To", 5, false},
        {"x To", 2, "to", 2, true},
        {"T", 0, "To", 2, false},               // the view ends first
        {"T", 0, "T", 5, true},                 // both end together
        {"\xC3\x96", 0, "\xC3\xB6", 2, false},  // no folding outside ASCII
        {"\xC3\xB6", 0, "\xC3\xB6", 2, true},
        {"abc", 0, "xyz", 0, true},
    };
    for (const SCase& c : kCases) {
        CTextMessageGen gen = ExactView(c.text);
        EXPECT_EQ(c.equal, gen.strnicmp(c.pos, c.s, c.n) == 0) << c.text << " vs " << c.s;
    }
}

TEST_F(TextMessageGenTest, CopyAndIndexStayInsideTheViewAlsoAnEmptyOne) {
    CTextMessageGen gen = ExactView("Hello");
    char dest[8] = {};
    EXPECT_EQ(3u, gen.strncpy(dest, 1, 3));
    EXPECT_EQ(std::string("ell"), std::string(dest, 3));
    EXPECT_EQ(2u, gen.strncpy(dest, 3, 7));
    EXPECT_EQ(std::string("lo"), std::string(dest, 2));
    EXPECT_EQ(0u, gen.strncpy(dest, 5, 1));
    EXPECT_EQ(0u, gen.strncpy(dest, 99, 1));
    EXPECT_EQ('H', gen[0]);
    EXPECT_EQ('o', gen[4]);
    EXPECT_EQ('\0', gen[5]);
    EXPECT_EQ('\0', gen[-1]);
    EXPECT_FALSE(gen.AtEnd(4));
    EXPECT_TRUE(gen.AtEnd(5));

    // The default view is empty.
    CTextMessageGen empty;
    EXPECT_EQ(0u, empty.GetLength());
    EXPECT_TRUE(empty.AtEnd(0));
    EXPECT_EQ(0, empty.strcspn(0, ":"));
    EXPECT_EQ('\0', empty[0]);
    EXPECT_NE(0, empty.strnicmp(0, "a", 1));
    EXPECT_EQ(0, empty.strnicmp(0, "", 1));
}

}  // namespace
