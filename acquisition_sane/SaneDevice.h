#pragma once
#include "acquisition/DeviceLayer.h"
#include <QByteArray>
#include <QHash>
#include <atomic>
#include <memory>
#include <mutex>
#include <sane/sane.h>
#include <vector>

// Internal to the SANE layer (it names SANE's types); the component sees only ScanDevice.

class SaneSession;
class FrameAssembler;

/// One opened SANE device: its options read as TWAIN capabilities through one mapping table,
/// and acquisition with sane_start/sane_read.
class SaneDevice : public ScanDevice {
public:
    /// Takes an open handle; the session keeps SANE alive until the device is gone.
    SaneDevice(std::shared_ptr<SaneSession> session, SANE_Handle handle);
    ~SaneDevice() override;

    QVector<uint16_t> capabilityIds() const override;
    std::optional<Capability> capability(uint16_t id) const override;
    DeviceStatus setCapability(uint16_t id, double value) override;
    DeviceStatus setImageLayout(double left, double top, double right, double bottom) override;
    /// Runs on the component's worker thread: one sane_start per image (and per colour pass),
    /// non-blocking reads polled with a timeout where the backend allows it.
    DeviceStatus acquire(const AcquireRequest& request, AcquireSink& sink) override;
    /// From any thread: calls sane_cancel once for the running acquisition.
    void cancel() override;

    /// Sets a backend option by name from its text form, as a user would type it: "yes"/"no"
    /// for a switch, a number, or a text. For options outside the capability model. Owner
    /// thread, no acquisition running.
    DeviceStatus setOption(const QByteArray& name, const QString& value);

    /// How long a read may wait for data before the page is given up ("Il dispositivo non
    /// risponde"). Only effective for backends that support non-blocking reads.
    void setStallTimeoutMs(int ms) { m_stallTimeoutMs = ms; }

private:
    struct Option {
        int index = -1;
        const SANE_Option_Descriptor* d = nullptr;
    };
    void loadOptions();
    const SANE_Option_Descriptor* option(const char* name) const;
    int optionIndex(const char* name) const;
    /// The first of up to three option names (null-terminated early) that is active.
    const char* firstActive(const char* const* names) const;
    std::optional<double> readNumber(const char* name) const;
    std::optional<QString> readString(const char* name) const;
    DeviceStatus writeNumber(const char* name, double value);
    DeviceStatus writeString(const char* name, const QString& value);
    DeviceStatus control(int index, void* value, const QString& asked);

    std::optional<Capability> numberCapability(uint16_t id, const SANE_Option_Descriptor* d) const;
    std::optional<Capability> pixelTypeCapability() const;
    std::optional<Capability> sourceCapability(uint16_t id) const;
    std::optional<Capability> geometryCapability(uint16_t id) const;
    std::optional<Capability> sensorCapability(uint16_t id) const;
    DeviceStatus setPixelType(int type);
    DeviceStatus setSource(uint16_t id, bool on);
    DeviceStatus setPageSize(int code);
    DeviceStatus setFrameMm(double left, double top, double right, double bottom);

    bool bwByDepth() const;
    QStringList sourceList() const;
    double resolution(bool y) const;
    bool geometryInPixels() const;
    std::optional<double> toMm(const char* name, double value) const;
    double fromMm(const char* name, double mm) const;

    DeviceStatus acquirePage(FrameAssembler& frames, AcquireSink& sink, bool& noDocs);
    DeviceStatus readFrame(FrameAssembler& frames, AcquireSink& sink, int64_t pageBytesBefore,
                           int64_t pageExpected);
    void cancelOnce();

    std::shared_ptr<SaneSession> m_session;
    SANE_Handle m_handle;
    std::vector<Option> m_options;
    QHash<QByteArray, int> m_byName;
    QHash<uint16_t, double> m_defaults;
    int m_unit = 0; // TWAIN inches until the component chooses
    int m_stallTimeoutMs = 120000;

    std::mutex m_cancelMutex;
    bool m_acquiring = false;     // guarded by m_cancelMutex
    bool m_saneCancelled = false; // guarded by m_cancelMutex: sane_cancel already called
    std::atomic<bool> m_cancelRequested{false};
};
