// One mail account that the proxies serve. Reference counted: the account table holds one
// reference per record, and every record it hands out carries one more for the caller.
// The fields are written while the table is built (under the table lock) and read-only
// afterwards, except the cached enabled state (set once, under the table lock).
#pragma once

#include <string>

#include "ferrymail/ferrymail_export.h"
#include "kinbook/foundation/RefCount.h"

// How the proxy reaches an account's server: TLS from the first byte (POP3S), plain
// text raised to TLS by STLS (RFC 2595) before the log-in, or plain text throughout.
enum class ETLSMode { kPOP3S = 0, kSTLS = 1, kNone = 2 };

// "pop3s", "stls" or "none".
FERRYMAIL_API const char* TLSModeName(ETLSMode mode);
// One of the names above (any case); false for anything else.
FERRYMAIL_API bool ParseTLSMode(const std::string& text, ETLSMode& mode);
// The mode of a server whose account names none: POP3S on port 995, else STLS.
FERRYMAIL_API ETLSMode DefaultTLSMode(int port);

// The SMTP port of an account's outgoing server when it names none (submission), and
// the port on which SMTP speaks TLS from the first byte.
constexpr int kSMTPDefaultPort = 587;
constexpr int kSMTPImplicitTLSPort = 465;

class CAccountData : public CRefCount {
public:
    // The account's outgoing server ("SMTPServer", "SMTPServerPort"); empty when the
    // record names none. Set while the table is built.
    const std::string& GetSMTPServer() const { return m_smtpServerName; }
    int GetSMTPServerPort() const { return m_smtpServerPort; }
    bool HasSMTPServer() const { return !m_smtpServerName.empty(); }
    void SetSMTPServer(const std::string& server, int port = kSMTPDefaultPort) {
        m_smtpServerName = server;
        m_smtpServerPort = port > 0 && port < 65536 ? port : kSMTPDefaultPort;
    }

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
    ETLSMode m_tlsMode = ETLSMode::kSTLS;  // "TLS", when m_tlsModeSet
    bool m_tlsModeSet = false;             // the record names a valid mode
    std::string m_tlsCAFile;               // "TLSCAFile": trusted beside the system's store
    bool m_tlsInsecure = false;            // "TLSInsecure": the certificate is not checked
    std::string m_smtpServerName;            // "SMTPServer"
    int m_smtpServerPort = kSMTPDefaultPort;  // "SMTPServerPort"
    bool m_enabledKnown = false;
    bool m_enabled = true;
};
