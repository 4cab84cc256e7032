#pragma once
#include "component_base/DeviceLayer.h"
#include <QByteArray>
#include <functional>

class FrameMemory;

/// What an acquisition waits on the backend for, besides reading (which the sink's progress
/// shows): the start of an image, or the cancel that ends the batch (with the status the
/// batch ends with so far).
enum class AcquirePhase { Starting, Ending };
using PhaseListener = std::function<void(AcquirePhase, const DeviceStatus&)>;

/// A device as the worker's server runs it: the component's ScanDevice, and what the server
/// needs besides to serve it in a process of its own (bounds, shared frame memory, the phases
/// it reports, and whether the process must end after an acquisition).
class WorkerDevice : public ScanDevice {
public:
    /// Sets a backend option by name from its text form, as a user would type it: "yes"/"no"
    /// for a switch, a number, or a text. For options outside the capability model. Owner
    /// thread, or the acquiring thread between images (the sink's image callback).
    virtual DeviceStatus setOption(const QByteArray& name, const QString& value) = 0;
    /// How long a read may wait for data before the device counts as gone ("Errore di
    /// ingresso/uscita: il dispositivo non risponde"), and how long the end of an acquisition
    /// waits for the backend's cancel before the device counts as stuck: short once the
    /// connection is known to be lost, long otherwise.
    virtual void setLimits(int stallMs, int cancelWaitLostMs, int cancelWaitMs) = 0;
    /// Where acquisitions assemble their frames (null: the heap). It must outlive the images
    /// acquire() hands out. Set it before acquire().
    virtual void setFrameMemory(FrameMemory* memory) = 0;
    /// Told on the acquiring thread before each wait of a phase, so that whoever runs the
    /// device can bound it. Set it before acquire().
    virtual void setPhaseListener(PhaseListener listener) = 0;
    /// True while a cancel is still inside the backend after the acquisition gave up waiting
    /// for it: the device must not be used again. Any thread.
    virtual bool stuck() const = 0;
    /// True when the last acquisition cancelled the backend in the middle of a frame, after
    /// which the backend's state cannot be trusted in this process. Acquiring thread.
    virtual bool cutAFrameShort() const = 0;
};
