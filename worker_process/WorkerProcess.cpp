#include "worker_process/WorkerProcess.h"
#include "common/SystemErrorText.h"
#include "worker_process/WorkerOutput.h"
#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

using namespace workerproto;
using Clock = std::chrono::steady_clock;

namespace {

// The longest the application's thread waits without running its event loop.
constexpr auto kSlice = std::chrono::milliseconds(20);
// A request is a few bytes and the socket holds thousands: one that cannot take them for this
// long has a worker that stopped reading long ago. Short, as the window's thread may be the one
// sending.
constexpr int kSendStallMs = 20;
// After the kill, how long the exit status is waited for to name it in the error.
constexpr int kReapForTextMs = 200;

bool onApplicationThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app && app->thread() == QThread::currentThread();
}

QString seconds(int ms) {
    return QString::number((ms + 999) / 1000);
}

/// The kernel's words for an exit status, in Italian.
QString exitText(int status) {
    if (WIFSIGNALED(status))
        return QStringLiteral("segnale %1").arg(WTERMSIG(status));
    if (WIFEXITED(status))
        return QStringLiteral("codice di uscita %1").arg(WEXITSTATUS(status));
    return QString();
}

} // namespace

// --- Shared state of the connection and its reader thread ----------------------------------

struct WorkerProcess::Shared {
    struct Pending {
        bool stream = false;
        bool orphan = false; // nobody waits: dropped once answered
        bool done = false;   // the Reply or the End arrived
        std::deque<Message> messages;
        std::optional<Clock::time_point> deadline; // none while the worker waits on us
        std::optional<Clock::time_point> latest;   // a cancel: never later than this
        StreamBounds bounds;
        int boundMs = 0;

        void setDeadline(int ms) {
            Clock::time_point t = Clock::now() + std::chrono::milliseconds(ms);
            if (latest)
                t = std::min(t, *latest);
            deadline = t;
            boundMs = ms;
        }
        void closeFds() {
            for (Message& m : messages)
                if (m.fd >= 0)
                    ::close(std::exchange(m.fd, -1));
        }
    };

    Protocol protocol;
    Options options;
    std::mutex mutex;
    std::condition_variable changed;
    int socket = -1;
    int wake = -1;
    pid_t pid = 0;
    std::map<uint32_t, Pending> pending; // guarded by mutex
    uint32_t lastId = 0;                 // guarded by mutex
    bool dead = false;                   // guarded by mutex
    Loss lost;                           // guarded by mutex
    bool reaping = false;                // guarded by mutex: the reader kills and reaps now
    std::optional<QString> killReason;   // guarded by mutex: someone asked for the kill
    std::optional<Clock::time_point> releaseDeadline; // guarded by mutex
    std::mutex sendMutex;

    ~Shared() {
        for (auto& [id, p] : pending)
            p.closeFds();
        if (socket >= 0)
            ::close(socket);
        if (wake >= 0)
            ::close(wake);
    }

    /// Why the worker is gone (or is being killed). Caller holds mutex.
    Loss lossLocked() const {
        if (!dead && killReason)
            return Loss{true, false, *killReason};
        return lost;
    }

