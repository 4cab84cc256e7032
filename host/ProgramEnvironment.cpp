#include "host/ProgramEnvironment.h"
#include "common/WorkingFolder.h"

#include <QByteArray>
#include <QString>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

void prepareProgramEnvironment() {
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        return;
    const QString base = privateTemporaryFolder();
    if (base.isEmpty())
        return;
    const QByteArray runtime = QString(base + QStringLiteral("runtime")).toLocal8Bit();
    if (::mkdir(runtime.constData(), 0700) != 0 && errno != EEXIST)
        return;
    // The checks Qt makes of a runtime folder: a directory of the user's, no link, and
    // nobody else's to enter.
    struct stat st {};
    if (::lstat(runtime.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::getuid() ||
        (st.st_mode & 0077) != 0)
        return;
    qputenv("XDG_RUNTIME_DIR", runtime);
}
