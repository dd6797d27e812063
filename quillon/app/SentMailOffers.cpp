#include "app/SentMailOffers.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "kinbook/foundation/Paths.h"

namespace {

constexpr int kMaxCount = 1000000000;

bool SameAddress(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Bytes below 0x20, DEL, '%' and (in an address, where they cannot stand) blanks are
// written as %XX, so that a field never holds a tab or a line end.
std::string Escape(const std::string& text, bool blanks) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f || c == '%' || (blanks && c == ' ')) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xf];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool Unescape(const std::string& text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return false;
        const int high = HexDigit(text[i + 1]);
        const int low = HexDigit(text[i + 2]);
        if (high < 0 || low < 0)
            return false;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

}  // namespace

CSentMailOffers::CSentMailOffers(const std::string& folder) : m_path(folder + "/" + kFileName) {}

std::string CSentMailOffers::ShownSubject(const std::string& subject) {
    if (subject.size() <= kShownSubject)
        return subject;
    size_t cut = kCutSubject;
    // Back to the first byte of a UTF-8 sequence that the cut would split.
    while (cut > 0 && (static_cast<unsigned char>(subject[cut]) & 0xC0) == 0x80) --cut;
    return subject.substr(0, cut) + "...";
}

std::string CSentMailOffers::FormatLine(const SSentMailOffer& offer) {
    return Escape(offer.address, true) + "\t" + std::to_string(offer.count) + "\t" +
           Escape(offer.subject, false);
}

bool CSentMailOffers::ParseLine(const std::string& line, SSentMailOffer& offer) {
    const size_t first = line.find('\t');
    const size_t second = first == std::string::npos ? first : line.find('\t', first + 1);
    if (second == std::string::npos || line.find('\t', second + 1) != std::string::npos)
        return false;
    const std::string count = line.substr(first + 1, second - first - 1);
    if (count.empty() || count.size() > 9 ||
        count.find_first_not_of("0123456789") != std::string::npos)
        return false;
    SSentMailOffer parsed;
    parsed.count = std::stoi(count);
    if (parsed.count < 1 || !Unescape(line.substr(0, first), parsed.address) ||
        parsed.address.empty() || !Unescape(line.substr(second + 1), parsed.subject))
        return false;
    offer = parsed;
    return true;
}

bool CSentMailOffers::Load(SContents& contents, std::string& error) {
    contents = SContents();
    std::error_code missing;
    if (!std::filesystem::exists(m_path, missing) && !missing)
        return true;
    std::string text;
    if (!ReadWholeFile(m_path, text)) {
        error = "cannot read " + m_path + ": " + std::strerror(errno);
        return false;
    }
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        SSentMailOffer offer;
        if (line.empty())
            continue;
        if (ParseLine(line, offer))
            contents.offers.push_back(offer);
        else
            contents.unreadable.push_back(line);
    }
    return true;
}

bool CSentMailOffers::Save(const SContents& contents, std::string& error) {
    std::string text;
    for (const SSentMailOffer& offer : contents.offers) text += FormatLine(offer) + "\n";
    for (const std::string& line : contents.unreadable) text += line + "\n";
    if (const int failure = WriteFileAtomically(m_path, text)) {
        error = "cannot write " + m_path + ": " + std::strerror(failure);
        return false;
    }
    return true;
}

bool CSentMailOffers::Add(const std::vector<SSentMailOffer>& offers, std::string& error) {
    CLock lock(&m_lock);
    SContents contents;
    if (!Load(contents, error))
        return false;
    for (const SSentMailOffer& offer : offers) {
        auto known = std::find_if(
            contents.offers.begin(), contents.offers.end(),
            [&offer](const SSentMailOffer& o) { return SameAddress(o.address, offer.address); });
        if (known == contents.offers.end()) {
            contents.offers.push_back(offer);
        } else {
            known->count = std::min(kMaxCount, known->count + offer.count);
            known->subject = offer.subject;
        }
    }
    return Save(contents, error);
}

bool CSentMailOffers::List(std::vector<SSentMailOffer>& offers, std::string& error) {
    CLock lock(&m_lock);
    SContents contents;
    if (!Load(contents, error))
        return false;
    offers = contents.offers;
    return true;
}

bool CSentMailOffers::Remove(const std::vector<std::string>& addresses,
                             std::vector<std::string>& unknown, std::string& error) {
    CLock lock(&m_lock);
    unknown.clear();
    SContents contents;
    if (!Load(contents, error))
        return false;
    for (const std::string& address : addresses) {
        const auto end = std::remove_if(
            contents.offers.begin(), contents.offers.end(),
            [&address](const SSentMailOffer& o) { return SameAddress(o.address, address); });
        if (end == contents.offers.end())
            unknown.push_back(address);
        contents.offers.erase(end, contents.offers.end());
    }
    return Save(contents, error);
}