    void wakeReader() const {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake, &one, sizeof one);
    }

    /// Sends without waiting on a worker that stopped reading; a failure kills it (the
    /// reader then tells everyone).
    bool send(const QByteArray& message, int fd = -1) {
        bool sent;
        {
            std::lock_guard<std::mutex> lock(sendMutex);
            sent = sendMessage(socket, message, fd, kSendStallMs);
        }
        if (!sent) {
            const int error = errno;
            if (error != EPIPE && error != ECONNRESET)
                requestKill(protocol.programWords + QStringLiteral(" non legge le richieste"));
            // EPIPE: the worker is gone; the reader sees the end of the stream.
        }
        return sent;
    }

    void requestKill(const QString& reason) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (reaping || killReason)
                return;
            killReason = reason;
            ::kill(-pid, SIGKILL);
        }
        wakeReader();
    }

    /// Waits on `changed` until `ready()` or the worker is gone, at most `maxMs` (-1: no
    /// limit of its own; the reader's bounds end it). On the application's thread the event
    /// loop runs between slices. Returns whether `ready()` held.
    template <typename Ready>
    bool wait(std::unique_lock<std::mutex>& lock, int maxMs, Ready ready) {
        const bool application = onApplicationThread();
        const auto until =
            maxMs < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(maxMs);
        for (;;) {
            if (ready())
                return true;
            if (dead)
                return false;
            const auto now = Clock::now();
            if (now >= until)
                return false;
            if (!application) {
                if (until == Clock::time_point::max())
                    changed.wait(lock);
                else
                    changed.wait_until(lock, until);
                continue;
            }
            const auto sliceEnd = std::min(until, now + kSlice);
            changed.wait_until(lock, sliceEnd);
            if (ready() || dead || Clock::now() < sliceEnd)
                continue;
            // Paint, run timers and queued calls; user input waits for the answer.
            lock.unlock();
            QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
            lock.lock();
        }
    }

    // --- The reader thread ---

    static void read(std::shared_ptr<Shared> s);
    /// Routes one message; a reason when it is garbage. Caller holds mutex.
    std::optional<QString> route(Message& m, bool& greeted);
    /// The earliest bound, and what passing it means. Caller holds mutex.
    std::optional<std::pair<Clock::time_point, QString>> nextBound() const;
    /// Kills the group, reaps the worker and wakes everyone. `expected`: it ended because we
    /// let it go; `byUs`: we are the ones killing it (a bound, garbage, a request);
    /// `timedOut`: a bound passed.
    void finish(const QString& reason, bool expected, bool byUs, bool timedOut);
};

std::optional<QString> WorkerProcess::Shared::route(Message& m, bool& greeted) {
    auto garbage = [&](const QString& why) -> std::optional<QString> {
        if (m.fd >= 0)
            ::close(std::exchange(m.fd, -1));
        return why;
    };
    const uint8_t kind = uint8_t(m.kind);
    if (!greeted) {
        if (kind != protocol.helloKind)
            return garbage(QStringLiteral("manca il saluto iniziale"));
        greeted = true;
        m.id = 0;
    } else if (kind == protocol.helloKind) {
        return garbage(QStringLiteral("saluto ripetuto"));
    }
    auto it = pending.find(m.id);
    const bool event = !protocol.isReply(kind) && kind != protocol.helloKind;
    if (it == pending.end() || it->second.done || it->second.stream != event ||
        (event && !protocol.streamEvent))
        return garbage(QStringLiteral("risposta %1 inattesa").arg(m.id));
    Pending& p = it->second;
    const EventBound bound =
        event ? protocol.streamEvent(kind, m.body, p.bounds) : EventBound{EventBound::Done, 0};
    switch (bound.what) {
    case EventBound::Wait:
        p.setDeadline(bound.ms);
        break;
    case EventBound::Hold:
        p.deadline.reset(); // the worker waits for our answer
        break;
    case EventBound::Done:
        p.done = true;
        p.deadline.reset();
        break;
    }
    if (p.orphan && p.done) {
        pending.erase(it);
        return std::nullopt;
    }
    p.messages.push_back(std::move(m));
    m.fd = -1;
    return std::nullopt;
}

std::optional<std::pair<Clock::time_point, QString>> WorkerProcess::Shared::nextBound() const {
    std::optional<std::pair<Clock::time_point, QString>> next;
    auto consider = [&](Clock::time_point t, const QString& why) {
        if (!next || t < next->first)
            next = std::make_pair(t, why);
    };
    for (const auto& [id, p] : pending)
        if (p.deadline)
            consider(*p.deadline,
                     QStringLiteral("nessuna risposta entro %1 s").arg(seconds(p.boundMs)));
    if (releaseDeadline)
        consider(*releaseDeadline, protocol.programWords + QStringLiteral(" non è terminato"));
    return next;
}

