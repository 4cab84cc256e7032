#pragma once
#include "component_base/DeviceLayer.h"
#include "worker_process/WorkerProcess.h"
#include "worker_process/WorkerProtocol.h"
#include <QString>
#include <memory>
#include <optional>
#include <sys/types.h>

/// How long the component waits on the SANE worker, in milliseconds. Past a bound the worker
/// is killed (its whole process group) and the call or the acquisition ends with an error.
struct WorkerBounds {
    int handshakeMs = 10000; ///< from starting the program to its greeting
    int startMs = 60000;     ///< sane_init and sane_get_devices (backends probe the network)
    int openMs = 30000;      ///< sane_open
    int callMs = 10000;      ///< reading or setting an option
    int closeMs = 5000;      ///< sane_close, and the worker's own end once it is let go
    int scanStartMs = 60000; ///< sane_start of an image (a lamp may warm up)
    int readGraceMs = 5000;  ///< past the worker's own stall limit, between two pieces of data
    int cancelMs = 10000;    ///< from a cancel, or the end of a batch, to the acquisition's end
};

/// The component's end of one SANE worker process: the SANE protocol's kinds and bounds on the
/// worker-process machinery (WorkerProcess, which starts the program, routes the answers,
/// bounds every wait and keeps the window's event loop running meanwhile). When the worker
/// ends (crash, kill, bound passed, garbage on the socket) every waiter gets the reason as an
/// I/O error (code 9) saying that the connection to the scanner was lost.
///
/// Threading: every member may be called from any thread.
class WorkerConnection {
public:
    /// Starts `program` and waits for its greeting. Null, with `status` saying why, when it
    /// cannot be started, does not greet in time or speaks another protocol version.
    static std::shared_ptr<WorkerConnection>
    start(const QString& program, const WorkerBounds& bounds, DeviceStatus& status);
    /// Lets the worker go without waiting: it sees the end of its socket, closes its devices
    /// and ends; the reader thread reaps it, killing it should it take longer than closeMs.
    ~WorkerConnection();
    WorkerConnection(const WorkerConnection&) = delete;
    WorkerConnection& operator=(const WorkerConnection&) = delete;

    const WorkerBounds& bounds() const { return m_bounds; }
    /// The worker's process id (also its process group).
    pid_t pid() const;
    /// True until the worker has ended.
    bool alive() const;
    /// Why the worker ended: code 9 with the reason; ok while it runs.
    DeviceStatus lost() const;

    /// A fresh request id.
    uint32_t newId();
    /// Sends a request and waits at most `boundMs` for its Reply; the worker is killed past
    /// it. The Reply's body, or nullopt with `status` set to lost().
    std::optional<QByteArray> call(uint32_t id, const QByteArray& request, int boundMs,
                                   DeviceStatus& status);
    /// Sends a request whose Reply nobody waits for (closing a device): it is dropped when it
    /// comes, and the worker is killed if it does not come within `boundMs`.
    void post(uint32_t id, const QByteArray& request, int boundMs);

    /// The bounds of one acquisition's waits: the start of an image, data while reading, the
    /// end after a cancel or the end of the batch.
    using StreamBounds = WorkerProcess::StreamBounds;
    /// Sends an Acquire and keeps its events for nextEvent(). False when the worker is gone.
    bool openStream(uint32_t id, const QByteArray& request, const StreamBounds& bounds);
    using Next = WorkerProcess::Next;
    /// The next event of stream `id` (Phase, Progress, Image, End), waiting at most `waitMs`:
    /// Nothing when none came, Closed when the worker is gone (lost() says why) or the stream
    /// already ended. An Image's memory file becomes the caller's.
    Next nextEvent(uint32_t id, int waitMs, workerproto::Message& out);
    /// Answers an image of stream `id`: the worker goes on (or stops) and starts the next one.
    void answerImage(uint32_t id, bool goOn);
    /// Sends a device's Cancel for stream `id`: from now on the stream ends within cancelMs.
    void cancelStream(uint32_t id, uint32_t handle);
    /// Forgets stream `id` (after its End, or when the caller gives up on it).
    void closeStream(uint32_t id);

    /// Kills the worker at once, with `reason` as what lost() reports (garbage in a message).
    void kill(const QString& reason);

private:
    WorkerConnection(std::unique_ptr<WorkerProcess> process, const WorkerBounds& bounds);

    std::unique_ptr<WorkerProcess> m_process;
    WorkerBounds m_bounds;
};
