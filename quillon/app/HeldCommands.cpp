#include "app/HeldCommands.h"

#include <algorithm>
#include <iterator>

#include "ferrymail/store/MessageDatabase.h"
#include "kinbook/foundation/Paths.h"
#include "review/HeldColumns.h"
#include "review/HeldMail.h"
#include "review/RegistryReviewCounters.h"

namespace {

struct SCommandName {
    const char* option;   // on the command line
    const char* request;  // on the control channel
    HELD_COMMAND command;
};

constexpr SCommandName kCommands[] = {
    {"--list-held", "list-held", HC_LIST_HELD},
    {"--release", "release", HC_RELEASE},
    {"--release-friend", "release-friend", HC_RELEASE_FRIEND},
    {"--delete", "delete", HC_DELETE},
};

const SCommandName* CommandOf(const std::string& option) {
    for (const SCommandName& c : kCommands)
        if (option == c.option)
            return &c;
    return nullptr;
}

// One entry per line of `text`.
void AddErrorLines(std::vector<std::string>& errors, const std::string& text) {
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        errors.push_back(text.substr(start, end - start));
    errors.push_back(text.substr(start));
}

std::string FromText(CHeldMail& review, const SHeldRow& row, const CHeldMail::SSettings& settings) {
    const std::string email = review.Shown(row.email, settings);
    if (row.name.empty())
        return email;
    return review.Shown(row.name, settings) + " <" + email + ">";
}

int ListHeld(CHeldMail& review, SControlReply& reply) {
    std::vector<SHeldRow> rows;
    std::string error;
    if (!review.List(rows, error))
        AddErrorLines(reply.errors, error);
    const CHeldMail::SSettings settings = CHeldMail::ReadSettings();
    for (const SHeldRow& row : rows) {
        const std::string fields[] = {
            row.storeName,
            std::to_string(row.number),
            std::string(1, HeldCategory(row.tag)),
            FromText(review, row, settings),
            review.Shown(row.subject, settings),
            HeldAnalysisShown(row.analysis),
        };
        std::string line;
        for (size_t i = 0; i < std::size(fields); ++i) {
            if (i > 0)
                line += '\t';
            line += HeldOneLine(fields[i]);
        }
        reply.output.push_back(line);
    }
    return 0;
}

}  // namespace

bool IsHeldCommandLine(const std::vector<std::string>& arguments) {
    return std::any_of(arguments.begin(), arguments.end(), [](const std::string& argument) {
        return CommandOf(argument) != nullptr;
    });
}

bool ParseHeldCommand(const std::vector<std::string>& arguments, SHeldCommand& command,
                      std::string& error) {
    SHeldCommand parsed;
    for (const std::string& argument : arguments) {
        if (const SCommandName* name = CommandOf(argument)) {
            if (parsed.command != HC_NONE) {
                error = "only one held-mail command at a time";
                return false;
            }
            parsed.command = name->command;
        } else if (!argument.empty() && argument[0] == '-') {
            error = "unknown option '" + argument + "'";
            return false;
        } else if (parsed.command == HC_NONE || parsed.command == HC_LIST_HELD) {
            error = "unexpected argument '" + argument + "'";
            return false;
        } else {
            parsed.targets.push_back(argument);
        }
    }
    if (parsed.command == HC_NONE) {
        error = "no held-mail command";
        return false;
    }
    if (parsed.command != HC_LIST_HELD && parsed.targets.empty()) {
        error = "name the messages by their numbers from --list-held (N or STORE:N)";
        return false;
    }
    command = parsed;
    return true;
}

int RunHeldCommand(CHeldMail& review, const SHeldCommand& command, SControlReply& reply) {
    if (command.command == HC_LIST_HELD)
        return reply.status = ListHeld(review, reply);
    std::vector<SHeldRow> rows;
    std::string error;
    if (!review.Resolve(command.targets, rows, error)) {
        AddErrorLines(reply.errors, error);
        return reply.status = 1;
    }
    std::vector<std::string> status;
    const bool done =
        command.command == HC_DELETE
            ? review.Delete(rows, DS_NONE, status, error)
            : review.Release(rows, command.command == HC_RELEASE_FRIEND, status, error);
    reply.output.insert(reply.output.end(), status.begin(), status.end());
    if (!done)
        AddErrorLines(reply.errors, error);
    return reply.status = done ? 0 : 1;
}

void RegisterHeldCommands(CControlChannel& channel, CHeldMail& review) {
    for (const SCommandName& name : kCommands) {
        const HELD_COMMAND which = name.command;
        channel.Register(name.request, [&review, which](const std::vector<std::string>& arguments,
                                                        SControlReply& reply) {
            SHeldCommand command;
            command.command = which;
            command.targets = arguments;
            if (which == HC_LIST_HELD ? !arguments.empty() : arguments.empty()) {
                reply.errors.push_back(which == HC_LIST_HELD ? "list-held takes no arguments"
                                                             : "no message numbers");
                return CControlChannel::kBadRequestStatus;
            }
            return RunHeldCommand(review, command, reply);
        });
    }
}

namespace {

std::vector<std::string> RequestWords(const SHeldCommand& command) {
    std::vector<std::string> words;
    for (const SCommandName& name : kCommands)
        if (name.command == command.command)
            words.push_back(name.request);
    words.insert(words.end(), command.targets.begin(), command.targets.end());
    return words;
}

// Runs the words through a table of this process, on its own database; the caller holds
// the instance lock.
int RunLocally(const std::vector<std::string>& words, SControlReply& reply) {
    CMessageDatabase* database = CMessageDatabase::GetMessageDatabase();
    database->AddRef();
    int status = 0;
    {
        CRegistryReviewCounters counters;
        CHeldMail review(database, &counters);
        CControlChannel table;
        RegisterHeldCommands(table, review);
        status = table.Run(words, reply);
    }
    CRefCount::DoRelease(database);
    CMessageDatabase::Shutdown();
    return status;
}

}  // namespace

int RunHeldCommandLine(const SHeldCommand& command, SControlReply& reply) {
    const std::string folder = GetUserDataPath();
    if (folder.empty()) {
        reply.errors.push_back(
            "the data folder cannot be made (set QUILLON_HOME or XDG_DATA_HOME)");
        return reply.status = 1;
    }
    const std::vector<std::string> words = RequestWords(command);
    return CControlChannel::Route(
        folder, words, [&words](SControlReply& local) { return RunLocally(words, local); }, reply);
}

const char* HeldUsageText() {
    return "\n"
           "Held mail (through the running quillon of the data folder when there is one):\n"
           "  --list-held          one line per held message: store, number, category (X bad,\n"
           "                       N nice, ? other), From, Subject and analysis, separated by\n"
           "                       tabs\n"
           "  --release N...       send held messages to the inbox; the mail client gets them\n"
           "                       at its next check\n"
           "  --release-friend N...\n"
           "                       the same, with every held message of the same senders, who\n"
           "                       become friends\n"
           "  --delete N...        delete held messages, also from the server when the mail\n"
           "                       client next checks mail\n"
           "  N is a message's number in its store as --list-held shows it; when two stores\n"
           "  hold the same number, name it as STORE:N (STORE as --list-held shows it).\n";
}
