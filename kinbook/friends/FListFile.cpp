#include "friends/FListFile.h"

#include <cstdio>

void CFListFile::WriteQuoted(std::string_view text) {
    if (m_fieldWritten)
        m_contents += ',';
    m_fieldWritten = true;
    m_contents += '"';
    for (char c : text) {
        switch (c) {
            case '"':
                m_contents += "\\\"";
                break;
            case '\\':
                m_contents += "\\\\";
                break;
            case '\r':
                m_contents += "\\r";
                break;
            case '\n':
                m_contents += "\\n";
                break;
            default:
                m_contents += c;
        }
    }
    m_contents += '"';
}

void CFListFile::WriteQuotedInt(int value) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%d", value);
    WriteQuoted(digits);
}

void CFListFile::EndRecord() {
    m_contents += "\r\n";
    m_fieldWritten = false;
}
