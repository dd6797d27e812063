// The held-mail commands of the quillon program: list the held messages, release them,
// release them and make their senders friends, delete them. A command goes to the
// running instance of the data folder through its control channel when one runs, and is
// carried out in this process otherwise, holding the instance lock meanwhile so that no
// instance starts and opens the stores while they are changed here.
#pragma once

#include <string>
#include <vector>

#include "app/ControlChannel.h"

class CHeldMail;

enum HELD_COMMAND {
    HC_NONE,
    HC_LIST_HELD,
    HC_RELEASE,
    HC_RELEASE_FRIEND,
    HC_DELETE,
};

struct SHeldCommand {
    HELD_COMMAND command = HC_NONE;
    std::vector<std::string> targets;  // "N" or "STORE:N"
};

// True when `arguments` (without the program name) name a held-mail command.
bool IsHeldCommandLine(const std::vector<std::string>& arguments);
// False with `error` set (one line) for an unknown option, two commands, --list-held
// with arguments, or a release or delete without message numbers.
bool ParseHeldCommand(const std::vector<std::string>& arguments, SHeldCommand& command,
                      std::string& error);

// Carries `command` out on `review`: the lines to print go to `reply`; the exit status
// (0 done, 1 refused or failed) is returned and set in `reply`.
int RunHeldCommand(CHeldMail& review, const SHeldCommand& command, SControlReply& reply);
// Adds the commands to a control channel's table, run on `review`.
void RegisterHeldCommands(CControlChannel& channel, CHeldMail& review);

// The command line's way (CControlChannel::Route): through the running instance, or,
// when none runs, through the same command table in this process. Returns the exit
// status; `reply` holds what to print.
int RunHeldCommandLine(const SHeldCommand& command, SControlReply& reply);

// The held-mail part of the --help text.
const char* HeldUsageText();
