#pragma once
#include "component_base/Capability.h"
#include <QImage>
#include <QString>
#include <QVector>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

// The narrow device interface beneath the component. Two layers implement it: the SANE layer
// (acquisition_sane) and the virtual scanner. Nothing above acquisition/ knows which runs.

/// A device as a layer lists it.
struct DeviceInfo {
    QString id;   ///< the layer's own name for it (SANE device name, virtual scanner name)
    QString name; ///< what the user sees in the source list
};

/// The outcome of a device call: code 0 and empty text mean success.
struct DeviceStatus {
    int32_t code = 0;
    QString text;
    bool ok() const { return code == 0; }
    explicit operator bool() const { return ok(); }
};

/// What one acquisition asks of the device. Captured when Acquire is called.
struct AcquireRequest {
    bool feeder = false;   ///< a feeder batch: sheets until the feeder is empty
    bool duplex = false;   ///< front then back of each sheet
    int32_t maxImages = 0; ///< images still allowed by ImageLimit; the device stops there
};

/// The receiver of an acquisition's images, called on the worker thread.
class AcquireSink {
public:
    virtual ~AcquireSink() = default;
    /// One complete image; its index in the batch is the number of earlier calls.
    /// Returns false when the acquisition must stop (cancelled, limit reached).
    virtual bool image(QImage image) = 0;
    /// Progress of the image being read: bytes so far and expected (0 when unknown).
    virtual void progress(int64_t bytes, int64_t expectedBytes) = 0;
    /// True once the user or the component asked the acquisition to stop.
    virtual bool cancelled() const = 0;
};

/// An opened device. Capability calls come from the owner thread while no acquisition runs;
/// acquire() runs on the worker thread; cancel() may be called from any thread.
class ScanDevice {
public:
    virtual ~ScanDevice() = default;

    /// The ids of every capability this device supports, in the order the report lists them.
    virtual QVector<uint16_t> capabilityIds() const = 0;
    /// The capability's current state, or nullopt when the device does not support it.
    virtual std::optional<Capability> capability(uint16_t id) const = 0;
    /// Sets the current value. A value the device rejects or adjusts gives a non-zero status;
    /// capability() then reads what the device actually took.
    virtual DeviceStatus setCapability(uint16_t id, double value) = 0;
    /// Sets the scan frame in the current ICAP_UNITS.
    virtual DeviceStatus setImageLayout(double left, double top, double right, double bottom) = 0;

    /// Acquires images into `sink` until the batch ends. Returns the status that ended it
    /// (0 for a normal end, including a cancel); images delivered before an error stand.
    virtual DeviceStatus acquire(const AcquireRequest& request, AcquireSink& sink) = 0;
    /// Asks a running acquire() to stop as soon as it can. Thread-safe.
    virtual void cancel() = 0;
    /// Why the device cannot answer at all (its option list cannot be read, its connection is
    /// lost), so that callers report that instead of "not supported"; ok while it works.
    /// Owner thread.
    virtual DeviceStatus fault() const { return DeviceStatus(); }
};

/// A family of devices (SANE, virtual scanners).
class DeviceLayer {
public:
    virtual ~DeviceLayer() = default;
    /// Starts the layer; a non-ok status means it cannot be used. May be slow (SANE probes
    /// the network): the component calls it off the window's thread.
    virtual DeviceStatus start() = 0;
    /// Stops the layer; devices it opened must be closed first.
    virtual void stop() = 0;
    /// The devices found by start().
    virtual QVector<DeviceInfo> devices() const = 0;
    /// Opens a device of devices(); throws ScanError when it cannot be opened.
    virtual std::unique_ptr<ScanDevice> open(const QString& id) = 0;
};
