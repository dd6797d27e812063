#include "filter/MimeDecoder.h"

#include <algorithm>

namespace {

constexpr std::size_t npos = std::string_view::npos;
constexpr std::size_t kFontReach = 200;

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StartsWithNoCase(std::string_view text, std::size_t at, std::string_view prefix) {
    if (at > text.size() || text.size() - at < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (Lower(text[at + i]) != Lower(prefix[i]))
            return false;
    }
    return true;
}

// Case-insensitive substring search; the needle is short (a name or a bounded boundary).
std::size_t FindNoCase(std::string_view text, std::string_view needle, std::size_t from = 0) {
    if (needle.empty() || text.size() < needle.size())
        return npos;
    for (std::size_t i = from; i + needle.size() <= text.size(); ++i) {
        if (StartsWithNoCase(text, i, needle))
            return i;
    }
    return npos;
}

bool Contains(std::string_view text, std::string_view needle) {
    return FindNoCase(text, needle) != npos;
}

// The position after the LF that ends the line at `at`, or the end of the text.
std::size_t LineEnd(std::string_view text, std::size_t at) {
    const std::size_t lf = text.find('\n', at);
    return lf == npos ? text.size() : lf + 1;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string DecodeQuoted(std::string_view text, bool underscoreIsSpace) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '_' && underscoreIsSpace) {
            out += ' ';
        } else if (c != '=') {
            out += c;
        } else if (text.substr(i + 1, 2) == "\r\n") {
            i += 2;
        } else if (text.substr(i + 1, 1) == "\n") {
            i += 1;
        } else if (i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
                   HexValue(text[i + 2]) >= 0) {
            const int value = HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]);
            if (value != 0)
                out += static_cast<char>(value);
            i += 2;
        } else {
            out += '=';
        }
    }
    return out;
}

int Base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return 0;
}

void AppendGroup(std::string& out, const int* values) {
    const int bytes[3] = {(values[0] << 2) | (values[1] >> 4),
                          ((values[1] & 0xF) << 4) | (values[2] >> 2),
                          ((values[2] & 0x3) << 6) | values[3]};
    for (int b : bytes) {
        if (b != 0)
            out += static_cast<char>(b);
    }
}

// "--" and the value of the boundary parameter; empty when there is none, it is empty or
// it is longer than kMaxBoundary.
std::string ParseBoundary(std::string_view contentType) {
    const std::size_t name = FindNoCase(contentType, "boundary");
    if (name == npos)
        return {};
    std::size_t at = contentType.find('=', name + 8);
    if (at == npos)
        return {};
    ++at;
    while (at < contentType.size() && (contentType[at] == ' ' || contentType[at] == '\t')) ++at;
    std::size_t end;
    if (at < contentType.size() && contentType[at] == '"') {
        ++at;
        end = std::min(contentType.find('"', at), contentType.size());
    } else {
        end = std::min(contentType.find_first_of(" \t\r\n;", at), contentType.size());
    }
    if (end <= at || end - at > CMimeDecoder::kMaxBoundary)
        return {};
    return "--" + std::string(contentType.substr(at, end - at));
}

// The value of the header `name` in a part's header lines, from `skip` characters after
// the name's start to the end of its line, continued over folded lines (their LFs
// kept), without the blanks and CR around it; empty when it is absent.
std::string_view HeaderValue(std::string_view headers, std::string_view name, std::size_t skip) {
    const std::size_t found = FindNoCase(headers, name);
    if (found == npos || headers.size() - found < skip)
        return {};
    std::size_t start = found + skip;
    std::size_t end = start;
    for (;;) {
        const std::size_t lf = headers.find('\n', end);
        if (lf == npos) {
            end = headers.size();
            break;
        }
        if (lf + 1 < headers.size() && (headers[lf + 1] == ' ' || headers[lf + 1] == '\t')) {
            end = lf + 1;
            continue;
        }
        end = lf;
        break;
    }
    while (start < end && (headers[start] == ' ' || headers[start] == '\t')) ++start;
    while (end > start &&
           (headers[end - 1] == '\r' || headers[end - 1] == ' ' || headers[end - 1] == '\t'))
        --end;
    return headers.substr(start, end - start);
}

// The first boundary at or after `from` that begins the text or follows a LF.
std::size_t FindBoundaryLine(std::string_view text, std::string_view boundary, std::size_t from) {
    for (std::size_t at = FindNoCase(text, boundary, from); at != npos;
         at = FindNoCase(text, boundary, at + 1)) {
        if (at == 0 || text[at - 1] == '\n')
            return at;
    }
    return npos;
}

// A line that ends a part's headers: an empty one, or one that begins with CR.
bool IsBlankLine(std::string_view text, std::size_t at) {
    return text[at] == '\r' || text[at] == '\n';
}

}  // namespace

CMimeDecoder::CMimeDecoder(bool showParts, bool stripHtml, std::size_t inputSize)
    : m_limit(inputSize * kMaxGrowth + kSlack), m_showParts(showParts), m_stripHtml(stripHtml) {}

bool CMimeDecoder::DecodeMimeEntity(std::string_view contentType, std::string_view encoding,
                                    std::string_view text) {
    return DecodeEntity(contentType, encoding, text, 0);
}

bool CMimeDecoder::DecodeMimePart(std::string_view contentType, std::string_view encoding,
                                  std::string_view text) {
    return DecodePart(contentType, encoding, text, 0);
}

void CMimeDecoder::Append(std::string_view text) {
    if (m_text.size() < m_limit)
        m_text.append(text.substr(0, m_limit - m_text.size()));
}

