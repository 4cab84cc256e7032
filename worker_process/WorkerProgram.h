#pragma once
#include <QString>

namespace workerprogram {

/// The worker program `name` to start: the value of the environment variable `variable` when
/// set; otherwise, for code running from its build tree (the tests, an in-tree program),
/// `builtPath`, the program built beside it; otherwise `name` in the worker folder found
/// relative to the file that holds this code, as the dynamic loader reports it (from the
/// shared library in the libdir, libexec/scansione beside it; from a program linking the code
/// statically, the one beside its bindir); failing that, the configured install prefix's.
/// Thread-safe; reads the environment and the file system only.
QString find(const char* variable, const QString& builtPath, const QString& name);

/// True when the program, or the shared library holding this code, lies in the build tree.
bool runningFromBuildTree();

/// The descriptor on which a worker program finds its socket to the component.
constexpr int kSocket = 3;

/// For a worker program's main(): true when kSocket is a socket, as when the library started
/// the program; else (the program was run by hand) writes `notStarted` on standard error and
/// is false. From then on a write to a connection the other side closed (the component, a
/// network scanner) fails with EPIPE instead of ending the process.
bool readyToServe(const char* notStarted);

} // namespace workerprogram
