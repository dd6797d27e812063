// The address scanner of the header scanner (ScanField) and its span copy (FillString):
// RFC 822 address lists and the broken forms real mail carries.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kinbook/AddressHandler.h"
#include "kinbook/TextMessage.h"

namespace {

struct SCall {
    std::string name;
    std::string address;
    ADDRESS_SOURCE source;
    long date;
    FR_NAME nameKind;
};

class CRecordingHandler : public CAddressHandler {
public:
    explicit CRecordingHandler(int answer = 1) : m_answer(answer) {}

    int ProcessAddress(const char* name, const char* address, ADDRESS_SOURCE source,
                       long date) override {
        ADD_FAILURE() << "the scanner calls the five-argument form";
        return 0;
    }
    int ProcessAddress(const char* name, const char* address, ADDRESS_SOURCE source, long date,
                       FR_NAME nameKind) override {
        m_calls.push_back({name, address, source, date, nameKind});
        return m_answer;
    }

    std::vector<SCall> m_calls;

private:
    int m_answer;
};

// {name, address} as the handler receives them.
using Found = std::vector<std::pair<std::string, std::string>>;

class ScanFieldTest : public ::testing::Test {
protected:
    Found Scan(const std::string& field) {
        CRecordingHandler handler;
        CTextMessage::ScanField(&handler, field, AS_TO, 0, nullptr, FRN_NONE);
        Found found;
        for (const SCall& call : handler.m_calls) found.emplace_back(call.name, call.address);
        return found;
    }
};

TEST_F(ScanFieldTest, AddressForms) {
    struct SCase {
        const char* field;
        Found expected;
    };
    const SCase kCases[] = {
        // The usual forms.
        {"john@example.com", {{"", "john@example.com"}}},
        {"John Doe <john@example.com>", {{"John Doe", "john@example.com"}}},
        {"\"Doe, John\" <john@example.com>", {{"Doe, John", "john@example.com"}}},
        {"john@example.com (John Doe)", {{"John Doe", "john@example.com"}}},
        {"<john@example.com>", {{"", "john@example.com"}}},
        {"'Bob Smith' <bob@example.com>", {{"Bob Smith", "bob@example.com"}}},
        {"Bob <bob@example.com> (Team)", {{"Bob", "bob@example.com"}}},
        {"<bob@example.com> \"Bob\"", {{"Bob", "bob@example.com"}}},
        {"postmaster@[10.0.0.1]", {{"postmaster@", "10.0.0.1"}}},  // a bracket is an angle
        {"[10.0.0.1]", {{"", "10.0.0.1"}}},
        // Lists.
        {"\"Doe, J\" <j@x.org>, k@y.org", {{"Doe, J", "j@x.org"}, {"", "k@y.org"}}},
        {"a@x.org (Comment), b@y.org", {{"Comment", "a@x.org"}, {"", "b@y.org"}}},
        {"a@x.org; b@y.org", {{"", "a@x.org"}, {"", "b@y.org"}}},
        {"A <a@x.org>,\r\n\tB <b@y.org>", {{"A", "a@x.org"}, {"B", "b@y.org"}}},
        {"a@x.org,,; ,b@y.org", {{"", "a@x.org"}, {"", "b@y.org"}}},
        {"  \r\n\t a@x.org  \r\n ", {{"", "a@x.org"}}},
        // No address.
        {"", {}},
        {" \r\n\t", {}},
        {", ;", {}},
        {"<>", {}},
        {"< >", {}},
        {"(only a comment)", {}},
        // A comment alone names nothing, not even the next address.
        {"(lonely), b@y.org", {{"", "b@y.org"}}},
        {"\"\" <a@x.org>", {{"", "a@x.org"}}},
        // Later spans of one kind replace earlier ones within an address.
        {"John (The Man) Doe <j@x.org>", {{"Doe", "j@x.org"}}},
        {"A <a@x.org> B <b@y.org>", {{"B", "b@y.org"}}},
        // Spaces and quotes inside a bare word are part of it.
        {"John \"JJ\" Doe <j@x.org>", {{"John \"JJ\" Doe", "j@x.org"}}},
        {"O'Brien <ob@x.org>", {{"O'Brien", "ob@x.org"}}},
        // Escapes.
        {"\"John \\\"JJ\\\" Doe\" <j@x.org>", {{"John \"JJ\" Doe", "j@x.org"}}},
        {"Doe\\, John <j@x.org>", {{"Doe, John", "j@x.org"}}},
        {"\"a\\\\\" <b@x.org>", {{"a\\", "b@x.org"}}},
        {"\\x a@x.org", {{"", "a@x.org"}}},
        // Unterminated quotes, angles and comments run to the end.
        {"<a@x.org", {{"", "a@x.org"}}},
        {"a@x.org (unterminated", {{"unterminated", "a@x.org"}}},
        {"\"Doe <a@x.org>", {{"", "Doe <a@x.org>"}}},
        // A lone backslash at the end ends the field there.
        {"a@x.org \\", {{"", "a@x.org"}}},
        {"<a@x.org> \\", {{"", "a@x.org"}}},
        {"\\", {}},
        // Spans that copy to nothing still reach the handler.
        {"<\\ >", {{"", ""}}},
        {"\"()\"", {{"", ""}}},
        {"Name <(comment)>", {{"", ""}}},
        // Bytes of 0x80 and above are ordinary bytes: UTF-8 and Latin-1 names pass intact.
        {"J\xC3\xB6rg M\xC3\xBCller <jm@x.de>", {{"J\xC3\xB6rg M\xC3\xBCller", "jm@x.de"}}},
        {"\"Andr\xE9\" <a@x.fr>", {{"Andr\xE9", "a@x.fr"}}},
        {"\xE6\x97\xA5\xE6\x9C\xAC <jp@x.jp>", {{"\xE6\x97\xA5\xE6\x9C\xAC", "jp@x.jp"}}},
        {"=?UTF-8?Q?J=C3=B6rg?= <j@x.de>", {{"=?UTF-8?Q?J=C3=B6rg?=", "j@x.de"}}},
    };
    for (const SCase& c : kCases) EXPECT_EQ(c.expected, Scan(c.field)) << "field: " << c.field;
}

TEST_F(ScanFieldTest, ZeroByteEndsTheField) {
    EXPECT_EQ((Found{{"", "a@x.org"}}), Scan(std::string("a@x.org\0, b@y.org", 17)));
    EXPECT_EQ((Found{{"A", "a@x.org"}}), Scan(std::string("A <a@x.org\0>, b@y.org", 21)));
}

TEST_F(ScanFieldTest, PassesSourceDateFixedNameAndKind) {
    CRecordingHandler handler;
    EXPECT_EQ(1, CTextMessage::ScanField(&handler, "A <a@x.org>, b@y.org", AS_MANUAL, 1234, "Fixed",
                                         FRN_USER));
    ASSERT_EQ(2u, handler.m_calls.size());
    for (const SCall& call : handler.m_calls) {
        EXPECT_EQ("Fixed", call.name);
        EXPECT_EQ(AS_MANUAL, call.source);
        EXPECT_EQ(1234, call.date);
        EXPECT_EQ(FRN_USER, call.nameKind);
    }
    EXPECT_EQ("a@x.org", handler.m_calls[0].address);
    EXPECT_EQ("b@y.org", handler.m_calls[1].address);
}

TEST_F(ScanFieldTest, ResultSaysWhetherTheHandlerTookAnAddress) {
    CRecordingHandler refusing(0);
    EXPECT_EQ(0,
              CTextMessage::ScanField(&refusing, "a@x.org, b@y.org", AS_CC, 0, nullptr, FRN_NONE));
    EXPECT_EQ(2u, refusing.m_calls.size());  // refusing one does not stop the scan

    CRecordingHandler taking(1);
    EXPECT_EQ(0, CTextMessage::ScanField(&taking, "(nobody)", AS_CC, 0, nullptr, FRN_NONE));
    EXPECT_EQ(1, CTextMessage::ScanField(&taking, "a@x.org", AS_CC, 0, nullptr, FRN_NONE));
    EXPECT_EQ(0, CTextMessage::ScanField(nullptr, "a@x.org", AS_CC, 0, nullptr, FRN_NONE));
}

// Every address list, cut at every byte, scans without reading past the cut and gives,
// for a cut after a complete address, at least that address.
TEST_F(ScanFieldTest, EveryPrefixScans) {
    const std::string field =
        "\"Doe, J\" <j@x.org>, k@y.org (Kay), 'Q' <q@z.org>; [1.2.3.4], \\\\ <e\\>@x.org>";
    for (size_t cut = 0; cut <= field.size(); ++cut) {
        Found found = Scan(field.substr(0, cut));
        if (cut >= 18) {
            ASSERT_FALSE(found.empty()) << cut;
            EXPECT_EQ("j@x.org", found[0].second) << cut;
        }
    }
}

TEST_F(ScanFieldTest, FillStringResolvesEscapesAndDropsComments) {
    struct SCase {
        std::string text;
        int length;
        std::string expected;
    };
    const SCase kCases[] = {
        {"plain", 5, "plain"},
        {"a\\,b", 4, "a,b"},
        {"a\\\\b", 4, "a\\b"},
        {"a\\", 2, "a"},  // a lone backslash at the end
        {"John (Jr) Doe", 13, "John  Doe"},
        {"(a\\)b)c", 7, "c"},      // an escaped parenthesis inside a comment
        {"a(b(c)d)e", 9, "ad)e"},  // comments do not nest
        {"a (unclosed", 11, "a"},
        {"a (x\\", 5, "a"},
        {"  lead kept \r\n\t ", 16, "  lead kept"},
        {"abcdef", 3, "abc"},  // only `length` bytes are read
        {"ab(cd)ef", 4, "ab"},
        {"abc", 0, ""},
        {"abc", -4, ""},
        {"\xC3\xA9t\xC3\xA9", 5, "\xC3\xA9t\xC3\xA9"},
    };
    for (const SCase& c : kCases) {
        std::string out = "previous";
        CTextMessage::FillString(out, c.text.data(), c.length);
        EXPECT_EQ(c.expected, out) << c.text;
    }
    std::string out = "previous";
    CTextMessage::FillString(out, nullptr, 3);
    EXPECT_EQ("", out);
}

TEST_F(ScanFieldTest, TrimHelpers) {
    EXPECT_STREQ("x \r\n", CTextMessage::LeftTrim(" \t\r\nx \r\n"));
    EXPECT_STREQ("", CTextMessage::LeftTrim(" \t"));
    EXPECT_EQ(1, CTextMessage::RightTrim("x \t\r\n", 5));
    EXPECT_EQ(0, CTextMessage::RightTrim(" \r\n", 3));
    EXPECT_EQ(2, CTextMessage::RightTrim("ab  ", 2));  // looks only at the given length
    EXPECT_EQ(0, CTextMessage::RightTrim("ab", 0));
}

}  // namespace
