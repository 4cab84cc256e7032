#include "sane_worker/SigpipeGuard.h"
#include <ctime>
#include <pthread.h>

namespace {
sigset_t sigpipeOnly() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    return set;
}
} // namespace

SigpipeGuard::SigpipeGuard() {
    const sigset_t set = sigpipeOnly();
    pthread_sigmask(SIG_BLOCK, &set, &m_old);
    m_blockedHere = !sigismember(&m_old, SIGPIPE);
}

SigpipeGuard::~SigpipeGuard() {
    if (!m_blockedHere)
        return;
    // SIGPIPE was not blocked before, so whatever is pending now was raised inside SANE.
    const sigset_t set = sigpipeOnly();
    const timespec now{0, 0};
    while (sigtimedwait(&set, nullptr, &now) == SIGPIPE) {
    }
    pthread_sigmask(SIG_SETMASK, &m_old, nullptr);
}
