// The message model: identity and location, storing downloaded text, notes, the lazily
// cached header fields, Received hops, and the headers of real mail shipped in Debian
// packages (skipped when those packages are not installed).
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <strings.h>

#include "ferrymail/store/Message.h"

namespace {

// Reaches the protected parsing helpers.
class CMessageProbe : public CMessage {
public:
    using CMessage::FindString;
    using CMessage::ParseReceived;
    using CMessage::TextMessageInit;
};

struct SLocationCall {
    CMessage* message;
    MSSTATUS oldLocation;
    MSSTATUS newLocation;
    MSSTATUS locationDuringCall;
};

class CFakeOwner : public IMessageOwner {
public:
    void ChangeLocation(CMessage* message, MSSTATUS oldLocation, MSSTATUS newLocation) override {
        m_calls.push_back({message, oldLocation, newLocation, message->GetLocation()});
    }
    int GetStoreID() override { return 7; }

    std::vector<SLocationCall> m_calls;
};

CFakeOwner* gOwner = nullptr;

IMessageOwner* LookupOwner(int storeID) {
    return storeID == 7 ? gOwner : nullptr;
}

// A message's fields as a person reads them, one "field: value" line each, empty fields
// left out.
std::string Fields(CMessage& message) {
    auto list = [](const std::vector<SAddress>& addresses) {
        std::string text;
        for (const SAddress& a : addresses)
            text += (text.empty() ? "" : ", ") + (a.m_name.empty() ? "" : a.m_name + " ") + "<" +
                    a.m_address + ">";
        return text;
    };
    const std::pair<const char*, std::string> fields[] = {
        {"from", message.GetFrom()->m_address.empty() ? "" : list({*message.GetFrom()})},
        {"to", list(*message.GetTo())},
        {"cc", list(*message.GetCC())},
        {"sender", message.GetSender()->m_address},
        {"reply-to", message.GetReplyTo()->m_address},
        {"return-path", message.GetReturnPath()->m_address},
        {"subject", message.GetSubject()},
        {"date", message.GetDate() != 0 ? std::to_string(message.GetDate()) : ""},
        {"last hop",
         message.GetReceivedDate(1) != 0 ? std::to_string(message.GetReceivedDate(1)) : ""},
    };
    std::string text;
    for (const auto& [name, value] : fields)
        if (!value.empty())
            text += std::string(name) + ": " + value + "\n";
    return text;
}

class MessageTest : public ::testing::Test {
protected:
    void TearDown() override {
        CMessage::SetOwnerLookup(nullptr);
        gOwner = nullptr;
    }

