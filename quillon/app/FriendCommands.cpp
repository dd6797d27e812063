#include "app/FriendCommands.h"

#include <algorithm>

#include "kinbook/friends/EmailDomain.h"
#include "kinbook/friends/Friend.h"
#include "kinbook/friends/FriendData.h"
#include "kinbook/friends/Friends.h"

namespace {

struct SCommandName {
    const char* option;
    FRIEND_COMMAND command;
};

constexpr SCommandName kCommands[] = {
    {"--add-friend", FC_ADD_FRIEND},       {"--add-me", FC_ADD_ME},
    {"--add-list", FC_ADD_LIST},           {"--add-company", FC_ADD_COMPANY},
    {"--delete-friend", FC_DELETE_FRIEND}, {"--list-friends", FC_LIST_FRIENDS},
};

FRIEND_COMMAND CommandOf(const std::string& option) {
    for (const SCommandName& c : kCommands)
        if (option == c.option)
            return c.command;
    return FC_NONE;
}

std::string OptionName(const std::string& argument) {
    return argument.substr(0, argument.find('='));
}

const char* KindName(FRIENDLY kind) {
    switch (kind) {
        case FRIENDLY_ME:
            return "me";
        case FRIENDLY_MAILING_LIST:
            return "list";
        default:
            return "friend";
    }
}

ADDRESS_SOURCE SourceOf(FRIEND_COMMAND command) {
    return command == FC_ADD_ME ? AS_ME : command == FC_ADD_LIST ? AS_MAILING_LIST : AS_MANUAL;
}

bool CheckTarget(SFriendCommand& parsed, std::string& error) {
    if (parsed.command == FC_ADD_COMPANY) {
        std::string domain =
            parsed.target.compare(0, 2, "*.") == 0 ? parsed.target.substr(2) : parsed.target;
        if (!CEmailDomain::IsValidDomainName(domain) || domain.find('.') == std::string::npos) {
            error = "'" + parsed.target + "' is not a domain such as example.com or *.example.com";
            return false;
        }
        return true;
    }
    if (parsed.command != FC_LIST_FRIENDS && !ValidateAddress(parsed.target.c_str())) {
        error = "'" + parsed.target + "' is not a mail address";
        return false;
    }
    return true;
}

}  // namespace

bool IsFriendCommandLine(const std::vector<std::string>& arguments) {
    return std::any_of(arguments.begin(), arguments.end(), [](const std::string& argument) {
        return CommandOf(OptionName(argument)) != FC_NONE;
    });
}

bool ParseFriendCommand(const std::vector<std::string>& arguments, SFriendCommand& command,
                        std::string& error) {
    SFriendCommand parsed;
    for (size_t i = 0; i < arguments.size(); ++i) {
        std::string name = OptionName(arguments[i]);
        bool inline_ = name.size() < arguments[i].size();
        std::string value = inline_ ? arguments[i].substr(name.size() + 1) : std::string();
        FRIEND_COMMAND which = CommandOf(name);
        bool isValue = name == "--name" || name == "--note";
        if (which == FC_NONE && !isValue) {
            error = !name.empty() && name[0] == '-' ? "unknown option '" + name + "'"
                                                    : "unexpected argument '" + name + "'";
            return false;
        }
        bool takesValue = which != FC_LIST_FRIENDS;
        if (!takesValue && inline_) {
            error = "option '" + name + "' takes no value";
            return false;
        }
        if (takesValue && !inline_) {
            if (i + 1 >= arguments.size()) {
                error = "option '" + name + "' needs a value";
                return false;
            }
            value = arguments[++i];
        }
        if (isValue) {
            std::optional<std::string>& slot = name == "--name" ? parsed.name : parsed.note;
            if (slot) {
                error = "option '" + name + "' given twice";
                return false;
            }
            slot = value;
            continue;
        }
        if (parsed.command != FC_NONE) {
            error = "only one friends command at a time";
            return false;
        }
        parsed.command = which;
        parsed.target = value;
    }
    bool adds = parsed.command == FC_ADD_FRIEND || parsed.command == FC_ADD_ME ||
                parsed.command == FC_ADD_LIST;
    if ((parsed.name || parsed.note) && !adds) {
        error = "--name and --note go with --add-friend, --add-me or --add-list";
        return false;
    }
    if (parsed.command == FC_NONE) {
        error = "no friends command";
        return false;
    }
    if (!CheckTarget(parsed, error))
        return false;
    command = parsed;
    return true;
}

