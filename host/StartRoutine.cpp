#include "host/StartRoutine.h"
#include "common/VbBool.h"
#include "scan_window/ErrorTrap.h"
#include "scan_window/FormScansione.h"
#include "scan_window/WindowServices.h"
#include "settings/ScanSettings.h"
#include "settings/SettingsWarnings.h"

#include <cstdio>

void StartRoutineServices::fillDefaults() {
    if (!messageBox) {
        messageBox = [](const QString& prompt, const QString& caption) {
            WindowServices::showPlainMessageBox(nullptr, prompt, caption);
        };
    }
    if (!runSession) {
        runSession = [](ScanSettings& settings) {
            FormScansione form;
            QString code;
            int16_t openDocument = VbFalse;
            return form.EseguiScansione(&settings, code, openDocument);
        };
    }
    if (!settingsWarning) {
        settingsWarning = [](const QString& warning) {
            std::fprintf(stderr, "Scansione: %s\n", warning.toLocal8Bit().constData());
            std::fflush(stderr);
        };
    }
}

QString producedFilesMessage(const QStringList& files) {
    const QString lineEnd = QStringLiteral("\r\n");
    QString text = QStringLiteral("Scansione effettuata. Files:") + lineEnd;
    for (const QString& file : files)
        text += file + lineEnd;
    return text;
}

void runStartRoutine(ScanSettings& settings, StartRoutineServices services) {
    services.fillDefaults();
    resumeNext([&] { settings.ReadIni(); });
    if (settings.settingsAvailable != VbTrue) {
        resumeNext([&] {
            services.messageBox(
                QStringLiteral("Attenzione file scanner.ini non presente nel sistema."),
                startRoutineCaption);
        });
        return;
    }
    // Said once, here; the window writes the same texts into its scan log.
    for (const QString& warning : settingsWarnings(settings))
        resumeNext([&] { services.settingsWarning(warning); });
    // The INI file has no key for it: the test host always shows the progress window.
    settings.ViewProgress = VbTrue;

    std::optional<QStringList> files;
    resumeNext([&] { files = services.runSession(settings); });
    const qsizetype count = files ? files->size() : 0;
    if (count < 1)
        return;
    resumeNext([&] { services.messageBox(producedFilesMessage(*files), startRoutineCaption); });
}
