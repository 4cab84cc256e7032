#pragma once

/// Prepares the process environment of our programs before their QApplication exists. When
/// XDG_RUNTIME_DIR is not set (a headless session, a service, su), Qt falls back to a folder
/// of its own and warns about it on every run; this names a private folder instead, made
/// like Qt makes its own (mode 0700, owned by the user): "runtime" in the user's private
/// temporary folder. When no such folder can be had, the variable stays unset and Qt decides
/// (and warns). A set XDG_RUNTIME_DIR is never changed. Call first thing in main().
void prepareProgramEnvironment();
