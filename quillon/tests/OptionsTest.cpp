#include "app/Options.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct SSpecCase {
    const char* text;
    bool valid;
    const char* user;
    const char* host;
    int port;
    const char* errorPart;  // a piece of the error text when not valid
};

const SSpecCase kSpecCases[] = {
    {"bob@pop.example.com", true, "bob", "pop.example.com", 110, nullptr},
    {"bob@pop.example.com:995", true, "bob", "pop.example.com", 995, nullptr},
    {"bob@127.0.0.1:1", true, "bob", "127.0.0.1", 1, nullptr},
    {"bob@host:65535", true, "bob", "host", 65535, nullptr},
    {"bob@host:00110", true, "bob", "host", 110, nullptr},
    // An ISP user name with an '@' of its own: the host follows the last '@'.
    {"bob@example.com@pop.example.com:1110", true, "bob@example.com", "pop.example.com", 1110,
     nullptr},
    {"Bob Smith@host", true, "Bob Smith", "host", 110, nullptr},
    {"b\xc3\xb6rje@host", true, "b\xc3\xb6rje", "host", 110, nullptr},
    {"", false, nullptr, nullptr, 0, "USER@HOST"},
    {"bob", false, nullptr, nullptr, 0, "USER@HOST"},
    {"@host", false, nullptr, nullptr, 0, "no user name"},
    {"bob@", false, nullptr, nullptr, 0, "no server host"},
    {"bob@:110", false, nullptr, nullptr, 0, "no server host"},
    {"bob@host:", false, nullptr, nullptr, 0, "port"},
    {"bob@host:0", false, nullptr, nullptr, 0, "port"},
    {"bob@host:65536", false, nullptr, nullptr, 0, "port"},
    {"bob@host:99999999999", false, nullptr, nullptr, 0, "port"},
    {"bob@host:-1", false, nullptr, nullptr, 0, "port"},
    {"bob@host:+1", false, nullptr, nullptr, 0, "port"},
    {"bob@host:1x", false, nullptr, nullptr, 0, "port"},
    {"bob@host: 110", false, nullptr, nullptr, 0, "port"},
    {"bob@host:110:110", false, nullptr, nullptr, 0, "not a host name"},
    {"bob@ho st", false, nullptr, nullptr, 0, "not a host name"},
    {"bob@host/x", false, nullptr, nullptr, 0, "not a host name"},
    {"bo/b@host", false, nullptr, nullptr, 0, "'/'"},
    {"bo\\b@host", false, nullptr, nullptr, 0, "backslash"},
    {"bob@ho\\st", false, nullptr, nullptr, 0, "backslash"},
    {"bob@host:1\\", false, nullptr, nullptr, 0, "backslash"},
    {"bo\tb@host", false, nullptr, nullptr, 0, "control character"},
    {"bob@host\n", false, nullptr, nullptr, 0, "control character"},
    {"bob@host\r", false, nullptr, nullptr, 0, "control character"},
    {"bob\x7f@host", false, nullptr, nullptr, 0, "control character"},
    {"bob@host:110\x01", false, nullptr, nullptr, 0, "control character"},
};

// Case names for the test list: the input with control bytes and backslashes escaped.
std::string Printable(const std::string& text) {
    std::string printable;
    for (unsigned char c : text) {
        if (c < 0x20 || c >= 0x7f || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            printable += escaped;
        } else {
            printable += static_cast<char>(c);
        }
    }
    return printable;
}

void PrintTo(const SSpecCase& c, std::ostream* out) {
    *out << '"' << Printable(c.text) << '"';
}

class AccountSpecTest : public ::testing::TestWithParam<SSpecCase> {};

TEST_P(AccountSpecTest, ParsesOrRefuses) {
    const SSpecCase& c = GetParam();
    SAccountSpec spec;
    spec.user = "untouched";
    std::string error;
    ASSERT_EQ(ParseAccountSpec(c.text, spec, error), c.valid) << error;
    if (c.valid) {
        EXPECT_EQ(spec.user, c.user);
        EXPECT_EQ(spec.host, c.host);
        EXPECT_EQ(spec.port, c.port);
        EXPECT_TRUE(error.empty());
    } else {
        EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
        EXPECT_EQ(spec.user, "untouched") << "a refused spec leaves the result alone";
        // The error is one line and carries no raw control byte to the terminal.
        for (char ch : error)
            EXPECT_FALSE(static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) << error;
    }
}

