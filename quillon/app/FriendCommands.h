// The friends commands of the quillon program: add, delete and list friends, own
// addresses, mailing lists and companies in the data folder, each saved at once. They
// work while a quillon runs on the same folder: the files are replaced atomically under a
// lock between processes, and the running one merges them in at its next look-up.
#pragma once

#include <optional>
#include <string>
#include <vector>

enum FRIEND_COMMAND {
    FC_NONE,
    FC_ADD_FRIEND,
    FC_ADD_ME,
    FC_ADD_LIST,
    FC_ADD_COMPANY,
    FC_DELETE_FRIEND,
    FC_LIST_FRIENDS,
};

struct SFriendCommand {
    FRIEND_COMMAND command = FC_NONE;
    std::string target;  // the address, or the domain ("*." + domain: with sub-domains)
    std::optional<std::string> name;
    std::optional<std::string> note;
};

// True when `arguments` (without the program name) name a friends command.
bool IsFriendCommandLine(const std::vector<std::string>& arguments);
// False with `error` set (one line) for an unknown option, a missing value, a bad address
// or domain, two commands, or --name/--note without an add command.
bool ParseFriendCommand(const std::vector<std::string>& arguments, SFriendCommand& command,
                        std::string& error);
// Carries the command out; `output` gets what it prints. False with `error` set.
bool RunFriendCommand(const SFriendCommand& command, std::string& output, std::string& error);
// The friends part of the --help text.
const char* FriendUsageText();
