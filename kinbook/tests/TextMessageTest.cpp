// Splitting a header block into the fields the system uses, the Received list, the lazy
// date, the per-field address scans and the address scanner under them (ScanField and its
// span copy FillString). Each block is fed with CRLF, LF and CR line ends, folded at every
// blank and cut at every byte.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kinbook/mailtext/AddressHandler.h"
#include "kinbook/mailtext/TextMessage.h"

namespace {

// Replaces each "\n" of `text` by `eol`.
std::string WithLineEnds(const std::string& text, const std::string& eol) {
    std::string out;
    for (char c : text) out += c == '\n' ? eol : std::string(1, c);
    return out;
}

// Collapses every run of CR, LF, TAB and SPACE into one blank.
std::string Unfolded(const std::string& text) {
    std::string out;
    bool blank = false;
    for (char c : text) {
        if (c == '\r' || c == '\n' || c == '\t' || c == ' ') {
            blank = true;
            continue;
        }
        if (blank && !out.empty())
            out += ' ';
        blank = false;
        out += c;
    }
    return out;
}

// "name=[value] " when `value` is not empty.
std::string Field(const char* name, const std::string& value) {
    return value.empty() ? "" : std::string(name) + "=[" + value + "] ";
}

// The fields of `m` on one line: each non-empty field as name=[value], then every
// Received value (also an empty one) and the result of Initialize.
std::string Fields(const CTextMessage& m, int result) {
    std::string out = Field("to", m.To()) + Field("cc", m.CC()) + Field("from", m.From()) +
                      Field("reply-to", m.ReplyTo()) + Field("sender", m.Sender()) +
                      Field("return-path", m.ReturnPath()) + Field("date", m.DateText()) +
                      Field("subject", m.Subject()) + Field("type", m.ContentType()) +
                      Field("cte", m.ContentTransferEncoding());
    for (int i = 0; i < m.ReceivedCount(); ++i) out += "received=[" + m.Received(i) + "] ";
    return out + "result=" + std::to_string(result);
}

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

