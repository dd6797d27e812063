// One mail account that the proxies serve. Reference counted: the account table holds one
// reference per record, and every record it hands out carries one more for the caller.
// The fields are written while the table is built (under the table lock) and read-only
// afterwards, except the cached enabled state (set once, under the table lock).
#pragma once

#include <string>

#include "ferrymail/ferrymail_export.h"
#include "kinbook/RefCount.h"

class CAccountData : public CRefCount {
public:
    std::string m_description;   // display description (registry-only: the account key name)
    std::string m_accountName;   // the account's name in its mail client
    std::string m_programName;   // the mail client's program name
    std::string m_registryName;  // the mail client's registry name
    std::string m_serverName;    // the POP3 server as the mail client has it
    std::string m_userName;      // the POP3 user name as the mail client has it
    int m_accountValue = 0;      // copied from the mail client's account; not read here
    int m_serverPort = 110;
    bool m_isPOP3 = true;
    bool m_leaveMailOnServer = false;
    bool m_enabledKnown = false;
    bool m_enabled = true;
};
