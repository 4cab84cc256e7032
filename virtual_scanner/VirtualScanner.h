#pragma once
#include "component_base/DeviceLayer.h"
#include <memory>

/// The virtual device layer: scanners described in a JSON file, whose pages are generated
/// document images (page number, front or back, text lines, a grid).
///
/// Threading: start() may run on a helper thread, the other calls on the component's thread;
/// the devices it opens follow the ScanDevice contract.
class VirtualScannerLayer : public DeviceLayer {
public:
    /// The scanners of the JSON file at `jsonPath` (read by start(), which reports a missing
    /// or malformed file as its status).
    explicit VirtualScannerLayer(const QString& jsonPath);
    ~VirtualScannerLayer() override;
    /// The layer of SCANSIONE_VIRTUAL_SCANNERS, or null when the variable is not set.
    static std::unique_ptr<DeviceLayer> fromEnvironment();

    /// Reads and checks the file; a non-ok status names the file and the field at fault.
    DeviceStatus start() override;
    /// Nothing to release: the scanners' state stays for a later start.
    void stop() override;
    /// The scanners of the file, in file order (id and name are both the scanner's name).
    QVector<DeviceInfo> devices() const override;
    /// A device for the scanner named `id`; throws ScanError for an unknown name or the
    /// scanner's injected open fault.
    std::unique_ptr<ScanDevice> open(const QString& id) override;

private:
    std::unique_ptr<DeviceLayer> m_impl;
};
