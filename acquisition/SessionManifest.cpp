#include "acquisition/SessionManifest.h"
#include "common/SystemErrorText.h"
#include "component_base/ComponentErrors.h"
#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace sessionManifest {
namespace {

constexpr char kFirstLine[] = "scansione-pagine 1";
constexpr char kSavedKey[] = "salvato ";

bool writeAll(int fd, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

bool plainName(const QString& name) {
    return !name.isEmpty() && !name.startsWith(QLatin1Char('.')) &&
           !name.contains(QLatin1Char('/'));
}

} // namespace

DeviceStatus write(const QString& folder, const QStringList& pageFiles) {
    QByteArray text = QByteArray(kFirstLine) + '\n' + kSavedKey +
                      QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toUtf8() + '\n';
    for (const QString& name : pageFiles)
        text += name.toUtf8() + '\n';

    const QByteArray path = QFile::encodeName(QDir(folder).filePath(QLatin1String(kFileName)));
    const QByteArray temporary = path + ".tmp";
    const auto fail = [&](int fd) {
        const int err = errno;
        if (fd >= 0)
            ::close(fd);
        ::unlink(temporary.constData());
        return componentError::status(componentError::writeFailure(err),
                                      systemErrorText(err) +
                                          QStringLiteral(": ") + QFile::decodeName(path));
    };
    const int fd =
        ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return fail(-1);
    // Synced before the rename: after a crash the name never points at a file whose
    // contents had not reached the disk yet.
    if (!writeAll(fd, text) || ::fsync(fd) != 0)
        return fail(fd);
    if (::close(fd) != 0)
        return fail(-1);
    if (::rename(temporary.constData(), path.constData()) != 0)
        return fail(-1);
    // The rename itself is made durable by syncing the folder.
    const int dir =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return {};
}

std::optional<Contents> read(const QString& folder) {
    QFile file(QDir(folder).filePath(QLatin1String(kFileName)));
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    // A manifest is a few kilobytes; anything far larger is not one.
    const QByteArray bytes = file.read(1 << 20);
    QList<QByteArray> lines = bytes.split('\n');
    if (lines.size() < 2 || lines.at(0) != kFirstLine || !lines.at(1).startsWith(kSavedKey))
        return std::nullopt;
    Contents contents;
    contents.saved = QDateTime::fromString(
        QString::fromUtf8(lines.at(1).mid(qsizetype(std::strlen(kSavedKey)))), Qt::ISODateWithMs);
    if (!contents.saved.isValid())
        return std::nullopt;
    for (qsizetype i = 2; i < lines.size(); ++i) {
        const QString name = QString::fromUtf8(lines.at(i));
        if (plainName(name))
            contents.pageFiles.append(name);
    }
    return contents;
}

} // namespace sessionManifest
