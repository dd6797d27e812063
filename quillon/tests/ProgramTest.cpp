// The built quillon program, run as a process with a private QUILLON_HOME: the engine's
// start, its port fallback, the one-instance lock, the signals that end it, and the
// account commands.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include "PortHolder.h"
#include "TestHome.h"
#include "ferrymail/accounts/AccountTable.h"
#include "kinbook/foundation/RegistryKey.h"

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

// One run of the quillon program; its standard output and error go to memory files.
class CQuillonProcess {
public:
    // DISPLAY and WAYLAND_DISPLAY are removed, and DISPLAY set to `display` when given.
    explicit CQuillonProcess(std::vector<std::string> arguments, const char* display = nullptr) {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e)
            if (std::strncmp(*e, "DISPLAY=", 8) != 0 &&
                std::strncmp(*e, "WAYLAND_DISPLAY=", 16) != 0)
                env.push_back(*e);
        if (display != nullptr)
            env.push_back(std::string("DISPLAY=") + display);
        arguments.insert(arguments.begin(), std::string(QUILLON_BIN_DIR) + "/quillon");
        std::vector<char*> argv, envp;
        for (std::string& a : arguments) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (std::string& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);

        m_out = memfd_create("quillon-stdout", MFD_CLOEXEC);
        m_err = memfd_create("quillon-stderr", MFD_CLOEXEC);
        m_pid = fork();
        if (m_pid == 0) {
            dup2(m_out, 1);
            dup2(m_err, 2);
            dup2(open("/dev/null", O_RDONLY), 0);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
    }
    ~CQuillonProcess() {
        if (m_pid > 0 && !m_exited) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        close(m_out);
        close(m_err);
    }

