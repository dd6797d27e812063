// A private QUILLON_HOME for one test: made fresh, pointed to by the environment, the
// registry and data-folder caches dropped, and removed afterwards.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "kinbook/foundation/Paths.h"
#include "kinbook/foundation/Registry.h"

class CTestHome {
public:
    CTestHome() {
        char pattern[] = "/tmp/quillon-test-XXXXXX";
        m_path = mkdtemp(pattern);
        setenv("QUILLON_HOME", m_path.c_str(), 1);
        RegResetHives();
        ResetUserDataPath();
    }
    ~CTestHome() {
        RegResetHives();
        ResetUserDataPath();
        unsetenv("QUILLON_HOME");
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    const std::string& Path() const { return m_path; }
    std::string HiveFile(const char* hive = "HKEY_CURRENT_USER") const {
        return m_path + "/registry/" + hive + ".reg";
    }

private:
    std::string m_path;
};

// Runs a program with arguments, waits, returns its exit status (-1 when it did not
// exit normally); its standard output goes to `output` when not null.
inline int RunProgram(const std::vector<std::string>& arguments, std::string* output = nullptr) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return -1;
    pid_t child = fork();
    if (child == 0) {
        dup2(pipeFds[1], 1);
        close(pipeFds[0]);
        close(pipeFds[1]);
        std::vector<char*> argv;
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    std::string text;
    char buffer[4096];
    ssize_t got;
    while ((got = read(pipeFds[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(got));
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (output != nullptr)
        *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
