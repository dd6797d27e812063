#include "kinbook/AddressHandler.h"

CAddressHandler::~CAddressHandler() = default;

int CAddressHandler::SortOrder(ADDRESS_SOURCE source) {
    // Indexed by ADDRESS_SOURCE value.
    static const int kRanks[] = {
        0,      // AS_ME
        3,      // AS_ADDRESS_BOOK
        4,      // AS_SENT_TO
        5,      // AS_CCED_TO
        6,      // AS_RECEIVED_FROM
        7,      // AS_RECEIVED_TO
        8,      // AS_RECEIVED_CCED_TO
        9,      // AS_FROM
        10,     // AS_TO
        11,     // AS_CC
        32767,  // AS_UNKNOWN
        2,      // AS_MANUAL
        1,      // AS_MAILING_LIST
    };
    int value = static_cast<int>(source);
    if (value < 0 || value >= static_cast<int>(sizeof(kRanks) / sizeof(kRanks[0])))
        return 32767;
    return kRanks[value];
}
