// The scansione program: a small test host that runs one scan session with the settings of
// the INI file and lists the files it produced.
#include "host/StartRoutine.h"
#include "settings/ScanSettings.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ScanSettings settings;
    runStartRoutine(settings, StartRoutineServices{});
    return 0;
}
