// The built quillon program, run as a process with a private QUILLON_HOME: the engine's
// start, its port fallback, the one-instance lock, the signals that end it, and the
// account commands.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "PortHolder.h"
#include "TestHome.h"
#include "ferrymail/AccountTable.h"
#include "kinbook/RegistryKey.h"

extern char** environ;

namespace {

constexpr int kStartTimeoutMs = 15000;
constexpr int kStopTimeoutMs = 5000;
constexpr const char kListening[] = "POP3 proxy listening on 127.0.0.1:";
constexpr const char kClientsKey[] = "Software\\Brevant\\Quillon\\Clients";

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One run of the quillon program with its standard output and error collected.
class CQuillonProcess {
public:
    // `environment`: variables to set (a value) or remove (nullopt) for the program;
    // DISPLAY and WAYLAND_DISPLAY are removed unless given.
    explicit CQuillonProcess(std::vector<std::string> arguments,
                             std::map<std::string, std::optional<std::string>> environment = {}) {
        environment.emplace("DISPLAY", std::nullopt);
        environment.emplace("WAYLAND_DISPLAY", std::nullopt);
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (environment.count(entry.substr(0, entry.find('='))) == 0)
                env.push_back(entry);
        }
        for (const auto& [name, value] : environment)
            if (value)
                env.push_back(name + "=" + *value);
        arguments.insert(arguments.begin(), std::string(QUILLON_BIN_DIR) + "/quillon");

        std::vector<char*> argv, envp;
        for (std::string& a : arguments) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (std::string& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);

        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], 1);
            dup2(err[1], 2);
            const int devNull = open("/dev/null", O_RDONLY);
            dup2(devNull, 0);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        m_out = out[0];
        m_err = err[0];
    }
    ~CQuillonProcess() {
        if (m_pid > 0 && !m_exited) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        for (int fd : {m_out, m_err})
            if (fd >= 0)
                close(fd);
    }

    // Reads until standard output holds `text`; false when the time is up or the
    // program has ended without it.
    bool WaitForOutput(const std::string& text, int timeoutMs) {
        const long long deadline = NowMs() + timeoutMs;
        while (m_output.find(text) == std::string::npos) {
            if (NowMs() >= deadline || (!Read(20) && m_outClosed && m_errClosed))
                return m_output.find(text) != std::string::npos;
        }
        return true;
    }
    // The port of the "listening" line, 0 when it did not come.
    int WaitForListening(int timeoutMs = kStartTimeoutMs) {
        const long long deadline = NowMs() + timeoutMs;
        if (!WaitForOutput(kListening, timeoutMs))
            return 0;
        const size_t at = m_output.find(kListening) + std::strlen(kListening);
        while (m_output.find('\n', at) == std::string::npos)  // the rest of the line
            if (NowMs() >= deadline || (!Read(20) && m_outClosed))
                return 0;
        return std::atoi(m_output.c_str() + at);
    }
    // Waits until the program ends: its exit code, -signal when a signal ended it, or
    // nullopt when it still runs after `timeoutMs`.
    std::optional<int> WaitForExit(int timeoutMs) {
        const long long deadline = NowMs() + timeoutMs;
        for (;;) {
            if (!m_exited) {
                int status = 0;
                if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                    m_exited = true;
                    m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
                }
            }
            if (m_exited) {
                while (!(m_outClosed && m_errClosed) && Read(100)) {
                }
                return m_exitCode;
            }
            if (NowMs() >= deadline)
                return std::nullopt;
            Read(20);
        }
    }
    void Signal(int signalNumber) { kill(m_pid, signalNumber); }
    pid_t Pid() const { return m_pid; }
    const std::string& Output() const { return m_output; }
    const std::string& Errors() const { return m_errors; }
    std::string Both() const { return "stdout:\n" + m_output + "stderr:\n" + m_errors; }

private:
    // Takes what the pipes hold, waiting up to `timeoutMs`; false when nothing came.
    bool Read(int timeoutMs) {
        pollfd fds[2] = {{m_outClosed ? -1 : m_out, POLLIN, 0},
                         {m_errClosed ? -1 : m_err, POLLIN, 0}};
        if (m_outClosed && m_errClosed) {
            usleep(static_cast<useconds_t>(timeoutMs) * 1000);
            return false;
        }
        if (poll(fds, 2, timeoutMs) <= 0)
            return false;
        bool got = false;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0)
                continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? m_output : m_errors).append(buffer, static_cast<size_t>(n));
                got = true;
            } else {
                (i == 0 ? m_outClosed : m_errClosed) = true;
            }
        }
        return got;
    }

    pid_t m_pid = -1;
    int m_out = -1, m_err = -1;
    bool m_outClosed = false, m_errClosed = false;
    bool m_exited = false;
    int m_exitCode = 0;
    std::string m_output, m_errors;
};