    int ProcessAddress(const char*, const char*, ADDRESS_SOURCE, long) override {
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

class TextMessageTest : public ::testing::Test {
protected:
    // Scans `text` from a heap buffer of exactly its bytes, so that the address sanitizer
    // sees any read past the end of the view.
    static std::string Scan(const std::string& text) {
        std::unique_ptr<char[]> buffer(new char[text.size() + 1]);
        std::memcpy(buffer.get(), text.data(), text.size());
        CTextMessage message;
        int result = message.Initialize(buffer.get(), static_cast<unsigned>(text.size()));
        EXPECT_EQ(1, message.Initialized());
        return Fields(message, result);
    }

    static void Initialize(CTextMessage& message, const char* header) {
        message.Initialize(header, static_cast<unsigned>(std::strlen(header)));
    }

    static Found ScanAddresses(const std::string& field) {
        CRecordingHandler handler;
        CTextMessage::ScanField(&handler, field, AS_TO, 0, nullptr, FRN_NONE);
        Found found;
        for (const SCall& call : handler.m_calls) found.emplace_back(call.name, call.address);
        return found;
    }
};

TEST_F(TextMessageTest, SplitsTheHeaderBlock) {
    struct SCase {
        const char* what;
        std::string header;    // "\n" stands for the line end under test
        const char* expected;  // as Fields() writes them
    };
    const SCase kCases[] = {
        {"every known field",
         "Return-Path: <rp@x.org>\nReceived: from a by b; Mon, 6 Jan 2003 10:20:30 -0500\n"
         "Received: from c by d\nTo: to@x.org\nCC: cc@x.org\nFrom: from@x.org\n"
         "Reply-To: rt@x.org\nSender: s@x.org\nDate: Mon, 6 Jan 2003 10:20:30 -0500\n"
         "Subject: Hello\nContent-Type: text/plain\nContent-Transfer-Encoding: 7bit\n",
         "to=[to@x.org] cc=[cc@x.org] from=[from@x.org] reply-to=[rt@x.org] sender=[s@x.org] "
         "return-path=[<rp@x.org>] date=[Mon, 6 Jan 2003 10:20:30 -0500] subject=[Hello] "
         "type=[text/plain] cte=[7bit] received=[from a by b; Mon, 6 Jan 2003 10:20:30 -0500] "
         "received=[from c by d] result=1"},
        {"repeated fields are joined, only the last Date is kept",
         "To: A\nDate: d1\nCc: c1\nTo: B\ncc: c2\nDate: d2\n",
         "to=[A; B] cc=[c1; c2] date=[d2] result=1"},
        {"folded values keep their line breaks", "Subject: first\n\tsecond\n  third\nTo: a,\n b\n",
         "to=[a,\n b] subject=[first\n\tsecond\n  third] result=1"},
        {"unknown headers end a pending header and are skipped with their continuations",
         "Subject: s\nX-Mailer: m\n\tcontinued\nMessage-ID: <id>\n more\nTo: t\n"
         "DKIM-Signature: v=1;\n\th=From:To\n",
         "to=[t] subject=[s] result=1"},
        {"a leading part of a known name counts as the first name it begins",
         "Subj: s\nRe: r\nT: t\nC: c\nRec: r1\nRet: rp\nD: d\nF: f\nS: snd\nContent: ct\n"
         "Content-T: ct2\n",
         "to=[t] cc=[c] from=[f] reply-to=[r] sender=[snd] return-path=[rp] date=[d] "
         "subject=[s] type=[ct; ct2] received=[r1] result=1"},
        {"a longer name is another header",
         "Toxic: a\nSubject-Line: b\nFromage: c\nDated: d\nCCC: e\n", "result=0"},
        {"names in any case, blanks before the colon", "SUBJECT \t: s\nfrom: f\nrEtUrN-pAtH:rp\n",
         "from=[f] return-path=[rp] subject=[s] result=1"},
        {"a line without a colon is ignored and ends the pending header",
         "To be or not\nSubject: s\nTo be\n\tcontinued\nTo the end", "subject=[s] result=1"},
        {"the colon must be on the line itself", "To\nSubject: s\n", "subject=[s] result=1"},
        {"an empty line ends the header block", "Subject: s\n\nTo: body@x.org\n",
         "subject=[s] result=1"},
        {"the result follows the last stored field", "To: a\nSubject: \n", "to=[a] result=0"},
        {"an empty field after a full one", "Subject:\nTo: a", "to=[a] result=1"},
        {"a continuation before any header is skipped", "\tcontinued\n Subject: no\nTo: t\n",
         "to=[t] result=1"},
        {"colons in the value stay", "Subject: Re: hi: there\n",
         "subject=[Re: hi: there] result=1"},
        {"every Received value is listed, folded, also an empty one",
         "Received: from a\n\tby b; date\nX: y\nReceived:\nReceived: c\n",
         "received=[from a\n\tby b; date] received=[] received=[c] result=1"},
        {"a zero byte ends the text", std::string("Subject: s\0\nTo: t\n", 18),
         "subject=[s] result=1"},
        {"no known header", "X-A: b\nMIME-Version: 1.0\n", "result=0"},
        {"bytes of 0x80 and above pass as they are",
         "Subject: Gr\xC3\xBC\xC3\x9F"
         "e \xE6\x97\xA5\xE6\x9C\xAC\nFrom: \xE9t\xE9 <e@x.fr>\n",
         "from=[\xE9t\xE9 <e@x.fr>] subject=[Gr\xC3\xBC\xC3\x9F"
         "e \xE6\x97\xA5\xE6\x9C\xAC] result=1"},
    };
    const std::pair<const char*, const char*> kLineEnds[] = {
        {"\r\n", "CRLF"}, {"\n", "LF"}, {"\r", "CR"}};
    for (const SCase& c : kCases) {
        for (const auto& [eol, eolName] : kLineEnds) {
            SCOPED_TRACE(std::string(c.what) + " (" + eolName + ")");
            EXPECT_EQ(WithLineEnds(c.expected, eol), Scan(WithLineEnds(c.header, eol)));
        }
    }
}

TEST_F(TextMessageTest, EmptyViewAndReceivedOutsideTheList) {
    CTextMessage empty;
    EXPECT_EQ(0, empty.Initialized());
    EXPECT_EQ(0, empty.Initialize(nullptr, 0));
    EXPECT_EQ(1, empty.Initialized());
    EXPECT_EQ(0, empty.ReceivedCount());
    EXPECT_EQ("", empty.Received(0));
    EXPECT_EQ(0, empty.Date());

    CTextMessage message;
    Initialize(message, "Received: a\r\nReceived: b\r\n");
    ASSERT_EQ(2, message.ReceivedCount());
    EXPECT_EQ("b", message.Received(1));
    EXPECT_EQ("", message.Received(2));
    EXPECT_EQ("", message.Received(-1));
}

// Folding a header at any blank changes only the white space of the values and none of
// the addresses found in them.
TEST_F(TextMessageTest, FoldingAtEveryBlank) {
    const std::string subject = "one two  three";
    const std::string line =
        "To: A Person <a@x.org>, \"B, Bee\" <b@y.org>, c@z.org (Cee Z)\r\n"
        "Subject: " +
        subject + "\r\n";
    std::vector<size_t> blanks;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == ' ')
            blanks.push_back(i);
    }
    // Each fold alone, then all folds together.
    std::vector<std::vector<size_t>> foldSets;
    for (size_t b : blanks) foldSets.push_back({b});
    foldSets.push_back(blanks);
    for (const std::vector<size_t>& folds : foldSets) {
        std::string folded = line;
        for (auto at = folds.rbegin(); at != folds.rend(); ++at) folded.replace(*at, 1, "\r\n\t");
        SCOPED_TRACE("folded: " + folded);
        CTextMessage message;
        Initialize(message, folded.c_str());
        EXPECT_EQ(Unfolded(subject), Unfolded(message.Subject()));
        CRecordingHandler handler;
        EXPECT_EQ(1, message.ScanTo(&handler));
        Found found;
        for (const SCall& call : handler.m_calls)
            found.emplace_back(Unfolded(call.name), call.address);
        EXPECT_EQ(found,
                  (Found{{"A Person", "a@x.org"}, {"B, Bee", "b@y.org"}, {"Cee Z", "c@z.org"}}));
    }
}

