#pragma once
#include "component_base/DeviceLayer.h"
#include "sane_worker/SaneHandle.h"
#include <QByteArray>
#include <QHash>
#include <QStringList>
#include <memory>
#include <optional>
#include <vector>

/// A device's SANE options by name, read and written through its handle: the raw option I/O
/// beneath the capability mapping. Owner thread (or the acquiring thread between images).
class SaneOptions {
public:
    explicit SaneOptions(std::shared_ptr<SaneHandle> handle) : m_handle(std::move(handle)) {}

    /// Reads the option list anew; on failure fault() says why until a reload succeeds.
    DeviceStatus load();
    /// Why the option list could not be read; ok once it was.
    const DeviceStatus& fault() const { return m_fault; }
    /// True when the device's connection is known to be closed (no call may be made).
    bool connectionClosed() const { return m_handle->connectionClosed(); }

    /// The option `name` when it is active, else null.
    const SANE_Option_Descriptor* option(const char* name) const;
    /// The first of up to four option names (null-terminated early) that is active.
    const char* firstActive(const char* const* names) const;
    /// A number, switch or fixed-point option; an array's first element.
    std::optional<double> readNumber(const char* name) const;
    std::optional<QString> readString(const char* name) const;
    /// The entries of a string option's list constraint.
    QStringList stringList(const char* name) const;
    /// Sets a number, switch or fixed-point option (every element of an array). A value the
    /// backend rounds gives ValueAdjusted with the value it took.
    DeviceStatus writeNumber(const char* name, double value);
    DeviceStatus writeString(const char* name, const QString& value);
    /// Sets `name` from its text form, as a user would type it: "yes"/"no" for a switch, a
    /// number, or a text.
    DeviceStatus writeText(const QByteArray& name, const QString& value);

private:
    struct Option {
        int index = -1;
        const SANE_Option_Descriptor* d = nullptr;
    };
    int optionIndex(const char* name) const;
    DeviceStatus control(int index, void* value, const QString& asked);

    std::shared_ptr<SaneHandle> m_handle;
    std::vector<Option> m_options;
    QHash<QByteArray, int> m_byName;
    DeviceStatus m_fault; // the last load() failure
};

namespace saneoption {
/// An option word as a number: fixed-point words unfixed.
double wordValue(const SANE_Option_Descriptor* d, SANE_Word w);
/// A number as the layer's messages write it.
QString numberText(double v);
} // namespace saneoption
