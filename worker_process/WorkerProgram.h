#pragma once
#include <QString>

namespace workerprogram {

/// The worker program `name` to start: the value of the environment variable `variable` when
/// set; otherwise, for code running from its build tree (the tests, an in-tree program),
/// `builtPath`, the program built beside it; otherwise the installed one in the install's
/// libexec/scansione folder.
QString find(const char* variable, const QString& builtPath, const QString& name);

/// True when the program, or the shared library holding this code, lies in the build tree.
bool runningFromBuildTree();

} // namespace workerprogram
