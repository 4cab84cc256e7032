#pragma once
#include <QString>
#include <memory>

class ComponentDialogs;
class ScanComponent;

/// The component with its default device layers: SANE (unless SCANSIONE_SANE=0), then the
/// virtual scanners of SCANSIONE_VIRTUAL_SCANNERS. `cacheParent` holds the session cache;
/// `dialogs` are what the component shows (null: nothing, the component runs headless).
std::unique_ptr<ScanComponent>
createDefaultComponent(const QString& cacheParent,
                       std::shared_ptr<ComponentDialogs> dialogs = nullptr);
