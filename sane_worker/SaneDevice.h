#pragma once
#include "sane_worker/SaneCapabilities.h"
#include "sane_worker/SaneHandle.h"
#include "sane_worker/SaneOptions.h"
#include "sane_worker/SaneScanLoop.h"
#include "sane_worker/WorkerDevice.h"
#include <memory>

// Internal to the SANE layer (it names SANE's types); the component sees only ScanDevice.

/// One opened SANE device: its options (SaneOptions) read as TWAIN capabilities
/// (SaneCapabilities), acquisition by the scan loop (SaneScanLoop), all over one handle. Every
/// call into SANE runs with SIGPIPE blocked on the calling thread.
class SaneDevice : public WorkerDevice {
public:
    /// Takes the device's handle and reads its options. When they cannot be read, fault()
    /// says why.
    explicit SaneDevice(std::shared_ptr<SaneHandle> handle);
    /// Lets go of the handle; when a cancel is still stuck in the backend (a silent network
    /// device), the thread running it closes the handle once the backend lets go.
    ~SaneDevice() override;

    QVector<uint16_t> capabilityIds() const override;
    std::optional<Capability> capability(uint16_t id) const override;
    DeviceStatus setCapability(uint16_t id, double value) override;
    DeviceStatus setImageLayout(double left, double top, double right, double bottom) override;
    /// Runs on the component's worker thread; see SaneScanLoop::run. A batch needs a source
    /// that feeds sheets.
    DeviceStatus acquire(const AcquireRequest& request, AcquireSink& sink) override;
    /// From any thread, without waiting: has sane_cancel called once for the running
    /// acquisition, on a thread of its own (a network backend's cancel can block).
    void cancel() override;
    /// The option list cannot be read, the saned host of a net device closed the connection,
    /// or the device stopped answering (a cancel stuck in the backend): the device is unusable
    /// and says so. Owner thread.
    DeviceStatus fault() const override;

    DeviceStatus setOption(const QByteArray& name, const QString& value) override;
    void setLimits(int stallMs, int cancelWaitLostMs, int cancelWaitMs) override;
    void setFrameMemory(FrameMemory* memory) override { m_loop.setFrameMemory(memory); }
    void setPhaseListener(PhaseListener listener) override {
        m_loop.setPhaseListener(std::move(listener));
    }
    bool stuck() const override { return m_loop.stuck(); }
    /// Backends built on SANE's reader-thread helper kill that thread asynchronously after a
    /// cancel in the middle of a frame, and it can die holding a lock of the C library's heap:
    /// the next sane_start or sane_read of this process may wait for ever.
    bool cutAFrameShort() const override { return m_loop.cutAFrameShort(); }

private:
    SaneOptions m_options;
    SaneCapabilities m_capabilities{m_options};
    SaneScanLoop m_loop;
};
