#pragma once
#include "acquisition/DeviceLayer.h"
#include "acquisition/ScanComponent.h"
#include <memory>
#include <vector>

/// The acquisition component: sources from its device layers (listed in layer order,
/// indexed from 0), one worker thread that owns the device while it acquires, and the
/// session's image buffer.
class VstScan : public ScanComponent {
    Q_OBJECT
public:
    /// `layers` in listing order (SANE first, then virtual scanners); `cacheParent` is the
    /// folder that holds the session cache of full-resolution pages (the working folder).
    VstScan(std::vector<std::unique_ptr<DeviceLayer>> layers, const QString& cacheParent,
            QObject* parent = nullptr);
    ~VstScan() override;
    // ... the ScanComponent operations (filled in by the component's implementation)
};