INSTANTIATE_TEST_SUITE_P(Specs, AccountSpecTest, ::testing::ValuesIn(kSpecCases));

TEST(AccountSpecNamesTest, KeyAndLoginNames) {
    SAccountSpec spec;
    std::string error;
    ASSERT_TRUE(ParseAccountSpec("bob@pop.example.com", spec, error));
    EXPECT_EQ(spec.KeyName(), "bob@pop.example.com:110");
    EXPECT_EQ(spec.LoginName(), "bob/pop.example.com");
    ASSERT_TRUE(ParseAccountSpec("ann@example.com@mail.example.com:2110", spec, error));
    EXPECT_EQ(spec.KeyName(), "ann@example.com@mail.example.com:2110");
    EXPECT_EQ(spec.LoginName(), "ann@example.com/mail.example.com:2110");
}

struct SLineCase {
    std::vector<std::string> arguments;
    bool valid;
    QUILLON_COMMAND command;
    bool headless;
    int pop3Port;
    int smtpPort;
    const char* accountKey;  // the parsed account's key name, for account commands
    const char* errorPart;
};

const SLineCase kLineCases[] = {
    {{}, true, QC_RUN, false, -1, -1, nullptr, nullptr},
    {{"--headless"}, true, QC_RUN, true, -1, -1, nullptr, nullptr},
    {{"--headless", "--pop3-port", "2111"}, true, QC_RUN, true, 2111, -1, nullptr, nullptr},
    {{"--pop3-port=0", "--headless"}, true, QC_RUN, true, 0, -1, nullptr, nullptr},
    {{"--pop3-port", "65535"}, true, QC_RUN, false, 65535, -1, nullptr, nullptr},
    {{"--headless", "--pop3-port", "1", "--smtp-port", "2"},
     true,
     QC_RUN,
     true,
     1,
     2,
     nullptr,
     nullptr},
    {{"--version"}, true, QC_VERSION, false, -1, -1, nullptr, nullptr},
    {{"--help"}, true, QC_HELP, false, -1, -1, nullptr, nullptr},
    {{"-h"}, true, QC_HELP, false, -1, -1, nullptr, nullptr},
    {{"--version", "--help"}, true, QC_HELP, false, -1, -1, nullptr, nullptr},
    {{"--add-account", "bob@host", "--help"}, true, QC_HELP, false, -1, -1, nullptr, nullptr},
    {{"--headless", "--version"}, true, QC_VERSION, true, -1, -1, nullptr, nullptr},
    {{"--add-account", "bob@host"}, true, QC_ADD_ACCOUNT, false, -1, -1, "bob@host:110", nullptr},
    {{"--add-account=bob@host:1110"},
     true,
     QC_ADD_ACCOUNT,
     false,
     -1,
     -1,
     "bob@host:1110",
     nullptr},
    {{"--remove-account", "bob@host:995"},
     true,
     QC_REMOVE_ACCOUNT,
     false,
     -1,
     -1,
     "bob@host:995",
     nullptr},
    {{"--disable-account", "bob@host"},
     true,
     QC_DISABLE_ACCOUNT,
     false,
     -1,
     -1,
     "bob@host:110",
     nullptr},
    {{"--enable-account", "bob@host"},
     true,
     QC_ENABLE_ACCOUNT,
     false,
     -1,
     -1,
     "bob@host:110",
     nullptr},
    {{"--no-such-option"},
     false,
     QC_RUN,
     false,
     -1,
     -1,
     nullptr,
     "unknown option '--no-such-option'"},
    {{"-x"}, false, QC_RUN, false, -1, -1, nullptr, "unknown option '-x'"},
    {{"--Headless"}, false, QC_RUN, false, -1, -1, nullptr, "unknown option"},
    {{"headless"}, false, QC_RUN, false, -1, -1, nullptr, "unexpected argument 'headless'"},
    {{"--headless", "extra"}, false, QC_RUN, false, -1, -1, nullptr, "unexpected argument"},
    {{"--headless=yes"}, false, QC_RUN, false, -1, -1, nullptr, "takes no value"},
    {{"--pop3-port"}, false, QC_RUN, false, -1, -1, nullptr, "needs a value"},
    {{"--pop3-port", "-1"}, false, QC_RUN, false, -1, -1, nullptr, "not a port number"},
    {{"--pop3-port", "65536"}, false, QC_RUN, false, -1, -1, nullptr, "not a port number"},
    {{"--pop3-port", "21a"}, false, QC_RUN, false, -1, -1, nullptr, "not a port number"},
    {{"--pop3-port="}, false, QC_RUN, false, -1, -1, nullptr, "not a port number"},
    {{"--pop3-port", "1", "--pop3-port", "2"}, false, QC_RUN, false, -1, -1, nullptr, "twice"},
    {{"--smtp-port", "x"}, false, QC_RUN, false, -1, -1, nullptr, "--smtp-port"},
    {{"--add-account"}, false, QC_RUN, false, -1, -1, nullptr, "needs a value"},
    {{"--add-account", "bob"}, false, QC_RUN, false, -1, -1, nullptr, "USER@HOST"},
    {{"--add-account", "bob@host:0"}, false, QC_RUN, false, -1, -1, nullptr, "port"},
    {{"--add-account", "a@h", "--remove-account", "a@h"},
     false,
     QC_RUN,
     false,
     -1,
     -1,
     nullptr,
     "cannot be combined"},
    {{"--add-account", "a@h", "--add-account", "b@h"},
     false,
     QC_RUN,
     false,
     -1,
     -1,
     nullptr,
     "cannot be combined"},
    {{"--add-account", "a@h", "--headless"},
     false,
     QC_RUN,
     false,
     -1,
     -1,
     nullptr,
     "'--headless' cannot be combined with '--add-account'"},
    {{"--pop3-port", "1", "--enable-account", "a@h"},
     false,
     QC_RUN,
     false,
     -1,
     -1,
     nullptr,
     "'--pop3-port' cannot be combined"},
};

