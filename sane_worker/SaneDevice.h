#pragma once
#include "component_base/DeviceLayer.h"
#include "sane_worker/SaneMapping.h"
#include <QByteArray>
#include <QHash>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <sane/sane.h>
#include <sys/socket.h>
#include <vector>

// Internal to the SANE layer (it names SANE's types); the component sees only ScanDevice.

class SaneSession;
class FrameAssembler;
class FrameMemory;

/// One opened SANE device: its options read as TWAIN capabilities through one mapping table,
/// and acquisition with sane_start/sane_read. Pixel types the device has no mode for are made
/// in software from the nearest mode it has (black and white from grey or colour, grey from
/// colour). Every call into SANE runs with SIGPIPE blocked on the calling thread.
class SaneDevice : public ScanDevice {
public:
    /// Takes the open handle of the device `name` and reads its options; the session keeps
    /// SANE alive until the device is gone. When the options cannot be read, fault() says why.
    SaneDevice(std::shared_ptr<SaneSession> session, SANE_Handle handle, const QString& name);
    /// Closes the handle; when a cancel is still stuck in the backend (a silent network
    /// device), the thread running it closes the handle once the backend lets go.
    ~SaneDevice() override;

    QVector<uint16_t> capabilityIds() const override;
    std::optional<Capability> capability(uint16_t id) const override;
    DeviceStatus setCapability(uint16_t id, double value) override;
    DeviceStatus setImageLayout(double left, double top, double right, double bottom) override;
    /// Runs on the component's worker thread: one sane_start per image (and per colour pass),
    /// non-blocking reads polled with a timeout where the backend allows it. A connection that
    /// closes or stays silent ends it with SANE's I/O error (9); images before it stand.
    DeviceStatus acquire(const AcquireRequest& request, AcquireSink& sink) override;
    /// From any thread, without waiting: has sane_cancel called once for the running
    /// acquisition, on a thread of its own (a network backend's cancel can block).
    void cancel() override;
    /// The option list cannot be read, the saned host of a net device closed the connection,
    /// or the device stopped answering (a cancel stuck in the backend): the device is unusable
    /// and says so. Owner thread.
    DeviceStatus fault() const override;

    /// Sets a backend option by name from its text form, as a user would type it: "yes"/"no"
    /// for a switch, a number, or a text. For options outside the capability model. Owner
    /// thread, or the acquiring thread between images (the sink's image callback).
    DeviceStatus setOption(const QByteArray& name, const QString& value);

    /// How long a read may wait for data before the device counts as gone ("Errore di
    /// ingresso/uscita: il dispositivo non risponde"). Only effective for backends that
    /// support non-blocking reads.
    void setStallTimeoutMs(int ms) { m_stallTimeoutMs = ms; }
    /// How long the end of an acquisition waits for the backend's cancel before the device
    /// counts as stuck: short once the connection is known to be lost, long otherwise.
    void setCancelWaitMs(int lostMs, int normalMs) {
        m_cancelWaitLostMs = lostMs;
        m_cancelWaitMs = normalMs;
    }

    /// Where acquisitions assemble their frames (null, the default: the heap). It must outlive
    /// the images acquire() hands out. Set it before acquire().
    void setFrameMemory(FrameMemory* memory) { m_frameMemory = memory; }

    /// What an acquisition waits on the backend for, besides reading (which the sink's
    /// progress shows): the start of an image, or the cancel that ends the batch (with the
    /// status the batch ends with so far).
    enum class Phase { Starting, Ending };
    /// Told on the acquiring thread before each such wait, so that whoever runs the device
    /// can bound it. Set it before acquire().
    void setPhaseListener(std::function<void(Phase, const DeviceStatus&)> listener) {
        m_phaseListener = std::move(listener);
    }
    /// True while a cancel is still inside the backend after the acquisition gave up waiting
    /// for it: the handle must not be used again. Any thread.
    bool stuck() const;
    /// True when the last acquisition cancelled the backend in the middle of a frame. Backends
    /// built on SANE's reader-thread helper then kill that thread asynchronously, and it can
    /// die holding a lock of the C library's heap: the next sane_start or sane_read of this
    /// process may wait for ever. Acquiring thread.
    bool cutAFrameShort() const { return m_cutAFrameShort; }

private:
    struct Option {
        int index = -1;
        const SANE_Option_Descriptor* d = nullptr;
    };
    struct CancelCall;