// A header block cut at every byte scans within the cut, and a view without a zero byte
// reads the same fields as a zero-terminated copy of the same bytes.
TEST_F(TextMessageTest, CutAtEveryByte) {
    const std::string header =
        "Received: from a.example (a.example [10.0.0.1])\r\n\tby b.example with ESMTP id 42\r\n"
        "\tfor <x@y.org>; Mon, 6 Jan 2003 10:20:30 -0500\r\n"
        "From: \"Doe, J\" <j@x.org>\r\nTo: a@x.org,\r\n b@y.org\r\nSubject: Hi\r\n"
        "Date: Mon, 6 Jan 2003 10:20:30 -0500\r\n\r\nbody\r\n";
    for (size_t cut = 0; cut <= header.size(); ++cut) {
        std::string prefix = header.substr(0, cut);
        CTextMessage terminated;
        int result = terminated.Initialize(prefix.c_str(), static_cast<unsigned>(prefix.size()));
        EXPECT_EQ(Fields(terminated, result), Scan(prefix)) << "cut at " << cut;
        CRecordingHandler handler;
        terminated.ScanFrom(&handler, 0);
        terminated.ScanTo(&handler);
        for (const SCall& call : handler.m_calls) EXPECT_LE(call.address.size(), cut);
    }
}

TEST_F(TextMessageTest, DateIsParsedLazilyAndCached) {
    const std::pair<const char*, long> kCases[] = {
        {"Date: Mon, 6 Jan 2003 10:20:30 -0500\r\n", 1041866430},
        {"Date: Sun, 1 Jan 2000 00:00:00 +0100\r\nDate: Mon, 6 Jan 2003 10:20:30 -0500\r\n",
         1041866430},
        {"Date: Mon, 6 Jan 2003 10:20:30 -0500\r\nDate: nonsense\r\n", 0},
        {"Date:\r\n", 0},
        {"Subject: no date\r\n", 0},
    };
    for (const auto& [header, expected] : kCases) {
        CTextMessage message;
        EXPECT_EQ(0, message.Date()) << "before Initialize";
        Initialize(message, header);
        EXPECT_EQ(expected, message.Date()) << header;
        EXPECT_EQ(expected, message.Date()) << header;
    }
}

