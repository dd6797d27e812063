// The command line and the USER@HOST[:PORT] account names, as tables of input and what
// the parser makes of it ("!part": refused, the error holding `part`).
#include "app/Options.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

struct SCase {
    std::string input;
    const char* expected;
};

void ExpectResult(const std::string& actual, const char* expected) {
    using ::testing::HasSubstr;
    using ::testing::StartsWith;
    if (expected[0] == '!')
        EXPECT_THAT(actual, ::testing::AllOf(StartsWith("error: "), HasSubstr(expected + 1)));
    else
        EXPECT_EQ(actual, expected);
}

// "USER|HOST|PORT", or "error: " and the error.
std::string ParsedAccount(const std::string& text) {
    SAccountName account;
    account.user = "untouched";
    std::string error;
    if (!ParseAccountName(text, account, error)) {
        EXPECT_EQ(account.user, "untouched") << "a refused name leaves the result alone";
        // The error is one line and carries no raw control byte to the terminal.
        for (char ch : error)
            EXPECT_FALSE(static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) << error;
        return "error: " + error;
    }
    EXPECT_EQ(error, "");
    return account.user + "|" + account.host + "|" + std::to_string(account.port);
}

// The command, the run options and the account key of the words of `line`, or
// "error: " and the error.
std::string Line(const std::string& line) {
    std::vector<std::string> arguments;
    std::istringstream words(line);
    for (std::string word; words >> word;) arguments.push_back(word);
    SCommandLine parsed;
    parsed.pop3Port = 4321;
    std::string error;
    if (!ParseCommandLine(arguments, parsed, error)) {
        EXPECT_EQ(parsed.pop3Port, 4321) << "a refused command line leaves the result alone";
        return "error: " + error;
    }
    static const char* const kCommands[] = {"run",    "version", "help",   "add",
                                            "remove", "disable", "enable", "list"};
    std::string out = kCommands[parsed.command];
    if (parsed.headless)
        out += " headless";
    if (parsed.pop3Port != -1)
        out += " pop3=" + std::to_string(parsed.pop3Port);
    if (parsed.smtpPort != -1)
        out += " smtp=" + std::to_string(parsed.smtpPort);
    if (parsed.command >= QC_ADD_ACCOUNT && parsed.command != QC_LIST_ACCOUNTS)
        out += " " + parsed.account.KeyName();
    if (!parsed.tlsMode.empty())
        out += " tls=" + parsed.tlsMode;
    if (!parsed.tlsCAFile.empty())
        out += " ca=" + parsed.tlsCAFile;
    if (parsed.tlsInsecure)
        out += " insecure";
    if (!parsed.smtpServer.empty())
        out += " via=" + parsed.smtpServer + ":" + std::to_string(parsed.smtpServerPort);
    return out;
}

TEST(OptionsTest, AccountNames) {
    const SCase kCases[] = {
        {"bob@pop.example.com", "bob|pop.example.com|110"},
        {"bob@pop.example.com:995", "bob|pop.example.com|995"},
        {"bob@127.0.0.1:1", "bob|127.0.0.1|1"},
        {"bob@host:65535", "bob|host|65535"},
        {"bob@host:00110", "bob|host|110"},
        // An ISP user name with an '@' of its own: the host follows the last '@'.
        {"bob@example.com@pop.example.com:1110", "bob@example.com|pop.example.com|1110"},
        {"Bob Smith@host", "Bob Smith|host|110"},
        {"b\xc3\xb6rje@host", "b\xc3\xb6rje|host|110"},
        {"", "!USER@HOST"},
        {"bob", "!USER@HOST"},
        {"@host", "!no user name"},
        {"bob@", "!no server host"},
        {"bob@:110", "!no server host"},
        {"bob@host:", "!port"},
        {"bob@host:0", "!port"},
        {"bob@host:65536", "!port"},
        {"bob@host:99999999999", "!port"},
        {"bob@host:-1", "!port"},
        {"bob@host:+1", "!port"},
        {"bob@host:1x", "!port"},
        {"bob@host: 110", "!port"},
        {"bob@host:110:110", "!not a host name"},
        {"bob@ho st", "!not a host name"},
        {"bob@host/x", "!not a host name"},
        {"bo/b@host", "!'/'"},
        {"bo\\b@host", "!backslash"},
        {"bob@ho\\st", "!backslash"},
        {"bob@host:1\\", "!backslash"},
        {"bo\tb@host", "!control character"},
        {"bob@host\n", "!control character"},
        {"bob\x7f@host", "!control character"},
        {"bob@host:110\x01", "!control character"},
    };
    for (const SCase& c : kCases) {
        SCOPED_TRACE(::testing::PrintToString(c.input));
        ExpectResult(ParsedAccount(c.input), c.expected);
    }

    SAccountName account;
    std::string error;
    ASSERT_TRUE(ParseAccountName("bob@pop.example.com", account, error));
    EXPECT_EQ(account.KeyName(), "bob@pop.example.com:110");
    EXPECT_EQ(account.LoginName(), "bob/pop.example.com");
    ASSERT_TRUE(ParseAccountName("ann@example.com@mail.example.com:2110", account, error));
    EXPECT_EQ(account.KeyName(), "ann@example.com@mail.example.com:2110");
    EXPECT_EQ(account.LoginName(), "ann@example.com/mail.example.com:2110");
}

