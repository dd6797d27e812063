#include "kinbook/foundation/TextHelpers.h"

#include <cstring>

const char* ltrim(const char* text) {
    if (text == nullptr)
        return nullptr;
    while (*text == ' ' || *text == '\t') ++text;
    return text;
}

int _tcsspnn(const char* text, int n, const char* set) {
    if (n < 1 || text == nullptr)
        return 0;
    if (set == nullptr)
        set = "";
    for (int i = 0; i < n; ++i) {
        if (text[i] == '\0' || std::strchr(set, text[i]) != nullptr)
            return i;
    }
    return n;
}

void GetStringFromBuf(std::string& out, const char* src, int srcLength, int outLength) {
    out.clear();
    if (src == nullptr || srcLength <= 0 || outLength <= 0)
        return;
    if (srcLength == outLength) {
        out.assign(src, static_cast<size_t>(outLength));
        return;
    }
    out.reserve(static_cast<size_t>(outLength));
    for (int i = 0; i < srcLength && static_cast<int>(out.size()) < outLength; ++i) {
        if (src[i] == '\\' && ++i == srcLength)
            break;  // a backslash with nothing after it inside the source
        out += src[i];
    }
}

namespace {

unsigned char LowerAscii(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

}  // namespace

int CompareNoCase(const char* a, const char* b) {
    const unsigned char* left = reinterpret_cast<const unsigned char*>(a != nullptr ? a : "");
    const unsigned char* right = reinterpret_cast<const unsigned char*>(b != nullptr ? b : "");
    for (;; ++left, ++right) {
        unsigned char l = LowerAscii(*left);
        unsigned char r = LowerAscii(*right);
        if (l != r)
            return l < r ? -1 : 1;
        if (l == '\0')
            return 0;
    }
}

bool StartsWithNoCase(const char* text, size_t length, const char* prefix) {
    for (size_t i = 0; prefix[i] != '\0'; ++i) {
        if (i >= length || LowerAscii(static_cast<unsigned char>(text[i])) !=
                               LowerAscii(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}
