// Where an address was learnt and how good a display name is: the two enumerations that
// the header scanner, the friends data and the importers use to talk about addresses.
#pragma once

// Where an address was learnt. AS_FROM, AS_TO and AS_CC name a raw header field; the
// importers turn them into the received/sent forms by the kind of folder they scan.
enum ADDRESS_SOURCE : int {
    AS_ME = 0,
    AS_ADDRESS_BOOK = 1,
    AS_SENT_TO = 2,
    AS_CCED_TO = 3,
    AS_RECEIVED_FROM = 4,
    AS_RECEIVED_TO = 5,
    AS_RECEIVED_CCED_TO = 6,
    AS_FROM = 7,
    AS_TO = 8,
    AS_CC = 9,
    AS_UNKNOWN = 10,
    AS_MANUAL = 11,
    AS_MAILING_LIST = 12,
};

// Quality of a display name, weakest first.
enum FR_NAME : int {
    FRN_NONE = 0,          // no name known; a caller that passes a name with it leaves
                           // the quality to be worked out
    FRN_ADDRESS = 1,       // the name contains "@"
    FRN_MAIL = 2,          // a display name taken from a mail header
    FRN_ADDRESS_BOOK = 3,  // a name from an address book
    FRN_USER = 4,          // typed by the user
};
