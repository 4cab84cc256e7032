#pragma once

/// Where a worker program's standard output and error go, so that what third-party code
/// prints inside it (SANE backends creating folders, libusb warnings) stays out of the
/// user's terminal: with SCANSIONE_DEBUG set, the caller's own standard error (returns -1);
/// otherwise a descriptor, close-on-exec, appending to "Scanworker.log" in the working
/// folder beside the scan log (started afresh once it passes 1 MiB), or /dev/null when that
/// cannot be written. The caller closes the descriptor once the worker is started.
/// Thread-safe.
int openWorkerOutput();
