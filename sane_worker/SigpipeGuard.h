#pragma once
#include <csignal>

/// Keeps SIGPIPE from ending the process while the current thread is inside SANE. Backends
/// write to sockets (saned, eSCL scanners) that the other end may have closed; such a write
/// raises SIGPIPE on the writing thread, whose default action ends the host application
/// without a word. While a guard lives, SIGPIPE is blocked on this thread, so the write fails
/// with EPIPE, which the backend reports as an I/O error; a SIGPIPE left pending is taken
/// out of the queue before the old mask returns. Threads a backend starts meanwhile inherit
/// the blocked mask. Guards nest; a thread that had SIGPIPE blocked already is left alone.
class SigpipeGuard {
public:
    SigpipeGuard();
    ~SigpipeGuard();
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t m_old;
    bool m_blockedHere = false;
};
