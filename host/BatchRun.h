#pragma once
#include "scan_window/WindowServices.h"
#include <QStringList>
#include <cstdio>

/// Where a batch run writes: standard output and error, and whether the latter is a terminal
/// (only then is a progress line drawn).
struct BatchStreams {
    FILE* out = stdout;
    FILE* err = stderr;
    bool errorIsTerminal = false;
};

/// Exit statuses of scansione-batch.
/// batchIncomplete: a document was written, but an acquisition ended in an error (a jam, an
/// empty feeder, a device fault), so it may lack pages.
enum BatchExit { batchFiles = 0, batchNoFiles = 1, batchFailed = 2, batchIncomplete = 3 };

/// Runs scansione-batch with `arguments` (the program's name first): parses them, then lists
/// the scanners, or runs one session of the scan window without a person. `services` are the
/// window's services the run does not answer itself (the component, the PDF writer, the
/// working folder); empty ones get their defaults, and tests inject faults through them.
/// Returns the exit status. GUI thread, with a QApplication; blocks while the session runs.
int runBatch(const QStringList& arguments, const BatchStreams& streams,
             WindowServices services = {});
