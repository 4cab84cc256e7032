#pragma once
#include "component_base/DeviceLayer.h"
#include "sane_worker/SaneHandle.h"
#include "sane_worker/WorkerDevice.h"
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

class FrameAssembler;
class FrameMemory;

/// The acquisition loop of one device over its handle: one start per image (and per colour
/// pass), non-blocking reads polled on the backend's descriptor where it has one, frames
/// assembled into images for the sink, and the cancel that ends every batch run on a thread
/// of its own (a network backend's cancel can block).
class SaneScanLoop {
public:
    /// Milliseconds on a monotonic clock.
    using Clock = std::function<int64_t()>;

    explicit SaneScanLoop(std::shared_ptr<SaneHandle> handle);
    /// A cancel still inside the backend keeps the handle, and closes it once the backend
    /// lets go.
    ~SaneScanLoop();
    SaneScanLoop(const SaneScanLoop&) = delete;
    SaneScanLoop& operator=(const SaneScanLoop&) = delete;

    /// One acquisition as the device decided it.
    struct Batch {
        bool feeder = false;   ///< sheets until the feeder is empty; else one image
        int32_t maxImages = 0; ///< the loop stops there
        int emulated = -1;     ///< TWAIN pixel type made from each page in software, -1 none
        int threshold = 128;   ///< of black and white made in software
    };
    /// Runs on the acquiring thread until the batch ends. A connection that closes or stays
    /// silent ends it with SANE's I/O error (9); images before it stand. An empty feeder
    /// before the first image is SANE_STATUS_NO_DOCS, after it a normal end.
    DeviceStatus run(const Batch& batch, AcquireSink& sink);
    /// From any thread, without waiting: has the handle's cancel called once for the running
    /// acquisition, on a thread of its own.
    void cancel();
    /// See WorkerDevice::stuck.
    bool stuck() const;
    /// See WorkerDevice::cutAFrameShort.
    bool cutAFrameShort() const { return m_cutAFrameShort; }

    void setStallTimeoutMs(int ms) { m_stallTimeoutMs = ms; }
    void setCancelWaitMs(int lostMs, int normalMs) {
        m_cancelWaitLostMs = lostMs;
        m_cancelWaitMs = normalMs;
    }
    void setFrameMemory(FrameMemory* memory) { m_frameMemory = memory; }
    void setPhaseListener(PhaseListener listener) { m_phaseListener = std::move(listener); }
    /// The clock the stall bound and the progress interval are measured on (a steady clock
    /// unless given). Set it before run().
    void setClock(Clock clock) { m_clock = std::move(clock); }

private:
    struct CancelCall;

    DeviceStatus acquirePage(FrameAssembler& frames, AcquireSink& sink, bool& noDocs);
    DeviceStatus readFrame(FrameAssembler& frames, AcquireSink& sink, int64_t pageBytesBefore,
                           int64_t pageExpected);
    /// Starts this acquisition's cancel on its own thread, once. Caller holds m_cancelMutex.
    void startCancelLocked();
    void phase(AcquirePhase p, const DeviceStatus& status = DeviceStatus()) const {
        if (m_phaseListener)
            m_phaseListener(p, status);
    }

    std::shared_ptr<SaneHandle> m_handle;
    int m_stallTimeoutMs = 25000;
    int m_cancelWaitLostMs = 3000;
    int m_cancelWaitMs = 60000;
    PhaseListener m_phaseListener;
    FrameMemory* m_frameMemory = nullptr;
    Clock m_clock;

    mutable std::mutex m_cancelMutex;
    bool m_acquiring = false;                 // guarded by m_cancelMutex
    bool m_frameOpen = false;                 // acquiring thread: started, not yet at its end
    bool m_cutAFrameShort = false;            // acquiring thread
    std::shared_ptr<CancelCall> m_cancelCall; // guarded by m_cancelMutex: this acquisition's
    std::atomic<bool> m_cancelRequested{false};
};
