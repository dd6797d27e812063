// The decoders one by one (tables of input and expected text), then whole MIME
// entities, then the bounds on malformed and hostile input.

#include "filter/MimeDecoder.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct SCase {
    std::string input;
    std::string expected;
};

using Decoder = std::string (*)(std::string_view);

void ExpectTable(Decoder decode, std::initializer_list<SCase> cases) {
    for (const SCase& c : cases) EXPECT_EQ(decode(c.input), c.expected) << "input: " << c.input;
}

TEST(MimeDecoderTest, QuotedPrintable) {
    ExpectTable(&CMimeDecoder::DecodeQuotedPrintable, {{"caf=E9", "caf\xE9"},
                                                       {"caf=e9 ok", "caf\xE9 ok"},
                                                       {"soft=\r\nbreak", "softbreak"},
                                                       {"soft=\nbreak", "softbreak"},
                                                       {"nul=00gone", "nulgone"},
                                                       {"keep=zz", "keep=zz"},
                                                       {"end=", "end="},
                                                       {"end=4", "end=4"},
                                                       {"a_b", "a_b"},
                                                       {"=3D=3d", "=="}});
}

TEST(MimeDecoderTest, QEncodingTurnsUnderscoresIntoSpaces) {
    ExpectTable(&CMimeDecoder::DecodeQEncoding,
                {{"caf=E9_au_lait", "caf\xE9 au lait"}, {"=5F", "_"}});
}

TEST(MimeDecoderTest, Base64) {
    ExpectTable(&CMimeDecoder::DecodeBase64,
                {{"aGk=", "hi"},
                 {"aGVs\r\nbG8=", "hello"},
                 {"aGVsbG8", "hello"},    // a final short group is padded
                 {"aG\xC3\xA9k=", "hi"},  // bytes above 127 are skipped
                 {"AAAA", ""},            // decoded zero bytes are dropped
                 {"", ""}});
}

TEST(MimeDecoderTest, EncodedWords) {
    ExpectTable(&CMimeDecoder::DecodeEncodedWords,
                {{"=?iso-8859-1?Q?caf=E9_noir?=", "caf\xE9 noir"},
                 {"a =?x?B?aGk=?= b", "a hi b"},
                 {"=?x?b?aGk=?= =?x?q?yo?=", "hi yo"},  // blanks between words stay
                 {"=?a?Q?x?", "=?a?Q?x?"},              // 8 characters: never decoded
                 {"plain subject line", "plain subject line"},
                 {"broken =?x?Q no end here", "broken =?x?Q no end here"},
                 {"=?=?x?Q?ok?= tail", "Q?ok tail"},  // charset "=", letter x (not B: Q)
                 {"lead =?x?Q?a?=", "lead a"}});
}

TEST(MimeDecoderTest, StripHtml) {
    ExpectTable(&CMimeDecoder::StripHtml,
                {{"a&NBSP;b&nbsp;c", "a b c"},
                 {"x<!-- hidden -->y", "xy"},
                 {"x<!-- never closed", "x"},
                 {"one<BR>two", "one two"},
                 {"<b>bold</B> <I>it</i></f>", "bold it"},
                 {"<font color=red>red</FONT>", "red"},
                 {"<p>kept</p> <a href=x>link</a>", "<p>kept</p> <a href=x>link</a>"},
                 {"<font " + std::string(300, 'x') + ">.", "<font " + std::string(300, 'x') + ">."},
                 {"a < b", "a < b"}});
}

std::string Decode(const std::string& type, const std::string& encoding, const std::string& text,
                   bool showParts = false, bool* decoded = nullptr) {
    CMimeDecoder decoder(showParts, true, text.size());
    const bool result = decoder.DecodeMimeEntity(type, encoding, text);
    if (decoded)
        *decoded = result;
    return decoder.GetText();
}

const std::string kMixed =
    "preamble\r\n"
    "--XyZ\r\n"
    "Content-Type: text/html; charset=utf-8\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n"
    "\r\n"
    "<b>Caf=E9</b>&nbsp;ok=\r\n"
    "!\r\n"
    "--xyz\r\n"
    "Content-Type: image/png;\r\n"
    "\tname=pic.png\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "iVBORw0KGgo=\r\n"
    "--XyZ\r\n"
    "\r\n"
    "no headers\r\n"
    "--XyZ--\r\n";

TEST(MimeDecoderTest, MultipartDecodesTextAndLeavesImagesOut) {
    bool decoded = false;
    EXPECT_EQ(Decode("multipart/mixed; boundary=\"XyZ\"", "", kMixed, false, &decoded),
              "Caf\xE9 ok!\r\nno headers\r\n");
    EXPECT_TRUE(decoded);
}

TEST(MimeDecoderTest, ShowPartsLeavesAPlaceholderForAnImage) {
    const std::string stars(35, '*');
    EXPECT_EQ(Decode("Multipart/Mixed; BOUNDARY=XyZ", "", kMixed, true),
              "Caf\xE9 ok!\r\n\r\n" + stars +
                  "\r\nContent-Type: image/png;\r\n\tname=pic.png-- not shown --\r\n" + stars +
                  "\r\nno headers\r\n");
}