TEST(OptionsTest, CommandLines) {
    const SCase kCases[] = {
        {"", "run"},
        {"--headless", "run headless"},
        {"--headless --pop3-port 2111", "run headless pop3=2111"},
        {"--pop3-port=0 --headless", "run headless pop3=0"},
        {"--pop3-port 65535", "run pop3=65535"},
        {"--headless --pop3-port 1 --smtp-port 2", "run headless pop3=1 smtp=2"},
        {"--version", "version"},
        {"--help", "help"},
        {"-h", "help"},
        {"--version --help", "help"},
        {"--add-account bob@host --help", "help"},
        {"--headless --version", "version headless"},
        {"--add-account bob@host", "add bob@host:110"},
        {"--add-account=bob@host:1110", "add bob@host:1110"},
        {"--remove-account bob@host:995", "remove bob@host:995"},
        {"--disable-account bob@host", "disable bob@host:110"},
        {"--enable-account bob@host", "enable bob@host:110"},
        {"--no-such-option", "!unknown option '--no-such-option'"},
        {"-x", "!unknown option '-x'"},
        {"--Headless", "!unknown option"},
        {"headless", "!unexpected argument 'headless'"},
        {"--headless extra", "!unexpected argument"},
        {"--headless=yes", "!takes no value"},
        {"--pop3-port", "!needs a value"},
        {"--pop3-port -1", "!not a port number"},
        {"--pop3-port 65536", "!not a port number"},
        {"--pop3-port 21a", "!not a port number"},
        {"--pop3-port=", "!not a port number"},
        {"--pop3-port 1 --pop3-port 2", "!twice"},
        {"--smtp-port x", "!--smtp-port"},
        {"--add-account", "!needs a value"},
        {"--add-account bob", "!USER@HOST"},
        {"--add-account bob@host:0", "!port"},
        {"--add-account a@h --remove-account a@h", "!cannot be combined"},
        {"--add-account a@h --add-account b@h", "!cannot be combined"},
        {"--add-account a@h --headless", "!'--headless' cannot be combined with '--add-account'"},
        {"--pop3-port 1 --enable-account a@h", "!'--pop3-port' cannot be combined"},
        {"--list-accounts", "list"},
        {"--list-accounts=x", "!takes no value"},
        {"--list-accounts --add-account a@h", "!cannot be combined"},
        {"--add-account a@h:995 --tls STLS", "add a@h:995 tls=stls"},
        {"--tls=pop3s --add-account a@h", "add a@h:110 tls=pop3s"},
        {"--add-account a@h --tls none", "add a@h:110 tls=none"},
        {"--add-account a@h --tls-ca ca.pem --tls-insecure", "add a@h:110 ca=ca.pem insecure"},
        {"--add-account a@h --tls tls", "!'tls' is not pop3s, stls or none"},
        {"--add-account a@h --tls", "!needs a value"},
        {"--add-account a@h --tls-ca=", "!needs a file name"},
        {"--add-account a@h --tls none --tls stls", "!twice"},
        {"--add-account a@h --tls-insecure --tls-insecure", "!twice"},
        {"--add-account a@h --tls none --tls-insecure", "!cannot be combined with '--tls none'"},
        {"--add-account a@h --tls-ca f --tls none", "!cannot be combined with '--tls none'"},
        {"--tls-insecure", "!goes with '--add-account' only"},
        {"--enable-account a@h --tls-ca f", "!goes with '--add-account' only"},
        {"--headless --tls stls", "!goes with '--add-account' only"},
        {"--add-account a@h --smtp smtp.h", "add a@h:110 via=smtp.h:587"},
        {"--smtp=smtp.h:25 --add-account a@h --tls none", "add a@h:110 tls=none via=smtp.h:25"},
        {"--add-account a@h --smtp 127.0.0.1:65535", "add a@h:110 via=127.0.0.1:65535"},
        {"--add-account a@h --smtp s:0", "!port"},
        {"--add-account a@h --smtp s:x", "!port"},
        {"--add-account a@h --smtp :25", "!SMTPHOST[:PORT]"},
        {"--add-account a@h --smtp s/t", "!SMTPHOST[:PORT]"},
        {"--add-account a@h --smtp s:1:2", "!SMTPHOST[:PORT]"},
        {"--add-account a@h --smtp s --smtp t", "!twice"},
        {"--add-account a@h --smtp", "!needs a value"},
        {"--smtp s", "!'--smtp' goes with '--add-account' only"},
        {"--headless --smtp-port 0 --smtp s", "!goes with '--add-account' only"},
    };
    for (const SCase& c : kCases) {
        SCOPED_TRACE(c.input);
        ExpectResult(Line(c.input), c.expected);
    }
}

TEST(OptionsTest, PortNumberBounds) {
    int port = -7;
    EXPECT_TRUE(ParsePortNumber("0", 0, port));
    EXPECT_EQ(port, 0);
    EXPECT_FALSE(ParsePortNumber("0", 1, port));
    EXPECT_EQ(port, 0) << "a refused number leaves the result alone";
    EXPECT_TRUE(ParsePortNumber("65535", 1, port));
    EXPECT_EQ(port, 65535);
    EXPECT_FALSE(ParsePortNumber("65536", 1, port));
    EXPECT_FALSE(ParsePortNumber("", 0, port));
    EXPECT_FALSE(ParsePortNumber("4294967407", 0, port)) << "no wrap-around to 111";
}

TEST(OptionsTest, UsageNamesEveryOption) {
    const std::string usage = UsageText();
    for (const char* option :
         {"--headless", "--pop3-port", "--smtp-port", "--add-account", "--remove-account",
          "--disable-account", "--enable-account", "--list-accounts", "--tls", "--tls-ca",
          "--tls-insecure", "--smtp", "--version", "--help"})
        EXPECT_NE(usage.find(option), std::string::npos) << option;
}

}  // namespace
