#include "acquisition/SessionCache.h"
#include "acquisition/SessionManifest.h"
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

constexpr char kLockName[] = ".lock";
// In the working folder: every live session holds it shared; a start that gets it exclusive
// knows that no other session of this user can be writing a document there.
constexpr char kFolderLockName[] = ".scansione-sessioni.lock";

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

bool ownedRegularFile(const QString& path) {
    struct stat st {};
    const QByteArray native = QFile::encodeName(path);
    return ::lstat(native.constData(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::getuid();
}

int openLockFile(const QString& path, bool create) {
    const QByteArray native = QFile::encodeName(path);
    return ::open(native.constData(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT : 0),
                  0600);
}

struct StaleEntry {
    QString path;
    std::shared_ptr<HeldLock> lock; // null for an old cache without a lock file
};

/// The stale caches under `cacheParent`, each locked (when it has a lock file) so that no
/// other session decides on it at the same time.
QList<StaleEntry> staleCaches(const QString& cacheParent) {
    static const QRegularExpression name(QStringLiteral("^cache-(\\d+)-[A-Za-z0-9]{6}$"));
    QDir parent(cacheParent);
    QList<StaleEntry> stale;
    const QStringList entries =
        parent.entryList(QStringList{QStringLiteral("cache-*")},
                         QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QString& entry : entries) {
        const auto match = name.match(entry);
        if (!match.hasMatch())
            continue;
        const QString path = parent.absoluteFilePath(entry);
        if (!ownedRealDirectory(path))
            continue;
        auto lock =
            std::make_shared<HeldLock>(QDir(path).filePath(QLatin1String(kLockName)), false);
        if (lock->isHeld()) {
            stale.append({path, std::move(lock)});
            continue;
        }
        if (lock->fileExists())
            continue; // its session holds it: alive
        // No lock file: a cache of an older version, or one whose session is between making
        // the folder and its lock. Only the pid can tell then, and a live one means "leave it".
        bool ok = false;
        const qint64 pid = match.captured(1).toLongLong(&ok);
        if (!ok || pid == ::getpid() || processRuns(pid_t(pid)))
            continue;
        stale.append({path, nullptr});
    }
    return stale;
}

/// The pages a stale cache can give back: the files its manifest names that are there.
QStringList recoverablePages(const QString& path, QDateTime* saved) {
    const std::optional<sessionManifest::Contents> manifest = sessionManifest::read(path);
    if (!manifest)
        return {};
    QStringList pages;
    for (const QString& file : manifest->pageFiles) {
        const QString page = QDir(path).filePath(file);
        if (ownedRegularFile(page) && QFileInfo(page).size() > 0)
            pages.append(page);
    }
    if (saved)
        *saved = manifest->saved;
    return pages;
}

} // namespace

HeldLock::HeldLock(const QString& path, bool create) : m_fd(openLockFile(path, create)) {
    m_held = m_fd >= 0 && ::flock(m_fd, LOCK_EX | LOCK_NB) == 0;
}

HeldLock::~HeldLock() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool HeldLock::share() {
    if (m_fd < 0)
        return false;
    while (::flock(m_fd, LOCK_SH) != 0) {
        if (errno != EINTR)
            return false;
    }
    m_held = true;
    return true;
}

HeldLock::HeldLock(HeldLock&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_held(std::exchange(other.m_held, false)) {}

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
    // Alone in the folder: leftovers of interrupted document writes are nobody's, and go.
    // Then the hold is made shared, so that a later start knows this session is live.
    m_folderLock =
        std::make_unique<HeldLock>(parent.absoluteFilePath(QLatin1String(kFolderLockName)), true);
    if (m_folderLock->isHeld())
        sweepPartialWrites(cacheParent);
    m_folderLock->share();
    removeStale(cacheParent);
    QByteArray tmpl = QFile::encodeName(
        parent.absoluteFilePath(QStringLiteral("cache-%1-XXXXXX").arg(::getpid())));
    // mkdtemp creates the folder with mode 0700 and a name nobody can predict.
    if (::mkdtemp(tmpl.data()) == nullptr) {
        m_error = QString::fromLocal8Bit(std::strerror(errno)) + QStringLiteral(": ") + cacheParent;
        return;
    }
    m_path = QFile::decodeName(tmpl);
    // Locked before it gets its name, so that no other start can take it in between and
    // judge this new cache stale.
    const QString lockPath = QDir(m_path).filePath(QLatin1String(kLockName));
    m_lock = std::make_unique<HeldLock>(lockPath + QStringLiteral(".new"), true);
    if (!m_lock->isHeld() ||
        ::rename(QFile::encodeName(lockPath + QStringLiteral(".new")).constData(),
                 QFile::encodeName(lockPath).constData()) != 0)
        qWarning("Scansione: session cache %s not locked: %s", tmpl.constData(),
                 std::strerror(errno));
}

SessionCache::~SessionCache() {
    if (!m_path.isEmpty() && ownedRealDirectory(m_path))
        QDir(m_path).removeRecursively();
    // The lock goes with the folder (m_lock is destroyed after this body).
}

int SessionCache::removeStale(const QString& cacheParent) {
    int removed = 0;
    for (const StaleEntry& entry : staleCaches(cacheParent)) {
        if (recoverablePages(entry.path, nullptr).isEmpty() && QDir(entry.path).removeRecursively())
            ++removed;
    }
    return removed;
}

QList<SessionCache::Interrupted> SessionCache::claimInterrupted(const QString& cacheParent) {
    QList<Interrupted> found;
    for (StaleEntry& entry : staleCaches(cacheParent)) {
        Interrupted cache;
        cache.pageFiles = recoverablePages(entry.path, &cache.saved);
        if (cache.pageFiles.isEmpty()) {
            QDir(entry.path).removeRecursively();
            continue;
        }
        if (!entry.lock) {
            // An old cache without a lock file: one is made and taken now, so that a second
            // start does not offer the same pages while this one asks.
            entry.lock = std::make_shared<HeldLock>(
                QDir(entry.path).filePath(QLatin1String(kLockName)), true);
            if (!entry.lock->isHeld())
                continue;
        }
        cache.path = entry.path;
        cache.lock = std::move(entry.lock);
        found.append(std::move(cache));
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const Interrupted& a, const Interrupted& b) { return a.saved > b.saved; });
    return found;
}

int SessionCache::sweepPartialWrites(const QString& folder) {
    // The component's temporaries (".<name>.<hex>.part"), the window's staged files
    // (".<stem>.<8 hex>.part.<ext>") and the PDF route's page files: nothing else is ours.
    static const QRegularExpression ours(
        QStringLiteral("^(\\..+\\.[0-9a-f]{1,8}\\.part|\\..+\\.[0-9a-f]{8}\\.part\\.[A-Za-z0-9]+|"
                       "pag_\\d+\\.pdfimg)$"));
    QDir dir(folder);
    int removed = 0;
    const QStringList entries =
        dir.entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        const QString path = dir.absoluteFilePath(entry);
        if (ours.match(entry).hasMatch() && ownedRegularFile(path) && QFile::remove(path))
            ++removed;
    }
    return removed;
}