TEST(MimeDecoderTest, PartsOfTheEntity) {
    struct SPartCase {
        const char* type;
        const char* encoding;
        const char* text;
        bool decoded;
        std::string expected;
    } cases[] = {
        {"text/plain", "", "raw text", false, ""},  // plain text is left to the caller
        {"", "7bit", "raw text", false, ""},
        {"text/plain", "base64", "aGk=", true, "hi"},
        {"text/html", "8bit", "<i>x</i>", true, "x"},
        {"application/pdf", "base64", "aGk=", true, ""},
        {"message/rfc822", "quoted-printable", "a=3Db", true, "a=b"},
        {"multipart/mixed", "", "--b\r\n\r\nx\r\n", false, ""},            // no boundary parameter
        {"multipart/mixed; boundary=", "", "--\r\n\r\nx\r\n", false, ""},  // empty boundary
        {"multipart/mixed; boundary", "", "--\r\n\r\nx\r\n", false, ""},   // no '=' at all
        {"multipart/mixed; boundary=b", "", "no boundary line\r\n", false, ""},
        {"multipart/mixed; boundary=b", "", "x --b\r\n\r\nx\r\n", false,
         ""},  // not at a line start
        {"multipart/mixed; boundary=b", "", "--b", true, ""},
        {"multipart/mixed; boundary=b", "", "--b\nContent-Type: text/html\n\n<b>lf</b>\n--b--\n",
         true, "lf\n"},
        {"multipart/mixed; boundary=b", "",
         "--b\r\nContent-Type: text/plain\r\n\r\nnever closed\r\n", true, "never closed\r\n"},
        {"multipart/mixed; boundary=b", "", "--b\r\n\r\npart\r\n--b--\r\n\r\nepilogue\r\n", true,
         "part\r\nepilogue\r\n"},
        {"multipart/mixed; boundary=b", "", "--b\r\nContent-Type:", true,
         ""},  // headers end with the text
    };
    for (const SPartCase& c : cases) {
        bool decoded = !c.decoded;
        EXPECT_EQ(Decode(c.type, c.encoding, c.text, false, &decoded), c.expected)
            << c.type << " / " << c.text;
        EXPECT_EQ(decoded, c.decoded) << c.type << " / " << c.text;
    }
}

TEST(MimeDecoderTest, NestedMultipartsDecodeUpToTheDepthLimit) {
    // Each level is a multipart whose one part is the next level; the innermost is QP.
    auto nest = [](int levels) {
        std::string text =
            "Content-Type: text/plain\r\nContent-Transfer-Encoding: "
            "quoted-printable\r\n\r\nin=3Dner\r\n";
        for (int level = levels; level > 0; --level) {
            const std::string b = std::string("b").append(std::to_string(level));
            text = "Content-Type: multipart/mixed; boundary=" + b + "\r\n\r\n--" + b + "\r\n" +
                   text + "--" + b + "--\r\n";
        }
        return text.substr(text.find("\r\n\r\n") + 4);
    };
    EXPECT_EQ(Decode("multipart/mixed; boundary=b1", "", nest(3)), "in=ner\r\n");
    // Past the limit the innermost levels stay raw, and the text stays within the input.
    const std::string deep = nest(500);
    const std::string text = Decode("multipart/mixed; boundary=b1", "", deep);
    EXPECT_EQ(text.find("in=ner"), std::string::npos);
    EXPECT_NE(text.find("in=3Dner"), std::string::npos);
    EXPECT_LE(text.size(), deep.size());
}

TEST(MimeDecoderTest, HostileInputStaysWithinItsBounds) {
    const std::size_t big = 4 << 20;
    // A base64 part of megabytes decodes to three quarters of its size at most.
    const std::string base64(big, 'Q');
    EXPECT_EQ(Decode("text/plain", "base64", base64).size(), big / 4 * 3);
    // A boundary that never closes: the rest of the text is one part.
    const std::string open = "--b\r\n\r\n" + std::string(big, 'x');
    EXPECT_EQ(Decode("multipart/mixed; boundary=b", "", open).size(), big);
    // Thousands of tiny image parts with placeholders stay within the growth bound.
    std::string tiny;
    for (int i = 0; i < 20000; ++i) tiny += "--b\nContent-Type:i\n\nx\n";
    const std::string shown = Decode("multipart/mixed; boundary=b", "", tiny, true);
    EXPECT_LE(shown.size(), tiny.size() * CMimeDecoder::kMaxGrowth + CMimeDecoder::kSlack);
    EXPECT_GT(shown.size(), tiny.size());
    // A boundary longer than any mail tool writes is refused.
    const std::string longBoundary(CMimeDecoder::kMaxBoundary + 1, 'b');
    EXPECT_EQ(Decode("multipart/mixed; boundary=" + longBoundary, "",
                     "--" + longBoundary + "\r\n\r\nx\r\n"),
              "");
    // Unclosed comments and encoded words are handled in one pass each.
    EXPECT_EQ(CMimeDecoder::StripHtml("a<!--" + std::string(big, '-')), "a");
    const std::string words(big, '=');
    EXPECT_EQ(CMimeDecoder::DecodeEncodedWords("=?" + words), "=?" + words);
}

}  // namespace
