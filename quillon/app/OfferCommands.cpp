#include "app/OfferCommands.h"

#include <algorithm>
#include <cctype>

#include "app/SentMailLearning.h"
#include "app/SentMailOffers.h"
#include "kinbook/foundation/Paths.h"
#include "review/HeldColumns.h"

namespace {

struct SCommandName {
    const char* option;   // on the command line
    const char* request;  // on the control channel
    OFFER_COMMAND command;
};

constexpr SCommandName kCommands[] = {
    {"--list-offers", "list-offers", OC_LIST_OFFERS},
    {"--accept-offer", "accept-offer", OC_ACCEPT_OFFER},
    {"--reject-offer", "reject-offer", OC_REJECT_OFFER},
};

const SCommandName* CommandOf(const std::string& option) {
    for (const SCommandName& c : kCommands)
        if (option == c.option)
            return &c;
    return nullptr;
}

bool SameAddress(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

int ListOffers(CSentMailOffers& offers, SControlReply& reply) {
    std::vector<SSentMailOffer> list;
    std::string error;
    if (!offers.List(list, error)) {
        reply.errors.push_back(error);
        return 1;
    }
    for (const SSentMailOffer& offer : list)
        reply.output.push_back(HeldOneLine(offer.address) + "\t" + std::to_string(offer.count) +
                               "\t" + HeldOneLine(CSentMailOffers::ShownSubject(offer.subject)));
    return 0;
}

int AcceptOffers(CSentMailLearning& learning, CSentMailOffers& offers,
                 const std::vector<std::string>& addresses, SControlReply& reply) {
    std::vector<SSentMailOffer> list;
    std::string error;
    if (!offers.List(list, error)) {
        reply.errors.push_back(error);
        return 1;
    }
    int status = 0;
    std::vector<std::string> settled;
    for (const std::string& address : addresses) {
        const auto offer = std::find_if(list.begin(), list.end(), [&](const SSentMailOffer& o) {
            return SameAddress(o.address, address);
        });
        if (offer == list.end()) {
            reply.errors.push_back("no offer for " + address);
            status = 1;
            continue;
        }
        std::string line;
        if (learning.MakeFriend(offer->address, line)) {
            reply.output.push_back(line);
            settled.push_back(offer->address);
        } else {
            reply.errors.push_back(line + " (the offer is kept)");
            status = 1;
        }
    }
    std::vector<std::string> gone;
    if (!settled.empty() && !offers.Remove(settled, gone, error)) {
        reply.errors.push_back(error);
        status = 1;
    }
    return status;
}

int RejectOffers(CSentMailOffers& offers, const std::vector<std::string>& addresses,
                 SControlReply& reply) {
    std::vector<std::string> unknown;
    std::string error;
    if (!offers.Remove(addresses, unknown, error)) {
        reply.errors.push_back(error);
        return 1;
    }
    for (const std::string& address : addresses)
        if (std::find(unknown.begin(), unknown.end(), address) == unknown.end())
            reply.output.push_back("Offer of \"" + address + "\" rejected.");
    for (const std::string& address : unknown) reply.errors.push_back("no offer for " + address);
    return unknown.empty() ? 0 : 1;
}

}  // namespace

bool IsOfferCommandLine(const std::vector<std::string>& arguments) {
    return std::any_of(arguments.begin(), arguments.end(), [](const std::string& argument) {
        return CommandOf(argument) != nullptr;
    });
}

bool ParseOfferCommand(const std::vector<std::string>& arguments, SOfferCommand& command,
                       std::string& error) {
    SOfferCommand parsed;
    for (const std::string& argument : arguments) {
        if (const SCommandName* name = CommandOf(argument)) {
            if (parsed.command != OC_NONE) {
                error = "only one offer command at a time";
                return false;
            }
            parsed.command = name->command;
        } else if (!argument.empty() && argument[0] == '-') {
            error = "unknown option '" + argument + "'";
            return false;
        } else if (parsed.command == OC_NONE || parsed.command == OC_LIST_OFFERS) {
            error = "unexpected argument '" + argument + "'";
            return false;
        } else {
            parsed.addresses.push_back(argument);
        }
    }
    if (parsed.command == OC_NONE) {
        error = "no offer command";
        return false;
    }
    if (parsed.command != OC_LIST_OFFERS && parsed.addresses.empty()) {
        error = "name the addresses as --list-offers shows them";
        return false;
    }
    command = parsed;
    return true;
}

int RunOfferCommand(CSentMailLearning& learning, CSentMailOffers& offers,
                    const SOfferCommand& command, SControlReply& reply) {
    switch (command.command) {
        case OC_LIST_OFFERS:
            return reply.status = ListOffers(offers, reply);
        case OC_ACCEPT_OFFER:
            return reply.status = AcceptOffers(learning, offers, command.addresses, reply);
        case OC_REJECT_OFFER:
            return reply.status = RejectOffers(offers, command.addresses, reply);
        default:
            reply.errors.push_back("no offer command");
            return reply.status = CControlChannel::kBadRequestStatus;
    }
}

void RegisterOfferCommands(CControlChannel& channel, CSentMailLearning& learning,
                           CSentMailOffers& offers) {
    for (const SCommandName& name : kCommands) {
        const OFFER_COMMAND which = name.command;
        channel.Register(name.request, [&learning, &offers, which](
                                           const std::vector<std::string>& arguments,
                                           SControlReply& reply) {
            if (which == OC_LIST_OFFERS ? !arguments.empty() : arguments.empty()) {
                reply.errors.push_back(which == OC_LIST_OFFERS ? "list-offers takes no arguments"
                                                               : "no addresses");
                return CControlChannel::kBadRequestStatus;
            }
            SOfferCommand command;
            command.command = which;
            command.addresses = arguments;
            return RunOfferCommand(learning, offers, command, reply);
        });
    }
}

int RunOfferCommandLine(const SOfferCommand& command, SControlReply& reply) {
    const std::string folder = GetUserDataPath();
    if (folder.empty()) {
        reply.errors.push_back(
            "the data folder cannot be made (set QUILLON_HOME or XDG_DATA_HOME)");
        return reply.status = 1;
    }
    std::vector<std::string> words;
    for (const SCommandName& name : kCommands)
        if (name.command == command.command)
            words.push_back(name.request);
    words.insert(words.end(), command.addresses.begin(), command.addresses.end());
    return CControlChannel::Route(
        folder, words,
        [&folder, &words](SControlReply& local) {
            CSentMailOffers offers(folder);
            CSentMailLearning learning(offers);
            CControlChannel table;
            RegisterOfferCommands(table, learning, offers);
            return table.Run(words, local);
        },
        reply);
}

const char* OfferUsageText() {
    return "\n"
           "Addressees of sent mail (with \"Ask before add addressees to Friends\" on; through\n"
           "the running quillon of the data folder when there is one):\n"
           "  --list-offers        one line per address offered as a new friend: address,\n"
           "                       messages sent to it and the subject (cut to 50\n"
           "                       characters), separated by tabs\n"
           "  --accept-offer ADDRESS...\n"
           "                       make the addresses friends\n"
           "  --reject-offer ADDRESS...\n"
           "                       drop the offers without making friends\n";
}
