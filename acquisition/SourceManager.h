#pragma once
#include "component_base/DeviceLayer.h"
#include <QStringList>
#include <QVector>
#include <memory>
#include <vector>

class ComponentDialogs;

/// The component's sources: starts and stops the device layers, lists their devices in layer
/// order (indexed from 0), keeps the selection and the device opened from it.
///
/// Threading: owner thread only. start() runs the layers' own start on a helper thread while
/// the caller's event loop keeps running.
class SourceManager {
public:
    /// `layers` in listing order (SANE first, then virtual scanners).
    explicit SourceManager(std::vector<std::unique_ptr<DeviceLayer>> layers);
    /// Stops the layers that are still started; the open device must be gone by then.
    ~SourceManager();
    Q_DISABLE_COPY(SourceManager)

    /// Starts every layer, the search shown through `dialogs`, and lists the sources with
    /// the first selected. The first layer's failure, ok when none failed; isStarted() tells
    /// whether the manager runs: it does when at least one layer started, or when there is no
    /// layer at all (a manager with no source).
    DeviceStatus start(ComponentDialogs& dialogs);
    /// Why layers did not start at the latest start(), in layer order; empty when all did.
    /// A start that succeeds with one layer hides the others' failures from its result.
    const QVector<DeviceStatus>& layerFailures() const { return m_layerFailures; }
    /// True between a successful start() and close().
    bool isStarted() const { return m_started; }
    /// True while a closed manager still waits to stop its layers (a device is in use).
    bool stopPending() const { return m_stopPending; }
    /// Forgets the sources; the layers stop at the next stopLayersIfIdle() that finds no
    /// device in use. The open device must have been closed.
    void close();
    /// Stops the layers of a closed manager, unless a device of theirs is still in use
    /// (`deviceHeldElsewhere`: the worker has one) or open: a layer must outlive its devices.
    void stopLayersIfIdle(bool deviceHeldElsewhere);

    /// Number of sources listed.
    int count() const { return int(m_sources.size()); }
    /// The names of the sources, in order.
    QStringList names() const;
    /// Throws ScanError (BadIndex) for an index out of range.
    QString name(int index) const;
    /// Throws ScanError (BadIndex) for an index out of range.
    void checkIndex(int index) const;
    /// The selected source; -1 when there is none.
    int selected() const { return m_selected; }
    /// Selects a source (the caller has checked the index and closed the open device).
    void select(int index) { m_selected = index; }

    /// Opens the selected source: ok, or why it did not open.
    DeviceStatus openSelected();
    /// The open device; null when none is open.
    const std::shared_ptr<ScanDevice>& device() const { return m_device; }
    /// Lets go of the open device (a running acquisition may still hold it).
    void closeDevice() { m_device.reset(); }

private:
    struct Source {
        int layer = 0;
        DeviceInfo info;
    };

    void stopLayers();

    std::vector<std::unique_ptr<DeviceLayer>> m_layers;
    std::vector<bool> m_layerStarted;
    QVector<Source> m_sources;
    QVector<DeviceStatus> m_layerFailures;
    bool m_started = false;
    bool m_stopPending = false;
    int m_selected = -1;
    std::shared_ptr<ScanDevice> m_device;
};