void WorkerProcess::Shared::read(std::shared_ptr<Shared> s) {
    MessageStream stream(s->protocol.answers);
    bool greeted = false;
    QString reason;
    bool expected = false;
    bool byUs = true;
    bool timedOut = false;
    for (;;) {
        int timeoutMs = -1;
        {
            std::lock_guard<std::mutex> lock(s->mutex);
            if (s->killReason) {
                reason = *s->killReason;
                break;
            }
            if (const auto bound = s->nextBound()) {
                const auto now = Clock::now();
                if (bound->first <= now) {
                    reason = bound->second;
                    timedOut = true;
                    break;
                }
                timeoutMs =
                    int(std::chrono::ceil<std::chrono::milliseconds>(bound->first - now).count());
            }
        }
        pollfd fds[2] = {{s->socket, POLLIN, 0}, {s->wake, POLLIN, 0}};
        if (::poll(fds, 2, timeoutMs) < 0) {
            if (errno == EINTR)
                continue;
            reason = systemErrorText(errno);
            break;
        }
        if (fds[1].revents & POLLIN) {
            uint64_t count;
            [[maybe_unused]] const ssize_t n = ::read(s->wake, &count, sizeof count);
        }
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        const MessageStream::Read got = stream.receive(s->socket, true);
        if (got == MessageStream::Read::Error && (errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        const int readError = errno;
        std::optional<QString> garbage;
        {
            std::lock_guard<std::mutex> lock(s->mutex);
            Message m;
            QString error;
            while (!garbage && stream.next(m, error)) {
                garbage = s->route(m, greeted);
                m = Message();
            }
            if (!garbage && !error.isEmpty())
                garbage = error;
        }
        s->changed.notify_all();
        if (garbage) {
            reason = QStringLiteral("risposta non valida (%1)").arg(*garbage);
            break;
        }
        // A peer that died with our last request unread resets the connection: that is its
        // end as much as a closed stream is.
        const bool gone = got == MessageStream::Read::End ||
                          (got == MessageStream::Read::Error && readError == ECONNRESET);
        if (gone || got == MessageStream::Read::Error) {
            std::lock_guard<std::mutex> lock(s->mutex);
            if (s->killReason) {
                reason = *s->killReason; // it ended because we killed it
            } else if (gone) {
                expected = s->releaseDeadline.has_value();
                byUs = false;
                reason = s->protocol.programWords +
                         (stream.pending() > 0 ? QStringLiteral(" è terminato a metà messaggio")
                                               : QStringLiteral(" è terminato"));
            } else {
                reason = systemErrorText(readError);
            }
            break;
        }
    }
    s->finish(reason, expected, byUs, timedOut);
}

void WorkerProcess::Shared::finish(const QString& reason, bool expected, bool byUs,
                                   bool timedOut) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        reaping = true;
    }
    // The whole group: a backend may have started helpers of its own.
    ::kill(-pid, SIGKILL);
    int status = 0;
    bool reaped = false;
    for (int waited = 0; waited < kReapForTextMs && !reaped; waited += 10) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        reaped = r == pid || (r < 0 && errno != EINTR);
        if (!reaped)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        dead = true;
        QString detail = reason;
        // How a worker ended by itself is news; our own kill is not.
        const QString how = reaped && !byUs ? exitText(status) : QString();
        if (!how.isEmpty())
            detail += QStringLiteral(": ") + how;
        lost = Loss{true, expected, detail, timedOut};
    }
    changed.notify_all();
    if (!reaped)
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
}

// --- The process ---------------------------------------------------------------------------

WorkerProcess::WorkerProcess(std::shared_ptr<Shared> shared) : m_shared(std::move(shared)) {}

