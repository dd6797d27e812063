// One held message as the review shows it: where it is, how to name it, and the texts of
// its columns before any masking. A plain value, copied out of the store under its lock.
#pragma once

#include <string>

#include "ferrymail/store/MessageStatus.h"

struct SHeldRow {
    int storeID = 0;
    std::string storeName;  // "user@server"
    int number = 0;         // the message's number within its store (CHeldNumbers)
    std::string uidl;
    MSSTATUS location = MS_HOLD;
    std::string name;     // the From display name, decoded; may be empty
    std::string email;    // the From address
    std::string subject;  // decoded
    long received = 0;    // when it was downloaded; 0 when unknown
    int size = 0;
    char tag = 0;          // the filter's category: 'X', 'N', 'Q' or none
    std::string analysis;  // the first analysis note, whole (HeldAnalysisNote)
};
