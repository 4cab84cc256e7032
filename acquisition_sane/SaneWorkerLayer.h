#pragma once
#include "acquisition_sane/WorkerConnection.h"
#include "component_base/DeviceLayer.h"
#include <QByteArray>
#include <memory>

// The SANE layer of the component, and how it is split between two processes.
//
// Every SANE call runs in the worker program scansione-sane-worker (sane_worker/), one process
// per started layer; this side holds no SANE code and does not link libsane. Why: backends are
// third-party C code that can crash (the net backend frees a pointer twice when saned dies
// mid-request), hang (the test backend's cancel can deadlock on the heap lock) or leak; in the
// window's process a crash would lose every page of the session, in a host it ends the host.
//
// Choices:
// - The capability mapping stays in the worker, next to the option descriptors it reads, so
//   the protocol (SaneMessages.h) mirrors ScanDevice call for call and the mapping did not
//   have to move.
// - Pages cross as sealed memory files passed with their message: the worker writes a page
//   once, the component maps it; nothing the size of a page goes through the socket.
// - A call on the window's thread waits in slices of 20 ms with the event loop running in
//   between, user input held back (WorkerConnection): the window keeps painting, the user
//   cannot act on a scanner half programmed, and the component's synchronous contract stays.
//
// When the worker goes (it dies, or a bound passes and it is killed): the call under way
// reports the I/O error 9 ("connessione con lo scanner persa"), an acquisition ends with it
// keeping the images delivered before, and the next use starts a fresh worker: open() simply
// opens the device there, a device still open is opened again with the settings made on it
// repeated in order (a setting that now gets another answer makes that use fail with 9 rather
// than go on with other settings). An acquisition the user had cancelled, or one whose end the
// worker had already reported when its last cancel hung, ends as the worker said (a cancel is a
// normal end): the images before stand either way.

/// The SANE device layer over the worker program.
///
/// Threading: start() may run on any thread (the component runs it on a helper thread); the
/// other members on the owner's. Waits on the worker are bounded (WorkerBounds) and, on the
/// application's thread, keep its event loop running (see WorkerConnection).
class SaneWorkerLayer : public DeviceLayer {
public:
    /// `program` is the worker to start; empty: workerProgram().
    explicit SaneWorkerLayer(const QString& program = QString(),
                             const WorkerBounds& bounds = WorkerBounds());
    ~SaneWorkerLayer() override;

    /// Starts the worker when none runs (the first time, or after it ended), then has it
    /// run sane_init (once) and sane_get_devices. A worker that cannot be started, a SANE that
    /// does not start: a non-ok status saying why.
    DeviceStatus start() override;
    /// Lets the worker go; devices still open keep it running until they are closed.
    void stop() override;
    /// The devices of the last start(), named "vendor model" (" (device name)" added when two
    /// share vendor and model).
    QVector<DeviceInfo> devices() const override;
    /// Opens the SANE device `id`, starting a fresh worker first if the last one ended.
    /// Throws ScanError with the status when it cannot be opened.
    std::unique_ptr<ScanDevice> open(const QString& id) override;

    /// The running worker's process id; 0 when there is none. For tests and diagnostics.
    pid_t workerPid() const;

    /// The worker program the layer starts: $SCANSIONE_SANE_WORKER when set; otherwise the one
    /// built beside this code when it runs from its build tree (tests, in-tree runs); otherwise
    /// the installed one, in the install's libexec/scansione folder.
    static QString workerProgram();

    /// The worker the layer and its devices share (internal).
    class SharedWorker;

private:
    std::shared_ptr<SharedWorker> m_sharedWorker;
};

/// A SANE device opened in the worker: each ScanDevice call is one request to it.
///
/// Threading: as ScanDevice. Capability calls and the extra options below come from the
/// owner's thread while no acquisition runs, or from the acquiring thread between images (an
/// AcquireSink::image callback); acquire() runs on the component's acquisition thread;
/// cancel() may come from any thread.
class SaneWorkerDevice : public ScanDevice {
public:
    /// The device `name`, open as `handle` in `connection`'s worker; `sharedWorker` gives it a
    /// fresh worker should that one end.
    SaneWorkerDevice(std::shared_ptr<SaneWorkerLayer::SharedWorker> sharedWorker,
                     std::shared_ptr<WorkerConnection> connection, uint32_t handle,
                     const QString& name);
    /// Has the worker close the device, without waiting for it.
    ~SaneWorkerDevice() override;

    QVector<uint16_t> capabilityIds() const override;
    std::optional<Capability> capability(uint16_t id) const override;
    DeviceStatus setCapability(uint16_t id, double value) override;
    DeviceStatus setImageLayout(double left, double top, double right, double bottom) override;
    /// Runs the acquisition in the worker; its images arrive as shared memory, mapped, not
    /// copied. Each wait is bounded by the phase the worker says it is in (starting an image,
    /// reading, cancelling); past a bound the worker is killed and the acquisition ends with
    /// error 9, keeping the images delivered before.
    DeviceStatus acquire(const AcquireRequest& request, AcquireSink& sink) override;
    /// Asks the running acquisition to stop; the worker is told within 50 ms. Any thread.
    void cancel() override;
    /// The device's own fault, or the I/O error 9 once its worker is gone.
    DeviceStatus fault() const override;

    /// Sets a backend option by name from its text form ("yes"/"no", a number, a text), for
    /// options outside the capability model.
    DeviceStatus setOption(const QByteArray& name, const QString& value);
    /// How long the worker waits for data before the device counts as gone (25 s unless
    /// set); the component's own bound on reading follows it.
    DeviceStatus setStallTimeoutMs(int ms);
    /// How long the end of an acquisition waits in the worker for the backend's cancel,
    /// once the connection is known to be lost and otherwise.
    DeviceStatus setCancelWaitMs(int lostMs, int normalMs);
    /// The process id of the worker that holds the device.
    pid_t workerPid() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};