    static std::unique_ptr<CMessage> WithHeader(const std::string& header) {
        auto message = std::make_unique<CMessage>();
        message->SetHeader(header, -1);
        return message;
    }
};

TEST_F(MessageTest, StartsNewAndVerifiedAndVerifyClearsDeleted) {
    CMessage empty;
    EXPECT_EQ(MS_NEW, empty.GetLocation());
    EXPECT_EQ(1, empty.IsVerified());
    EXPECT_EQ(0, empty.IsDeleted());
    EXPECT_EQ(0u, empty.GetFlags());
    EXPECT_EQ(0, empty.GetStoreID());
    CFakeOwner owner;
    EXPECT_EQ(7, CMessage("UIDL-1", &owner).GetStoreID());
    EXPECT_EQ(0, CMessage("UIDL-2", nullptr).GetStoreID());

    empty.SetDeleted(1);
    empty.Unverify();
    EXPECT_EQ(0, empty.IsVerified());
    EXPECT_EQ(1, empty.IsDeleted());
    empty.Verify();
    EXPECT_EQ(1, empty.IsVerified());
    EXPECT_EQ(0, empty.IsDeleted());
}

TEST_F(MessageTest, VisibleLocations) {
    const struct {
        MSSTATUS location;
        int visible;
    } kCases[] = {{MS_NEW, 0},  {MS_DELETED, 0}, {MS_JAIL, 0},
                  {MS_HOLD, 0}, {MS_INBOX, 1},   {MS_DELIVERED, 1}};
    for (const auto& c : kCases) {
        CMessage message;
        message.SetLocation(c.location);
        EXPECT_EQ(c.visible, message.IsVisible()) << c.location;
    }
}

// The owner hears of a move before the field changes, once per real move; a message with
// no store, an unknown store or no lookup installed changes only its field.
TEST_F(MessageTest, SetLocationTellsTheOwnerFirst) {
    CFakeOwner owner;
    gOwner = &owner;
    CMessage beforeLookup("U", &owner);
    beforeLookup.SetLocation(MS_JAIL);
    CMessage::SetOwnerLookup(&LookupOwner);
    CMessage withoutStore;
    CMessage unknownStore("U", nullptr);
    unknownStore.SetStore(99);
    withoutStore.SetLocation(MS_INBOX);
    unknownStore.SetLocation(MS_DELETED);
    EXPECT_TRUE(owner.m_calls.empty());
    EXPECT_EQ(MS_JAIL, beforeLookup.GetLocation());
    EXPECT_EQ(MS_INBOX, withoutStore.GetLocation());
    EXPECT_EQ(MS_DELETED, unknownStore.GetLocation());

    CMessage message("U", &owner);
    ASSERT_EQ(&owner, message.GetOwner());
    message.SetLocation(MS_HOLD);
    message.SetLocation(MS_HOLD);  // the same location: nothing happens
    message.SetLocation(MS_INBOX);
    ASSERT_EQ(2u, owner.m_calls.size());
    EXPECT_EQ(&message, owner.m_calls[0].message);
    EXPECT_EQ(MS_NEW, owner.m_calls[0].oldLocation);
    EXPECT_EQ(MS_HOLD, owner.m_calls[0].newLocation);
    EXPECT_EQ(MS_NEW, owner.m_calls[0].locationDuringCall);
    EXPECT_EQ(MS_HOLD, owner.m_calls[1].oldLocation);
    EXPECT_EQ(MS_INBOX, owner.m_calls[1].newLocation);
    EXPECT_EQ(MS_HOLD, owner.m_calls[1].locationDuringCall);
    EXPECT_EQ(MS_INBOX, message.GetLocation());
}

TEST_F(MessageTest, SetHeaderSplitsHeaderAndBody) {
    struct SCase {
        const char* what;
        std::string text;
        int topLines;
        std::string header;
        std::string body;
        int bodyLines;
    };
    const SCase kCases[] = {
        {"whole message", "Subject: s\r\nTo: t\r\n\r\nl1\r\nl2\r\n", -1, "Subject: s\r\nTo: t\r\n",
         "l1\r\nl2\r\n", -1},
        {"fewer lines than asked for: complete", "S: s\r\n\r\n1\r\n2\r\n3\r\n4\r\n5\r\n", 20,
         "S: s\r\n", "1\r\n2\r\n3\r\n4\r\n5\r\n", -1},
        {"as many lines as asked for", "S: s\r\n\r\n1\r\n2\r\n3\r\n", 3, "S: s\r\n",
         "1\r\n2\r\n3\r\n", 3},
        {"more lines than asked for", "S: s\r\n\r\n1\r\n2\r\n3\r\n", 2, "S: s\r\n",
         "1\r\n2\r\n3\r\n", 3},
        {"no body lines asked for", "S: s\r\n\r\n", 0, "S: s\r\n", "", 0},
        {"a last line without its line end", "S: s\r\n\r\na\r\nb", 2, "S: s\r\n", "a\r\nb", -1},
        {"bare LF lines do not count", "S: s\r\n\r\na\nb\n", 1, "S: s\r\n", "a\nb\n", -1},
        {"a blank line inside the body", "S: s\r\n\r\na\r\n\r\nb\r\n", 3, "S: s\r\n",
         "a\r\n\r\nb\r\n", 3},
        {"a blank line at the very start is no header end", "\r\n\r\nbody\r\n", -1,
         "\r\n\r\nbody\r\n", "", 0},
    };
    for (const SCase& c : kCases) {
        CMessage message;
        time_t before = std::time(nullptr);
        EXPECT_EQ(1, message.SetHeader(c.text, c.topLines));
        time_t after = std::time(nullptr);
        EXPECT_EQ(c.header, message.GetHeader()) << c.what;
        EXPECT_EQ(c.body, message.GetBody()) << c.what;
        EXPECT_EQ(c.bodyLines, message.GetBodyLines()) << c.what;
        EXPECT_EQ(1, message.HasHeader()) << c.what;
        EXPECT_EQ(CMessage::kHasHeader, message.GetFlags()) << c.what;
        EXPECT_GE(message.GetDownloadedDate(), before) << c.what;
        EXPECT_LE(message.GetDownloadedDate(), after) << c.what;
    }
}

// Text without a blank line is a new header only: the body and its count stay.
TEST_F(MessageTest, TextWithoutBlankLineKeepsBodyAndLineCount) {
    CMessage message;
    message.SetHeader("A: b\r\n\r\nold\r\n", 1);
    ASSERT_EQ(1, message.GetBodyLines());
    message.SetHeader("Subject: s\r\nTo: t\r\n", 10);
    EXPECT_EQ("Subject: s\r\nTo: t\r\n", message.GetHeader());
    EXPECT_EQ("old\r\n", message.GetBody());
    EXPECT_EQ(1, message.GetBodyLines());
}

// Notes are header lines; the client is told the server's size plus the notes inserted
// into the header it gets.
TEST_F(MessageTest, NotesAreHeaderLinesCountedInTheClientSize) {
    CMessage message;
    message.SetSize(1000);
    message.SetHeader("S: s\r\n\r\nbody\r\n", -1);
    EXPECT_EQ(1000, message.GetSize());
    EXPECT_EQ("", message.GetQLNotes());
    message.AddQLNote("Quillon-Analysis", "friendly: from a friend");
    message.AddQLNote("Quillon-Other", "");
    message.AddQLNote(nullptr, nullptr);
    const std::string notes =
        "X-Quillon-Analysis: friendly: from a friend\r\nX-Quillon-Other: \r\nX-: \r\n";
    EXPECT_EQ(notes, message.GetQLNotes());
    EXPECT_EQ(1000 + static_cast<int>(notes.size()), message.GetSize());
    EXPECT_EQ(1000, message.GetSizeInStore());
}

TEST_F(MessageTest, WithoutHeaderNothingIsParsedOrCached) {
    CMessageProbe message;
    EXPECT_EQ(0, message.TextMessageInit());
    EXPECT_EQ("", Fields(message));
    EXPECT_EQ("", message.GetContentType());
    EXPECT_EQ("", message.GetContentTransferEncoding());
    EXPECT_EQ(0, message.GetReceivedDate(0));
    EXPECT_EQ(0u, message.GetFlags());
}

// What the getters read from a header, asked twice: the second answer comes from the
// cache and appends nothing. A missing address field stays uncached, to be scanned again
// at the next call; the plain fields are cached once the header is scanned, also when empty.
TEST_F(MessageTest, GettersReadTheHeader) {
    constexpr DWORD kAddressBits = CMessage::kCachedTo | CMessage::kCachedCC | CMessage::kCachedFrom;
    const std::tuple<const char*, const char*, DWORD> kCases[] = {
        {"Return-Path: <bounce@list.org>\r\nFrom: First <first@x.org>, Second <second@x.org>\r\n"
         "Sender: list-owner@list.org\r\nReply-To: \"List, The\" <list@list.org>\r\n"
         "To: a@x.org, B <b@y.org>\r\nTo: c@z.org (Cee)\r\nCc: d@x.org\r\n"
         "Subject: Hello\r\n\tworld\r\nDate: Mon, 6 Jan 2003 10:20:30 -0500\r\n\r\nbody\r\n",
         // From keeps the last of its addresses.
         "from: Second <second@x.org>\nto: <a@x.org>, B <b@y.org>, Cee <c@z.org>\n"
         "cc: <d@x.org>\nsender: list-owner@list.org\nreply-to: list@list.org\n"
         "return-path: bounce@list.org\nsubject: Hello\r\n\tworld\ndate: 1041866430\n", 0},
        {"Subject: no addresses\r\nCc: (nobody)\r\n\r\n", "subject: no addresses\n", kAddressBits},
        // A header whose last known field is empty is still a scanned header.
        {"From: a@x.org\r\nTo: b@y.org\r\nSubject:\r\n\r\n", "from: <a@x.org>\nto: <b@y.org>\n",
         CMessage::kCachedCC},
    };
    for (const auto& [header, fields, uncached] : kCases) {
        SCOPED_TRACE(header);
        auto message = WithHeader(header);
        EXPECT_EQ(CMessage::kHasHeader, message->GetFlags());
        EXPECT_EQ(fields, Fields(*message));
        EXPECT_EQ(fields, Fields(*message));
        EXPECT_EQ(0u, message->GetFlags() & uncached);
        EXPECT_NE(0u, message->GetFlags() & CMessage::kCachedSubject);
        message->GetContentType();
        EXPECT_NE(0u, message->GetFlags() & CMessage::kCachedContentType);
    }
    auto message = WithHeader(
        "Reply-To: \"List, The\" <list@list.org>\r\nContent-Type: text/plain; charset=utf-8\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n\r\n");
    EXPECT_EQ("List, The", message->GetReplyTo()->m_name);
    EXPECT_EQ("text/plain; charset=utf-8", message->GetContentType());
    EXPECT_EQ("quoted-printable", message->GetContentTransferEncoding());
    EXPECT_EQ(message->GetFrom(), message->GetFrom());
}

TEST_F(MessageTest, EachGetterSetsOnlyItsOwnBit) {
    const std::string header =
        "From: f@x.org\r\nReply-To: r@x.org\r\nReturn-Path: <p@x.org>\r\nSender: s@x.org\r\n"
        "To: t@x.org\r\nCc: c@x.org\r\nSubject: s\r\nDate: d\r\nContent-Type: text/plain\r\n"
        "Content-Transfer-Encoding: 7bit\r\nReceived: from a by b; d\r\n";
    const struct {
        const char* what;
        void (*get)(CMessage&);
        DWORD bit;
    } kCases[] = {
        {"date", [](CMessage& m) { m.GetDate(); }, CMessage::kCachedDate},
        {"subject", [](CMessage& m) { m.GetSubject(); }, CMessage::kCachedSubject},
        {"from", [](CMessage& m) { m.GetFrom(); }, CMessage::kCachedFrom},
        {"reply-to", [](CMessage& m) { m.GetReplyTo(); }, CMessage::kCachedReplyTo},
        {"return-path", [](CMessage& m) { m.GetReturnPath(); }, CMessage::kCachedReturnPath},
        {"sender", [](CMessage& m) { m.GetSender(); }, CMessage::kCachedSender},
        {"to", [](CMessage& m) { m.GetTo(); }, CMessage::kCachedTo},
        {"cc", [](CMessage& m) { m.GetCC(); }, CMessage::kCachedCC},
        {"content type", [](CMessage& m) { m.GetContentType(); }, CMessage::kCachedContentType},
        {"transfer encoding", [](CMessage& m) { m.GetContentTransferEncoding(); },
         CMessage::kCachedContentTransferEncoding},
        {"hops", [](CMessage& m) { m.GetReceivedDate(1); }, CMessage::kParsedHops},
    };
    for (const auto& c : kCases) {
        auto message = WithHeader(header);
        c.get(*message);
        EXPECT_EQ(CMessage::kHasHeader | c.bit, message->GetFlags()) << c.what;
    }
}

TEST_F(MessageTest, NewHeaderDropsCachedValues) {
    CMessage message;
    message.SetHeader(
        "From: a@x.org\r\nTo: t1@x.org\r\nSubject: one\r\n"
        "Received: from x by y; Mon, 6 Jan 2003 10:20:30 -0500\r\n\r\n",
        -1);
    EXPECT_EQ("from: <a@x.org>\nto: <t1@x.org>\nsubject: one\nlast hop: 1041866430\n",
              Fields(message));
    message.SetHeader("From: b@y.org\r\nTo: t2@x.org, t3@x.org\r\nSubject: two\r\n\r\n", -1);
    EXPECT_EQ(CMessage::kHasHeader, message.GetFlags());
    EXPECT_EQ("from: <b@y.org>\nto: <t2@x.org>, <t3@x.org>\nsubject: two\n", Fields(message));
}

TEST_F(MessageTest, ReceivedDatesOfFirstAndLastHop) {
    auto message = WithHeader(
        "Received: from relay by mx; Mon, 6 Jan 2003 11:00:00 +0000\r\n"
        "Received: from inside\r\n\tby relay; Mon, 6 Jan 2003 10:20:30 -0500\r\n"
        "Received: from unreadable by inside; yesterday\r\n\r\n");
    EXPECT_EQ(1041850800, message->GetReceivedDate(1));
    EXPECT_EQ(0, message->GetReceivedDate(0));  // the bottom-most date cannot be read
    const std::vector<SReceivedHop>* hops = message->GetReceivedHops();
    ASSERT_EQ(3u, hops->size());
    EXPECT_EQ("relay", (*hops)[0].m_from);
    EXPECT_EQ("inside", (*hops)[1].m_from);
    EXPECT_EQ(1041866430, (*hops)[1].m_date);
    EXPECT_EQ(3u, message->GetReceivedHops()->size());  // parsed once

    auto none = WithHeader("Subject: s\r\n\r\n");
    EXPECT_EQ(0, none->GetReceivedDate(1));
    EXPECT_EQ(0, none->GetReceivedDate(0));
    EXPECT_NE(0u, none->GetFlags() & CMessage::kParsedHops);
}

TEST_F(MessageTest, ParseReceivedClauses) {
    struct SCase {
        const char* what;
        std::string value;
        SReceivedHop expected;
    };
    const SCase kCases[] = {
        {"every clause",
         "from a.example (helo a) by b.example with ESMTP id X1 for <u@x.org>; "
         "Mon, 6 Jan 2003 10:20:30 -0500",
         {"a.example (helo a)", "b.example", "ESMTP", "X1", "<u@x.org>", 1041866430}},
        {"folded",
         "from a\r\n\tby b\r\n\tfor <x@y.org>; Mon, 6 Jan 2003 10:20:30 -0500",
         {"a", "b", "", "", "<x@y.org>", 1041866430}},
        {"empty", "", {"", "", "", "", "", 0}},
        {"no ';': the whole value is the date",
         "Mon, 6 Jan 2003 10:20:30 -0500",
         {"", "", "", "", "", 1041866430}},
        {"no ';' and no date", "from a by b", {"", "", "", "", "", 0}},
        {"text before the first keyword",
         "(qmail 1 invoked by uid 3); "
         "Mon, 6 Jan 2003 10:20:30 -0500",
         {"", "uid 3)", "", "", "", 1041866430}},
        {"split at the last ';'",
         "from a; x; Mon, 6 Jan 2003 10:20:30 -0500",
         {"a; x", "", "", "", "", 1041866430}},
        {"a keyword inside a word does not count",
         "from abyss by b; d",
         {"abyss", "b", "", "", "", 0}},
        {"a keyword at the very end does not count", "from a by; d", {"a by", "", "", "", "", 0}},
        {"later keywords are tried in keyword order",
         "from a with smtp by b; d",
         {"a with smtp", "b", "", "", "", 0}},
        {"keywords are lower case", "FROM a BY b; d", {"", "", "", "", "", 0}},
        {"empty date after ';'", "from a by b;  ", {"a", "b", "", "", "", 0}},
    };
    for (const SCase& c : kCases) {
        CMessageProbe message;
        message.ParseReceived(c.value);
        const std::vector<SReceivedHop>& hops = *message.GetReceivedHops();
        ASSERT_EQ(1u, hops.size()) << c.what;
        const SReceivedHop& hop = hops[0];
        EXPECT_EQ(c.expected.m_from, hop.m_from) << c.what;
        EXPECT_EQ(c.expected.m_by, hop.m_by) << c.what;
        EXPECT_EQ(c.expected.m_with, hop.m_with) << c.what;
        EXPECT_EQ(c.expected.m_id, hop.m_id) << c.what;
        EXPECT_EQ(c.expected.m_for, hop.m_for) << c.what;
        EXPECT_EQ(c.expected.m_date, hop.m_date) << c.what;
    }
}

TEST_F(MessageTest, FindStringAtWordStarts) {
    struct SCase {
        std::string text;
        const char* word;
        int start;
        int expected;
    };
    const SCase kCases[] = {
        {"from a", "from", 0, 0},    {"x from a", "from", 0, 2},    {"xfrom a", "from", 0, -1},
        {"a from", "from", 0, -1},   {"a from ", "from", 0, 2},     {"\tfrom x", "from", 0, 1},
        {"a\r\nby x", "by", 0, 3},   {"from from x", "from", 1, 5}, {"from x", "from", -5, 0},
        {"from x", "from", 100, -1}, {"bypass x", "by", 0, 0},      {"", "by", 0, -1},
        {"xby by", "by", 0, -1},     {"a by b", "", 0, -1},
    };
    for (const SCase& c : kCases)
        EXPECT_EQ(c.expected, CMessageProbe::FindString(c.text, c.word, c.start))
            << "[" << c.text << "] " << c.word << " @" << c.start;
}

// ---------------------------------------------------------------------------------------
// Real mail from Debian packages.

namespace fs = std::filesystem;

const char* const kCorpusFolders[] = {
    "/usr/lib/python3/dist-packages/flufl/bounce/tests/data",
    "/usr/share/gocode/src/github.com/jhillyerd/enmime/testdata/mail",
    "/usr/share/gocode/src/github.com/jhillyerd/enmime/testdata/low-quality",
    "/usr/share/gocode/src/github.com/jhillyerd/enmime/testdata/parts",
    "/usr/lib/python3.11/test/test_email/data",
    "/usr/lib/python3/dist-packages/dkim/tests/data",
    "/usr/share/doc/spamassassin/examples",
};

bool IsCorpusMessage(const fs::path& path) {
    std::string name = path.filename().string();
    std::string ext = path.extension().string();
    if (path.parent_path().filename() == "data" && name.rfind("msg_", 0) == 0)
        return ext == ".txt";  // the email test suite: msg_*.txt only
    if (name.rfind("sample-", 0) == 0)
        return ext == ".txt";
    if (ext == ".raw" || ext == ".msg" || ext == ".message" || ext == ".mbox" ||
        ext == ".baddomain")
        return true;
    // The bounce collection: every .txt of its folder.
    return ext == ".txt" && path.parent_path().string().find("flufl/bounce") != std::string::npos;
}

std::optional<std::string> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The text as a POP3 server hands it over: without an mbox "From " line, CRLF line ends.
std::string AsDownloaded(const std::string& raw) {
    std::string text = raw;
    if (text.rfind("From ", 0) == 0) {
        size_t end = text.find('\n');
        text = end == std::string::npos ? std::string() : text.substr(end + 1);
    }
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            out += '\r';
        out += text[i];
    }
    return out;
}