class ProgramTest : public ::testing::Test {
protected:
    // Runs a command that ends by itself.
    static int Run(CQuillonProcess& process) {
        const std::optional<int> code = process.WaitForExit(kStartTimeoutMs);
        EXPECT_TRUE(code.has_value()) << "quillon did not end\n" << process.Both();
        return code.value_or(-1000);
    }
    static void Stop(CQuillonProcess& process, int signalNumber = SIGTERM) {
        process.Signal(signalNumber);
        const std::optional<int> code = process.WaitForExit(kStopTimeoutMs);
        ASSERT_TRUE(code.has_value())
            << "quillon still runs " << kStopTimeoutMs << " ms after the signal\n"
            << process.Both();
        EXPECT_EQ(*code, 0) << process.Both();
    }
    static int ClientsValue(const char* name) {
        CRegistryKey key;
        DWORD value = 0;
        if (!key.Open(HKEY_CURRENT_USER, kClientsKey, KEY_READ) || !key.QueryValue(name, value))
            return -1;
        return static_cast<int>(value);
    }
    std::string HiveText() const {
        std::ifstream in(m_home.HiveFile());
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    CTestHome m_home;
};

TEST_F(ProgramTest, TakenProxyPortFallsBackToTheNextAndRewritesBothPorts) {
    std::vector<std::unique_ptr<CPortHolder>> holders;
    const int taken = FindFreePortRun(2, 1, holders);
    ASSERT_NE(taken, 0);
    {
        CRegistryKey key;
        ASSERT_TRUE(key.OpenCarefully(HKEY_CURRENT_USER, kClientsKey));
        ASSERT_TRUE(key.SetValue("ProxyPort", taken));
    }
    CQuillonProcess quillon({"--headless"});
    ASSERT_EQ(quillon.WaitForListening(), taken + 1) << quillon.Both();
    EXPECT_NE(quillon.Output().find("port " + std::to_string(taken) + " is taken"),
              std::string::npos)
        << quillon.Both();
    EXPECT_EQ(ClientsValue("ProxyPort"), taken + 1);
    EXPECT_EQ(ClientsValue("SMTPProxyPort"), taken + 1 - 85);
    Stop(quillon);
}

TEST_F(ProgramTest, FixedPortThatIsTakenFailsClearly) {
    CPortHolder taken(0);
    ASSERT_TRUE(taken.IsHeld());
    CQuillonProcess quillon({"--headless", "--pop3-port", std::to_string(taken.Port())});
    EXPECT_EQ(Run(quillon), 1) << quillon.Both();
    EXPECT_NE(quillon.Errors().find("cannot listen on 127.0.0.1:" + std::to_string(taken.Port())),
              std::string::npos)
        << quillon.Both();
    EXPECT_EQ(quillon.Output().find(kListening), std::string::npos) << "no fallback port";
    EXPECT_EQ(ClientsValue("ProxyPort"), -1) << "nothing written";
    EXPECT_EQ(ClientsValue("SMTPProxyPort"), -1);
}

TEST_F(ProgramTest, SecondInstanceOnTheSameDataFolderRefuses) {
    CQuillonProcess first({"--headless", "--pop3-port", "0"});
    ASSERT_GT(first.WaitForListening(), 0) << first.Both();
    CQuillonProcess second({"--headless", "--pop3-port", "0"});
    EXPECT_EQ(Run(second), 1) << second.Both();
    EXPECT_NE(second.Errors().find("already running"), std::string::npos) << second.Both();
    EXPECT_NE(second.Errors().find("process " + std::to_string(first.Pid())), std::string::npos)
        << second.Both();
    EXPECT_EQ(second.Output().find(kListening), std::string::npos) << second.Both();
    Stop(first);

    // Another data folder is another instance.
    CTestHome otherHome;
    CQuillonProcess third({"--headless", "--pop3-port", "0"});
    EXPECT_GT(third.WaitForListening(), 0) << third.Both();
    Stop(third);
}

TEST_F(ProgramTest, LockOfAKilledInstanceDoesNotBlock) {
    CQuillonProcess killed({"--headless", "--pop3-port", "0"});
    ASSERT_GT(killed.WaitForListening(), 0) << killed.Both();
    killed.Signal(SIGKILL);
    ASSERT_EQ(killed.WaitForExit(kStopTimeoutMs), std::optional<int>(-SIGKILL));
    ASSERT_EQ(access((m_home.Path() + "/quillon.lock").c_str(), F_OK), 0) << "the lock file stays";

    CQuillonProcess next({"--headless", "--pop3-port", "0"});
    EXPECT_GT(next.WaitForListening(), 0) << next.Both();
    Stop(next);
}

TEST_F(ProgramTest, SignalsEndItWithExitCodeZeroWhileAClientIsConnected) {
    for (int signalNumber : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signalNumber == SIGTERM ? "SIGTERM" : "SIGINT");
        CQuillonProcess quillon({"--headless", "--pop3-port", "0"});
        const int port = quillon.WaitForListening();
        ASSERT_GT(port, 0) << quillon.Both();

        const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        const char user[] = "USER bob/127.0.0.1\r\n";
        EXPECT_EQ(send(client, user, sizeof user - 1, MSG_NOSIGNAL),
                  static_cast<ssize_t>(sizeof user - 1));

        Stop(quillon, signalNumber);
        EXPECT_NE(
            quillon.Output().find(signalNumber == SIGTERM ? "SIGTERM received" : "SIGINT received"),
            std::string::npos)
            << quillon.Both();
        close(client);
        // The lock went with it.
        CQuillonProcess next({"--headless", "--pop3-port", "0"});
        EXPECT_GT(next.WaitForListening(), 0) << next.Both();
        Stop(next);
    }
}

