// The start functions the program calls once at start-up. Each returns the running
// listener, which the program owns and deletes at shut-down, or null with the error
// number and text of the failure (see CListener::ReturnError). Exported unmangled.
#pragma once

#include <string>

#include "ferrymail/ferrymail_export.h"

class CListener;

extern "C" {
// The POP3 proxy on `port`.
FERRYMAIL_API CListener* StartFerrymail(int port, int& errorNumber, std::string& errorText);
// The SMTP proxy on `port`.
FERRYMAIL_API CListener* StartSMTPProxy(int port, int& errorNumber, std::string& errorText);
// The AOL proxy on port 5190.
CListener* StartAOLProxy(int& errorNumber, std::string& errorText);
}

// Runs InitListener on `listener` (backlog 5); on failure deletes it and returns null.
CListener* StartListener(CListener* listener, int& errorNumber,
                                       std::string& errorText);
