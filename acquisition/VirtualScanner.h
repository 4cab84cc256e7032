#pragma once
#include "acquisition/DeviceLayer.h"
#include <memory>

/// The virtual device layer: scanners described in a JSON file, whose pages are generated
/// document images (page number, front or back, text lines, a grid).
class VirtualScannerLayer : public DeviceLayer {
public:
    /// The scanners of the JSON file at `jsonPath`.
    explicit VirtualScannerLayer(const QString& jsonPath);
    /// The layer of SCANSIONE_VIRTUAL_SCANNERS, or null when the variable is not set.
    static std::unique_ptr<DeviceLayer> fromEnvironment();
};
