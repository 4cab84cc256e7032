#pragma once
#include "component_base/DeviceLayer.h"
#include "sane_worker/SaneMapping.h"
#include "sane_worker/SaneOptions.h"
#include <QHash>

/// A device's SANE options read as TWAIN capabilities through one mapping table. Pixel types
/// the device has no mode for are made in software from the nearest mode it has (black and
/// white from grey or colour, grey from colour): the mapping says which, and the acquisition
/// converts each page. Owner thread (or the acquiring thread between images).
class SaneCapabilities {
public:
    /// Maps the options of `options`, which must outlive it.
    explicit SaneCapabilities(SaneOptions& options) : m_options(options) {}

    /// Once the options are loaded: the device's values as it was opened stand for the
    /// defaults (SANE has none), its threshold for the software threshold's.
    void takeDefaults();

    QVector<uint16_t> capabilityIds() const;
    std::optional<Capability> capability(uint16_t id) const;
    DeviceStatus setCapability(uint16_t id, double value);
    /// The scan frame in the current ICAP_UNITS, from the corner of the device's area.
    DeviceStatus setImageLayout(double left, double top, double right, double bottom);
    /// A backend option by name from its text form, for options outside the capability model.
    /// Setting "mode" drops a pixel type made in software: the caller picks the device's own.
    DeviceStatus setOption(const QByteArray& name, const QString& value);

    /// True when the current source feeds sheets (or the device has no source list): only
    /// then may a batch go on after its first image.
    bool sourceFeeds() const;
    /// The TWAIN pixel type made in software from each page, -1 for none.
    int emulatedPixelType() const { return m_emulated; }
    /// The threshold of black and white made in software, 0-255.
    int threshold() const { return int(m_threshold); }

private:
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
    std::optional<double> toMm(const char* name, double value) const;
    double fromMm(const char* name, double mm) const;

    SaneOptions& m_options;
    QHash<uint16_t, double> m_defaults;
    int m_unit = 0;           // TWAIN inches until the component chooses
    int m_emulated = -1;      // the TWAIN pixel type made in software, -1 for none
    double m_threshold = 128; // software black and white, 0-255
    double m_thresholdDefault = 128;
};
