// The scansione program: a small test host that runs one scan session with the settings of
// the INI file and lists the files it produced.
#include "host/ProgramEnvironment.h"
#include "host/StartRoutine.h"
#include "scan_window/QtTranslation.h"
#include "settings/ScanSettings.h"

#include <QApplication>
#include <csignal>

int main(int argc, char** argv) {
    // A scanner reached over the network may close its connection at any moment; the write
    // that finds it closed must fail with an error, not end the program.
    std::signal(SIGPIPE, SIG_IGN);
    // A file beyond the size limit fails its write (EFBIG), which the window reports, instead
    // of ending the program with the session's pages.
    std::signal(SIGXFSZ, SIG_IGN);
    prepareProgramEnvironment();
    QApplication app(argc, argv);
    installQtItalian();
    ScanSettings settings;
    runStartRoutine(settings, StartRoutineServices{});
    return 0;
}
