#include "app/FilterCommands.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/ControlChannel.h"
#include "ferrymail/store/Message.h"
#include "filter/FilterChain.h"
#include "filter/FilterProfile.h"
#include "filter/FilterStatistics.h"
#include "kinbook/foundation/Paths.h"

namespace fs = std::filesystem;

namespace {

constexpr int kDefaultTopLines = 40;

FILTER_COMMAND CommandOf(const std::string& argument) {
    if (argument == "--examine")
        return FCMD_EXAMINE;
    if (argument == "--stats")
        return FCMD_STATS;
    if (argument == "--clear-stats")
        return FCMD_CLEAR_STATS;
    return FCMD_NONE;
}

// The regular files of `folder`, by name.
void AddFolderFiles(const fs::path& folder, std::vector<std::string>& files) {
    std::vector<std::string> found;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        if (it->is_regular_file(error))
            found.push_back(it->path().string());
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
}

// The message as a POP3 server sends it: CRLF line ends, no mbox "From " line.
std::string AsServed(const std::string& raw) {
    std::string text;
    text.reserve(raw.size() + raw.size() / 32);
    size_t start = raw.compare(0, 5, "From ") == 0 ? raw.find('\n') : std::string::npos;
    start = start == std::string::npos ? 0 : start + 1;
    for (size_t i = start; i < raw.size(); ++i) {
        if (raw[i] == '\n' && (text.empty() || text.back() != '\r'))
            text += '\r';
        text += raw[i];
    }
    return text;
}

// What the proxy hands the filter: of the body only the first `topLines` lines.
std::string AsDownloaded(std::string text, int topLines) {
    size_t at = text.find("\r\n\r\n");
    if (at == std::string::npos)
        return text;
    at += 4;
    for (int line = 0; line < topLines; ++line) {
        const size_t end = text.find("\r\n", at);
        if (end == std::string::npos)
            return text;
        at = end + 2;
    }
    text.resize(at);
    return text;
}

bool ReadMessageFile(const std::string& path, std::string& contents, std::string& error) {
    std::error_code code;
    const uintmax_t size = fs::file_size(path, code);
    if (code) {
        error = code.message();
        return false;
    }
    if (size > kMaxExamineFileSize) {
        error = "larger than " + std::to_string(kMaxExamineFileSize / (1024 * 1024)) + " MB";
        return false;
    }
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (in)
        text << in.rdbuf();
    if (!in || in.bad()) {
        error = errno != 0 ? std::strerror(errno) : "read error";
        return false;
    }
    contents = text.str();
    return true;
}

const char* LocationWord(MSSTATUS location) {
    return location == MS_INBOX ? "inbox" : location == MS_DELETED ? "delete" : "hold";
}

void CountTag(char tag, SExamineTotals& totals) {
    switch (tag) {
        case 'X':
            ++totals.bad;
            break;
        case 'N':
            ++totals.nice;
            break;
        case 'Q':
            ++totals.other;
            break;
        default:
            ++totals.friendly;
            break;
    }
}

void ExamineFile(CFilterChain& chain, const std::string& path, int topLines, SExamineTotals& totals,
                 std::string& output, std::string& errors) {
    std::string raw;
    std::string error;
    if (!ReadMessageFile(path, raw, error)) {
        errors += "quillon: cannot read " + path + ": " + error + "\n";
        ++totals.unreadable;
        return;
    }
    const std::string served = AsServed(raw);
    CMessage message;
    message.SetHeader(AsDownloaded(served, topLines), topLines);
    message.SetSize(static_cast<int>(served.size()));
    const MSSTATUS location = chain.Examine(&message);
    const char tag = static_cast<char>(reinterpret_cast<intptr_t>(message.GetTag()));
    ++totals.messages;
    ++(location == MS_INBOX ? totals.inbox : totals.hold);
    CountTag(tag, totals);
    output += path + "\t" + LocationWord(location) + "\t" + (tag != 0 ? tag : '-') + "\t" +
              chain.GetLastNote() + "\n";
}

}  // namespace

bool IsFilterCommandLine(const std::vector<std::string>& arguments) {
    return !arguments.empty() &&
           std::any_of(arguments.begin(), arguments.end(), [](const std::string& argument) {
               return CommandOf(argument.substr(0, argument.find('='))) != FCMD_NONE;
           });
}

bool ParseFilterCommand(const std::vector<std::string>& arguments, SFilterCommand& command,
                        std::string& error) {
    SFilterCommand parsed;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string name = arguments[i].substr(0, arguments[i].find('='));
        const FILTER_COMMAND which = CommandOf(name);
        if (which == FCMD_NONE) {
            error = !name.empty() && name[0] == '-' ? "unknown option '" + name + "'"
                                                    : "unexpected argument '" + name + "'";
            return false;
        }
        if (parsed.command != FCMD_NONE) {
            error = "only one filter command at a time";
            return false;
        }
        if (name.size() < arguments[i].size()) {
            error = "option '" + name + "' takes no value";
            return false;
        }
        parsed.command = which;
        if (which == FCMD_EXAMINE) {
            // Every argument after --examine is a path, even one that begins with '-'.
            parsed.paths.assign(arguments.begin() + static_cast<long>(i) + 1, arguments.end());
            if (parsed.paths.empty()) {
                error = "--examine needs at least one message file or folder";
                return false;
            }
            break;
        }
    }
    if (parsed.command == FCMD_NONE) {
        error = "no filter command";
        return false;
    }
    command = parsed;
    return true;
}

