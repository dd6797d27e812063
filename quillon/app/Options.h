// The quillon program's command line and the account names of its account options.
// Plain values, parsed once on the main thread before anything starts.
#pragma once

#include <string>
#include <vector>

enum QUILLON_COMMAND {
    QC_RUN,  // the proxy engine (headless until the review window exists)
    QC_VERSION,
    QC_HELP,
    QC_ADD_ACCOUNT,
    QC_REMOVE_ACCOUNT,
    QC_DISABLE_ACCOUNT,
    QC_ENABLE_ACCOUNT,
    QC_LIST_ACCOUNTS,
};

// A POP3 account as the account options name it: USER@HOST[:PORT].
struct SAccountName {
    std::string user;
    std::string host;
    int port = 110;

    // The account's key under the direct client's key: "USER@HOST:PORT".
    std::string KeyName() const;
    // The user name a mail client logs in to the proxy with: "USER/HOST", and ":PORT"
    // when the port is not 110.
    std::string LoginName() const;
};

struct SCommandLine {
    QUILLON_COMMAND command = QC_RUN;
    bool headless = false;  // --headless
    int pop3Port = -1;      // --pop3-port; -1: "ProxyPort" with its fallback
    int smtpPort = -1;      // --smtp-port; -1: not given
    SAccountName account;   // the account of an account command
    // With --add-account: --tls (empty: the port's default), --tls-ca, --tls-insecure.
    std::string tlsMode;
    std::string tlsCAFile;
    bool tlsInsecure = false;
    // With --add-account: --smtp, the SMTP server that mail from clients without AUTH is
    // relayed to (empty: none).
    std::string smtpServer;
    int smtpServerPort = 587;
};

// `arguments` without the program name. False with `error` set (one line, no "quillon:"
// prefix) for an unknown option, a missing or bad value, a bad account name, two
// commands at once, or run options given to an account command. --help wins over every
// other valid option, then --version.
bool ParseCommandLine(const std::vector<std::string>& arguments, SCommandLine& commandLine,
                      std::string& error);

// USER@HOST[:PORT]: the user is everything before the last '@' (an ISP user name may
// hold an '@' itself), the port follows the last ':' of the rest (1 to 65535, default
// 110). Refused: an empty user or host, a backslash or control byte anywhere (neither
// can stand in a registry key name), a '/' in the user (the mail client's USER/HOST
// login splits at the first '/'), and a '/', ':' or blank in the host.
bool ParseAccountName(const std::string& text, SAccountName& account, std::string& error);

// SMTPHOST[:PORT] of --smtp (port 1 to 65535, default 587). Refused: an empty host, a
// '/', '\\', blank or control byte in it. `host` and `port` are left alone then.
bool ParseServerName(const std::string& text, std::string& host, int& port, std::string& error);

// A port number of decimal digits only, `lowest` to 65535.
bool ParsePortNumber(const std::string& text, int lowest, int& port);

// The --help text.
const char* UsageText();
