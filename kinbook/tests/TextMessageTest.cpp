// Splitting a header block into the fields the system uses, the Received list, the lazy
// date and the per-field address scans. Each block is fed with CRLF, LF and CR line ends,
// folded at every blank and cut at every byte.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kinbook/AddressHandler.h"
#include "kinbook/TextMessage.h"

namespace {

// Replaces each "\n" of `text` by `eol`.
std::string WithLineEnds(const std::string& text, const std::string& eol) {
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += eol;
        else
            out += c;
    }
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

struct SFields {
    std::string to{}, cc{}, from{}, replyTo{}, sender{}, returnPath{}, date{}, subject{},
        contentType{}, cte{};
    std::vector<std::string> received{};
    int result = 0;

    bool operator==(const SFields&) const = default;
};

std::ostream& operator<<(std::ostream& os, const SFields& f) {
    os << "{to=[" << f.to << "] cc=[" << f.cc << "] from=[" << f.from << "] replyTo=[" << f.replyTo
       << "] sender=[" << f.sender << "] returnPath=[" << f.returnPath << "] date=[" << f.date
       << "] subject=[" << f.subject << "] contentType=[" << f.contentType << "] cte=[" << f.cte
       << "] received=" << f.received.size() << "{";
    for (const std::string& r : f.received) os << "[" << r << "]";
    return os << "} result=" << f.result << "}";
}

SFields Read(CTextMessage& message, int result) {
    SFields f{message.To(),
              message.CC(),
              message.From(),
              message.ReplyTo(),
              message.Sender(),
              message.ReturnPath(),
              message.DateText(),
              message.Subject(),
              message.ContentType(),
              message.ContentTransferEncoding(),
              {},
              result};
    for (int i = 0; i < message.ReceivedCount(); ++i) f.received.push_back(message.Received(i));
    return f;
}

SFields WithLineEnds(SFields f, const std::string& eol) {
    for (std::string* s : {&f.to, &f.cc, &f.from, &f.replyTo, &f.sender, &f.returnPath, &f.date,
                           &f.subject, &f.contentType, &f.cte})
        *s = WithLineEnds(*s, eol);
    for (std::string& r : f.received) r = WithLineEnds(r, eol);
    return f;
}

struct SCall {
    std::string name;
    std::string address;
    ADDRESS_SOURCE source;
    long date;
};

class CRecordingHandler : public CAddressHandler {
public:
    int ProcessAddress(const char* name, const char* address, ADDRESS_SOURCE source,
                       long date) override {
        return 0;
    }
    int ProcessAddress(const char* name, const char* address, ADDRESS_SOURCE source, long date,
                       FR_NAME nameKind) override {
        EXPECT_EQ(FRN_NONE, nameKind);
        m_calls.push_back({name, address, source, date});
        return 1;
    }

    std::vector<SCall> m_calls;
};

class TextMessageTest : public ::testing::Test {
protected:
    // Scans `text` from a heap buffer of exactly its bytes, so that the address sanitizer
    // sees any read past the end of the view.
    SFields Scan(const std::string& text) {
        std::unique_ptr<char[]> buffer(new char[text.size() + 1]);
        std::memcpy(buffer.get(), text.data(), text.size());
        CTextMessage message;
        int result = message.Initialize(buffer.get(), static_cast<unsigned>(text.size()));
        EXPECT_EQ(1, message.Initialized());
        return Read(message, result);
    }