TEST_F(TextMessageTest, InDateRange) {
    const long d = 1041866430;
    CTextMessage message;
    Initialize(message, "Date: Mon, 6 Jan 2003 10:20:30 -0500\r\n");
    struct SCase {
        long from;
        long to;
        int expected;
    };
    const SCase kCases[] = {
        {0, 0, 1}, {d - 1, 0, 1}, {d, 0, 1},         {d + 1, 0, 0},     {0, d + 1, 1},
        {0, d, 0}, {0, d - 1, 0}, {d - 1, d + 1, 1}, {d + 1, d + 2, 0},
    };
    for (const SCase& c : kCases)
        EXPECT_EQ(c.expected, message.InDateRange(c.from, c.to)) << c.from << ".." << c.to;
}

TEST_F(TextMessageTest, EachScanReadsItsFieldWithItsSource) {
    CTextMessage message;
    Initialize(message,
               "To: to@x.org\r\nCC: cc@x.org\r\nFrom: from@x.org\r\nReply-To: rt@x.org\r\n"
               "Sender: s@x.org\r\nReturn-Path: <rp@x.org>\r\n"
               "Date: Mon, 6 Jan 2003 10:20:30 -0500\r\n");
    CRecordingHandler handler;
    EXPECT_EQ(1, message.ScanTo(&handler));
    EXPECT_EQ(1, message.ScanCC(&handler));
    EXPECT_EQ(1, message.ScanFrom(&handler, 1));  // From only
    EXPECT_EQ(1, message.ScanFrom(&handler, 0));  // From and Reply-To
    EXPECT_EQ(1, message.ScanReplyTo(&handler));
    EXPECT_EQ(1, message.ScanSender(&handler));
    EXPECT_EQ(1, message.ScanReturnPath(&handler));
    std::string seen;
    for (const SCall& call : handler.m_calls) {
        EXPECT_EQ(1041866430, call.date);
        EXPECT_EQ(FRN_NONE, call.nameKind);
        seen += call.address + (call.source == AS_TO     ? " (to) "
                                : call.source == AS_CC   ? " (cc) "
                                : call.source == AS_FROM ? " (from) "
                                                         : " (?) ");
    }
    EXPECT_EQ(seen,
              "to@x.org (to) cc@x.org (cc) from@x.org (from) from@x.org (from) rt@x.org (from) "
              "rt@x.org (from) s@x.org (from) rp@x.org (from) ");
}

TEST_F(TextMessageTest, ScanFromCountsReplyToWhenFromIsEmpty) {
    CTextMessage message;
    Initialize(message, "From: (nobody)\r\nReply-To: rt@x.org\r\n");
    CRecordingHandler handler;
    EXPECT_EQ(0, message.ScanFrom(&handler, 1));
    EXPECT_EQ(1, message.ScanFrom(&handler, 0));
    ASSERT_EQ(1u, handler.m_calls.size());
    EXPECT_EQ("rt@x.org", handler.m_calls[0].address);
    EXPECT_EQ(0, message.ScanTo(&handler));
}

