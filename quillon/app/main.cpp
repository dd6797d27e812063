// The quillon program: the proxy engine (headless until the review window exists), the
// account commands for directly connecting mail clients, the friends, filter and held-mail
// commands, --version and --help.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/DirectAccounts.h"
#include "app/FilterCommands.h"
#include "app/FriendCommands.h"
#include "app/Headless.h"
#include "app/HeldCommands.h"
#include "app/OfferCommands.h"
#include "app/Options.h"
#include "ferrymail/accounts/AccountData.h"
#include "kinbook/foundation/ShutdownSignals.h"
#include "kinbook/foundation/Socket.h"

namespace {

constexpr int kExitOK = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

void Say(const std::string& line) {
    std::printf("quillon: %s\n", line.c_str());
    std::fflush(stdout);
}

void Complain(const std::string& line) {
    std::fprintf(stderr, "quillon: %s\n", line.c_str());
}

bool HasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && value[0] != '\0')
            return true;
    }
    return false;
}

int RunEngine(const SCommandLine& commandLine) {
    // Before the first thread: every thread inherits the mask, so only the sigwait below
    // ever takes these signals.
    if (!BlockShutdownSignals()) {
        Complain("cannot block SIGTERM and SIGINT");
        return kExitFailure;
    }
    if (!commandLine.headless)
        Say(HasDisplay() ? "the review window is not available yet; running headless"
                         : "no display; running headless");

    // Every client of the proxy holds four handles: allow as many as the system lets us.
    RaiseOpenFileLimit();
    CHeadlessEngine engine;
    std::string error;
    if (!engine.Start(commandLine.pop3Port, error, commandLine.smtpPort)) {
        Complain(error);
        return kExitFailure;
    }
    for (const std::string& note : engine.GetNotes()) Say(note);
    Say("POP3 proxy listening on 127.0.0.1:" + std::to_string(engine.GetPOP3Port()));
    if (engine.GetSMTPPort() != 0)
        Say("SMTP proxy listening on 127.0.0.1:" + std::to_string(engine.GetSMTPPort()));

    const int signalNumber = WaitForShutdownSignal();
    Say(std::string(signalNumber == SIGINT ? "SIGINT" : "SIGTERM") + " received; shutting down");
    engine.Shutdown();
    return kExitOK;
}

int RunAccountCommand(const SCommandLine& commandLine) {
    const SAccountName& account = commandLine.account;
    std::string error;
    bool done = false;
    std::string confirmation;
    switch (commandLine.command) {
        case QC_ADD_ACCOUNT: {
            std::string caFile;
            done = ResolveCAFile(commandLine.tlsCAFile, caFile, error) &&
                   RegisterDirectAccount(account, error) &&
                   SetDirectAccountTLS(account, commandLine.tlsMode, caFile,
                                       commandLine.tlsInsecure, error) &&
                   (commandLine.smtpServer.empty() ||
                    SetDirectAccountSMTP(account, commandLine.smtpServer,
                                         commandLine.smtpServerPort, error));
            confirmation =
                "account " + account.KeyName() + " registered (TLS " +
                (commandLine.tlsMode.empty() ? TLSModeName(DefaultTLSMode(account.port))
                                             : commandLine.tlsMode) +
                (commandLine.tlsInsecure ? ", certificate not checked" : "") +
                (commandLine.smtpServer.empty() ? std::string()
                                                : ", SMTP " + commandLine.smtpServer + ":" +
                                                      std::to_string(commandLine.smtpServerPort)) +
                "); a mail client logs in to 127.0.0.1 as " + account.LoginName();
            break;
        }
        case QC_REMOVE_ACCOUNT:
            done = RemoveDirectAccount(account, error);
            confirmation = "account " + account.KeyName() + " removed";
            break;
        case QC_DISABLE_ACCOUNT:
        case QC_ENABLE_ACCOUNT: {
            const bool enable = commandLine.command == QC_ENABLE_ACCOUNT;
            done = SetDirectAccountEnabled(account, enable, error);
            confirmation = "account " + account.KeyName() +
                           (enable ? " enabled: its mail is filtered"
                                   : " disabled: its mail passes unfiltered");
            break;
        }
        default:
            break;
    }
    if (!done) {
        Complain(error);
        return kExitFailure;
    }
    Say(confirmation);
    return kExitOK;
}

int RunFriendCommandLine(const std::vector<std::string>& arguments) {
    SFriendCommand command;
    std::string error, output;
    if (!ParseFriendCommand(arguments, command, error)) {
        Complain(error);
        std::fprintf(stderr, "Try 'quillon --help'.\n");
        return kExitUsage;
    }
    if (!RunFriendCommand(command, output, error)) {
        Complain(error);
        return kExitFailure;
    }
    std::fputs(output.c_str(), stdout);
    return kExitOK;
}

int RunFilterCommandLine(const std::vector<std::string>& arguments) {
    SFilterCommand command;
    std::string error;
    if (!ParseFilterCommand(arguments, command, error)) {
        Complain(error);
        std::fprintf(stderr, "Try 'quillon --help'.\n");
        return kExitUsage;
    }
    std::string output, errors;
    const int status = RunFilterCommand(command, output, errors);
    std::fputs(output.c_str(), stdout);
    std::fflush(stdout);
    std::fputs(errors.c_str(), stderr);
    return status == 0 ? kExitOK : kExitFailure;
}

int RunHeldArguments(const std::vector<std::string>& arguments) {
    SHeldCommand command;
    std::string error;
    if (!ParseHeldCommand(arguments, command, error)) {
        Complain(error);
        std::fprintf(stderr, "Try 'quillon --help'.\n");
        return kExitUsage;
    }
    SControlReply reply;
    const int status = RunHeldCommandLine(command, reply);
    for (const std::string& line : reply.output) std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    for (const std::string& line : reply.errors) Complain(line);
    return status;
}

int RunOfferArguments(const std::vector<std::string>& arguments) {
    SOfferCommand command;
    std::string error;
    if (!ParseOfferCommand(arguments, command, error)) {
        Complain(error);
        std::fprintf(stderr, "Try 'quillon --help'.\n");
        return kExitUsage;
    }
    SControlReply reply;
    const int status = RunOfferCommandLine(command, reply);
    for (const std::string& line : reply.output) std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    for (const std::string& line : reply.errors) Complain(line);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (IsFriendCommandLine(arguments))
        return RunFriendCommandLine(arguments);
    if (IsFilterCommandLine(arguments))
        return RunFilterCommandLine(arguments);
    if (IsHeldCommandLine(arguments))
        return RunHeldArguments(arguments);
    if (IsOfferCommandLine(arguments))
        return RunOfferArguments(arguments);
    SCommandLine commandLine;
    std::string error;
    if (!ParseCommandLine(arguments, commandLine, error)) {
        Complain(error);
        std::fprintf(stderr, "Try 'quillon --help'.\n");
        return kExitUsage;
    }
    switch (commandLine.command) {
        case QC_VERSION:
            std::printf("%s\n", QUILLON_VERSION_TEXT);
            return kExitOK;
        case QC_HELP:
            std::fputs(UsageText(), stdout);
            std::fputs(FriendUsageText(), stdout);
            std::fputs(FilterUsageText(), stdout);
            std::fputs(HeldUsageText(), stdout);
            std::fputs(OfferUsageText(), stdout);
            return kExitOK;
        case QC_RUN:
            return RunEngine(commandLine);
        case QC_LIST_ACCOUNTS:
            std::fputs(DescribeAccounts().c_str(), stdout);
            return kExitOK;
        default:
            return RunAccountCommand(commandLine);
    }
}
