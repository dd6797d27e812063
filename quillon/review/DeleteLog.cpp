#include "review/DeleteLog.h"

#include "kinbook/foundation/AppendFile.h"
#include "kinbook/foundation/FileOps.h"
#include "kinbook/foundation/CalendarTime.h"
#include "kinbook/foundation/Paths.h"
#include "review/HeldColumns.h"

namespace {

constexpr const char kColumnsWithAction[] =
    "Date Deleted\t\tAction\tType\tName\t\t\tEmail\t\t\t\tSubject\t\t\t\t\t\t\t\tReceived\t\tSize\t"
    "Analysis\n";
constexpr const char kUnderlineWithAction[] =
    "============\t\t======\t====\t====\t\t\t=====\t\t\t\t=======\t\t\t\t\t\t\t\t========\t\t====\t"
    "========\n";
constexpr const char kColumns[] =
    "Date Deleted\t\tType\tName\t\t\tEmail\t\t\t\tSubject\t\t\t\t\t\t\t\tReceived\t\tSize\t"
    "Analysis\n";
constexpr const char kUnderline[] =
    "============\t\t====\t====\t\t\t=====\t\t\t\t=======\t\t\t\t\t\t\t\t========\t\t====\t"
    "========\n";

constexpr int kTabWidth = 8;

const char* const kSourceTexts[] = {"",        "d",       "<del>", "D",   "x",
                                    "bar del", "bar all", "p bar", "menu"};

// The column where each field of a column line starts, with tabs every kTabWidth.
std::vector<size_t> TabStops(const char* columns) {
    std::vector<size_t> stops{0};
    size_t column = 0;
    bool inTabs = false;
    for (const char* c = columns; *c != '\0' && *c != '\n'; ++c) {
        if (*c == '\t') {
            column = (column / kTabWidth + 1) * kTabWidth;
            inTabs = true;
            continue;
        }
        if (inTabs)
            stops.push_back(column);
        inTabs = false;
        ++column;
    }
    return stops;
}

std::string Stamp(time_t when) {
    tm local = {};
    char text[32] = "";
    if (when != 0 && ToLocalTime(when, local))
        std::strftime(text, sizeof text, "%m/%d/%y %H:%M:%S", &local);
    return text;
}

}  // namespace

CDeleteLog::CDeleteLog(std::string path) : m_path(std::move(path)) {
    if (m_path.empty())
        m_path = GetUserDataPath() + "/" + kFileName;
}

const char* CDeleteLog::SourceText(DELETE_SOURCE source) {
    if (source < DS_NONE || source > DS_MENU)
        return "";
    return kSourceTexts[source];
}

std::string CDeleteLog::Header(bool withAction) {
    if (!withAction)
        return std::string(kColumns) + kUnderline;
    std::string header = "Action Column Key:\n" + std::string(65, '=') + "\n";
    header += "d\tdelete selected messages keyboard shortcut - d\n";
    header += "<del>\tdelete selected messages keyboard shortcut - <delete> key\n";
    header += "D\tdelete all spam messages keyboard shortcut - D\n";
    header += "x\tdelete all messages keyboard shortcut - x\n";
    header += "bar del\tdelete selected messages from Delete Toolbar\n";
    header += "bar all\tdelete all messages from Delete All Toolbar\n";
    header += "menu\tdelete selected messages from mouse popup menu\n\n";
    return header + kColumnsWithAction + kUnderlineWithAction;
}

std::string CDeleteLog::Line(const SHeldRow& row, DELETE_SOURCE source, time_t now) {
    const bool withAction = source != DS_NONE;
    static const std::vector<size_t> kStopsWithAction = TabStops(kColumnsWithAction);
    static const std::vector<size_t> kStops = TabStops(kColumns);
    const std::vector<size_t>& stops = withAction ? kStopsWithAction : kStops;

    std::vector<std::string> fields{Stamp(now)};
    if (withAction)
        fields.push_back(SourceText(source));
    // A name or subject with a line break or tab of its own would break the line apart.
    for (const std::string* text : {&row.name, &row.email, &row.subject})
        fields.push_back(HeldOneLine(*text));
    fields.push_back(Stamp(static_cast<time_t>(row.received)));
    fields.push_back(std::to_string(row.size));
    fields.insert(fields.begin() + (withAction ? 2 : 1), HeldTypeText(row.tag));

    std::string line;
    size_t column = 0;
    for (size_t i = 0; i < fields.size(); ++i) {
        line += fields[i];
        column += fields[i].size();
        const size_t stop = i + 1 < stops.size() ? stops[i + 1] : 0;
        do {
            line += '\t';
            column = (column / kTabWidth + 1) * kTabWidth;
        } while (column < stop);
    }
    return line + HeldOneLine(row.analysis) + "\n";
}

bool CDeleteLog::Write(const std::vector<SHeldRow>& rows, DELETE_SOURCE source, time_t now) {
    int error = 0;
    const int file = OpenFileForAppend(m_path.c_str(), error);
    if (file < 0)
        return false;
    std::string text;
    // Opened for appending and held exclusively: the size tells whether it is empty.
    if (GetFileStamp(m_path).size == 0)
        text = Header(source != DS_NONE);
    for (const SHeldRow& row : rows) text += Line(row, source, now);
    const BOOL written = WriteFileData(file, text.data(), text.size());
    CloseFileHandle(file);
    return written != 0;
}
