#include "kinbook/friends/EmailEntity.h"

#include <cerrno>
#include <cstdlib>

#include "kinbook/foundation/StringTable.h"

CEmailEntity::~CEmailEntity() = default;

std::string CEmailEntity::GetCountString() const {
    return std::to_string(GetCount());
}

void CEmailEntity::SetNote(const std::string& note) {
    m_note = note;
    m_noteExplicit = true;
}

void CEmailEntity::BumpHitCount() {
    ++m_hitCount;
    m_date = std::time(nullptr);
}

std::string CEmailEntity::GetNote(int oneLine) const {
    if (!oneLine)
        return m_note;
    std::string note = m_note;
    for (char& c : note)
        if (c == '\r' || c == '\n')
            c = ' ';
    return note;
}

std::string CEmailEntity::GetDateString() const {
    time_t date = GetDate();
    if (date == 0)
        return {};
    std::string format;
    LoadLocalString(nullptr, 36, format);
    struct tm local;
    if (localtime_r(&date, &local) == nullptr)
        return {};
    char text[64];
    size_t length = std::strftime(text, sizeof text, format.c_str(), &local);
    return std::string(text, length);
}

void CEmailEntity::AddToTree(void* control, void* item, EntityUpdateCallback update) {
    m_treeControl = control;
    m_treeItem = item;
    m_treeUpdate = update;
}

void CEmailEntity::NotifyTree() {
    if (m_treeUpdate != nullptr && m_treeItem != nullptr)
        m_treeUpdate(m_treeControl, m_treeItem);
}

BOOL CEmailEntity::ParseQuotedString(const char*& p, int& remaining, std::string& out) {
    if (remaining < 2 || *p != '"')
        return FALSE;
    out.clear();
    ++p;
    --remaining;
    while (remaining > 0) {
        char c = *p;
        if (c == '"') {
            ++p;
            --remaining;
            if (remaining > 0 && *p == ',') {
                ++p;
                --remaining;
            }
            return TRUE;
        }
        if (c == '\\') {
            if (remaining < 2)
                return FALSE;
            char next = p[1];
            out += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
            p += 2;
            remaining -= 2;
            continue;
        }
        out += c;
        ++p;
        --remaining;
    }
    return FALSE;
}

BOOL CEmailEntity::ParseQuotedInt(const char*& p, int& remaining, int& out) {
    if (remaining < 3 || *p != '"')
        return FALSE;
    // The digits are copied out: the line is not terminated where the field ends.
    int i = 1;
    while (i < remaining && (p[i] == ' ' || p[i] == '\t')) ++i;
    int start = i;
    if (i < remaining && (p[i] == '-' || p[i] == '+'))
        ++i;
    int digitsStart = i;
    while (i < remaining && p[i] >= '0' && p[i] <= '9' && i - digitsStart < 11) ++i;
    if (i == digitsStart || i >= remaining || p[i] != '"')
        return FALSE;
    std::string digits(p + start, static_cast<size_t>(i - start));
    errno = 0;
    long value = std::strtol(digits.c_str(), nullptr, 10);
    if (errno != 0 || value < INT32_MIN || value > INT32_MAX)
        return FALSE;
    out = static_cast<int>(value);
    ++i;
    if (i < remaining && p[i] == ',')
        ++i;
    p += i;
    remaining -= i;
    return TRUE;
}
