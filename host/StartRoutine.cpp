#include "host/StartRoutine.h"
#include "acquisition/ScanComponent.h"
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
        // The window's component is gone with the window: its reasons are kept as text.
        auto why = std::make_shared<QString>();
        runSession = [why](ScanSettings& settings) {
            FormScansione form;
            QString code;
            int16_t openDocument = VbFalse;
            std::optional<QStringList> files = form.EseguiScansione(&settings, code, openDocument);
            why->clear();
            if (!files) {
                const bool started = code != QLatin1String("SCAN_DEVICE_NOT_STARTED");
                *why = notStartedMessage(code, startFailures(form.component(), started));
            }
            return files;
        };
        if (!whyNotStarted)
            whyNotStarted = [why] { return *why; };
    }
    if (!whyNotStarted)
        whyNotStarted = [] { return QString(); };
    if (!settingsWarning) {
        settingsWarning = [](const QString& warning) {
            std::fprintf(stderr, "Scansione: %s\n", warning.toLocal8Bit().constData());
            std::fflush(stderr);
        };
    }
}

QString startCodeMeaning(const QString& code) {
    if (code == QLatin1String("SCAN_NOT_AVAILABLE"))
        return QStringLiteral("nessuno scanner trovato");
    if (code == QLatin1String("SCAN_DEVICE_NOT_STARTED"))
        return QStringLiteral("il sistema di acquisizione non si è avviato");
    if (code == QLatin1String("SCAN_SETTING_FAILED"))
        return QStringLiteral("impostazioni di scansione mancanti");
    return QString();
}

QStringList startFailures(ScanComponent* component, bool started) {
    QStringList failures =
        tryCall(component, &ScanComponent::layerFailures).value_or(QStringList());
    if (failures.isEmpty() && !started) {
        if (const QString text =
                tryCall(component, &ScanComponent::LastErrorText).value_or(QString());
            !text.isEmpty())
            failures << text;
    }
    return failures;
}

QString notStartedMessage(const QString& code, const QStringList& reasons) {
    const QString lineEnd = QStringLiteral("\r\n");
    QString text;
    if (code == QLatin1String("SCAN_NOT_AVAILABLE")) {
        text = QStringLiteral("Nessuno scanner trovato.") + lineEnd +
               QStringLiteral("Controllare che lo scanner sia collegato e acceso (per uno "
                              "scanner di rete: che sia nella stessa rete), poi avviare di "
                              "nuovo il programma.");
    } else if (code == QLatin1String("SCAN_DEVICE_NOT_STARTED")) {
        text = QStringLiteral("Il sistema di acquisizione non si è avviato.") + lineEnd +
               QStringLiteral("Controllare l'installazione dei driver SANE e, se usato, il file "
                              "degli scanner virtuali, poi avviare di nuovo il programma.");
    } else {
        return QString();
    }
    if (!reasons.isEmpty())
        text += lineEnd + lineEnd + QStringLiteral("Dettagli:") + lineEnd +
                reasons.join(lineEnd);
    return text;
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
    if (!files) {
        // A session that did not start says why before the program ends; one the user
        // cancelled, or that produced nothing, ends silently.
        QString why;
        resumeNext([&] { why = services.whyNotStarted(); });
        if (!why.isEmpty())
            resumeNext([&] { services.messageBox(why, startRoutineCaption); });
        return;
    }
    const qsizetype count = files->size();
    if (count < 1)
        return;
    resumeNext([&] { services.messageBox(producedFilesMessage(*files), startRoutineCaption); });
}
