// scan-host: the smallest application that scans with libscansione. It reads the scan
// settings (the INI file named on the command line, else the system's), shows the scan window
// and prints the files the user confirmed, one a line.
//
// Build it with CMake (CMakeLists.txt beside this file) or with pkg-config (Makefile).
#include <scansione/scan_window/FormScansione.h>
#include <scansione/scan_window/QtTranslation.h>
#include <scansione/settings/ScanSettings.h>

#include <QApplication>
#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    installQtItalian(); // Qt's own dialogs in Italian, as the window is

    ScanSettings settings = argc > 1 ? ScanSettings(QString::fromLocal8Bit(argv[1])) : ScanSettings();
    settings.ReadIni();
    if (settings.settingsAvailable != VbTrue) {
        std::fprintf(stderr, "scan-host: no settings file at %s\n", qPrintable(settings.iniPath()));
        return 2;
    }

    FormScansione window;
    QString code;                // "" when the window was shown, else why it was not
    int16_t openDocument = VbFalse; // the user's "Apri Doc" choice
    const std::optional<QStringList> files = window.EseguiScansione(&settings, code, openDocument);
    if (!files) {
        std::fprintf(stderr, "scan-host: no session: %s\n", qPrintable(code));
        return 1;
    }
    for (const QString& file : *files)
        std::printf("%s\n", qPrintable(file));
    return files->isEmpty() ? 1 : 0;
}
