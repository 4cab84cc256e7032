#include "host/OutputPlacement.h"
#include "common/SystemErrorText.h"
#include "common/WriteFully.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

QString systemError(int error) {
    return systemErrorText(error);
}

QByteArray native(const QString& path) {
    return QFile::encodeName(path);
}

/// `path` made absolute against the current folder, without "." or ".." or a trailing "/".
QString absoluteClean(const QString& path) {
    return QDir::cleanPath(QDir::current().absoluteFilePath(path));
}

/// Whether something, a dangling link included, is at `path`.
bool occupied(const QString& path) {
    struct stat st {};
    return ::lstat(native(path).constData(), &st) == 0;
}

bool isFolder(const QString& path) {
    struct stat st {};
    return ::stat(native(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

/// The page files of a JPEG document in `folder`: exactly "pag_" & page number & ".jpg".
QStringList pageFiles(const QString& folder) {
    static const QRegularExpression pageName(QStringLiteral("^pag_[1-9][0-9]*\\.jpg$"));
    // System: a dangling link named like a page counts too.
    const QStringList names =
        QDir(folder).entryList({QStringLiteral("pag_*.jpg")}, QDir::Files | QDir::System);
    QStringList pages;
    for (const QString& name : names)
        if (pageName.match(name).hasMatch())
            pages << name;
    return pages;
}

/// Why files cannot be made in `folder` (or, when it is missing, in the nearest folder above
/// it, where it would be made); empty when they can.
QString folderProblem(QString folder) {
    while (!occupied(folder)) {
        const QString parent = QFileInfo(folder).path();
        if (parent == folder)
            break;
        folder = parent;
    }
    if (!isFolder(folder))
        return QStringLiteral("%1 non è una cartella").arg(folder);
    if (::access(native(folder).constData(), W_OK | X_OK) != 0)
        return QStringLiteral("nella cartella %1 non si può scrivere: %2")
            .arg(folder, systemError(errno));
    return {};
}

bool sameFile(const QString& a, const QString& b) {
    struct stat sa {
    }, sb{};
    return ::stat(native(a).constData(), &sa) == 0 && ::stat(native(b).constData(), &sb) == 0 &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

/// A fresh hidden name beside `target` for its staged copy.
QString stagingName(const QString& target) {
    const QFileInfo info(target);
    return info.path() + QStringLiteral("/.") + info.fileName() + QLatin1Char('.') +
           QString::number(QRandomGenerator::global()->generate(), 16) + QStringLiteral(".part");
}

/// Copies the open file `in` into a new file `temp` (never one already there) with the
/// permissions `mode`, and flushes it to disk. 0, or the errno of the step that failed; the
/// new file is then removed again.
int copyInto(int in, const QString& temp, mode_t mode) {
    const QByteArray name = native(temp);
    const int out = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                           mode & 07777);
    if (out < 0)
        return errno;
    std::vector<char> chunk(1 << 20);
    int error = 0;
    for (;;) {
        const ssize_t got = ::read(in, chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = errno;
            break;
        }
        if (got == 0)
            break;
        if ((error = writeFully(out, chunk.data(), got)) != 0)
            break;
    }
    if (error == 0 && ::fdatasync(out) != 0)
        error = errno;
    if (::close(out) != 0 && error == 0)
        error = errno;
    if (error != 0)
        ::unlink(name.constData());
    return error;
}

/// Stages `source` beside `target` under a hidden name. A hard link where the file system
/// allows it: as quick as a rename, while the source stays whole until every file is in
/// place. Elsewhere (another file system) a copy. Returns the staged name, or sets `error`.
QString stage(const QString& source, const QString& target, QString& error) {
    const QByteArray from = native(source);
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QString temp = stagingName(target);
        if (::link(from.constData(), native(temp).constData()) == 0) {
            // The writer that made the source may not have flushed it; the rename that
            // follows must not publish a name whose data a crash could still lose.
            const int fd = ::open(native(temp).constData(), O_RDONLY | O_CLOEXEC);
            const bool flushed = fd >= 0 && ::fdatasync(fd) == 0;
            const int flushError = errno;
            if (fd >= 0)
                ::close(fd);
            if (flushed)
                return temp;
            ::unlink(native(temp).constData());
            error =
                QStringLiteral("impossibile scrivere %1: %2").arg(target, systemError(flushError));
            return {};
        }
        if (errno != EEXIST)
            break;
    }

    const int in = ::open(from.constData(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (in < 0 || ::fstat(in, &st) != 0) {
        error = QStringLiteral("impossibile leggere %1: %2").arg(source, systemError(errno));
        if (in >= 0)
            ::close(in);
        return {};
    }
    int result = EEXIST;
    QString temp;
    for (int attempt = 0; attempt < 16 && result == EEXIST; ++attempt) {
        temp = stagingName(target);
        if (attempt > 0 && ::lseek(in, 0, SEEK_SET) != 0) {
            result = errno;
            break;
        }
        result = copyInto(in, temp, st.st_mode);
    }
    ::close(in);
    if (result != 0) {
        error = QStringLiteral("impossibile scrivere %1: %2").arg(target, systemError(result));
        return {};
    }
    return temp;
}

/// Renames `temp` to `target`; without `replace`, fails with EEXIST rather than replace a
/// file that is there. 0, or the errno.
int publish(const QString& temp, const QString& target, bool replace) {
    const QByteArray from = native(temp);
    const QByteArray to = native(target);
    if (replace)
        return ::rename(from.constData(), to.constData()) == 0 ? 0 : errno;
    if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // A file system without the no-replace rename: link() never replaces either.
    if (::link(from.constData(), to.constData()) != 0)
        return errno;
    ::unlink(from.constData());
    return 0;
}

} // namespace

QString destinationProblem(const QString& destination, DestinationKind kind, bool force) {
    if (destination.isEmpty())
        return QStringLiteral("--output vuole un percorso");
    const QString path = absoluteClean(destination);
    if (kind == DestinationKind::File) {
        if (destination.endsWith(QLatin1Char('/')) || isFolder(path))
            return QStringLiteral("%1 è una cartella: un documento PDF o TIFF vuole il nome di un "
                                  "file")
                .arg(path);
        if (!force && occupied(path))
            return QStringLiteral("%1 esiste già (--force per sostituirlo)").arg(path);
        const QString folder = QFileInfo(path).path();
        if (!isFolder(folder))
            return QStringLiteral("la cartella %1 non esiste").arg(folder);
        return folderProblem(folder);
    }
    if (occupied(path)) {
        if (!isFolder(path))
            return QStringLiteral("%1 non è una cartella: le pagine JPEG vanno in una cartella")
                .arg(path);
        if (!force && !pageFiles(path).isEmpty())
            return QStringLiteral("%1 contiene già pagine JPEG (%2) (--force per sostituirle)")
                .arg(path, pageFiles(path).constFirst());
    }
    return folderProblem(path);
}

Placement placeDocument(const QStringList& produced, const QString& destination,
                        DestinationKind kind, bool force) {
    struct Move {
        QString source, target, temp;
        bool inPlace = false;
        bool published = false;
    };
    const QString path = absoluteClean(destination);
    if (kind == DestinationKind::File && produced.size() != 1)
        return {
            {},
            QStringLiteral("%1 file prodotti per il solo file %2").arg(produced.size()).arg(path)};
    if (kind == DestinationKind::Folder && !QDir().mkpath(path))
        return {{}, QStringLiteral("impossibile creare la cartella %1").arg(path)};

    std::vector<Move> moves;
    for (const QString& source : produced) {
        Move m;
        m.source = source;
        m.target = kind == DestinationKind::File
                       ? path
                       : path + QLatin1Char('/') + QFileInfo(source).fileName();
        m.inPlace = sameFile(source, m.target);
        moves.push_back(m);
    }

    // Undoes what was done so far: the sources are still whole, nothing new stays behind.
    const auto undo = [&moves](const QString& error) -> Placement {
        for (const Move& m : moves) {
            if (!m.temp.isEmpty() && !m.published)
                ::unlink(native(m.temp).constData());
            if (m.published)
                ::unlink(native(m.target).constData());
        }
        return {{}, error};
    };

    for (Move& m : moves) {
        if (m.inPlace)
            continue;
        if (!force && occupied(m.target))
            return undo(QStringLiteral("%1 esiste già (--force per sostituirlo)").arg(m.target));
        QString error;
        m.temp = stage(m.source, m.target, error);
        if (m.temp.isEmpty())
            return undo(error);
    }
    for (Move& m : moves) {
        if (m.inPlace)
            continue;
        if (const int error = publish(m.temp, m.target, force); error != 0)
            return undo(
                error == EEXIST
                    ? QStringLiteral("%1 esiste già (--force per sostituirlo)").arg(m.target)
                    : QStringLiteral("impossibile scrivere %1: %2")
                          .arg(m.target, systemError(error)));
        m.published = true;
    }

    Placement done;
    QSet<QString> placed;
    for (const Move& m : moves) {
        if (!m.inPlace)
            QFile::remove(m.source);
        done.paths << m.target;
        placed.insert(QFileInfo(m.target).fileName());
    }
    if (kind == DestinationKind::Folder && force) {
        // Pages of an earlier, longer document would otherwise read as part of this one.
        for (const QString& name : pageFiles(path))
            if (!placed.contains(name))
                QFile::remove(path + QLatin1Char('/') + name);
    }
    return done;
}