    // The port of the "listening" line, 0 when it did not come.
    int WaitForListening() {
        for (const long long deadline = NowMs() + kStartTimeoutMs;; usleep(20000)) {
            const bool ended = Ended();
            const std::string output = Output();
            const size_t at = output.find(kListening);
            if (at != std::string::npos && output.find('\n', at) != std::string::npos)
                return std::atoi(output.c_str() + at + std::strlen(kListening));
            if (ended || NowMs() >= deadline)
                return 0;
        }
    }
    // Its exit code, -signal when a signal ended it, or nullopt when it still runs after
    // `timeoutMs`.
    std::optional<int> WaitForExit(int timeoutMs) {
        for (const long long deadline = NowMs() + timeoutMs; !Ended(); usleep(20000))
            if (NowMs() >= deadline)
                return std::nullopt;
        return m_exitCode;
    }
    void Signal(int signalNumber) { kill(m_pid, signalNumber); }
    pid_t Pid() const { return m_pid; }
    std::string Output() const { return Contents(m_out); }
    std::string Errors() const { return Contents(m_err); }
    std::string Both() const { return "stdout:\n" + Output() + "stderr:\n" + Errors(); }

private:
    bool Ended() {
        int status = 0;
        if (!m_exited && waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_exited = true;
            m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        }
        return m_exited;
    }
    static std::string Contents(int fd) {
        std::string text;
        char buffer[4096];
        ssize_t n;
        while ((n = pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0)
            text.append(buffer, static_cast<size_t>(n));
        return text;
    }

    pid_t m_pid = -1;
    int m_out = -1, m_err = -1;
    bool m_exited = false;
    int m_exitCode = 0;
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
    // A run on a free port starts, then stops on SIGTERM.
    static void ExpectStartsAndStops() {
        CQuillonProcess quillon({"--headless", "--pop3-port", "0"});
        EXPECT_GT(quillon.WaitForListening(), 0) << quillon.Both();
        Stop(quillon);
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

    // A fixed port that is taken has no fallback and writes nothing.
    holders.clear();
    CPortHolder fixed(0);
    ASSERT_TRUE(fixed.IsHeld());
    CQuillonProcess failing({"--headless", "--pop3-port", std::to_string(fixed.Port())});
    EXPECT_EQ(Run(failing), 1) << failing.Both();
    EXPECT_NE(failing.Errors().find("cannot listen on 127.0.0.1:" + std::to_string(fixed.Port())),
              std::string::npos)
        << failing.Both();
    EXPECT_EQ(failing.Output().find(kListening), std::string::npos) << "no fallback port";
    EXPECT_EQ(ClientsValue("ProxyPort"), taken + 1);
}

TEST_F(ProgramTest, SecondInstanceOnTheSameDataFolderRefusesUntilTheFirstIsKilled) {
    CQuillonProcess first({"--headless", "--pop3-port", "0"});
    ASSERT_GT(first.WaitForListening(), 0) << first.Both();
    CQuillonProcess second({"--headless", "--pop3-port", "0"});
    EXPECT_EQ(Run(second), 1) << second.Both();
    EXPECT_NE(second.Errors().find("already running"), std::string::npos) << second.Both();
    EXPECT_NE(second.Errors().find("process " + std::to_string(first.Pid())), std::string::npos)
        << second.Both();
    EXPECT_EQ(second.Output().find(kListening), std::string::npos) << second.Both();
    {
        CTestHome otherHome;  // another data folder is another instance
        ExpectStartsAndStops();
    }

    first.Signal(SIGKILL);
    ASSERT_EQ(first.WaitForExit(kStopTimeoutMs), std::optional<int>(-SIGKILL));
    ASSERT_EQ(access((m_home.Path() + "/quillon.lock").c_str(), F_OK), 0) << "the lock file stays";
    ExpectStartsAndStops();
}

TEST_F(ProgramTest, SignalsEndItWithExitCodeZeroWhileAClientIsConnected) {
    for (int signalNumber : {SIGTERM, SIGINT}) {
        const char* name = signalNumber == SIGTERM ? "SIGTERM" : "SIGINT";
        SCOPED_TRACE(name);
        CQuillonProcess quillon({"--headless", "--pop3-port", "0"});
        const int port = quillon.WaitForListening();
        ASSERT_GT(port, 0) << quillon.Both();
        const int client = ConnectLoopback(port);
        ASSERT_GE(client, 0);
        const char user[] = "USER bob/127.0.0.1\r\n";
        EXPECT_EQ(send(client, user, sizeof user - 1, MSG_NOSIGNAL),
                  static_cast<ssize_t>(sizeof user - 1));

        Stop(quillon, signalNumber);
        EXPECT_NE(quillon.Output().find(std::string(name) + " received"), std::string::npos)
            << quillon.Both();
        close(client);
        ExpectStartsAndStops();  // the lock went with it
    }
}

TEST_F(ProgramTest, WithoutHeadlessItSaysWhyItRunsHeadless) {
    const std::pair<const char*, const char*> kCases[] = {
        {nullptr, "no display; running headless"},
        {":77", "window is not available yet; running headless"}};
    for (const auto& [display, reason] : kCases) {
        CQuillonProcess quillon({"--pop3-port", "0"}, display);
        ASSERT_GT(quillon.WaitForListening(), 0) << quillon.Both();
        EXPECT_NE(quillon.Output().find(reason), std::string::npos) << quillon.Both();
        Stop(quillon);
    }
    CQuillonProcess headless({"--headless", "--pop3-port", "0"}, ":77");
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

TEST_F(ProgramTest, TLSOptionsAreListedAndAnUnreadableCAFileRegistersNothing) {
    CQuillonProcess add({"--add-account", "bob@127.0.0.1:995", "--tls-insecure"});
    ASSERT_EQ(Run(add), 0) << add.Both();
    EXPECT_NE(add.Output().find("(TLS pop3s, certificate not checked)"), std::string::npos)
        << add.Both();
    CQuillonProcess plain({"--add-account", "ann@127.0.0.1:1110", "--tls", "none"});
    ASSERT_EQ(Run(plain), 0) << plain.Both();
    CQuillonProcess missing({"--add-account", "cy@127.0.0.1", "--tls-ca", "/no/such/ca.pem"});
    EXPECT_EQ(Run(missing), 1) << missing.Both();
    EXPECT_NE(missing.Errors().find("cannot read the CA file /no/such/ca.pem"), std::string::npos)
        << missing.Both();

    CQuillonProcess list({"--list-accounts"});
    ASSERT_EQ(Run(list), 0) << list.Both();
    EXPECT_EQ(list.Output(),
              "ann@127.0.0.1:1110  server 127.0.0.1 port 1110  TLS none  filtering on\n"
              "bob@127.0.0.1:995  server 127.0.0.1 port 995  TLS pop3s insecure  filtering on\n")
        << list.Both();
}

TEST_F(ProgramTest, BadAccountsAndOptionsExitTwoAndWriteNothing) {
    CQuillonProcess add({"--add-account", "ann@pop.example.com"});
    ASSERT_EQ(Run(add), 0) << add.Both();
    const std::string hive = HiveText();
    ASSERT_NE(hive.find("ann@pop.example.com:110"), std::string::npos);

    const std::vector<std::vector<std::string>> bad = {
        {"--add-account", "bob@pop.example.com:65536"},
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
