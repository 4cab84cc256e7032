#pragma once
#include <QString>

/// The user's private temporary folder: $TMPDIR (else /tmp) followed by "scansione-<uid>/",
/// created with mode 0700 when missing. It is accepted only when lstat shows a directory that
/// is not a link, is owned by the user and has no group or other permissions.
/// Returns the folder with a trailing "/", or an empty string when there is none.
QString privateTemporaryFolder();

/// The working folder of a session: the private temporary folder, or, when the platform
/// reports none, the program's own folder followed by "/". Always ends with "/".
QString workingFolder();
