// Decodes the text of a mail message for the filters: RFC 2047 encoded words in a
// subject, MIME multiparts (RFC 2046) with quoted-printable and base64 parts (RFC 2045),
// and the common HTML formatting. One instance collects the body text of one decoding;
// it is not shared between threads. Decoding never fails: malformed input is decoded as
// far as the rules go, and a part that cannot be decoded is left to the caller as raw.
//
// Bounds: multiparts nest at most kMaxDepth deep, a boundary is at most kMaxBoundary
// characters, every step costs time linear in its input, and the collected text never
// grows beyond kMaxGrowth times the input plus kSlack characters.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class CMimeDecoder {
public:
    static constexpr int kMaxDepth = 8;
    static constexpr std::size_t kMaxBoundary = 200;
    static constexpr std::size_t kMaxGrowth = 4;
    static constexpr std::size_t kSlack = 4096;

    // showParts: a non-text part leaves a placeholder naming its type. stripHtml: HTML
    // parts pass through StripHtml. inputSize sets the bound of the collected text.
    CMimeDecoder(bool showParts, bool stripHtml, std::size_t inputSize);

    // A multipart entity (or, when contentType is no multipart, one part): decoded text
    // is appended to GetText(). True when the entity was decoded (a multipart with at
    // least one boundary line); false leaves the raw text to the caller.
    bool DecodeMimeEntity(std::string_view contentType, std::string_view encoding,
                          std::string_view text);
    // One part: true when its text was appended (or, not being text, it was left out
    // with its placeholder); false for plain text without transfer encoding.
    bool DecodeMimePart(std::string_view contentType, std::string_view encoding,
                        std::string_view text);
    const std::string& GetText() const { return m_text; }

    // The text with its encoded words ("=?charset?B|Q?text?=") decoded and the text
    // around them kept; unchanged when it has none or is shorter than 9 characters.
    // The charset is ignored.
    static std::string DecodeEncodedWords(std::string_view text);
    // "=XX" becomes its byte (a byte 0 is dropped), "=" CRLF (or "=" LF) is removed, any
    // other "=" stays.
    static std::string DecodeQuotedPrintable(std::string_view text);
    // DecodeQuotedPrintable, and '_' becomes a space.
    static std::string DecodeQEncoding(std::string_view text);
    // CR, LF and bytes above 127 are skipped, a byte outside the alphabet ("=" too)
    // counts as 0, decoded bytes 0 are dropped; a final short group is padded.
    static std::string DecodeBase64(std::string_view text);
    // Removes "&nbsp;", "<br>" (each becomes a space), comments, <b>, <i>, their end
    // tags, <font ...> (when its '>' follows within 200 characters), </f> and </font>;
    // all other markup stays.
    static std::string StripHtml(std::string_view text);

private:
    bool DecodeEntity(std::string_view contentType, std::string_view encoding,
                      std::string_view text, int depth);
    bool DecodePart(std::string_view contentType, std::string_view encoding, std::string_view text,
                    int depth);
    void Append(std::string_view text);

    std::string m_text;
    std::size_t m_limit;
    bool m_showParts;
    bool m_stripHtml;
};