    static const char* const kLineEnds[3];
};

const char* const TextMessageTest::kLineEnds[3] = {"\r\n", "\n", "\r"};

TEST_F(TextMessageTest, SplitsTheHeaderBlock) {
    struct SCase {
        const char* what;
        std::string header;  // "\n" stands for the line end under test
        SFields expected;
    };
    const SCase kCases[] = {
        {"every known field",
         "Return-Path: <rp@x.org>\n"
         "Received: from a by b; Mon, 6 Jan 2003 10:20:30 -0500\n"
         "Received: from c by d\n"
         "To: to@x.org\n"
         "CC: cc@x.org\n"
         "From: from@x.org\n"
         "Reply-To: rt@x.org\n"
         "Sender: s@x.org\n"
         "Date: Mon, 6 Jan 2003 10:20:30 -0500\n"
         "Subject: Hello\n"
         "Content-Type: text/plain\n"
         "Content-Transfer-Encoding: 7bit\n",
         {.to = "to@x.org",
          .cc = "cc@x.org",
          .from = "from@x.org",
          .replyTo = "rt@x.org",
          .sender = "s@x.org",
          .returnPath = "<rp@x.org>",
          .date = "Mon, 6 Jan 2003 10:20:30 -0500",
          .subject = "Hello",
          .contentType = "text/plain",
          .cte = "7bit",
          .received = {"from a by b; Mon, 6 Jan 2003 10:20:30 -0500", "from c by d"},
          .result = 1}},
        {"repeated fields are joined, only the last Date is kept",
         "To: A\nDate: d1\nCc: c1\nTo: B\ncc: c2\nDate: d2\n",
         {.to = "A; B", .cc = "c1; c2", .date = "d2", .result = 1}},
        {"folded values keep their line breaks",
         "Subject: first\n\tsecond\n  third\nTo: a,\n b\n",
         {.to = "a,\n b", .subject = "first\n\tsecond\n  third", .result = 1}},
        {"unknown headers end a pending header and are skipped with their continuations",
         "Subject: s\nX-Mailer: m\n\tcontinued\nMessage-ID: <id>\n more\nTo: t\n"
         "DKIM-Signature: v=1;\n\th=From:To\n",
         {.to = "t", .subject = "s", .result = 1}},
        {"a leading part of a known name counts as the first name it begins",
         "Subj: s\nRe: r\nT: t\nC: c\nRec: r1\nRet: rp\nD: d\nF: f\nS: snd\nContent: ct\n"
         "Content-T: ct2\n",
         {.to = "t",
          .cc = "c",
          .from = "f",
          .replyTo = "r",
          .sender = "snd",
          .returnPath = "rp",
          .date = "d",
          .subject = "s",
          .contentType = "ct; ct2",
          .received = {"r1"},
          .result = 1}},
        {"a longer name is another header",
         "Toxic: a\nSubject-Line: b\nFromage: c\nDated: d\nCCC: e\n",
         {.result = 0}},
        {"names in any case, blanks before the colon",
         "SUBJECT \t: s\nfrom: f\nrEtUrN-pAtH:rp\n",
         {.from = "f", .returnPath = "rp", .subject = "s", .result = 1}},
        {"a line without a colon is ignored and ends the pending header",
         "To be or not\nSubject: s\nTo be\n\tcontinued\nTo the end",
         {.subject = "s", .result = 1}},
        {"the colon must be on the line itself", "To\nSubject: s\n", {.subject = "s", .result = 1}},
        {"an empty line ends the header block",
         "Subject: s\n\nTo: body@x.org\n",
         {.subject = "s", .result = 1}},
        {"the result follows the last stored field",
         "To: a\nSubject: \n",
         {.to = "a", .result = 0}},
        {"an empty field after a full one", "Subject:\nTo: a", {.to = "a", .result = 1}},
        {"a continuation before any header is skipped",
         "\tcontinued\n Subject: no\nTo: t\n",
         {.to = "t", .result = 1}},
        {"colons in the value stay",
         "Subject: Re: hi: there\n",
         {.subject = "Re: hi: there", .result = 1}},
        {"every Received value is listed, folded, also an empty one",
         "Received: from a\n\tby b; date\nX: y\nReceived:\nReceived: c\n",
         {.received = {"from a\n\tby b; date", "", "c"}, .result = 1}},
        {"a zero byte ends the text",
         std::string("Subject: s\0\nTo: t\n", 18),
         {.subject = "s", .result = 1}},
        {"no known header", "X-A: b\nMIME-Version: 1.0\n", {.result = 0}},
        {"only an empty line", "\n", {.result = 0}},
        {"bytes of 0x80 and above pass as they are",
         "Subject: Gr\xC3\xBC\xC3\x9F"
         "e \xE6\x97\xA5\xE6\x9C\xAC\nFrom: \xE9t\xE9 <e@x.fr>\n",
         {.from = "\xE9t\xE9 <e@x.fr>",
          .subject = "Gr\xC3\xBC\xC3\x9F"
                     "e \xE6\x97\xA5\xE6\x9C\xAC",
          .result = 1}},
    };
    for (const SCase& c : kCases) {
        for (const char* eol : kLineEnds) {
            SFields expected = WithLineEnds(c.expected, eol);
            EXPECT_EQ(expected, Scan(WithLineEnds(c.header, eol)))
                << c.what << " (line end "
                << (eol[0] == '\r' && !eol[1] ? "CR"
                    : eol[1]                  ? "CRLF"
                                              : "LF")
                << ")";
        }
    }
}

TEST_F(TextMessageTest, EmptyViewIsInitializedWithoutFields) {
    CTextMessage message;
    EXPECT_EQ(0, message.Initialized());
    EXPECT_EQ(0, message.Initialize(nullptr, 0));
    EXPECT_EQ(1, message.Initialized());
    EXPECT_EQ(0, message.ReceivedCount());
    EXPECT_EQ("", message.Received(0));
    EXPECT_EQ(0, message.Date());
}

TEST_F(TextMessageTest, ReceivedOutsideTheListIsEmpty) {
    CTextMessage message;
    std::string header = "Received: a\r\nReceived: b\r\n";
    message.Initialize(header.data(), static_cast<unsigned>(header.size()));
    ASSERT_EQ(2, message.ReceivedCount());
    EXPECT_EQ("a", message.Received(0));
    EXPECT_EQ("b", message.Received(1));
    EXPECT_EQ("", message.Received(2));
    EXPECT_EQ("", message.Received(-1));
}

// Folding a header at any blank changes only the white space of the values and none of
// the addresses found in them.
TEST_F(TextMessageTest, FoldingAtEveryBlank) {
    const std::string to = "A Person <a@x.org>, \"B, Bee\" <b@y.org>, c@z.org (Cee Z)";
    const std::string subject = "one two  three";
    const std::string line = "To: " + to + "\r\nSubject: " + subject + "\r\n";
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
        std::string folded;
        for (size_t i = 0; i < line.size(); ++i) {
            bool fold = false;
            for (size_t f : folds) fold = fold || f == i;
            folded += fold ? std::string("\r\n\t") : std::string(1, line[i]);
        }
        CTextMessage message;
        message.Initialize(folded.data(), static_cast<unsigned>(folded.size()));
        std::string where = "folded: " + folded;
        EXPECT_EQ(Unfolded(subject), Unfolded(message.Subject())) << where;
        CRecordingHandler handler;
        EXPECT_EQ(1, message.ScanTo(&handler)) << where;
        ASSERT_EQ(3u, handler.m_calls.size()) << where;
        EXPECT_EQ("a@x.org", handler.m_calls[0].address) << where;
        EXPECT_EQ("A Person", Unfolded(handler.m_calls[0].name)) << where;
        EXPECT_EQ("b@y.org", handler.m_calls[1].address) << where;
        EXPECT_EQ("B, Bee", Unfolded(handler.m_calls[1].name)) << where;
        EXPECT_EQ("c@z.org", handler.m_calls[2].address) << where;
        EXPECT_EQ("Cee Z", Unfolded(handler.m_calls[2].name)) << where;
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
        SFields exact = Scan(prefix);
        CTextMessage terminated;
        int result = terminated.Initialize(prefix.c_str(), static_cast<unsigned>(prefix.size()));
        EXPECT_EQ(Read(terminated, result), exact) << "cut at " << cut;
        CRecordingHandler handler;
        terminated.ScanFrom(&handler, 0);
        terminated.ScanTo(&handler);
        for (const SCall& call : handler.m_calls) EXPECT_LE(call.address.size(), cut);
    }
}

