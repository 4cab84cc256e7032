#include "scan_window/StagedFiles.h"

#include "writers/WriterSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/// A hidden name beside `target` that nothing has yet: ".<name>.<hex>.part.<extension>".
QByteArray freeNameBeside(const QString& target) {
    const QFileInfo info(target);
    const QString suffix = info.suffix();
    const QString stem = suffix.isEmpty() ? info.fileName() : info.completeBaseName();
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QString name =
            QStringLiteral(".%1.%2.part")
                .arg(stem)
                .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0')) +
            (suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix);
        const QByteArray path = QFile::encodeName(info.absolutePath() + QLatin1Char('/') + name);
        struct stat st {};
        if (::lstat(path.constData(), &st) != 0 && errno == ENOENT)
            return path;
    }
    writer::throwWriteError(target, QStringLiteral("nessun nome temporaneo libero"), EEXIST);
}

} // namespace

StagedFiles::~StagedFiles() {
    for (const Entry& e : m_entries) {
        if (!e.temp.isEmpty())
            ::unlink(e.temp.constData());
        if (!e.backup.isEmpty())
            ::unlink(e.backup.constData());
    }
}

QString StagedFiles::add(const QString& target) {
    // Refused before anything is written, rather than after every page.
    writer::checkReplaceableTarget(target);
    const QByteArray temp = freeNameBeside(target);
    m_entries.push_back({target, temp, {}});
    return QFile::decodeName(temp);
}

void StagedFiles::commit() {
    for (const Entry& e : m_entries) {
        // A write that reported success without leaving a file must not count as written.
        struct stat st {};
        if (::lstat(e.temp.constData(), &st) != 0)
            writer::throwWriteError(e.target, QStringLiteral("il file non è stato scritto"), errno);
        if (!S_ISREG(st.st_mode))
            writer::throwWriteError(e.target, QStringLiteral("il file scritto non è regolare"));
    }
    // Every earlier file stays reachable under a second name until the new ones are all in
    // place, so a step that fails half-way can put each target back as it was.
    for (size_t i = 0; i < m_entries.size(); ++i) {
        Entry& e = m_entries[i];
        try {
            place(e);
        } catch (...) {
            rollBack(i);
            throw;
        }
    }
    for (Entry& e : m_entries) {
        if (!e.backup.isEmpty())
            ::unlink(e.backup.constData());
        e.backup.clear();
    }
}

void StagedFiles::place(Entry& e) {
    const QByteArray target = QFile::encodeName(e.target);
    struct stat st {};
    if (::lstat(target.constData(), &st) == 0) {
        // Something may have taken the name since add(): only a file or a link is replaced.
        writer::checkReplaceableTarget(e.target);
        e.backup = freeNameBeside(e.target);
        if (::link(target.constData(), e.backup.constData()) != 0) {
            // A file system without hard links (FAT): the earlier file moves aside instead,
            // and the target is briefly absent.
            const int err = errno;
            const bool noLinks = err == EPERM || err == ENOTSUP || err == EOPNOTSUPP;
            if (!noLinks || ::rename(target.constData(), e.backup.constData()) != 0) {
                e.backup.clear();
                writer::throwWriteError(e.target, QStringLiteral("impossibile conservare il file"),
                                        err);
            }
            e.movedAside = true;
        }
    }
    if (::rename(e.temp.constData(), target.constData()) != 0) {
        const int err = errno;
        if (e.movedAside) {
            // Put back; should even that fail, it stays under its hidden name, never removed.
            ::rename(e.backup.constData(), target.constData());
            e.backup.clear();
        }
        writer::throwWriteError(e.target, QStringLiteral("impossibile rinominare il file"), err);
    }
    e.temp.clear();
}

void StagedFiles::rollBack(size_t placed) {
    for (size_t i = 0; i < placed; ++i) {
        Entry& e = m_entries[i];
        const QByteArray target = QFile::encodeName(e.target);
        if (e.backup.isEmpty())
            ::unlink(target.constData());
        else
            ::rename(e.backup.constData(), target.constData());
        // An earlier file that could not be put back stays under its hidden name rather than
        // being removed with the temporaries.
        e.backup.clear();
    }
}

QStringList StagedFiles::targets() const {
    QStringList out;
    for (const Entry& e : m_entries)
        out << e.target;
    return out;
}
