#include "kinbook/foundation/ShutdownSignals.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>

namespace {

sigset_t ShutdownSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

}  // namespace

bool BlockShutdownSignals() {
    const sigset_t set = ShutdownSet();
    return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

int WaitForShutdownSignal() {
    const sigset_t set = ShutdownSet();
    int signalNumber = 0;
    while (sigwait(&set, &signalNumber) != 0) {
    }
    return signalNumber;
}
