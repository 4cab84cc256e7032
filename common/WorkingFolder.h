#pragma once
#include <QString>

/// The user's private temporary folder: $TMPDIR (else /tmp) followed by "scansione-<uid>/",
/// created with mode 0700 when missing. It is accepted only when lstat shows a directory that
/// is not a link, is owned by the user and has no group or other permissions.
/// Returns the folder with a trailing "/", or an empty string when there is none.
QString privateTemporaryFolder();

/// The program's own private folder: $XDG_STATE_HOME (else ~/.local/state) followed by
/// "scansione/", created with mode 0700 when missing (missing parents too) and accepted on
/// the same checks as the temporary one. Returns it with a trailing "/", or an empty string.
QString privateStateFolder();

/// The working folder of a session: the private temporary folder, else the private state
/// folder, each ending with "/". Empty when neither can be had: no folder that other users
/// can write, nor the folder of the executable, ever stands in. Logs a warning then.
/// Thread-safe (reads the environment only).
QString workingFolder();
