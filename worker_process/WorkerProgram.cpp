#include "worker_process/WorkerProgram.h"

#include <QDir>
#include <QFileInfo>
#include <QtGlobal>

#include <csignal>
#include <cstdio>
#include <dlfcn.h>
#include <sys/stat.h>

namespace workerprogram {
namespace {

/// The file the dynamic loader mapped this code from: the shared library, or the program that
/// links the code statically. Empty when the loader cannot tell.
QString codeFile() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&codeFile), &info) == 0 || !info.dli_fname)
        return QString();
    return QFileInfo(QString::fromLocal8Bit(info.dli_fname)).canonicalFilePath();
}

QString runningProgram() {
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}

bool inside(const QString& path, const QString& folder) {
    return !folder.isEmpty() && path.startsWith(folder + QLatin1Char('/'));
}

} // namespace

bool runningFromBuildTree() {
    const QString build = QFileInfo(QStringLiteral(SCANSIONE_BUILD_DIR)).canonicalFilePath();
    return inside(runningProgram(), build) || inside(codeFile(), build);
}

QString find(const char* variable, const QString& builtPath, const QString& name) {
    const QString named = qEnvironmentVariable(variable);
    if (!named.isEmpty())
        return named;
    if (runningFromBuildTree())
        return builtPath;
    // The code's own folder is the libdir or, when a program links it statically, the
    // bindir; the relative ways from each to the worker folder are those of the install
    // layout, so an install under any prefix (cmake --install --prefix, a package, a copied
    // tree) finds its own workers.
    const QString code = codeFile();
    if (!code.isEmpty()) {
        const QString relative = code == runningProgram()
                                     ? QStringLiteral(SCANSIONE_WORKERS_FROM_BINDIR)
                                     : QStringLiteral(SCANSIONE_WORKERS_FROM_LIBDIR);
        const QString beside = QDir::cleanPath(QFileInfo(code).absolutePath() + QLatin1Char('/') +
                                               relative + QLatin1Char('/') + name);
        if (QFileInfo(beside).isExecutable())
            return beside;
    }
    return QStringLiteral(SCANSIONE_INSTALLED_WORKERS) + QLatin1Char('/') + name;
}

bool readyToServe(const char* notStarted) {
    struct stat st {};
    if (::fstat(kSocket, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        std::fputs(notStarted, stderr);
        return false;
    }
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

} // namespace workerprogram
