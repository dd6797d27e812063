#include "proxy/POP3Command.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "kinbook/foundation/TextHelpers.h"

namespace {

struct SCommandInfo {
    const char* word;
    EPOP3Command code;
    bool takesNumber;
    bool simple;
};

const SCommandInfo kCommands[] = {
    {"APOP", EPOP3Command::kApop, false, true},
    {"CONNECT", EPOP3Command::kConnect, false, true},
    {"DELE", EPOP3Command::kDele, true, true},
    {"LIST", EPOP3Command::kList, true, false},
    {"NOOP", EPOP3Command::kNoop, false, true},
    {"NULL", EPOP3Command::kNull, false, true},
    {"PASS", EPOP3Command::kPass, false, true},
    {"QUIT", EPOP3Command::kQuit, false, true},
    {"RETR", EPOP3Command::kRetr, true, false},
    {"RSET", EPOP3Command::kRset, false, true},
    {"STAT", EPOP3Command::kStat, false, false},
    {"TOP", EPOP3Command::kTop, true, false},
    {"UIDL", EPOP3Command::kUidl, true, false},
    {"USER", EPOP3Command::kUser, false, true},
    {"XSENDER", EPOP3Command::kXsender, false, false},
    {"CAPA", EPOP3Command::kCapa, false, false},
    {"AUTH", EPOP3Command::kAuth, false, true},
};

const SCommandInfo& InfoOf(EPOP3Command code) {
    for (const SCommandInfo& info : kCommands)
        if (info.code == code)
            return info;
    return kCommands[5];  // NULL
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Multi-line replies: RETR, TOP, CAPA, and LIST and UIDL without an argument.
bool HasMultiLineReply(EPOP3Command code, bool withArgument) {
    return code == EPOP3Command::kRetr || code == EPOP3Command::kTop ||
           code == EPOP3Command::kCapa ||
           ((code == EPOP3Command::kList || code == EPOP3Command::kUidl) && !withArgument);
}

}  // namespace

const char* SPOP3Command::Word(EPOP3Command code) {
    const SCommandInfo& info = InfoOf(code);
    return info.code == code ? info.word : "";
}

EPOP3Command SPOP3Command::Code(const std::string& word) {
    for (const SCommandInfo& info : kCommands)
        if (CompareNoCase(info.word, word.c_str()) == 0)
            return info.code;
    return EPOP3Command::kNull;
}

bool SPOP3Command::TakesNumber(EPOP3Command code) {
    return InfoOf(code).takesNumber;
}

bool SPOP3Command::IsSimple(EPOP3Command code) {
    return InfoOf(code).simple;
}

std::string SPOP3Command::Trim(const std::string& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

bool SPOP3Command::StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

SPOP3Command SPOP3Command::Parse(const std::string& line) {
    const std::string trimmed = Trim(line);
    const size_t blank = trimmed.find_first_of(" \t");
    const std::string word = blank == std::string::npos ? trimmed : trimmed.substr(0, blank);
    SPOP3Command command;
    command.code = Code(word);
    if (blank != std::string::npos)
        command.argument = Trim(trimmed.substr(blank));
    command.simple = IsSimple(command.code);
    command.multiLine = HasMultiLineReply(command.code, !command.argument.empty());
    command.insertNotes = command.Retrieves();
    command.text = command.argument.empty() ? word : word + " " + command.argument;
    if (!TakesNumber(command.code) || command.argument.empty())
        return command;
    // "%d" and the rest: a number too large for an int is no number at all.
    const char* start = command.argument.c_str();
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(start, &end, 10);
    if (end == start || errno == ERANGE || value < INT_MIN || value > INT_MAX)
        return command;
    command.hasNumber = true;
    command.number = static_cast<int>(value);
    command.rest = Trim(end);
    return command;
}

SPOP3Command SPOP3Command::Make(EPOP3Command code, int number, int second) {
    SPOP3Command command;
    command.code = code;
    command.simple = IsSimple(code);
    command.multiLine = HasMultiLineReply(code, number >= 0);
    command.serverNumber.value = number;
    command.text = Word(code);
    if (number >= 0) {
        command.text.append(1, ' ').append(std::to_string(number));
        if (second >= 0)
            command.text.append(1, ' ').append(std::to_string(second));
    }
    return command;
}

size_t SPOP3Command::BodyLength(const char* data, size_t size) {
    if (size >= 3 && std::memcmp(data, ".\r\n", 3) == 0)
        return 0;
    const void* end = memmem(data, size, "\r\n.\r\n", 5);
    return end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - data) + 2 : size;
}

bool SPOP3Command::RelaysAhead(bool filtering) const {
    if (Is(EPOP3Command::kQuit))
        return false;
    return !filtering || Retrieves() || Is(EPOP3Command::kDele) || Is(EPOP3Command::kNoop);
}

bool SPOP3Command::MayGoAhead(bool filtering, bool deliverLocal) const {
    switch (code) {
        case EPOP3Command::kRetr:
        case EPOP3Command::kTop:
            return !filtering || (!deliverLocal && clientNumber.IsSet());
        case EPOP3Command::kDele:
            return !filtering || clientNumber.IsSet();
        case EPOP3Command::kNoop:
            return true;
        case EPOP3Command::kStat:
        case EPOP3Command::kList:
        case EPOP3Command::kUidl:
        case EPOP3Command::kRset:
            return !filtering;
        default:
            return false;
    }
}
