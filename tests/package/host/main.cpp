// A host of the installed library: loads the settings file named on the command line, prints
// what it read, then opens a scan session, which with no scanner at all must refuse to start
// and say why, and with one starts, counts the scanners and is closed. So the test sees the
// package link and work, window and SANE worker included, not only compile.
#include <scansione/acquisition/ScanComponent.h>
#include <scansione/scan_window/FormScansione.h>
#include <scansione/settings/ScanSettings.h>

#include <QApplication>
#include <QTimer>
#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: package_host SETTINGS.ini\n");
        return 2;
    }
    ScanSettings settings(QString::fromLocal8Bit(argv[1]));
    settings.ReadIni();
    // A copy carries the keys behind the record's private pointer as well as its fields.
    const ScanSettings copy = settings;
    std::printf("available=%d format=%s resolution=%d quality=%d pdfa=%s\n",
                settings.settingsAvailable, qPrintable(copy.ResultFormat), copy.Risoluzione,
                copy.JpegQualityTiffCompression, qPrintable(copy.PDFA()));

    FormScansione form;
    // A session that starts (a scanner was found) says how many, and is closed at once.
    QObject::connect(&form, &FormScansione::sessionShown, &form, [&form] {
        std::printf("sources=%d\n", form.component() ? form.component()->SourceCount() : -1);
        QTimer::singleShot(0, &form, [&form] { form.ImgButtons_Click(FormScansione::cmdAnnulla); });
    });
    QString code;
    int16_t openDocument = 0;
    const std::optional<QStringList> files = form.EseguiScansione(&settings, code, openDocument);
    std::printf("session=%s code=%s\n", files ? "shown" : "none", qPrintable(code));
    return settings.settingsAvailable == VbTrue ? 0 : 1;
}
