// The writer of the friends and companies files: builds the whole file in memory, which
// is then written in one go (see CFriendsFiles). Used by one save at a time.
#pragma once

#include <string>
#include <string_view>

// Appends the quoted fields of the friends and companies files to a buffer: text with
// `"`, `\`, CR and LF escaped by a backslash, numbers as "%d"; a comma between fields,
// CR LF after each record.
class CFListFile {
public:
    void WriteQuoted(std::string_view text);
    void WriteQuotedInt(int value);
    void EndRecord();
    std::string& Contents() { return m_contents; }

private:
    std::string m_contents;
    bool m_fieldWritten = false;
};
