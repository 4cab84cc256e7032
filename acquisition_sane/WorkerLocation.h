#pragma once
#include <QString>

/// Where a worker program of the library is, for a process about to start it:
/// 1. the program named by the environment variable `variable`, when it is set (tests, hosts
///    that keep their workers elsewhere);
/// 2. `buildWorker`, the program as built, when the code runs from the build tree it was
///    built in;
/// 3. `fileName` in the library's worker folder found relative to the file that holds this
///    code, as the dynamic loader reports it: from a shared library in the libdir, the
///    libexec folder beside it; from a program linking the code statically, the libexec
///    folder beside its bindir. So an install under any prefix (cmake --install --prefix,
///    a package, a copied tree) finds its own workers;
/// 4. failing that, `installedWorker`, the path of the configured install prefix.
/// Thread-safe; reads the environment and the file system only.
QString locateWorker(const char* variable, const QString& buildWorker, const QString& fileName,
                     const QString& installedWorker);