std::unique_ptr<WorkerProcess> WorkerProcess::start(const QString& program,
                                                    const Protocol& protocol,
                                                    const Options& options, QString& why) {
    auto failed = [&](const QString& reason) {
        why = reason;
        return nullptr;
    };
    const QByteArray path = program.toLocal8Bit();
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        return failed(systemErrorText(errno));
    // Kept away from 3, where the child wants it, so that dup2 really clears close-on-exec.
    const int childEnd = ::fcntl(ends[1], F_DUPFD_CLOEXEC, 10);
    ::close(ends[1]);
    const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (childEnd < 0 || wake < 0) {
        const int error = errno;
        ::close(ends[0]);
        if (childEnd >= 0)
            ::close(childEnd);
        if (wake >= 0)
            ::close(wake);
        return failed(systemErrorText(error));
    }

    // The child gets its socket as 3, nothing on standard input, its worker log for standard
    // output and error (what third-party code prints stays out of the user's terminal; with
    // SCANSIONE_DEBUG it is our standard error), and none of our other descriptors; a process
    // group of its own, the default signal dispositions and no blocked signals, whatever the
    // calling thread had.
    int output = openWorkerOutput();
    if (output >= 0 && output < 3) {
        // Where a closed standard stream was: dup2 onto itself would keep close-on-exec.
        const int moved = ::fcntl(output, F_DUPFD_CLOEXEC, 10);
        ::close(output);
        output = moved;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (output >= 0) {
        posix_spawn_file_actions_adddup2(&actions, output, 1);
        posix_spawn_file_actions_adddup2(&actions, output, 2);
    } else {
        posix_spawn_file_actions_adddup2(&actions, 2, 1);
    }
    posix_spawn_file_actions_adddup2(&actions, childEnd, 3);
    posix_spawn_file_actions_addclosefrom_np(&actions, 4);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                              POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD, SIGALRM})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    // Our environment with the protocol's entries in place of any of the same name: a worker
    // whose libraries read a variable before its main (OpenMP's thread limit) gets the value
    // whatever the host's environment says.
    std::vector<QByteArray> added;
    for (const QString& entry : options.environment)
        added.push_back(entry.toLocal8Bit());
    std::vector<char*> environment;
    for (char** e = environ; *e; ++e) {
        const bool replaced = std::any_of(added.begin(), added.end(), [&](const QByteArray& a) {
            const qsizetype name = a.indexOf('=') + 1;
            return name > 0 && std::strncmp(*e, a.constData(), size_t(name)) == 0;
        });
        if (!replaced)
            environment.push_back(*e);
    }
    for (QByteArray& a : added)
        environment.push_back(a.data());
    environment.push_back(nullptr);
    char* argv[] = {const_cast<char*>(path.constData()), nullptr};
    pid_t pid = 0;
    int spawned = 0;
    auto spawn = [&] {
        spawned =
            ::posix_spawn(&pid, path.constData(), &actions, &attributes, argv, environment.data());
    };
    if (options.niceness > 0) {
        // Linux keeps a niceness for each thread, and a child starts with its spawning
        // thread's: a thread of its own lowers only itself and spawns, so the worker runs at
        // its niceness from its first instruction while the caller's thread keeps its own
        // (which nobody without privileges could raise again). The niceness counts from the
        // application's main thread, not from the caller's: a caller that is itself a
        // lowered background thread would otherwise stack its own on top, and a worker at 15
        // gets next to nothing of a machine where anything else runs.
        std::thread([&] {
            errno = 0;
            const int application = ::getpriority(PRIO_PROCESS, id_t(::getpid()));
            const int ours = ::getpriority(PRIO_PROCESS, id_t(::gettid()));
            if (errno == 0)
                ::setpriority(PRIO_PROCESS, id_t(::gettid()),
                              std::max(ours, std::min(application + options.niceness, 19)));
            spawn();
        }).join();
    } else {
        spawn();
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(childEnd);
    if (output >= 0)
        ::close(output);
    if (spawned != 0) {
        ::close(ends[0]);
        ::close(wake);
        return failed(QStringLiteral("%1: %2").arg(program, systemErrorText(spawned)));
    }

    auto shared = std::make_shared<Shared>();
    shared->protocol = protocol;
    shared->options = options;
    shared->socket = ends[0];
    shared->wake = wake;
    shared->pid = pid;
    shared->pending[0].setDeadline(options.handshakeMs);
    std::thread(&Shared::read, shared).detach();
    std::unique_ptr<WorkerProcess> process(new WorkerProcess(shared));

    Message hello;
    {
        std::unique_lock<std::mutex> lock(shared->mutex);
        const bool greeted = shared->wait(lock, -1, [&] { return shared->pending[0].done; });
        if (!greeted)
            return failed(QStringLiteral("%1: %2").arg(program, shared->lost.detail));
        hello = std::move(shared->pending[0].messages.front());
        shared->pending.erase(0);
    }
    Decoder d(hello.body);
    const uint32_t magic = d.u32();
    const uint32_t version = d.u32();
    d.i32(); // its pid, which we know
    QString refused;
    if (!d.finished() || magic != protocol.magic)
        refused = protocol.notOurs.arg(program);
    else if (version != protocol.version)
        refused = QStringLiteral("%1 parla la versione %2 del protocollo, attesa la %3")
                      .arg(program)
                      .arg(version)
                      .arg(protocol.version);
    if (!refused.isEmpty()) {
        process->kill(refused);
        return failed(refused);
    }
    why.clear();
    return process;
}

