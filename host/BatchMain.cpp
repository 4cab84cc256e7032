// scansione-batch: the scan window without a person, for scripts (see BatchRun.h).
#include "host/BatchRun.h"
#include "host/ProgramEnvironment.h"
#include "scan_window/QtTranslation.h"

#include <QApplication>

#include <csignal>
#include <unistd.h>

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN); // a closed network scanner must not end the run unreported
    // A file beyond the size limit fails its write (EFBIG), which the run reports, instead of
    // ending the run with its pages.
    std::signal(SIGXFSZ, SIG_IGN);
    // Scripts and machines without a display: the real window on Qt's offscreen platform.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    prepareProgramEnvironment();
    QApplication app(argc, argv);
    installQtItalian(); // Qt's own texts in --help and the dialogs

    return runBatch(
        QCoreApplication::arguments(),
        {.out = stdout, .err = stderr, .errorIsTerminal = ::isatty(STDERR_FILENO) == 1});
}
