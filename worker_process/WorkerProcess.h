#pragma once
#include "worker_process/WorkerProtocol.h"
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <sys/types.h>

/// One worker program of ours running for the component (the SANE worker, the OCR worker): the
/// process machinery every protocol shares. It starts the program, waits for its Hello, sends
/// requests, routes the answers to whoever waits for them, and bounds every wait.
///
/// Process layout: the worker runs in a process group of its own, with the socket as
/// descriptor 3 and no other descriptor of ours, standard output and error on the workers' log
/// (openWorkerOutput), the caller's environment with the protocol's additions, and the niceness
/// asked for above the caller's. One reader thread per process reads the worker's messages and
/// watches the bounds; when the worker ends (crash, kill, bound passed, garbage on the socket)
/// it kills the group, reaps the process and wakes every waiter; loss() then says why.
///
/// Threading: every member may be called from any thread. On the thread of the application
/// (the window's) a wait never blocks its event loop for more than a slice of 20 ms: between
/// slices it runs the events already waiting, user input held back, so the window repaints
/// while the worker works; the wait as a whole still ends at the bound.
class WorkerProcess {
public:
    /// The bounds of one stream's waits: the start of an item, data while reading, the end
    /// after a cancel or the end of the batch. What each event does to them is the protocol's.
    struct StreamBounds {
        int startMs = 0, readMs = 0, cancelMs = 0;
    };
    /// What an event of a stream does to the stream's bound.
    struct EventBound {
        enum What { Wait, Hold, Done } what = Wait;
        int ms = 0; ///< Wait: the next message is due within this
    };

    /// What a protocol tells the machinery.
    struct Protocol {
        uint32_t magic = 0;
        uint32_t version = 0;
        uint8_t helloKind = 0;
        /// The kinds that answer a request (call, post); every other answer but Hello is an
        /// event of a stream.
        bool (*isReply)(uint8_t kind) = nullptr;
        workerproto::StreamKinds answers; ///< what the worker may send
        /// An event of a stream: Wait for the next within
        /// `ms`, Hold while the worker waits for us, Done when it closes the stream. Null for a
        /// protocol without streams (an event is then garbage).
        std::function<EventBound(uint8_t kind, const QByteArray& body, const StreamBounds&)>
            streamEvent;
        /// The program as the texts name it ("il programma di scansione").
        QString programWords;
        /// What a greeting of another magic says, %1 the program's path.
        QString notOurs;
    };

    struct Options {
        int handshakeMs = 10000; ///< from starting the program to its greeting
        int releaseMs = 5000;    ///< the worker's own end once it is let go
        /// "NAME=value" entries put into the worker's environment at exec, replacing any of the
        /// caller's of the same name.
        QStringList environment;
        int niceness = 0; ///< added to the application's for the whole process group
    };

    /// Starts `program` and waits for its greeting. Null, with `why` saying why, when it cannot
    /// be started, does not greet in time, greets with another magic or protocol version.
    static std::unique_ptr<WorkerProcess> start(const QString& program, const Protocol& protocol,
                                                const Options& options, QString& why);
    /// Lets the worker go without waiting: it sees the end of its socket and ends; the reader
    /// thread reaps it, killing it should it take longer than releaseMs.
    ~WorkerProcess();
    WorkerProcess(const WorkerProcess&) = delete;
    WorkerProcess& operator=(const WorkerProcess&) = delete;

    /// The worker's process id (also its process group).
    pid_t pid() const;
    /// True until the worker has ended or is being killed.
    bool alive() const;

    /// Why the worker is gone: `expected` when it ended after being let go, else `detail` says
    /// why (a bound passed, garbage, its exit status); `timedOut` when a bound was passed.
    struct Loss {
        bool lost = false;
        bool expected = false;
        QString detail;
        bool timedOut = false;
    };
    Loss loss() const;

    /// A fresh request id.
    uint32_t newId();
    /// Sends a request, with memory file `fd` passed along when not -1, and waits at most
    /// `boundMs` for its reply; the worker is killed past it. The reply (a memory file that came
    /// with it becomes the caller's), or nullopt when the worker is gone, `lost` (when given)
    /// then saying why: this object may itself be gone by then, let go during a wait on the
    /// application's thread.
    std::optional<workerproto::Message> call(uint32_t id, const QByteArray& request, int boundMs,
                                             int fd = -1, Loss* lost = nullptr);
    /// Sends a request whose Reply nobody waits for: it is dropped when it comes, and the
    /// worker is killed if it does not come within `boundMs`.
    void post(uint32_t id, const QByteArray& request, int boundMs);

    /// Sends a request answered by a stream of events, kept for nextEvent(). False when the
    /// worker is gone.
    bool openStream(uint32_t id, const QByteArray& request, const StreamBounds& bounds);
    enum class Next { Event, Nothing, Closed };
    /// The next event of stream `id`, waiting at most `waitMs`: Nothing when none came, Closed
    /// when the worker is gone (loss() says why) or the stream already ended. A memory file
    /// that came with the event becomes the caller's.
    Next nextEvent(uint32_t id, int waitMs, workerproto::Message& out);
    /// Sends `message` for stream `id` (an answer the worker waited for) and gives the worker
    /// the stream's startMs for the next event.
    void resumeStream(uint32_t id, const QByteArray& message);
    /// Sends `message` for stream `id` (a cancel): from now on the stream ends within
    /// its cancelMs.
    void limitStream(uint32_t id, const QByteArray& message);
    /// Forgets stream `id` (after its end, or when the caller gives up on it).
    void closeStream(uint32_t id);

    /// Kills the worker at once, with `reason` as what loss() reports (garbage in a message).
    void kill(const QString& reason);

private:
    struct Shared;
    explicit WorkerProcess(std::shared_ptr<Shared> shared);
    std::shared_ptr<Shared> m_shared;
};