TEST_F(ProgramTest, WithoutHeadlessItSaysWhyItRunsHeadless) {
    {
        CQuillonProcess quillon({"--pop3-port", "0"});
        ASSERT_GT(quillon.WaitForListening(), 0) << quillon.Both();
        EXPECT_NE(quillon.Output().find("no display; running headless"), std::string::npos)
            << quillon.Both();
        Stop(quillon);
    }
    {
        CQuillonProcess quillon({"--pop3-port", "0"}, {{"DISPLAY", ":77"}});
        ASSERT_GT(quillon.WaitForListening(), 0) << quillon.Both();
        EXPECT_NE(quillon.Output().find("window is not available yet; running headless"),
                  std::string::npos)
            << quillon.Both();
        Stop(quillon);
    }
    CQuillonProcess headless({"--headless", "--pop3-port", "0"}, {{"DISPLAY", ":77"}});
    ASSERT_GT(headless.WaitForListening(), 0) << headless.Both();
    EXPECT_EQ(headless.Output().find("running headless"), std::string::npos) << headless.Both();
    Stop(headless);
}

TEST_F(ProgramTest, AccountCommandsRegisterWhatTheAccountTableFinds) {
    CQuillonProcess add({"--add-account", "bob@127.0.0.1:1110"});
    ASSERT_EQ(Run(add), 0) << add.Both();
    EXPECT_NE(add.Output().find("bob/127.0.0.1:1110"), std::string::npos) << add.Both();

    LoadAccountTable(FALSE);
    CAccountData* account = FindAccountByServer("127.0.0.1", "bob", "Direct client");
    ASSERT_NE(account, nullptr);
    EXPECT_EQ(account->m_serverPort, 1110);
    EXPECT_TRUE(IsAccountEnabled(account));
    CRefCount::DoRelease(account);

    CQuillonProcess disable({"--disable-account", "bob@127.0.0.1:1110"});
    ASSERT_EQ(Run(disable), 0) << disable.Both();
    account = FindAccountByServer("127.0.0.1", "bob", "Direct client");
    ASSERT_NE(account, nullptr);
    EXPECT_FALSE(IsAccountEnabled(account));
    CRefCount::DoRelease(account);

    CQuillonProcess remove({"--remove-account", "bob@127.0.0.1:1110"});
    ASSERT_EQ(Run(remove), 0) << remove.Both();
    EXPECT_EQ(FindAccountByServer("127.0.0.1", "bob", "Direct client"), nullptr);

    CQuillonProcess again({"--remove-account", "bob@127.0.0.1:1110"});
    EXPECT_EQ(Run(again), 1) << again.Both();
    EXPECT_NE(again.Errors().find("no account bob@127.0.0.1:1110"), std::string::npos)
        << again.Both();
    ClearAccountTable(TRUE);
}

TEST_F(ProgramTest, BadSpecsAndOptionsExitTwoAndWriteNothing) {
    CQuillonProcess add({"--add-account", "ann@pop.example.com"});
    ASSERT_EQ(Run(add), 0) << add.Both();
    const std::string hive = HiveText();
    ASSERT_NE(hive.find("ann@pop.example.com:110"), std::string::npos);

    const std::vector<std::vector<std::string>> bad = {
        {"--add-account", "@pop.example.com"},
        {"--add-account", "bob@"},
        {"--add-account", "bob@pop.example.com:0"},
        {"--add-account", "bob@pop.example.com:65536"},
        {"--add-account", "bo\\b@pop.example.com"},
        {"--add-account", "bob@pop.example.com\n"},
        {"--remove-account", "ann@pop.example.com:x"},
        {"--disable-account", "ann"},
        {"--no-such-option"},
        {"--pop3-port", "70000"},
        {"--headless", "--add-account", "bob@pop.example.com"},
    };
    for (const std::vector<std::string>& arguments : bad) {
        CQuillonProcess quillon(arguments);
        EXPECT_EQ(Run(quillon), 2) << arguments[0] << "\n" << quillon.Both();
        EXPECT_NE(quillon.Errors().find("quillon: "), std::string::npos) << quillon.Both();
        EXPECT_TRUE(quillon.Output().empty()) << quillon.Both();
    }
    EXPECT_EQ(HiveText(), hive) << "a refused command writes nothing";
}

TEST_F(ProgramTest, VersionAndHelp) {
    CQuillonProcess version({"--version"});
    EXPECT_EQ(Run(version), 0);
    EXPECT_EQ(version.Output(), "Quillon Version 1.0.0, build 65\n");
    CQuillonProcess help({"--help"});
    EXPECT_EQ(Run(help), 0);
    EXPECT_NE(help.Output().find("--add-account USER@HOST[:PORT]"), std::string::npos)
        << help.Both();
    EXPECT_NE(help.Output().find("--pop3-port N"), std::string::npos) << help.Both();
}

}  // namespace
