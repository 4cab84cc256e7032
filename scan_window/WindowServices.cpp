#include "scan_window/WindowServices.h"
#include "acquisition/PdfWriter.h"
#include "acquisition/ScanComponent.h"
#include "acquisition_sane/DefaultComponent.h"
#include "common/UserSettings.h"
#include "common/WorkingFolder.h"
#include "device_info/frmShowScanInfo.h"

#include <QMessageBox>

void WindowServices::fillDefaults() {
    if (!workingFolder)
        workingFolder = [] { return ::workingFolder(); };
    if (!createComponent) {
        // The component's session cache lives in the working folder of the session.
        auto folder = workingFolder;
        createComponent = [folder] { return createDefaultComponent(folder()); };
    }
    if (!userSettings)
        userSettings = std::make_shared<UserSettings>();
    if (!messageBox) {
        messageBox = [](QWidget* parent, const QString& prompt, const QString& caption) {
            QMessageBox box(parent);
            box.setIcon(QMessageBox::NoIcon);
            box.setWindowTitle(caption);
            box.setTextFormat(Qt::PlainText);
            box.setText(prompt);
            box.setStandardButtons(QMessageBox::Ok);
            box.exec();
        };
    }
    if (!createPdfWriter)
        createPdfWriter = [](int32_t quality) { return std::make_unique<PdfWriter>(quality); };
    if (!showInfo)
        showInfo = [](const QString& info) { frmShowScanInfo().MostraInfo(info); };
}
