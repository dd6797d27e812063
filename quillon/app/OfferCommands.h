// The sent-mail offer commands of the quillon program: list the addressees of sent mail
// that wait to be made friends, accept offers (they become friends) and reject them.
// Like the held-mail commands they go to the running instance of the data folder
// through its control channel, and are carried out in this process, holding the
// instance lock, when none runs; so only one process ever writes the offers file.
#pragma once

#include <string>
#include <vector>

#include "app/ControlChannel.h"

class CSentMailLearning;
class CSentMailOffers;

enum OFFER_COMMAND {
    OC_NONE,
    OC_LIST_OFFERS,
    OC_ACCEPT_OFFER,
    OC_REJECT_OFFER,
};

struct SOfferCommand {
    OFFER_COMMAND command = OC_NONE;
    std::vector<std::string> addresses;
};

// True when `arguments` (without the program name) name an offer command.
bool IsOfferCommandLine(const std::vector<std::string>& arguments);
// False with `error` set (one line) for an unknown option, two commands, --list-offers
// with arguments, or an accept or reject without addresses.
bool ParseOfferCommand(const std::vector<std::string>& arguments, SOfferCommand& command,
                       std::string& error);

// Carries `command` out: lines to print go to `reply`; the exit status (0 done, 1 when
// an address has no offer, a friend cannot be saved or the offers file cannot be read
// or written; every other address is still settled) is returned and set in `reply`.
int RunOfferCommand(CSentMailLearning& learning, CSentMailOffers& offers,
                    const SOfferCommand& command, SControlReply& reply);
// Adds the commands to a control channel's table.
void RegisterOfferCommands(CControlChannel& channel, CSentMailLearning& learning,
                           CSentMailOffers& offers);
// The command line's way (CControlChannel::Route). Returns the exit status.
int RunOfferCommandLine(const SOfferCommand& command, SControlReply& reply);

// The offers part of the --help text.
const char* OfferUsageText();
