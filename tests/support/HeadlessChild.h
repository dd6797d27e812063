// `quillon --headless` (from QUILLON_BIN_DIR) as a child process of a test, on free
// POP3 and SMTP ports, of the test's QUILLON_HOME: Start waits until it listens, Stop ends it with
// SIGTERM, Kill as a crash would. Test-only.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

class CHeadlessChild {
public:
    ~CHeadlessChild() {
        if (m_pid > 0)
            Kill();
    }

    // The POP3 port it listens on; 0 when it did not start (what it printed in Output).
    int Start() {
        int out[2];
        if (pipe(out) != 0)
            return 0;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            const std::string path = std::string(QUILLON_BIN_DIR) + "/quillon";
            execl(path.c_str(), path.c_str(), "--headless", "--pop3-port", "0", "--smtp-port", "0",
                  nullptr);
            _exit(127);
        }
        close(out[1]);
        m_output.clear();
        char buffer[256];
        for (ssize_t n; m_output.find('\n', m_output.find(kListening)) == std::string::npos &&
                        (n = read(out[0], buffer, sizeof buffer)) > 0;)
            m_output.append(buffer, static_cast<size_t>(n));
        m_pipe = out[0];  // open until it ends: it says so on its way out
        const size_t at = m_output.find(kListening);
        return at == std::string::npos ? 0 : std::atoi(m_output.c_str() + at + sizeof kListening - 1);
    }
    // SIGTERM and its exit status (-1 when it did not exit normally or never ran).
    int Stop() { return End(SIGTERM); }
    void Kill() { End(SIGKILL); }

    bool IsRunning() const { return m_pid > 0; }
    const std::string& Output() const { return m_output; }

private:
    static constexpr char kListening[] = "listening on 127.0.0.1:";

    int End(int signal) {
        if (m_pid <= 0)
            return -1;
        kill(m_pid, signal);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = 0;
        close(m_pipe);
        m_pipe = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    pid_t m_pid = 0;
    int m_pipe = -1;
    std::string m_output;
};
