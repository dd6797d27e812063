// The per-message cache of decoded subject and body over real messages: examples, the
// caching rules, and every message of the sample mail folders on the machine.

#include "filter/DecodedText.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "ferrymail/store/Message.h"
#include "filter/MimeDecoder.h"

namespace {

const std::string kImageMessage =
    "From: ann@example.org\r\n"
    "Subject: =?iso-8859-1?Q?caf=E9_cr=E8me?=\r\n"
    "Content-Type: multipart/related;\r\n"
    "\tboundary=\"==sep\"\r\n"
    "\r\n"
    "--==sep\r\n"
    "Content-Type: text/html\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n"
    "\r\n"
    "<font size=3D2>Buy <b>now</b></font>\r\n"
    "--==sep\r\n"
    "Content-Type: image/gif\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "R0lGODlhAQABAAAAACw=\r\n"
    "--==sep--\r\n";

class DecodedTextTest : public ::testing::Test {
protected:
    CMessage* Load(const std::string& text) {
        m_message.SetHeader(text, -1);
        m_cache.Reset();
        return &m_message;
    }
    CMessage m_message;
    CDecodedText m_cache;
};

TEST_F(DecodedTextTest, SubjectExamples) {
    const struct {
        std::string subject;
        std::string decoded;
        bool isDecoded;
    } cases[] = {
        {"=?iso-8859-1?Q?caf=E9_au_lait?=", "caf\xE9 au lait", true},
        {"a =?x?B?aGk=?= b", "a hi b", true},
        {"=?x?Q?a?", "=?x?Q?a?", false},  // 8 characters
        {"Plain news", "Plain news", false},
    };
    for (const auto& c : cases) {
        CMessage* message = Load("From: a@b.c\r\nSubject: " + c.subject + "\r\n\r\nbody\r\n");
        EXPECT_EQ(m_cache.GetDecodedSubject(*message), c.decoded);
        EXPECT_EQ(m_cache.IsSubjectDecoded(), c.isDecoded) << c.subject;
        EXPECT_EQ(m_cache.GetDecodedSubject(*message), c.decoded);
    }
}

TEST_F(DecodedTextTest, MultipartBodyIsDecodedOnceAndPreviewKeepsTheCache) {
    CMessage* message = Load(kImageMessage);
    EXPECT_EQ(m_cache.GetDecodedBody(*message, false, true), "Buy now\r\n");
    EXPECT_TRUE(m_cache.IsBodyDecoded());
    EXPECT_TRUE(m_cache.WasBodyRead());

    const std::string preview = m_cache.GetDecodedBody(*message, true, true);
    EXPECT_NE(preview.find("Content-Type: image/gif-- not shown --"), std::string::npos);
    EXPECT_EQ(preview.find("Buy now"), 0u);

    // The text changes under the cache, which keeps what it computed for this message.
    m_message.SetHeader("Subject: x\r\n\r\nother body\r\n", -1);
    EXPECT_EQ(m_cache.GetDecodedBody(*message, false, true), "Buy now\r\n");
    m_cache.Reset();
    EXPECT_FALSE(m_cache.WasBodyRead());
    EXPECT_EQ(m_cache.GetDecodedBody(*message, false, true), "other body\r\n");
}

TEST_F(DecodedTextTest, PlainBodyIsReturnedRaw) {
    CMessage* message = Load("Subject: hi\r\nContent-Type: text/plain\r\n\r\nJust <b>text</b>\r\n");
    EXPECT_EQ(m_cache.GetDecodedBody(*message, false, true), "Just <b>text</b>\r\n");
    EXPECT_FALSE(m_cache.IsBodyDecoded());
    EXPECT_TRUE(m_cache.WasBodyRead());
    // Without headers there is nothing to decode either.
    EXPECT_EQ(CDecodedText().GetDecodedBody("", "", "raw", false, true), "raw");
    EXPECT_EQ(CDecodedText().GetDecodedBody("multipart/mixed", "", "raw", true, true), "raw");
}

// Every file of a sample folder decodes within the bounds; under the sanitizer build any
// read out of bounds fails the test. False when the folder is not installed.
bool CheckFolder(const std::string& folder, const std::string& pattern, bool expectMime) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (!fs::is_directory(folder, error))
        return false;
    SCOPED_TRACE(folder);
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (name.find(pattern) != std::string::npos)
            files.push_back(entry.path());
    }
    if (files.empty())
        return false;
    int decodedBodies = 0;
    for (const fs::path& path : files) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream raw;
        raw << in.rdbuf();
        // Messages reach the store with CRLF line ends; the samples mostly have LF.
        std::string text;
        for (const char c : raw.str()) {
            if (c == '\n' && (text.empty() || text.back() != '\r'))
                text += '\r';
            text += c;
        }
        CMessage message;
        message.SetHeader(text, -1);
        CDecodedText cache;
        const std::string subject = message.GetSubject();
        EXPECT_LE(cache.GetDecodedSubject(message).size(), subject.size()) << path;
        const std::size_t bound =
            message.GetBody().size() * CMimeDecoder::kMaxGrowth + CMimeDecoder::kSlack;
        EXPECT_LE(cache.GetDecodedBody(message, false, true).size(), bound) << path;
        decodedBodies += cache.IsBodyDecoded() ? 1 : 0;
        EXPECT_LE(cache.GetDecodedBody(message, true, false).size(), bound) << path;
        // The same text with its own line ends, as one body.
        CMimeDecoder decoder(true, true, raw.str().size());
        decoder.DecodeMimeEntity(message.GetContentType(), message.GetContentTransferEncoding(),
                                 raw.str());
        EXPECT_LE(decoder.GetText().size(),
                  raw.str().size() * CMimeDecoder::kMaxGrowth + CMimeDecoder::kSlack);
    }
    if (expectMime) {
        EXPECT_GT(decodedBodies, 0) << "no MIME message decoded";
    }
    return true;
}

TEST(DecodedTextCorpusTest, SampleMailFolders) {
    const std::tuple<const char*, const char*, bool> folders[] = {
        {"/usr/lib/python3/dist-packages/flufl/bounce/tests/data", ".txt", true},
        {"/usr/share/gocode/src/github.com/jhillyerd/enmime/testdata/mail", ".raw", true},
        {"/usr/share/gocode/src/github.com/jhillyerd/enmime/testdata/low-quality", ".raw", true},
        {"/usr/share/gocode/src/github.com/jhillyerd/enmime/testdata/parts", ".raw", false},
        {"/usr/lib/python3.11/test/test_email/data", "msg_", true},
        {"/usr/share/doc/spamassassin/examples", "sample-", false},
    };
    int installed = 0;
    for (const auto& [folder, pattern, expectMime] : folders)
        installed += CheckFolder(folder, pattern, expectMime);
    if (installed == 0)
        GTEST_SKIP() << "no sample mail package installed";
}

}  // namespace
