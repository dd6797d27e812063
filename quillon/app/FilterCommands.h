// The filter commands of the quillon program: --examine classifies message files as the
// running filter would (a dry run: no counter, hit count, friend or store changes, so it
// may run beside a running quillon), --stats prints the statistics texts and
// --clear-stats zeroes the statistics. The statistics commands go through the running
// instance's control channel when one runs on the data folder, else run here.
#pragma once

#include <string>
#include <vector>

class CControlChannel;
class CFilterChain;

enum FILTER_COMMAND {
    FCMD_NONE,
    FCMD_EXAMINE,
    FCMD_STATS,
    FCMD_CLEAR_STATS,
};

struct SFilterCommand {
    FILTER_COMMAND command = FCMD_NONE;
    std::vector<std::string> paths;  // of --examine
};

// What --examine made of its messages.
struct SExamineTotals {
    int messages = 0;
    int inbox = 0;
    int hold = 0;
    int friendly = 0;
    int bad = 0;
    int nice = 0;
    int other = 0;
    int unreadable = 0;
};

// A message file larger than this is not read.
inline constexpr size_t kMaxExamineFileSize = 64 * 1024 * 1024;

// True when `arguments` (without the program name) name a filter command.
bool IsFilterCommandLine(const std::vector<std::string>& arguments);
// False with `error` set (one line) for an unknown option, --examine without a path, a
// value given to --stats or --clear-stats, or two commands.
bool ParseFilterCommand(const std::vector<std::string>& arguments, SFilterCommand& command,
                        std::string& error);

// The message files `path` names: the file itself; every file of a folder, by name; the
// files of a Maildir's "cur" and "new". False with `error` set when it names nothing
// readable.
bool ListMessageFiles(const std::string& path, std::vector<std::string>& files, std::string& error);
// Classifies each message file of `paths` with `chain`: one line per message on `output`
// (path, "inbox", "hold" or "delete", the tag or '-' for friendly, the note, separated
// by tabs), one line per file that does not read on `errors`, then the totals line.
SExamineTotals ExamineFiles(CFilterChain& chain, const std::vector<std::string>& paths,
                            std::string& output, std::string& errors);
// "N messages: A inbox, B hold (F friendly, X bad, N nice, Q other)".
std::string TotalsLine(const SExamineTotals& totals);
// The summary texts, then the detailed figures, as of the chain's counters.
std::string StatisticsReport(CFilterChain& chain);
// Zeroes every counter of `chain` and stores it; false when it cannot be written.
bool ClearStatistics(CFilterChain& chain, std::string& error);

// Adds "stats" and "clear-stats" on `chain` to a running instance's control channel.
void RegisterFilterCommands(CControlChannel& channel, CFilterChain& chain);
// Carries the command out on the data folder; `output` and `errors` get what it prints.
// The exit status: 0, 1 when something failed (a file that did not read, a refused or
// failed clear).
int RunFilterCommand(const SFilterCommand& command, std::string& output, std::string& errors);
// The filter part of the --help text.
const char* FilterUsageText();