TEST_F(TextMessageTest, DateIsParsedLazilyAndCached) {
    struct SCase {
        const char* header;
        long expected;
    };
    const SCase kCases[] = {
        {"Date: Mon, 6 Jan 2003 10:20:30 -0500\r\n", 1041866430},
        {"Date: 6 Jan 2003 15:20:30 +0000\r\n", 1041866430},
        {"Date: Sun, 1 Jan 2000 00:00:00 +0100\r\nDate: Mon, 6 Jan 2003 10:20:30 -0500\r\n",
         1041866430},
        {"Date: Mon, 6 Jan 2003 10:20:30 -0500\r\nDate: nonsense\r\n", 0},
        {"Date: nonsense\r\n", 0},
        {"Date:\r\n", 0},
        {"Subject: no date\r\n", 0},
    };
    for (const SCase& c : kCases) {
        CTextMessage message;
        EXPECT_EQ(0, message.Date()) << "before Initialize";
        message.Initialize(c.header, static_cast<unsigned>(std::strlen(c.header)));
        EXPECT_EQ(c.expected, message.Date()) << c.header;
        EXPECT_EQ(c.expected, message.Date()) << c.header;
    }
}

TEST_F(TextMessageTest, InDateRange) {
    const long d = 1041866430;
    CTextMessage message;
    const char* header = "Date: Mon, 6 Jan 2003 10:20:30 -0500\r\n";
    message.Initialize(header, static_cast<unsigned>(std::strlen(header)));
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
    const char* header =
        "To: to@x.org\r\nCC: cc@x.org\r\nFrom: from@x.org\r\nReply-To: rt@x.org\r\n"
        "Sender: s@x.org\r\nReturn-Path: <rp@x.org>\r\n"
        "Date: Mon, 6 Jan 2003 10:20:30 -0500\r\n";
    CTextMessage message;
    message.Initialize(header, static_cast<unsigned>(std::strlen(header)));
    struct SCase {
        const char* what;
        int (*scan)(CTextMessage&, CAddressHandler*);
        std::vector<std::string> addresses;
        ADDRESS_SOURCE source;
    };
    const SCase kCases[] = {
        {"To",
         [](CTextMessage& m, CAddressHandler* h) { return m.ScanTo(h); },
         {"to@x.org"},
         AS_TO},
        {"CC",
         [](CTextMessage& m, CAddressHandler* h) { return m.ScanCC(h); },
         {"cc@x.org"},
         AS_CC},
        {"From only",
         [](CTextMessage& m, CAddressHandler* h) { return m.ScanFrom(h, 1); },
         {"from@x.org"},
         AS_FROM},
        {"From and Reply-To",
         [](CTextMessage& m, CAddressHandler* h) { return m.ScanFrom(h, 0); },
         {"from@x.org", "rt@x.org"},
         AS_FROM},
        {"Reply-To",
         [](CTextMessage& m, CAddressHandler* h) { return m.ScanReplyTo(h); },
         {"rt@x.org"},
         AS_FROM},
        {"Sender",
         [](CTextMessage& m, CAddressHandler* h) { return m.ScanSender(h); },
         {"s@x.org"},
         AS_FROM},
        {"Return-Path",
         [](CTextMessage& m, CAddressHandler* h) { return m.ScanReturnPath(h); },
         {"rp@x.org"},
         AS_FROM},
    };
    for (const SCase& c : kCases) {
        CRecordingHandler handler;
        EXPECT_EQ(1, c.scan(message, &handler)) << c.what;
        ASSERT_EQ(c.addresses.size(), handler.m_calls.size()) << c.what;
        for (size_t i = 0; i < c.addresses.size(); ++i) {
            EXPECT_EQ(c.addresses[i], handler.m_calls[i].address) << c.what;
            EXPECT_EQ(c.source, handler.m_calls[i].source) << c.what;
            EXPECT_EQ(1041866430, handler.m_calls[i].date) << c.what;
        }
    }
}

TEST_F(TextMessageTest, ScanFromCountsReplyToWhenFromIsEmpty) {
    const char* header = "From: (nobody)\r\nReply-To: rt@x.org\r\n";
    CTextMessage message;
    message.Initialize(header, static_cast<unsigned>(std::strlen(header)));
    CRecordingHandler handler;
    EXPECT_EQ(0, message.ScanFrom(&handler, 1));
    EXPECT_EQ(1, message.ScanFrom(&handler, 0));
    ASSERT_EQ(1u, handler.m_calls.size());
    EXPECT_EQ("rt@x.org", handler.m_calls[0].address);
    EXPECT_EQ(0, message.ScanTo(&handler));
}

}  // namespace