    DeviceStatus loadOptions();
    const SANE_Option_Descriptor* option(const char* name) const;
    int optionIndex(const char* name) const;
    /// The first of up to three option names (null-terminated early) that is active.
    const char* firstActive(const char* const* names) const;
    std::optional<double> readNumber(const char* name) const;
    std::optional<QString> readString(const char* name) const;
    QStringList stringList(const char* name) const;
    DeviceStatus writeNumber(const char* name, double value);
    DeviceStatus writeString(const char* name, const QString& value);
    DeviceStatus control(int index, void* value, const QString& asked);

    std::optional<Capability> numberCapability(uint16_t id, const SANE_Option_Descriptor* d) const;
    std::optional<Capability> pixelTypeCapability() const;
    std::optional<Capability> sourceCapability(uint16_t id) const;
    std::optional<Capability> geometryCapability(uint16_t id) const;
    std::optional<Capability> sensorCapability(uint16_t id) const;
    std::optional<Capability> emulatedCapability(uint16_t id) const;
    DeviceStatus setPixelType(int type);
    DeviceStatus setEmulated(uint16_t id, double value);
    DeviceStatus setSource(uint16_t id, bool on);
    DeviceStatus setPageSize(int code);
    DeviceStatus setFrameMm(double left, double top, double right, double bottom);

    bool bwByDepth() const;
    QString modeFor(int type) const;
    bool bwInSoftware() const;
    /// The duplex switch apart from the source list (adf-mode, duplex), or null.
    const char* duplexSwitch() const;
    sanemap::SourceOptions sourceOptions() const;
    QStringList sourceList() const;
    double resolution(bool y) const;
    bool geometryInPixels() const;
    std::optional<double> toMm(const char* name, double value) const;
    double fromMm(const char* name, double mm) const;

    DeviceStatus acquirePage(FrameAssembler& frames, AcquireSink& sink, bool& noDocs);
    DeviceStatus readFrame(FrameAssembler& frames, AcquireSink& sink, int64_t pageBytesBefore,
                           int64_t pageExpected);
    /// Starts this acquisition's sane_cancel on its own thread, once. Caller holds m_cancelMutex.
    void startCancelLocked();
    void phase(Phase p, const DeviceStatus& status = DeviceStatus()) const {
        if (m_phaseListener)
            m_phaseListener(p, status);
    }
    /// True when the saned host of a net device has closed the connection: the net backend
    /// must not be called then (see NetConnection.h).
    bool netClosed() const;

    std::shared_ptr<SaneSession> m_session;
    SANE_Handle m_handle;
    std::vector<sockaddr_storage> m_netHost; // a net device's saned host, else empty
    std::vector<Option> m_options;
    QHash<QByteArray, int> m_byName;
    QHash<uint16_t, double> m_defaults;
    DeviceStatus m_optionsFault; // the last loadOptions() failure
    int m_unit = 0;              // TWAIN inches until the component chooses
    int m_emulated = -1;         // the TWAIN pixel type made in software, -1 for none
    double m_threshold = 128;    // software black and white, 0-255
    double m_thresholdDefault = 128;
    int m_stallTimeoutMs = 25000;
    int m_cancelWaitLostMs = 3000;
    int m_cancelWaitMs = 60000;
    std::function<void(Phase, const DeviceStatus&)> m_phaseListener;
    FrameMemory* m_frameMemory = nullptr;

    mutable std::mutex m_cancelMutex;
    bool m_acquiring = false;                 // guarded by m_cancelMutex
    bool m_frameOpen = false;                 // acquiring thread: started, not yet at its end
    bool m_cutAFrameShort = false;            // acquiring thread
    std::shared_ptr<CancelCall> m_cancelCall; // guarded by m_cancelMutex: this acquisition's
    std::atomic<bool> m_cancelRequested{false};
};