bool CMimeDecoder::DecodeEntity(std::string_view contentType, std::string_view encoding,
                                std::string_view text, int depth) {
    if (!Contains(contentType, "multipart"))
        return DecodePart(contentType, encoding, text, depth);
    if (depth >= kMaxDepth)
        return false;
    const std::string boundary = ParseBoundary(contentType);
    if (boundary.empty())
        return false;
    bool found = false;
    std::size_t at = 0;
    while ((at = FindBoundaryLine(text, boundary, at)) != npos) {
        found = true;
        std::size_t pos = LineEnd(text, at);
        if (pos >= text.size())
            break;
        const std::size_t headerStart = pos;
        while (pos < text.size() && !IsBlankLine(text, pos)) pos = LineEnd(text, pos);
        const std::string_view headers = text.substr(headerStart, pos - headerStart);
        if (pos < text.size())
            pos = LineEnd(text, pos);
        const std::size_t contentStart = pos;
        while (pos < text.size() && !StartsWithNoCase(text, pos, boundary))
            pos = LineEnd(text, pos);
        const std::string_view content = text.substr(contentStart, pos - contentStart);
        at = pos;
        if (content.empty())
            continue;
        const std::string_view type = HeaderValue(headers, "content-type", 13);
        const std::string_view partEncoding = HeaderValue(headers, "content-transfer-encoding", 26);
        if (!DecodePart(type, partEncoding, content, depth + 1))
            Append(content);
    }
    return found;
}

bool CMimeDecoder::DecodePart(std::string_view contentType, std::string_view encoding,
                              std::string_view text, int depth) {
    if (Contains(contentType, "multipart"))
        return DecodeEntity(contentType, encoding, text, depth);
    if (!contentType.empty() && !Contains(contentType, "text") && !Contains(contentType, "plain") &&
        !Contains(contentType, "message")) {
        if (m_showParts) {
            const std::string stars(35, '*');
            Append("\r\n" + stars + "\r\nContent-Type: " + std::string(contentType) +
                   "-- not shown --\r\n" + stars + "\r\n");
        }
        return true;
    }
    const bool html = m_stripHtml && Contains(contentType, "html");
    std::string decoded;
    if (Contains(encoding, "quoted-printable"))
        decoded = DecodeQuotedPrintable(text);
    else if (Contains(encoding, "base64"))
        decoded = DecodeBase64(text);
    else if (html)
        decoded = std::string(text);
    else
        return false;
    Append(html ? StripHtml(decoded) : decoded);
    return true;
}

std::string CMimeDecoder::DecodeEncodedWords(std::string_view text) {
    if (text.size() < 9)
        return std::string(text);
    std::string out;
    std::size_t literal = 0;  // start of the text not yet copied
    bool decodedAny = false;
    std::size_t scan = 0;
    for (;;) {
        const std::size_t open = text.find("=?", scan);
        if (open == npos)
            break;
        // When one of the delimiters is missing after this "=?", it is missing after
        // every later one too, so the scan ends rather than starting over.
        const std::size_t charsetEnd = text.find('?', open + 2);
        const std::size_t letterEnd = charsetEnd == npos ? npos : text.find('?', charsetEnd + 1);
        const std::size_t close = letterEnd == npos ? npos : text.find("?=", letterEnd + 1);
        if (close == npos)
            break;
        out.append(text.substr(literal, open - literal));
        const std::string_view encoded = text.substr(letterEnd + 1, close - letterEnd - 1);
        const char letter = text[charsetEnd + 1];
        out += (letter == 'B' || letter == 'b') ? DecodeBase64(encoded) : DecodeQEncoding(encoded);
        decodedAny = true;
        literal = scan = close + 2;
    }
    if (!decodedAny)
        return std::string(text);
    out.append(text.substr(literal));
    return out;
}

std::string CMimeDecoder::DecodeQuotedPrintable(std::string_view text) {
    return DecodeQuoted(text, false);
}

std::string CMimeDecoder::DecodeQEncoding(std::string_view text) {
    return DecodeQuoted(text, true);
}

std::string CMimeDecoder::DecodeBase64(std::string_view text) {
    std::string out;
    out.reserve(text.size() / 4 * 3 + 3);
    int values[4];
    int count = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\r' || byte == '\n' || byte > 127)
            continue;
        values[count++] = Base64Value(byte);
        if (count == 4) {
            AppendGroup(out, values);
            count = 0;
        }
    }
    if (count > 0) {
        std::fill(values + count, values + 4, 0);
        AppendGroup(out, values);
    }
    return out;
}

std::string CMimeDecoder::StripHtml(std::string_view text) {
    static constexpr std::string_view kRemoved[] = {"<b>",  "<i>",  "</b>",
                                                    "</i>", "</f>", "</font>"};
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        if (StartsWithNoCase(text, i, "&nbsp;") || StartsWithNoCase(text, i, "<br>")) {
            out += ' ';
            i += text[i] == '&' ? 6 : 4;
            continue;
        }
        if (text[i] == '<') {
            if (text.substr(i, 4) == "<!--") {
                const std::size_t end = text.find("-->", i + 4);
                i = end == npos ? text.size() : end + 3;
                continue;
            }
            const auto removed =
                std::find_if(std::begin(kRemoved), std::end(kRemoved),
                             [&](std::string_view tag) { return StartsWithNoCase(text, i, tag); });
            if (removed != std::end(kRemoved)) {
                i += removed->size();
                continue;
            }
            if (StartsWithNoCase(text, i, "<font")) {
                const std::size_t close = text.substr(i, kFontReach).find('>');
                if (close != npos) {
                    i += close + 1;
                    continue;
                }
            }
        }
        out += text[i++];
    }
    return out;
}