int CountReceivedLines(const std::string& header) {
    int count = 0;
    std::istringstream lines(header);
    std::string line;
    while (std::getline(lines, line)) {
        size_t colon = line.find(':');
        if (colon == std::string::npos || line.empty() || line[0] == ' ' || line[0] == '\t')
            continue;
        std::string name = line.substr(0, colon);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
        if (strcasecmp(name.c_str(), "received") == 0)
            ++count;
    }
    return count;
}

class CCheckingHandler : public CAddressHandler {
public:
    int ProcessAddress(const char* name, const char* address, ADDRESS_SOURCE source,
                       long date) override {
        return 0;
    }
    int ProcessAddress(const char* name, const char* address, ADDRESS_SOURCE source, long date,
                       FR_NAME nameKind) override {
        EXPECT_NE(nullptr, name);
        EXPECT_NE(nullptr, address);
        ++m_count;
        return 1;
    }
    int m_count = 0;
};

class MessageCorpusTest : public MessageTest {
protected:
    static std::vector<fs::path> CorpusFiles() {
        std::vector<fs::path> files;
        for (const char* folder : kCorpusFolders) {
            std::error_code error;
            for (fs::directory_iterator it(folder, error), end; !error && it != end;
                 it.increment(error)) {
                if (it->is_regular_file() && IsCorpusMessage(it->path()))
                    files.push_back(it->path());
            }
        }
        return files;
    }