TEST_F(TextMessageTest, AddressForms) {
    struct SCase {
        std::string field;
        Found expected;
    };
    const SCase kCases[] = {
        // The usual forms.
        {"john@example.com", {{"", "john@example.com"}}},
        {"John Doe <john@example.com>", {{"John Doe", "john@example.com"}}},
        {"'Bob Smith' <bob@example.com>", {{"Bob Smith", "bob@example.com"}}},
        {"Bob <bob@example.com> (Team)", {{"Bob", "bob@example.com"}}},
        {"<bob@example.com> \"Bob\"", {{"Bob", "bob@example.com"}}},
        {"postmaster@[10.0.0.1]", {{"postmaster@", "10.0.0.1"}}},  // a bracket is an angle
        // Lists.
        {"\"Doe, J\" <j@x.org>, k@y.org", {{"Doe, J", "j@x.org"}, {"", "k@y.org"}}},
        {"a@x.org (Comment), b@y.org", {{"Comment", "a@x.org"}, {"", "b@y.org"}}},
        {"A <a@x.org>,\r\n\tB <b@y.org>", {{"A", "a@x.org"}, {"B", "b@y.org"}}},
        {"a@x.org,,; ,b@y.org", {{"", "a@x.org"}, {"", "b@y.org"}}},
        {"  \r\n\t a@x.org  \r\n ", {{"", "a@x.org"}}},
        // No address.
        {"", {}},
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
        // A lone backslash at the end ends the field there, as does a zero byte.
        {"a@x.org \\", {{"", "a@x.org"}}},
        {"<a@x.org> \\", {{"", "a@x.org"}}},
        {"\\", {}},
        {std::string("a@x.org\0, b@y.org", 17), {{"", "a@x.org"}}},
        {std::string("A <a@x.org\0>, b@y.org", 21), {{"A", "a@x.org"}}},
        // Spans that copy to nothing still reach the handler.
        {"<\\ >", {{"", ""}}},
        {"\"()\"", {{"", ""}}},
        {"Name <(comment)>", {{"", ""}}},
        // Bytes of 0x80 and above are ordinary bytes: UTF-8 and Latin-1 names pass intact.
        {"J\xC3\xB6rg M\xC3\xBCller <jm@x.de>", {{"J\xC3\xB6rg M\xC3\xBCller", "jm@x.de"}}},
        {"\"Andr\xE9\" <a@x.fr>", {{"Andr\xE9", "a@x.fr"}}},
        {"=?UTF-8?Q?J=C3=B6rg?= <j@x.de>", {{"=?UTF-8?Q?J=C3=B6rg?=", "j@x.de"}}},
    };
    for (const SCase& c : kCases) EXPECT_EQ(c.expected, ScanAddresses(c.field)) << c.field;
}

TEST_F(TextMessageTest, ScanFieldPassesItsArgumentsAndSaysWhetherAnAddressWasTaken) {
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
    EXPECT_EQ("b@y.org", handler.m_calls[1].address);

    CRecordingHandler refusing(0);
    EXPECT_EQ(0,
              CTextMessage::ScanField(&refusing, "a@x.org, b@y.org", AS_CC, 0, nullptr, FRN_NONE));
    EXPECT_EQ(2u, refusing.m_calls.size());  // refusing one does not stop the scan
    EXPECT_EQ(0, CTextMessage::ScanField(&handler, "(nobody)", AS_CC, 0, nullptr, FRN_NONE));
    EXPECT_EQ(0, CTextMessage::ScanField(nullptr, "a@x.org", AS_CC, 0, nullptr, FRN_NONE));
}

// An address list cut at every byte scans without reading past the cut and gives, for a
// cut after a complete address, at least that address.
TEST_F(TextMessageTest, EveryPrefixOfAnAddressListScans) {
    const std::string field =
        "\"Doe, J\" <j@x.org>, k@y.org (Kay), 'Q' <q@z.org>; [1.2.3.4], \\\\ <e\\>@x.org>";
    for (size_t cut = 0; cut <= field.size(); ++cut) {
        Found found = ScanAddresses(field.substr(0, cut));
        if (cut >= 18) {
            ASSERT_FALSE(found.empty()) << cut;
            EXPECT_EQ("j@x.org", found[0].second) << cut;
        }
    }
}

TEST_F(TextMessageTest, FillStringResolvesEscapesAndDropsComments) {
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

    EXPECT_STREQ("x \r\n", CTextMessage::LeftTrim(" \t\r\nx \r\n"));
    EXPECT_STREQ("", CTextMessage::LeftTrim(" \t"));
    EXPECT_EQ(1, CTextMessage::RightTrim("x \t\r\n", 5));
    EXPECT_EQ(0, CTextMessage::RightTrim(" \r\n", 3));
    EXPECT_EQ(2, CTextMessage::RightTrim("ab  ", 2));  // looks only at the given length
}

}  // namespace
