#pragma once
// A deadline for work that must never block (a FIFO or a device where a file is expected),
// so that a test of a hang fails instead of hanging the test run.
#include <QByteArray>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <future>
#include <thread>
#include <unistd.h>

/// Runs `work` on a thread of its own and waits `seconds` for it. Returns false when it did
/// not finish in time; then `fifo`, if given, is opened for writing and closed again, which
/// ends a reader blocked on it, so the work can end before its test's data goes away. Work
/// that stays blocked even then aborts the test program: it cannot be left running.
inline bool finishesWithin(int seconds, const std::function<void()>& work,
                           const QByteArray& fifo = {}) {
    std::packaged_task<void()> task(work);
    std::future<void> done = task.get_future();
    std::thread(std::move(task)).detach();
    if (done.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready) {
        done.get();
        return true;
    }
    if (!fifo.isEmpty()) {
        const int writer = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0)
            ::close(writer);
    }
    if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        std::fprintf(stderr, "blocked work could not be ended; stopping the test program\n");
        std::abort();
    }
    return false;
}