    // The message of `file` as downloaded, or null (and the test skipped) when the
    // package that ships it is not installed.
    static std::unique_ptr<CMessage> Load(const std::string& file) {
        std::optional<std::string> raw = ReadFile(file);
        if (!raw)
            return nullptr;
        auto message = std::make_unique<CMessage>();
        message->SetHeader(AsDownloaded(*raw), -1);
        return message;
    }
};

TEST_F(MessageCorpusTest, EveryMessageScansWithinItsText) {
    std::vector<fs::path> files = CorpusFiles();
    if (files.empty())
        GTEST_SKIP() << "no mail corpus package installed";
    int withFrom = 0;
    for (const fs::path& path : files) {
        std::optional<std::string> raw = ReadFile(path);
        ASSERT_TRUE(raw.has_value()) << path;
        SCOPED_TRACE(path.string());

        // The raw bytes from a buffer of exactly their size.
        std::unique_ptr<char[]> exact(new char[raw->size()]);
        std::memcpy(exact.get(), raw->data(), raw->size());
        CTextMessage text;
        text.Initialize(exact.get(), static_cast<unsigned>(raw->size()));
        CCheckingHandler handler;
        text.ScanFrom(&handler, 0);
        text.ScanTo(&handler);
        text.ScanCC(&handler);
        text.ScanSender(&handler);
        text.ScanReturnPath(&handler);
        text.Date();

        // As a downloaded message, whole and as the first lines.
        std::string downloaded = AsDownloaded(*raw);
        for (int topLines : {-1, 10, 0}) {
            CMessage message;
            message.SetHeader(downloaded, topLines);
            std::string header = message.GetHeader();
            size_t blank = downloaded.find("\r\n\r\n", 1);
            if (blank != std::string::npos) {
                EXPECT_EQ(downloaded, header + "\r\n" + message.GetBody());
                EXPECT_EQ("\r\n", header.substr(header.size() - 2));
            } else {
                EXPECT_EQ(downloaded, header);
            }
            message.GetDate();
            message.GetSubject();
            message.GetContentType();
            message.GetContentTransferEncoding();
            SAddress* from = message.GetFrom();
            message.GetReplyTo();
            message.GetReturnPath();
            message.GetSender();
            message.GetTo();
            message.GetCC();
            message.GetReceivedDate(0);
            message.GetReceivedDate(1);
            EXPECT_EQ(static_cast<size_t>(CountReceivedLines(header)),
                      message.GetReceivedHops()->size());
            if (!from->m_address.empty())
                ++withFrom;
        }
    }
    EXPECT_GT(withFrom, 0);
}

