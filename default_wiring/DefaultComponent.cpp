#include "default_wiring/DefaultComponent.h"
#include "acquisition/ComponentDialogs.h"
#include "virtual_scanner/VirtualScanner.h"
#include "acquisition/VstScan.h"
#include "acquisition_sane/SaneWorkerLayer.h"
#include "ocr_client/OcrClient.h"
#include <QtGlobal>

std::unique_ptr<ScanComponent> createDefaultComponent(const QString& cacheParent,
                                                      std::shared_ptr<ComponentDialogs> dialogs) {
    std::vector<std::unique_ptr<DeviceLayer>> layers;
    if (qEnvironmentVariable("SCANSIONE_SANE") != QLatin1String("0"))
        layers.push_back(std::make_unique<SaneWorkerLayer>());
    if (auto virtualLayer = VirtualScannerLayer::fromEnvironment())
        layers.push_back(std::move(virtualLayer));
    // Text recognition and page clean-up run in the OCR worker program, started only when a
    // session asks for them.
    return std::make_unique<VstScan>(std::move(layers), cacheParent, ocrPageServices(),
                                     std::move(dialogs));
}
