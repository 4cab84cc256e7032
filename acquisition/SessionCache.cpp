#include "acquisition/SessionCache.h"
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool processRuns(pid_t pid) {
    if (pid <= 0)
        return false;
    // EPERM means the process exists but belongs to someone else.
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

bool ownedRealDirectory(const QString& path) {
    struct stat st {};
    const QByteArray native = QFile::encodeName(path);
    return ::lstat(native.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid();
}

} // namespace

SessionCache::SessionCache(const QString& cacheParent) {
    if (cacheParent.isEmpty()) {
        m_error = QStringLiteral("cartella di lavoro non indicata");
        return;
    }
    QDir parent(cacheParent);
    if (!parent.exists()) {
        m_error = QStringLiteral("cartella di lavoro inesistente: ") + cacheParent;
        return;
    }
    removeStale(cacheParent);
    QByteArray tmpl = QFile::encodeName(
        parent.absoluteFilePath(QStringLiteral("cache-%1-XXXXXX").arg(::getpid())));
    // mkdtemp creates the folder with mode 0700 and a name nobody can predict.
    if (::mkdtemp(tmpl.data()) == nullptr) {
        m_error = QString::fromLocal8Bit(std::strerror(errno)) + QStringLiteral(": ") + cacheParent;
        return;
    }
    m_path = QFile::decodeName(tmpl);
}

SessionCache::~SessionCache() {
    if (!m_path.isEmpty() && ownedRealDirectory(m_path))
        QDir(m_path).removeRecursively();
}

int SessionCache::removeStale(const QString& cacheParent) {
    static const QRegularExpression name(QStringLiteral("^cache-(\\d+)-[A-Za-z0-9]{6}$"));
    QDir parent(cacheParent);
    int removed = 0;
    const QStringList entries =
        parent.entryList(QStringList{QStringLiteral("cache-*")},
                         QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QString& entry : entries) {
        const auto match = name.match(entry);
        if (!match.hasMatch())
            continue;
        bool ok = false;
        const qint64 pid = match.captured(1).toLongLong(&ok);
        if (!ok || pid == ::getpid() || processRuns(pid_t(pid)))
            continue;
        const QString path = parent.absoluteFilePath(entry);
        if (!ownedRealDirectory(path))
            continue;
        if (QDir(path).removeRecursively())
            ++removed;
    }
    return removed;
}