// Read by hand from each file's header.
const std::pair<const char*, const char*> kCorpusMessages[] = {
    {"/usr/share/doc/spamassassin/examples/sample-nonspam.txt",
     "from: Keith Dawson <dawson@world.std.com>\nto: <tbtf@world.std.com>\n"
     "sender: tbtf-approval@world.std.com\nreply-to: tbtf-approval@europe.std.com\n"
     "return-path: tbtf-approval@world.std.com\nsubject: TBTF ping for 2001-04-20: Reviving\n"
     "date: 987800398\n"},
    {"/usr/share/doc/spamassassin/examples/sample-spam.txt",
     "from: Sender <sender@example.net>\nto: Recipient <recipient@example.net>\n"
     "subject: Test spam mail (GTUBE)\ndate: 1058995800\n"},
    {"/usr/lib/python3/dist-packages/dkim/tests/data/message.mbox",
     "from: Scott Kitterman <scott@kitterman.com>\n"
     "to: Kerrick Staley <mail@kerrickstaley.com>, Nick Coghlan <ncoghlan@gmail.com>\n"
     "cc: <barry@python.org>\nreturn-path: scott@kitterman.com\n"
     "subject: Comments on PEP 394 draft\ndate: 1299525777\nlast hop: 1299525803\n"},
    {"/usr/lib/python3.11/test/test_email/data/msg_20.txt",
     "from: John X. Doe <bbb@ddd.com>\nto: <bbb@zzz.org>\n"
     "cc: <ccc@zzz.org>, <ddd@zzz.org>, <eee@zzz.org>\nreturn-path: bbb@zzz.org\n"
     "subject: This is a test message\ndate: 988999544\n"},
    {"/usr/lib/python3.11/test/test_email/data/msg_25.txt",
     "from: Mail Delivery Subsystem <MAILER-DAEMON@zinfandel.lacita.com>\n"
     "to: <linuxuser-admin@www.linux.org.uk>, <postmaster@zinfandel.lacita.com>\n"
     "subject: Returned mail: Too many hops 19 (17 max): from "
     "<linuxuser-admin@www.linux.org.uk> via [199.164.235.226], to <scoffman@wellpartner.com>\n"
     "last hop: 986571969\n"},
    {"/usr/share/gocode/src/github.com/jhillyerd/enmime/testdata/mail/qp-utf8-header.raw",
     "from: =?ISO-8859-1?Q?Andr=E9?= Pirard <PIRARD@vm1.ulg.ac.be>\n"
     "to: =?UTF-8?Q?Miros=C5=82aw_Marczak?= <marczak@inbucket.com>\n"
     "sender: PIRARD@vm1.ulg.ac.be\nsubject: =?utf-8?q?MIME_UTF8_Test_=c2=a2?= More Text\n"
     "date: 1350674569\n"},
    {"/usr/lib/python3/dist-packages/flufl/bounce/tests/data/dsn_03.txt",
     "from: postmaster@example.be <postmaster@advalvas.be>\n"
     "to: python-list-admin@python.org <python-list-admin@python.org>\n"
     "sender: python-list-owner@python.org\nreturn-path: python-list-admin@python.org\n"
     "subject: Failed mail: exceeded maximum incoming message size\ndate: 981635626\n"},
    {"/usr/lib/python3/dist-packages/flufl/bounce/tests/data/dsn_08.txt",
     "from: Mail Delivery System <MAILER-DAEMON@innominate.de>\nto: <zope-admin@zope.org>\n"
     "sender: zope-owner@zope.org\nreturn-path: zope-admin@zope.org\n"
     "subject: Delayed Mail (still being retried)\nlast hop: 1002185328\n"},
};

