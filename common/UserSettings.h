#pragma once
#include "common/Export.h"
#include <QString>

/// The per-user settings store ("DefaultSource", "AutoADF", "ScanFronteRetro", "DIR"):
/// QSettings of organisation "Componenti", application "Scansione", section "Scansione".
/// Values written by one session are read by the next (every write is synced at once).
class SCANSIONE_EXPORT UserSettings {
public:
    UserSettings();
    virtual ~UserSettings() = default;

    /// The stored text of `key`, or `defaultValue` when it is absent.
    virtual QString read(const QString& key, const QString& defaultValue) const;
    /// Stores `value` under `key`.
    virtual void write(const QString& key, const QString& value);
    /// Removes `key`; a key that is not stored is no error.
    virtual void remove(const QString& key);
};
