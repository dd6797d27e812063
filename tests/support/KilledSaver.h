// Kills a child process at a random moment while it saves over and over, for the tests
// that a crash in the middle of a save leaves a whole file behind.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <random>

// Forks a child that calls `prepare` once, then `save(generation)` for generation 0, 1, ...
// until it is killed; a false result ends it. The child is killed between 0 and
// `maxDelayMicroseconds` after its first save finished. False when the child never
// finished a first save.
inline bool KillWhileSaving(const std::function<bool()>& prepare,
                            const std::function<bool(int generation)>& save,
                            int maxDelayMicroseconds, std::mt19937& random) {
    int ready[2];
    if (pipe(ready) != 0)
        return false;
    const pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        if (!prepare())
            _exit(3);
        for (int generation = 0;; ++generation) {
            if (!save(generation))
                _exit(4);
            if (generation == 0 && write(ready[1], "r", 1) != 1)
                _exit(5);
        }
    }
    close(ready[1]);
    char signal = 0;
    const bool saved = read(ready[0], &signal, 1) == 1;
    close(ready[0]);
    usleep(std::uniform_int_distribution<int>(0, maxDelayMicroseconds)(random));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return saved;
}
