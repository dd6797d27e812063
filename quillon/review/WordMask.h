// Masks offensive words in the texts the review shows: every match of the subject
// entries of a word list ("badwords") is overwritten with one '*' per character. The
// list is a private, read-only copy made from its files (the user's list, else the
// shipped defaults) and read again when the list file changes; nothing is written, so
// the filter's own list, its hit counts and its compiled matcher are left alone. Used
// under the review's lock.
#pragma once

#include <memory>
#include <string>

#include "kinbook/foundation/FileOps.h"

class CWordList;

class CWordMask {
public:
    explicit CWordMask(std::string listName = "badwords");
    ~CWordMask();
    CWordMask(const CWordMask&) = delete;
    CWordMask& operator=(const CWordMask&) = delete;

    // `text` with a match at its start, every match found scanning it from left to
    // right, and a match at its end each overwritten in place.
    std::string Mask(const std::string& text);

private:
    void LoadWhenChanged();

    std::string m_listName;
    std::unique_ptr<CWordList> m_list;
    SFileStamp m_listStamp;
    SFileStamp m_defaultsStamp;
};
