#pragma once
#include "common/Export.h"

/// Loads Qt's own Italian translation (Debian's qt6-translations-l10n) into the running
/// application, so that the dialogs Qt draws for the window (the "Importa PDF" file dialog,
/// standard buttons) speak Italian as the window does. The programs call it at start; a host
/// calls it when it wants the same. Call once a QCoreApplication exists, on the GUI thread.
/// Returns false when the translation is not installed: Qt's texts then stay English.
SCANSIONE_EXPORT bool installQtItalian();