bool ListMessageFiles(const std::string& path, std::vector<std::string>& files,
                      std::string& error) {
    std::error_code code;
    const fs::file_status status = fs::status(path, code);
    if (code || !fs::exists(status)) {
        error = code ? code.message() : "no such file or folder";
        return false;
    }
    if (!fs::is_directory(status)) {
        files.push_back(path);
        return true;
    }
    const fs::path folder(path);
    if (fs::is_directory(folder / "cur", code) || fs::is_directory(folder / "new", code)) {
        AddFolderFiles(folder / "cur", files);
        AddFolderFiles(folder / "new", files);
    } else {
        AddFolderFiles(folder, files);
    }
    return true;
}

SExamineTotals ExamineFiles(CFilterChain& chain, const std::vector<std::string>& paths,
                            std::string& output, std::string& errors) {
    SExamineTotals totals;
    int topLines = ReadProfileInt("Settings\\POP3Proxy", "TopLines", kDefaultTopLines);
    if (topLines < 0)
        topLines = kDefaultTopLines;
    for (const std::string& path : paths) {
        std::vector<std::string> files;
        std::string error;
        if (!ListMessageFiles(path, files, error)) {
            errors += "quillon: cannot read " + path + ": " + error + "\n";
            ++totals.unreadable;
            continue;
        }
        for (const std::string& file : files)
            ExamineFile(chain, file, topLines, totals, output, errors);
    }
    output += TotalsLine(totals) + "\n";
    return totals;
}

std::string TotalsLine(const SExamineTotals& totals) {
    return std::to_string(totals.messages) + " messages: " + std::to_string(totals.inbox) +
           " inbox, " + std::to_string(totals.hold) + " hold (" + std::to_string(totals.friendly) +
           " friendly, " + std::to_string(totals.bad) + " bad, " + std::to_string(totals.nice) +
           " nice, " + std::to_string(totals.other) + " other)";
}

std::string StatisticsReport(CFilterChain& chain) {
    const std::string date = GetFilterStatsDate();
    return SummaryText(chain, date) + "\n" + FilterStatisticsText(chain, date);
}

bool ClearStatistics(CFilterChain& chain, std::string& error) {
    if (chain.ClearCounters())
        return true;
    error = chain.IsDryRun() ? "the statistics of a dry run cannot be cleared"
                             : "cannot write the statistics to the registry";
    return false;
}

namespace {

constexpr const char kStatsRequest[] = "stats";
constexpr const char kClearStatsRequest[] = "clear-stats";

void AddLines(const std::string& text, std::vector<std::string>& lines) {
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
}

std::string JoinLines(const std::vector<std::string>& lines, const char* prefix) {
    std::string text;
    for (const std::string& line : lines)
        text += prefix + line + "\n";
    return text;
}

// Runs a statistics request on `chain`: a running instance's own, or one made for the
// purpose while no instance runs.
int RunStatisticsRequest(CFilterChain& chain, bool clear, SControlReply& reply) {
    if (!clear) {
        AddLines(StatisticsReport(chain), reply.output);
        return reply.status = 0;
    }
    std::string error;
    if (!ClearStatistics(chain, error)) {
        reply.errors.push_back(error);
        return reply.status = 1;
    }
    reply.output.push_back("statistics cleared");
    return reply.status = 0;
}

}  // namespace

void RegisterFilterCommands(CControlChannel& channel, CFilterChain& chain) {
    for (const bool clear : {false, true})
        channel.Register(clear ? kClearStatsRequest : kStatsRequest,
                         [&chain, clear](const std::vector<std::string>& arguments,
                                         SControlReply& reply) {
                             if (!arguments.empty()) {
                                 reply.errors.push_back("the statistics take no arguments");
                                 return reply.status = CControlChannel::kBadRequestStatus;
                             }
                             return RunStatisticsRequest(chain, clear, reply);
                         });
}

int RunFilterCommand(const SFilterCommand& command, std::string& output, std::string& errors) {
    output.clear();
    errors.clear();
    const std::string folder = GetUserDataPath();
    if (folder.empty()) {
        errors = "quillon: the data folder cannot be made (set QUILLON_HOME or XDG_DATA_HOME)\n";
        return 1;
    }
    if (command.command == FCMD_EXAMINE) {
        CFilterChain chain(true);
        chain.LoadFilters();
        const SExamineTotals totals = ExamineFiles(chain, command.paths, output, errors);
        return totals.unreadable > 0 ? 1 : 0;
    }
    // The statistics live in the running instance's chain when there is one: it answers,
    // and a clear made here could not stop it from writing its counts back.
    const bool clear = command.command == FCMD_CLEAR_STATS;
    SControlReply reply;
    const int status = CControlChannel::Route(
        folder, {clear ? kClearStatsRequest : kStatsRequest},
        [clear](SControlReply& local) {
            CFilterChain chain(!clear);
            chain.LoadFilters();
            return RunStatisticsRequest(chain, clear, local);
        },
        reply);
    output = JoinLines(reply.output, "");
    errors = JoinLines(reply.errors, "quillon: ");
    return status == 0 ? 0 : 1;
}

const char* FilterUsageText() {
    return "\n"
           "Filter (a dry run beside a running quillon: nothing is counted or changed):\n"
           "  --examine PATH...    classify message files as the filter would (a file is one\n"
           "                       message; a folder gives each of its files, a Maildir those\n"
           "                       of cur and new); one line per message: path, inbox or\n"
           "                       hold, the category (X bad, N nice, Q other, - friendly)\n"
           "                       and the analysis note, separated by tabs; then the totals\n"
           "  --stats              the filter statistics (the running quillon's own when one\n"
           "                       runs on the data folder, else as last saved)\n"
           "  --clear-stats        zero the filter statistics (through the running quillon\n"
           "                       when there is one)\n";
}
