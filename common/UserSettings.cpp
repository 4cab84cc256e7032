#include "common/UserSettings.h"
#include "common/SystemErrorText.h"

#include <QFile>
#include <QSettings>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace {

// Every call opens a fresh QSettings: it rereads the file, so a value written by another
// process or an earlier session is seen and nothing is cached between calls.
const QString group = QStringLiteral("Scansione");

// The store holds four short values; a file far bigger than that is not ours to parse.
constexpr qint64 kMostStoreBytes = 1024 * 1024;

} // namespace

UserSettings::UserSettings() = default;

QString UserSettings::storePath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/Componenti/Scansione.conf");
}

// QSettings reads the whole file when it is opened, blocking on a FIFO and taking a huge file
// into memory, and rewrites it on every sync. So the file is looked at first and, unless it
// is missing or a regular file of sensible size, left alone: reads give their defaults and
// writes are dropped, with one warning. The file is in the user's own configuration folder,
// so only the user could swap it between this look and QSettings' open.
std::optional<QString> UserSettings::usableStore() const {
    const QString path = storePath();
    struct stat info {};
    QString problem;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0) {
        if (errno == ENOENT)
            return path;
        problem = systemErrorText(errno);
    } else if (!S_ISREG(info.st_mode)) {
        problem = QStringLiteral("non è un file normale");
    } else if (info.st_size > kMostStoreBytes) {
        problem = QStringLiteral("più grande di %1 byte").arg(kMostStoreBytes);
    } else {
        return path;
    }
    if (!m_warned.exchange(true))
        qWarning("Scansione: impostazioni dell'utente %s non usate: %s", qUtf8Printable(path),
                 qUtf8Printable(problem));
    return std::nullopt;
}

QString UserSettings::read(const QString& key, const QString& defaultValue) const {
    const auto path = usableStore();
    if (!path)
        return defaultValue;
    QSettings settings(*path, QSettings::IniFormat);
    settings.beginGroup(group);
    return settings.value(key, defaultValue).toString();
}

void UserSettings::write(const QString& key, const QString& value) {
    const auto path = usableStore();
    if (!path)
        return;
    QSettings settings(*path, QSettings::IniFormat);
    settings.beginGroup(group);
    settings.setValue(key, value);
    settings.endGroup();
    settings.sync();
}

void UserSettings::remove(const QString& key) {
    const auto path = usableStore();
    if (!path)
        return;
    QSettings settings(*path, QSettings::IniFormat);
    settings.beginGroup(group);
    settings.remove(key);
    settings.endGroup();
    settings.sync();
}
