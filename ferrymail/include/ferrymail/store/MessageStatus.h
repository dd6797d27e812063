// Where a message stands: the location of a message in its store.
#pragma once

#include <cstdint>

enum MSSTATUS : int32_t {
    MS_ANY = 0,      // only as a filter argument, never a message's location
    MS_NEW = 1,      // downloaded, not yet examined
    MS_DELETED = 2,  // to be deleted from the server; never shown to the mail client
    MS_JAIL = 3,
    MS_HOLD = 4,
    MS_INBOX = 5,      // offered to the mail client
    MS_DELIVERED = 6,  // offered to the mail client, already handed over
};

// Locations the mail client sees.
inline bool IsVisibleLocation(MSSTATUS location) {
    return location == MS_INBOX || location == MS_DELIVERED;
}
