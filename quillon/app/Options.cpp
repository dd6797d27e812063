#include "app/Options.h"

#include <algorithm>
#include <cstring>

#include "ferrymail/accounts/AccountData.h"

namespace {

constexpr int kDefaultServerPort = 110;

bool IsControlByte(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

// The option name of an account command, for error texts.
const char* CommandOption(QUILLON_COMMAND command) {
    switch (command) {
        case QC_ADD_ACCOUNT:
            return "--add-account";
        case QC_REMOVE_ACCOUNT:
            return "--remove-account";
        case QC_DISABLE_ACCOUNT:
            return "--disable-account";
        case QC_ENABLE_ACCOUNT:
            return "--enable-account";
        case QC_LIST_ACCOUNTS:
            return "--list-accounts";
        default:
            return "";
    }
}

struct SOptionDefinition {
    const char* name;
    bool takesValue;
};

constexpr SOptionDefinition kOptions[] = {
    {"--headless", false},
    {"--pop3-port", true},
    {"--smtp-port", true},
    {"--add-account", true},
    {"--remove-account", true},
    {"--disable-account", true},
    {"--enable-account", true},
    {"--list-accounts", false},
    {"--tls", true},
    {"--tls-ca", true},
    {"--tls-insecure", false},
    {"--smtp", true},
    {"--version", false},
    {"--help", false},
    {"-h", false},
};

const SOptionDefinition* FindOption(const std::string& name) {
    for (const SOptionDefinition& option : kOptions)
        if (name == option.name)
            return &option;
    return nullptr;
}

}  // namespace

std::string SAccountName::KeyName() const {
    return user + "@" + host + ":" + std::to_string(port);
}

std::string SAccountName::LoginName() const {
    std::string name = user + "/" + host;
    if (port != kDefaultServerPort) {
        name += ':';
        name += std::to_string(port);
    }
    return name;
}

bool ParsePortNumber(const std::string& text, int lowest, int& port) {
    if (text.empty() || text.size() > 5)
        return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    if (value < lowest || value > 65535)
        return false;
    port = value;
    return true;
}

bool ParseAccountName(const std::string& text, SAccountName& account, std::string& error) {
    const std::string quoted = "'" + text + "'";
    for (char c : text) {
        if (c == '\\') {
            error = "account " + quoted + " contains a backslash";
            return false;
        }
        if (IsControlByte(static_cast<unsigned char>(c))) {
            error = "account contains a control character";
            return false;
        }
    }
    const size_t at = text.rfind('@');
    if (at == std::string::npos) {
        error = "account " + quoted + " is not of the form USER@HOST[:PORT]";
        return false;
    }
    SAccountName parsed;
    parsed.user = text.substr(0, at);
    std::string rest = text.substr(at + 1);
    const size_t colon = rest.rfind(':');
    if (colon != std::string::npos) {
        const std::string portText = rest.substr(colon + 1);
        if (!ParsePortNumber(portText, 1, parsed.port)) {
            error = "account " + quoted + ": the port '" + portText +
                    "' is not a number from 1 to 65535";
            return false;
        }
        rest.erase(colon);
    }
    parsed.host = rest;
    if (parsed.user.empty()) {
        error = "account " + quoted + " has no user name before the '@'";
        return false;
    }
    if (parsed.user.find('/') != std::string::npos) {
        error = "account " + quoted +
                ": a user name with '/' cannot be given as the USER/HOST login name";
        return false;
    }
    if (parsed.host.empty()) {
        error = "account " + quoted + " has no server host after the '@'";
        return false;
    }
    if (parsed.host.find_first_of("/: ") != std::string::npos) {
        error = "account " + quoted + ": '" + parsed.host + "' is not a host name";
        return false;
    }
    account = parsed;
    return true;
}

bool ParseServerName(const std::string& text, std::string& host, int& port, std::string& error) {
    std::string name = text;
    int number = kSMTPDefaultPort;
    const size_t colon = name.rfind(':');
    if (colon != std::string::npos) {
        if (!ParsePortNumber(name.substr(colon + 1), 1, number)) {
            error = "SMTP server '" + text + "': the port is not a number from 1 to 65535";
            return false;
        }
        name.erase(colon);
    }
    if (std::any_of(text.begin(), text.end(),
                    [](char c) { return IsControlByte(static_cast<unsigned char>(c)); })) {
        error = "SMTP server contains a control character";
        return false;
    }
    if (name.empty() || name.find_first_of("/\\: ") != std::string::npos) {
        error = "SMTP server '" + text + "' is not of the form SMTPHOST[:PORT]";
        return false;
    }
    host = name;
    port = number;
    return true;
}

namespace {

// What the options read so far ask for.
struct SParseState {
    SCommandLine parsed;
    bool wantHelp = false;
    bool wantVersion = false;
    bool haveAccountCommand = false;
    const char* runOption = nullptr;  // a run-only option that was given, for the error text
    const char* tlsOption = nullptr;  // a TLS or SMTP option of --add-account that was given
};

// The option at `arguments[i]` as name and value ("--name=value", or the next argument
// for an option that takes a value, advancing `i`). False with `error` set.
bool ReadOption(const std::vector<std::string>& arguments, size_t& i, std::string& name,
                std::string& value, std::string& error) {
    name = arguments[i];
    value.clear();
    bool valueGiven = false;
    const size_t equals = name.find('=');
    if (name.compare(0, 2, "--") == 0 && equals != std::string::npos) {
        value = name.substr(equals + 1);
        name.erase(equals);
        valueGiven = true;
    }
    const SOptionDefinition* option = FindOption(name);
    if (option == nullptr) {
        error = !name.empty() && name[0] == '-' ? "unknown option '" + name + "'"
                                                : "unexpected argument '" + name + "'";
        return false;
    }
    if (option->takesValue && !valueGiven) {
        if (i + 1 >= arguments.size()) {
            error = "option '" + name + "' needs a value";
            return false;
        }
        value = arguments[++i];
    } else if (!option->takesValue && valueGiven) {
        error = "option '" + name + "' takes no value";
        return false;
    }
    return true;
}

QUILLON_COMMAND AccountCommandOf(const std::string& name) {
    if (name == "--add-account")
        return QC_ADD_ACCOUNT;
    if (name == "--remove-account")
        return QC_REMOVE_ACCOUNT;
    if (name == "--disable-account")
        return QC_DISABLE_ACCOUNT;
    if (name == "--enable-account")
        return QC_ENABLE_ACCOUNT;
    if (name == "--list-accounts")
        return QC_LIST_ACCOUNTS;
    return QC_RUN;
}

bool ApplyPortOption(const std::string& name, const std::string& value, SParseState& state,
                     std::string& error) {
    const bool pop3 = name == "--pop3-port";
    int& port = pop3 ? state.parsed.pop3Port : state.parsed.smtpPort;
    if (port >= 0) {
        error = "option '" + name + "' given twice";
        return false;
    }
    if (!ParsePortNumber(value, 0, port)) {
        error = "option '" + name + "': '" + value + "' is not a port number from 0 to 65535";
        return false;
    }
    state.runOption = pop3 ? "--pop3-port" : "--smtp-port";
    return true;
}

// --tls, --tls-ca or --tls-insecure; what they go with is checked at the end.
bool ApplyTLSOption(const std::string& name, const std::string& value, SParseState& state,
                    std::string& error) {
    SCommandLine& parsed = state.parsed;
    const bool given = name == "--tls"      ? !parsed.tlsMode.empty()
                       : name == "--tls-ca" ? !parsed.tlsCAFile.empty()
                                            : parsed.tlsInsecure;
    if (given) {
        error = "option '" + name + "' given twice";
        return false;
    }
    ETLSMode mode;
    if (name == "--tls" && !ParseTLSMode(value, mode)) {
        error = "option '--tls': '" + value + "' is not pop3s, stls or none";
        return false;
    }
    if (name == "--tls-ca" && value.empty()) {
        error = "option '--tls-ca' needs a file name";
        return false;
    }
    if (name == "--tls")
        parsed.tlsMode = TLSModeName(mode);
    else if (name == "--tls-ca")
        parsed.tlsCAFile = value;
    else
        parsed.tlsInsecure = true;
    state.tlsOption = name == "--tls"      ? "--tls"
                      : name == "--tls-ca" ? "--tls-ca"
                                           : "--tls-insecure";
    return true;
}

// One known option with its value; false with `error` set.
bool ApplyOption(const std::string& name, const std::string& value, SParseState& state,
                 std::string& error) {
    if (name == "--help" || name == "-h") {
        state.wantHelp = true;
    } else if (name == "--version") {
        state.wantVersion = true;
    } else if (name == "--headless") {
        state.parsed.headless = true;
        state.runOption = "--headless";
    } else if (name == "--pop3-port" || name == "--smtp-port") {
        return ApplyPortOption(name, value, state, error);
    } else if (name.compare(0, 5, "--tls") == 0) {
        return ApplyTLSOption(name, value, state, error);
    } else if (name == "--smtp") {
        if (!state.parsed.smtpServer.empty()) {
            error = "option '--smtp' given twice";
            return false;
        }
        state.tlsOption = state.tlsOption != nullptr ? state.tlsOption : "--smtp";
        return ParseServerName(value, state.parsed.smtpServer, state.parsed.smtpServerPort, error);
    }
    const QUILLON_COMMAND accountCommand = AccountCommandOf(name);
    if (accountCommand == QC_RUN)
        return true;
    if (state.haveAccountCommand) {
        error = std::string("options '") + CommandOption(state.parsed.command) + "' and '" +
                name + "' cannot be combined";
        return false;
    }
    if (accountCommand != QC_LIST_ACCOUNTS && !ParseAccountName(value, state.parsed.account, error))
        return false;
    state.parsed.command = accountCommand;
    state.haveAccountCommand = true;
    return true;
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& arguments, SCommandLine& commandLine,
                      std::string& error) {
    SParseState state;
    for (size_t i = 0; i < arguments.size(); ++i) {
        std::string name, value;
        if (!ReadOption(arguments, i, name, value, error) ||
            !ApplyOption(name, value, state, error))
            return false;
    }
    SCommandLine& parsed = state.parsed;
    if (state.wantHelp) {
        parsed.command = QC_HELP;
    } else if (state.wantVersion) {
        parsed.command = QC_VERSION;
    } else if (state.haveAccountCommand && state.runOption != nullptr) {
        error = std::string("option '") + state.runOption + "' cannot be combined with '" +
                CommandOption(parsed.command) + "'";
        return false;
    } else if (state.tlsOption != nullptr && parsed.command != QC_ADD_ACCOUNT) {
        error = std::string("option '") + state.tlsOption + "' goes with '--add-account' only";
        return false;
    } else if (parsed.tlsMode == "none" && (parsed.tlsInsecure || !parsed.tlsCAFile.empty())) {
        error = std::string("option '") + (parsed.tlsInsecure ? "--tls-insecure" : "--tls-ca") +
                "' cannot be combined with '--tls none'";
        return false;
    }
    commandLine = parsed;
    return true;
}

const char* UsageText() {
    return "Usage: quillon [--headless] [--pop3-port N] [--smtp-port N]\n"
           "       quillon --add-account USER@HOST[:PORT] [--tls pop3s|stls|none]\n"
           "               [--tls-ca FILE] [--tls-insecure] [--smtp SMTPHOST[:PORT]]\n"
           "       quillon --remove-account | --disable-account |\n"
           "               --enable-account USER@HOST[:PORT]\n"
           "       quillon --list-accounts\n"
           "       quillon --version | --help\n"
           "\n"
           "Quillon is a local POP3 proxy that filters spam. A mail client points its POP3\n"
           "account at 127.0.0.1:2110 (\"ProxyPort\") and logs in with the user name\n"
           "USER/HOST (USER/HOST:PORT when the server's port is not 110).\n"
           "\n"
           "Options:\n"
           "  --headless           run the proxy engine without any window; it runs until\n"
           "                       SIGTERM or SIGINT. Without this option the engine also\n"
           "                       runs headless (the review window is not available yet)\n"
           "  --pop3-port N        listen for POP3 clients on 127.0.0.1:N for this run only:\n"
           "                       no fallback to other ports, nothing saved (0 takes a\n"
           "                       free port)\n"
           "  --smtp-port N        listen for SMTP clients on 127.0.0.1:N for this run only\n"
           "                       instead of \"SMTPProxyPort\" (default 2025; 0 takes a free\n"
           "                       port). The SMTP proxy runs while \"Add addressees to\n"
           "                       Friends\" is on (the default)\n"
           "  --add-account USER@HOST[:PORT]\n"
           "                       register the POP3 account USER on server HOST (port 110\n"
           "                       unless given) for mail clients that log in directly as\n"
           "                       USER/HOST[:PORT]\n"
           "  --tls pop3s|stls|none  how the proxy reaches that server: TLS from the first\n"
           "                       byte (pop3s, the default for port 995), STLS before the\n"
           "                       log-in and required (stls, the default otherwise), or in\n"
           "                       clear (none, only when given)\n"
           "  --tls-ca FILE        also trust the CA certificates of FILE for this account's\n"
           "                       server (the system's are always trusted)\n"
           "  --tls-insecure       do not check this account's server certificate; every\n"
           "                       connection says so in the log\n"
           "  --smtp SMTPHOST[:PORT]\n"
           "                       the account's SMTP server (port 587 unless given): the\n"
           "                       SMTP proxy relays mail of clients that do not log in\n"
           "                       with AUTH to it\n"
           "  --remove-account USER@HOST[:PORT]   remove that account\n"
           "  --disable-account USER@HOST[:PORT]  pass its mail through unfiltered\n"
           "  --enable-account USER@HOST[:PORT]   filter its mail again\n"
           "  --list-accounts      list the accounts with their server, TLS mode and filtering\n"
           "  --version            print the version\n"
           "  -h, --help           print this text\n"
           "\n"
           "Environment: QUILLON_HOME, when set, holds all data and settings (the registry in\n"
           "$QUILLON_HOME/registry); otherwise they are kept under $XDG_DATA_HOME/Brevant/Quillon\n"
           "and $XDG_CONFIG_HOME/Brevant/Quillon.\n";
}
