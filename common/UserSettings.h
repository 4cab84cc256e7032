#pragma once
#include "common/Export.h"
#include <QString>
#include <atomic>
#include <optional>

/// The per-user settings store ("DefaultSource", "AutoADF", "ScanFronteRetro", "DIR"): an INI
/// file read and written by QSettings, section "Scansione", at storePath(). Values written by
/// one session are read by the next (every write is synced at once). A file at that path that
/// is not a regular file, or is bigger than 1 MiB, is neither read nor written: reads give
/// their default and a warning goes to the log. Callable from any thread.
class SCANSIONE_EXPORT UserSettings {
public:
    UserSettings();
    virtual ~UserSettings() = default;

    /// The store's file: Componenti/Scansione.conf in the user's configuration folder
    /// ($XDG_CONFIG_HOME, else ~/.config).
    static QString storePath();

    /// The stored text of `key`, or `defaultValue` when it is absent.
    virtual QString read(const QString& key, const QString& defaultValue) const;
    /// Stores `value` under `key`.
    virtual void write(const QString& key, const QString& value);
    /// Removes `key`; a key that is not stored is no error.
    virtual void remove(const QString& key);

private:
    std::optional<QString> usableStore() const;

    mutable std::atomic<bool> m_warned{false};
};