namespace {

bool AddFriend(const SFriendCommand& command, std::string& output, std::string& error) {
    const ADDRESS_SOURCE type = SourceOf(command.command);
    const char* name = command.name ? command.name->c_str() : nullptr;
    CFriendData handle;
    bool saved;
    const bool known = handle.Lookup(command.target.c_str());
    FRIENDLY wanted = type == AS_ME             ? FRIENDLY_ME
                      : type == AS_MAILING_LIST ? FRIENDLY_MAILING_LIST
                                                : FRIENDLY_FRIEND;
    if (known && handle.GetFriendly() == wanted) {
        int flags = (name != nullptr ? FRD_NAME : 0) | (command.note ? FRD_NOTE : 0);
        saved = handle.Update(flags, nullptr, name, type,
                              command.note ? command.note->c_str() : nullptr);
        output = command.target + ": already known as " + KindName(wanted) +
                 (flags != 0 ? "; updated\n" : "; nothing changed\n");
    } else {
        // A kind change keeps the note unless a new one is given.
        std::string note = command.note ? *command.note : known ? handle.GetNote() : "";
        saved = handle.Create(command.target.c_str(), name, type, note.c_str());
        output = command.target + ": added as " + KindName(wanted) + "\n";
    }
    if (!saved)
        error = "cannot save the friends file (see the log above)";
    return saved;
}

bool AddCompany(const SFriendCommand& command, std::string& output, std::string& error) {
    const bool withChildren = command.target.compare(0, 2, "*.") == 0;
    const std::string domain = withChildren ? command.target.substr(2) : command.target;
    {
        CLock lock(&CFriend::GetLock());
        CEmailDomain::LoadCompanies();
        CEmailDomain* node = CEmailDomain::GetRoot()->AddAddress(domain, nullptr, 0, 1);
        if (node == nullptr) {
            error = "cannot add the domain " + domain;
            return false;
        }
        node->SetIncludeChildren(withChildren);
        if (withChildren)
            node->RecursiveSetState(ES_ACCEPTED);
        else
            node->SetState(ES_ACCEPTED);
    }
    if (!SaveCompaniesFile()) {
        error = "cannot save the companies file (see the log above)";
        return false;
    }
    output = domain + (withChildren ? ": accepted with its sub-domains\n" : ": accepted\n");
    return true;
}

bool ListFriends(std::string& output) {
    std::vector<std::string> lines;
    CFriendData handle;
    for (auto p = CFriendData::StartFriends(); CFriendData::EnumFriends(p, handle);)
        lines.push_back(handle.GetAddress() + "\t" + KindName(handle.GetFriendly()) + "\t" +
                        handle.GetName() + "\t" + handle.GetCountString() + "\t" +
                        handle.GetDateString() + "\n");
    std::sort(lines.begin(), lines.end());
    output.clear();
    for (const std::string& line : lines) output += line;
    return true;
}

}  // namespace

bool RunFriendCommand(const SFriendCommand& command, std::string& output, std::string& error) {
    output.clear();
    switch (command.command) {
        case FC_ADD_FRIEND:
        case FC_ADD_ME:
        case FC_ADD_LIST:
            return AddFriend(command, output, error);
        case FC_ADD_COMPANY:
            return AddCompany(command, output, error);
        case FC_DELETE_FRIEND: {
            CFriendData handle;
            if (!handle.Lookup(command.target.c_str())) {
                error = "no friend " + command.target;
                return false;
            }
            handle.Delete();
            if (!SaveFriendsFile()) {
                error = "cannot save the friends file (see the log above)";
                return false;
            }
            output = command.target + ": deleted\n";
            return true;
        }
        case FC_LIST_FRIENDS:
            return ListFriends(output);
        default:
            error = "no friends command";
            return false;
    }
}

const char* FriendUsageText() {
    return "\n"
           "Friends (each saved at once; a running quillon on the same data folder sees the\n"
           "change at its next look-up):\n"
           "  --add-friend ADDRESS [--name NAME] [--note NOTE]\n"
           "                       let mail from ADDRESS pass as from a friend\n"
           "  --add-me ADDRESS     one of your own addresses\n"
           "  --add-list ADDRESS   a mailing list you read\n"
           "  --add-company DOMAIN accept mail from every address at DOMAIN; *.DOMAIN also\n"
           "                       accepts its sub-domains\n"
           "  --delete-friend ADDRESS\n"
           "                       forget ADDRESS (kept as deleted, so imports do not bring it\n"
           "                       back)\n"
           "  --list-friends       one line per friend: address, kind (me, friend, list),\n"
           "                       name, count and last contact, separated by tabs\n";
}