void PrintTo(const SLineCase& c, std::ostream* out) {
    *out << "{";
    for (size_t i = 0; i < c.arguments.size(); ++i)
        *out << (i == 0 ? "" : " ") << Printable(c.arguments[i]);
    *out << "}";
}

class CommandLineTest : public ::testing::TestWithParam<SLineCase> {};

TEST_P(CommandLineTest, ParsesOrRefuses) {
    const SLineCase& c = GetParam();
    SCommandLine line;
    line.pop3Port = 4321;
    std::string error;
    ASSERT_EQ(ParseCommandLine(c.arguments, line, error), c.valid) << error;
    if (!c.valid) {
        EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
        EXPECT_EQ(line.pop3Port, 4321) << "a refused command line leaves the result alone";
        return;
    }
    EXPECT_EQ(line.command, c.command);
    EXPECT_EQ(line.headless, c.headless);
    EXPECT_EQ(line.pop3Port, c.pop3Port);
    EXPECT_EQ(line.smtpPort, c.smtpPort);
    if (c.accountKey != nullptr) {
        EXPECT_EQ(line.account.KeyName(), c.accountKey);
    }
}

INSTANTIATE_TEST_SUITE_P(Lines, CommandLineTest, ::testing::ValuesIn(kLineCases));

TEST(PortNumberTest, Bounds) {
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

TEST(UsageTextTest, NamesEveryOption) {
    const std::string usage = UsageText();
    for (const char* option :
         {"--headless", "--pop3-port", "--smtp-port", "--add-account", "--remove-account",
          "--disable-account", "--enable-account", "--version", "--help"})
        EXPECT_NE(usage.find(option), std::string::npos) << option;
}

}  // namespace
