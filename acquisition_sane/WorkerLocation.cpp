#include "acquisition_sane/WorkerLocation.h"

#include <QDir>
#include <QFileInfo>
#include <dlfcn.h>

namespace {

/// The file the dynamic loader mapped this code from: the shared library, or the program that
/// links the code statically. Empty when the loader cannot tell.
QString codeFile() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&codeFile), &info) == 0 || !info.dli_fname)
        return QString();
    return QFileInfo(QString::fromLocal8Bit(info.dli_fname)).canonicalFilePath();
}

bool inside(const QString& path, const QString& folder) {
    return !folder.isEmpty() && path.startsWith(folder + QLatin1Char('/'));
}

} // namespace

QString locateWorker(const char* variable, const QString& buildWorker, const QString& fileName,
                     const QString& installedWorker) {
    const QString named = qEnvironmentVariable(variable);
    if (!named.isEmpty())
        return named;

    const QString code = codeFile();
    const QString program = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    const QString build = QFileInfo(QStringLiteral(SCANSIONE_BUILD_DIR)).canonicalFilePath();
    if (inside(program, build) || inside(code, build))
        return buildWorker;

    // The code's own folder is the libdir or, when a program links it, the bindir; the
    // relative ways from each to the worker folder are those of the install layout.
    if (!code.isEmpty()) {
        const bool inProgram = code == program;
        const QString relative = inProgram ? QStringLiteral(SCANSIONE_WORKERS_FROM_BINDIR)
                                           : QStringLiteral(SCANSIONE_WORKERS_FROM_LIBDIR);
        const QString beside = QDir::cleanPath(QFileInfo(code).absolutePath() + QLatin1Char('/') +
                                               relative + QLatin1Char('/') + fileName);
        if (QFileInfo(beside).isExecutable())
            return beside;
    }
    return installedWorker;
}
