// The window as a host gets it: its services filled in with the default component (SANE and
// the virtual scanners), the widget dialogs and the information window. This lives here, not
// in the window's library, so that the window knows only the services it is handed.
#include "acquisition/ScanComponent.h"
#include "acquisition_ui/WidgetComponentDialogs.h"
#include "default_wiring/DefaultComponent.h"
#include "device_info/frmShowScanInfo.h"
#include "scan_window/FormScansione.h"
#include "scan_window/WindowServices.h"

namespace {

WindowServices withDefaults(WindowServices services) {
    services.fillDefaults();
    return services;
}

} // namespace

void WindowServices::fillDefaults() {
    fillWindowDefaults();
    if (!createComponent) {
        // The component's session cache lives in the working folder of the session.
        auto folder = workingFolder;
        createComponent = [folder](std::shared_ptr<ComponentDialogs> dialogs) {
            return createDefaultComponent(folder(), std::move(dialogs));
        };
    }
    if (!componentDialogs) {
        componentDialogs = [](QWidget* window) {
            return std::make_shared<WidgetComponentDialogs>(window);
        };
    }
    if (!showInfo)
        showInfo = [](const QString& info) { frmShowScanInfo().MostraInfo(info); };
}

FormScansione::FormScansione(QWidget* parent) : FormScansione(WindowServices{}, parent) {}

FormScansione::FormScansione(WindowServices services, QWidget* parent)
    : QDialog(parent), m_services(withDefaults(std::move(services))) {
    buildControls();
}