TEST_F(MessageCorpusTest, AddressesAndNamesAsAPersonReadsThem) {
    int checked = 0;
    for (const auto& [file, expected] : kCorpusMessages) {
        std::unique_ptr<CMessage> message = Load(file);
        if (!message)
            continue;
        ++checked;
        SCOPED_TRACE(file);
        const std::string e = expected;
        std::string got = Fields(*message);
        // Only plain RFC 822 dates are checked: those the expectation gives.
        for (const char* name : {"date: ", "last hop: "})
            if (e.find(name) == std::string::npos && got.find(name) != std::string::npos)
                got.erase(got.find(name), got.find('\n', got.find(name)) + 1 - got.find(name));
        EXPECT_EQ(e, got);
    }
    if (checked == 0)
        GTEST_SKIP() << "no mail corpus package installed";
}

TEST_F(MessageCorpusTest, ReceivedClausesAsAPersonReadsThem) {
    std::unique_ptr<CMessage> nonspam =
        Load("/usr/share/doc/spamassassin/examples/sample-nonspam.txt");
    std::unique_ptr<CMessage> dsn =
        Load("/usr/lib/python3/dist-packages/flufl/bounce/tests/data/dsn_08.txt");
    if (!nonspam && !dsn)
        GTEST_SKIP() << "spamassassin and python3-flufl.bounce not installed";
    if (nonspam) {
        const std::vector<SReceivedHop>& hops = *nonspam->GetReceivedHops();
        ASSERT_EQ(8u, hops.size());
        EXPECT_EQ("europe.std.com (europe.std.com [199.172.62.20])", hops[0].m_from);
        EXPECT_EQ("mail.netnoteinc.com (Postfix)", hops[0].m_by);
        EXPECT_EQ("ESMTP", hops[0].m_with);
        EXPECT_EQ("392E1114061", hops[0].m_id);
        EXPECT_EQ("<foo@foo.com>", hops[0].m_for);
        EXPECT_EQ("", hops[1].m_from);  // "(from daemon@localhost)" is a comment
        EXPECT_EQ("europe.std.com (8.9.3/8.9.3)", hops[1].m_by);
        EXPECT_EQ("RAA09630", hops[1].m_id);
        EXPECT_EQ("tbtf-outgoing", hops[1].m_for);
    }
    if (dsn) {
        const std::vector<SReceivedHop>& hops = *dsn->GetReceivedHops();
        ASSERT_EQ(6u, hops.size());
        EXPECT_EQ("smtp.zope.com ([63.100.190.10] verified)", hops[0].m_from);
        EXPECT_EQ("digicool.com (CommuniGate Pro SMTP 3.4)", hops[0].m_by);
        EXPECT_EQ("ESMTP", hops[0].m_with);
        EXPECT_EQ("2769384", hops[0].m_id);
        EXPECT_EQ("mj@mail.zope.com", hops[0].m_for);
        EXPECT_EQ("", hops[5].m_from);
        EXPECT_EQ("mate.bln.innominate.de (Postfix)", hops[5].m_by);
        EXPECT_EQ("27AD62CB3A", hops[5].m_id);
    }
}

}  // namespace
