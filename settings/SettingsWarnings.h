#pragma once
#include "settings/ScanSettings.h"
#include <QStringList>

/// What the latest ReadIni of `record` could not read or use (ScanSettings::readWarnings).
inline QStringList settingsWarnings(const ScanSettings& record) {
    return record.readWarnings();
}