WorkerProcess::~WorkerProcess() {
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        if (!m_shared->dead)
            m_shared->releaseDeadline =
                Clock::now() + std::chrono::milliseconds(m_shared->options.releaseMs);
    }
    // The worker reads the end of its socket, lets go of what it holds, and ends.
    ::shutdown(m_shared->socket, SHUT_WR);
    m_shared->wakeReader();
}

pid_t WorkerProcess::pid() const {
    return m_shared->pid;
}

bool WorkerProcess::alive() const {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return !m_shared->dead && !m_shared->killReason;
}

WorkerProcess::Loss WorkerProcess::loss() const {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->lossLocked();
}

uint32_t WorkerProcess::newId() {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return ++m_shared->lastId;
}

std::optional<Message> WorkerProcess::call(uint32_t id, const QByteArray& request, int boundMs,
                                           int fd, Loss* lost) {
    // Held here: a nested event loop may let go of this process meanwhile.
    const std::shared_ptr<Shared> s = m_shared;
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        if (s->dead || s->killReason) {
            if (lost)
                *lost = s->lossLocked();
            return std::nullopt;
        }
        s->pending[id].setDeadline(boundMs);
    }
    s->wakeReader(); // a new bound to watch
    s->send(request, fd);
    std::unique_lock<std::mutex> lock(s->mutex);
    const bool answered = s->wait(lock, -1, [&] { return s->pending[id].done; });
    Shared::Pending p = std::move(s->pending[id]);
    s->pending.erase(id);
    if (!answered) {
        p.closeFds();
        if (lost)
            *lost = s->lossLocked();
        return std::nullopt;
    }
    return std::move(p.messages.front());
}

void WorkerProcess::post(uint32_t id, const QByteArray& request, int boundMs) {
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        if (m_shared->dead)
            return;
        Shared::Pending& p = m_shared->pending[id];
        p.orphan = true;
        p.setDeadline(boundMs);
    }
    m_shared->wakeReader();
    m_shared->send(request);
}

bool WorkerProcess::openStream(uint32_t id, const QByteArray& request,
                               const StreamBounds& bounds) {
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        if (m_shared->dead || m_shared->killReason)
            return false;
        Shared::Pending& p = m_shared->pending[id];
        p.stream = true;
        p.bounds = bounds;
        p.setDeadline(bounds.startMs);
    }
    m_shared->wakeReader();
    m_shared->send(request);
    return true;
}

WorkerProcess::Next WorkerProcess::nextEvent(uint32_t id, int waitMs, Message& out) {
    const std::shared_ptr<Shared> s = m_shared;
    std::unique_lock<std::mutex> lock(s->mutex);
    auto it = s->pending.find(id);
    if (it == s->pending.end())
        return Next::Closed;
    Shared::Pending& p = it->second;
    // Events that came before the worker ended are still delivered, its End above all.
    s->wait(lock, waitMs, [&] { return !p.messages.empty(); });
    if (!p.messages.empty()) {
        out = std::move(p.messages.front());
        p.messages.pop_front();
        return Next::Event;
    }
    return s->dead || p.done ? Next::Closed : Next::Nothing;
}

void WorkerProcess::resumeStream(uint32_t id, const QByteArray& message) {
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        auto it = m_shared->pending.find(id);
        if (it != m_shared->pending.end() && !it->second.done)
            it->second.setDeadline(it->second.bounds.startMs);
    }
    m_shared->wakeReader();
    m_shared->send(message);
}

void WorkerProcess::limitStream(uint32_t id, const QByteArray& message) {
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        auto it = m_shared->pending.find(id);
        if (it != m_shared->pending.end() && !it->second.done) {
            Shared::Pending& p = it->second;
            p.latest = Clock::now() + std::chrono::milliseconds(p.bounds.cancelMs);
            if (p.deadline && *p.deadline > *p.latest) {
                p.deadline = p.latest;
                p.boundMs = p.bounds.cancelMs;
            }
        }
    }
    m_shared->wakeReader();
    m_shared->send(message);
}

void WorkerProcess::closeStream(uint32_t id) {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    auto it = m_shared->pending.find(id);
    if (it == m_shared->pending.end())
        return;
    it->second.closeFds();
    m_shared->pending.erase(it);
}

void WorkerProcess::kill(const QString& reason) {
    m_shared->requestKill(reason);
}
