// The delete log "deletelog.txt" in the data folder: one tab-aligned line per deleted
// message, after a header that the first write into an empty file puts in. Written by
// the review under its lock; the file is opened for appending for each write.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "review/HeldRow.h"

// How a deletion was started; its text goes into the log's "Action" column.
enum DELETE_SOURCE : int {
    DS_NONE = 0,  // a command: the log has no "Action" column
    DS_KEY_D = 1,
    DS_KEY_DELETE = 2,
    DS_KEY_SHIFT_D = 3,
    DS_KEY_X = 4,
    DS_BAR_DELETE = 5,
    DS_BAR_ALL = 6,
    DS_PREVIEW = 7,
    DS_MENU = 8,
};

class CDeleteLog {
public:
    static constexpr const char kFileName[] = "deletelog.txt";

    // `path` empty: "deletelog.txt" in the user data folder.
    explicit CDeleteLog(std::string path = {});

    // Appends one line per row, with the header first when the file is empty or new.
    // False when the file cannot be opened or written (the caller goes on deleting).
    bool Write(const std::vector<SHeldRow>& rows, DELETE_SOURCE source, time_t now);

    // The text of a source in the "Action" column; empty for DS_NONE or an unknown code.
    static const char* SourceText(DELETE_SOURCE source);
    // The header of an empty log, with or without the "Action" column.
    static std::string Header(bool withAction);
    // One line: the fields each followed by tabs up to the next column's tab stop.
    static std::string Line(const SHeldRow& row, DELETE_SOURCE source, time_t now);

    const std::string& GetPath() const { return m_path; }

private:
    std::string m_path;
};
