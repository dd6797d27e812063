#include "kinbook/mailtext/TextMessageGen.h"

#include <cstring>

namespace {

unsigned char FoldAscii(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

}  // namespace

CTextMessageGen::CTextMessageGen(const char* text, unsigned length)
    : m_length(text != nullptr ? length : 0), m_text(text) {}

CTextMessageGen::~CTextMessageGen() = default;

int CTextMessageGen::AtEnd(unsigned pos) const {
    return pos >= m_length ? 1 : 0;
}

int CTextMessageGen::strcspn(unsigned pos, const char* set) const {
    unsigned end = pos;
    while (end < m_length) {
        char c = m_text[end];
        if (c == '\0' || std::strchr(set, c) != nullptr)
            break;
        ++end;
    }
    return pos < m_length ? static_cast<int>(end - pos) : 0;
}

int CTextMessageGen::strnicmp(unsigned pos, const char* s, unsigned n) const {
    for (unsigned i = 0; i < n; ++i) {
        unsigned char a = (pos < m_length && i < m_length - pos)
                              ? static_cast<unsigned char>(m_text[pos + i])
                              : 0;
        unsigned char b = static_cast<unsigned char>(s[i]);
        a = FoldAscii(a);
        b = FoldAscii(b);
        if (a != b)
            return a < b ? -1 : 1;
        if (a == 0)
            return 0;
    }
    return 0;
}

unsigned CTextMessageGen::strncpy(char* dest, unsigned pos, unsigned n) const {
    if (pos >= m_length)
        return 0;
    unsigned count = m_length - pos < n ? m_length - pos : n;
    std::memcpy(dest, m_text + pos, count);
    return count;
}

char CTextMessageGen::operator[](int pos) const {
    if (pos < 0 || static_cast<unsigned>(pos) >= m_length)
        return '\0';
    return m_text[pos];
}
