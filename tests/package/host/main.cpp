// Loads the settings file named on the command line through the installed library and prints
// what it read, so the test can tell that the package links and works, not only compiles.
#include <scansione/settings/ScanSettings.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: package_host SETTINGS.ini\n");
        return 2;
    }
    ScanSettings settings(QString::fromLocal8Bit(argv[1]));
    settings.ReadIni();
    std::printf("available=%d format=%s resolution=%d quality=%d\n", settings.settingsAvailable,
                qPrintable(settings.ResultFormat), settings.Risoluzione,
                settings.JpegQualityTiffCompression);
    return settings.settingsAvailable == -1 ? 0 : 1;
}
