#pragma once
#include "common/Export.h"
#include <QStringList>

class ScanSettings;

/// What the latest ReadIni of `record` could not read or use, one Italian text each, in the
/// order found, control characters shown escaped: a file cut at the read bound, a file
/// without a usable "MAIN" section (defaults kept), a number that did not convert (the field
/// kept its value). A number's text is left out once the field holds another value. Empty
/// when everything was read, or when ReadIni was not called on this record.
///
/// Kept beside the record rather than in it, so that the record's layout stays the one that
/// hosts were built with. Thread-safe.
SCANSIONE_EXPORT QStringList settingsWarnings(const ScanSettings& record);
