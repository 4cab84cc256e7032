#include "worker_process/WorkerProgram.h"

#include <QFileInfo>
#include <QtGlobal>

#include <dlfcn.h>

namespace workerprogram {

bool runningFromBuildTree() {
    const QString build = QFileInfo(QStringLiteral(SCANSIONE_BUILD_DIR)).canonicalFilePath();
    if (build.isEmpty())
        return false;
    auto inside = [&](const char* path) {
        const QString canonical = QFileInfo(QString::fromLocal8Bit(path)).canonicalFilePath();
        return canonical.startsWith(build + QLatin1Char('/'));
    };
    // The program, or the shared library holding this code.
    Dl_info info{};
    const bool found = ::dladdr(reinterpret_cast<void*>(&runningFromBuildTree), &info) != 0;
    return inside("/proc/self/exe") || (found && info.dli_fname && inside(info.dli_fname));
}

QString find(const char* variable, const QString& builtPath, const QString& name) {
    const QString named = qEnvironmentVariable(variable);
    if (!named.isEmpty())
        return named;
    if (runningFromBuildTree())
        return builtPath;
    return QStringLiteral(SCANSIONE_INSTALLED_WORKERS) + QLatin1Char('/') + name;
}

} // namespace workerprogram
