// Call-back that receives each address the header scanner finds in an address field.
// Owned by whoever starts the scan; called on the scanning thread only.
#pragma once

#include "kinbook/friends/AddressSource.h"
#include "kinbook/kinbook_export.h"

class KINBOOK_API CAddressHandler {
public:
    virtual ~CAddressHandler();

    // `name` and `address` are zero-terminated and valid for the call only; either may be
    // empty. Nonzero: the handler took the address.
    virtual int ProcessAddress(const char* name, const char* address, ADDRESS_SOURCE source,
                               long date) = 0;
    // The scanner calls this one.
    virtual int ProcessAddress(const char* name, const char* address, ADDRESS_SOURCE source,
                               long date, FR_NAME nameKind) = 0;

    // Trust rank of a source, lower is stronger: AS_ME 0, AS_MAILING_LIST 1, AS_MANUAL 2,
    // AS_ADDRESS_BOOK 3, then the sent, received and raw header sources; AS_UNKNOWN and any
    // value outside the enumeration 32767.
    static int SortOrder(ADDRESS_SOURCE source);
    // The description of a source from Kinbook's string table ("Me", "Sent to", ...;
    // "Unknown" for any value outside the enumeration). The text is never overwritten
    // and stays valid for the life of the process, on every thread.
    static const char* SourceDesc(ADDRESS_SOURCE source);
};
