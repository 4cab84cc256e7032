#include "common/UserSettings.h"

#include <QSettings>

namespace {

// Every call opens a fresh QSettings: it rereads the file, so a value written by another
// process or an earlier session is seen and nothing is cached between calls.
const QString group = QStringLiteral("Scansione");

} // namespace

UserSettings::UserSettings() = default;

QString UserSettings::read(const QString& key, const QString& defaultValue) const {
    QSettings settings(QStringLiteral("Componenti"), QStringLiteral("Scansione"));
    settings.beginGroup(group);
    return settings.value(key, defaultValue).toString();
}

void UserSettings::write(const QString& key, const QString& value) {
    QSettings settings(QStringLiteral("Componenti"), QStringLiteral("Scansione"));
    settings.beginGroup(group);
    settings.setValue(key, value);
    settings.endGroup();
    settings.sync();
}

void UserSettings::remove(const QString& key) {
    QSettings settings(QStringLiteral("Componenti"), QStringLiteral("Scansione"));
    settings.beginGroup(group);
    settings.remove(key);
    settings.endGroup();
    settings.sync();
}
