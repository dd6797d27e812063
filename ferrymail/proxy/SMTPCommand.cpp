#include "proxy/SMTPCommand.h"

#include "kinbook/foundation/TextHelpers.h"

namespace {

struct SCommandName {
    const char* name;
    ESMTPCommand code;
};

const SCommandName kCommands[] = {
    {"CONNECT", ESMTPCommand::kConnect}, {"MAIL", ESMTPCommand::kMail},
    {"RCPT", ESMTPCommand::kRcpt},       {"RSET", ESMTPCommand::kRset},
    {"DATA", ESMTPCommand::kData},       {"QUIT", ESMTPCommand::kQuit},
    {"EHLO", ESMTPCommand::kEhlo},       {"HELO", ESMTPCommand::kHelo},
    {"AUTH", ESMTPCommand::kAuth},       {"NOOP", ESMTPCommand::kNoop},
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

}  // namespace

SSMTPCommand SSMTPCommand::Parse(const std::string& line) {
    SSMTPCommand command;
    command.line = Trim(line);
    const size_t blank = command.line.find_first_of(" \t");
    const std::string word = command.line.substr(0, blank);
    if (blank != std::string::npos)
        command.argument = Trim(command.line.substr(blank));
    for (const SCommandName& known : kCommands)
        if (CompareNoCase(word.c_str(), known.name) == 0)
            command.code = known.code;
    return command;
}

std::string SSMTPCommand::Trim(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

bool SSMTPCommand::StartsNoCase(const std::string& text, const char* prefix) {
    return StartsWithNoCase(text.c_str(), text.size(), prefix);
}

std::string SSMTPCommand::EnvelopePath(const std::string& rest) {
    const std::string text = Trim(rest);
    if (!text.empty() && text[0] == '<') {
        const size_t close = text.find('>');
        return close == std::string::npos ? text : text.substr(0, close + 1);
    }
    return text.substr(0, text.find_first_of(" \t"));
}
