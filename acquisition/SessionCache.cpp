#include "acquisition/SessionCache.h"
#include "acquisition/RawImageFile.h"
#include "acquisition/SessionManifest.h"
#include "common/SystemErrorText.h"
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

bool ownedRegularFile(const QString& path) {
    struct stat st {};
    const QByteArray native = QFile::encodeName(path);
    return ::lstat(native.constData(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::getuid();
}

struct StaleEntry {
    QString path;
    std::shared_ptr<HeldLock> lock;
};

/// The stale caches under `cacheParent`, each locked so that no other session decides on it
/// at the same time.
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
        auto lock = std::make_shared<HeldLock>(path);
        if (!lock->isHeld())
            continue; // its session holds it: alive
        // No manifest: a session that has only just made its folder, or one of an older
        // version that holds no lock. Only the pid can tell then, and a live one means "leave
        // it" (a reused pid keeps such a cache, which has nothing to give back, a while).
        bool ok = false;
        const qint64 pid = match.captured(1).toLongLong(&ok);
        if (!sessionManifest::read(path) && (!ok || processRuns(pid_t(pid))))
            continue;
        stale.append({path, std::move(lock)});
    }
    return stale;
}

/// The acquired page files in `folder` ("page-<acquisition>-<sheet>.raw", as the acquisition
/// names them) that are not among `listed`, in the order they were acquired.
QStringList unlistedAcquiredPages(const QString& folder, const QStringList& listed) {
    static const QRegularExpression acquired(QStringLiteral("^page-(\\d{1,18})-(\\d{1,9})\\.raw$"));
    QList<std::pair<std::pair<qint64, int>, QString>> found;
    const QStringList entries = QDir(folder).entryList(QDir::Files | QDir::System);
    for (const QString& entry : entries) {
        const auto match = acquired.match(entry);
        if (match.hasMatch() && !listed.contains(entry))
            found.append({{match.captured(1).toLongLong(), match.captured(2).toInt()}, entry});
    }
    std::sort(found.begin(), found.end());
    QStringList names;
    for (const auto& [order, name] : found)
        names.append(name);
    return names;
}

/// The pages a stale cache can give back: the files its manifest names that are whole, then
/// the whole acquired pages a kill kept the manifest from catching up with. A cache without a
/// manifest has none: its session ended (the manifest goes first) or never had a page to say.
QStringList recoverablePages(const QString& path, QDateTime* saved) {
    const std::optional<sessionManifest::Contents> manifest = sessionManifest::read(path);
    if (!manifest)
        return {};
    QStringList pages;
    for (const QString& file :
         manifest->pageFiles + unlistedAcquiredPages(path, manifest->pageFiles)) {
        const QString page = QDir(path).filePath(file);
        if (ownedRegularFile(page) && rawImage::isWhole(page))
            pages.append(page);
    }
    if (saved)
        *saved = manifest->saved;
    return pages;
}

} // namespace

HeldLock::HeldLock(const QString& path, bool wait)
    : m_fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW)) {
    if (m_fd < 0)
        return;
    int result;
    do
        result = ::flock(m_fd, LOCK_EX | (wait ? 0 : LOCK_NB));
    while (result != 0 && errno == EINTR);
    m_held = result == 0;
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
    m_folderLock = std::make_unique<HeldLock>(parent.absolutePath());
    if (m_folderLock->isHeld())
        sweepPartialWrites(cacheParent);
    m_folderLock->share();
    removeStale(cacheParent);
    QByteArray tmpl = QFile::encodeName(
        parent.absoluteFilePath(QStringLiteral("cache-%1-XXXXXX").arg(::getpid())));
    // mkdtemp creates the folder with mode 0700 and a name nobody can predict.
    if (::mkdtemp(tmpl.data()) == nullptr) {
        m_error = systemErrorText(errno) + QStringLiteral(": ") + cacheParent;
        return;
    }
    m_path = QFile::decodeName(tmpl);
    // Waits out another start that may be looking at it just now (it finds no manifest and
    // a live pid, and lets go).
    m_lock = std::make_unique<HeldLock>(m_path, true);
    if (!m_lock->isHeld())
        qWarning("Scansione: cache della sessione %s non bloccata: %s", tmpl.constData(),
                 qUtf8Printable(systemErrorText(errno)));
}

SessionCache::~SessionCache() {
    if (!m_keep && !m_path.isEmpty() && ownedRealDirectory(m_path))
        removeFolder(m_path);
    // The lock goes with the folder (m_lock is destroyed after this body).
}

bool SessionCache::removeFolder(const QString& path) {
    const QByteArray manifest =
        QFile::encodeName(QDir(path).filePath(QLatin1String(sessionManifest::kFileName)));
    if (::unlink(manifest.constData()) != 0 && errno != ENOENT)
        return false; // the pages stay with their manifest, to be offered again
    return QDir(path).removeRecursively();
}

int SessionCache::removeStale(const QString& cacheParent) {
    int removed = 0;
    for (const StaleEntry& entry : staleCaches(cacheParent)) {
        if (recoverablePages(entry.path, nullptr).isEmpty() && removeFolder(entry.path))
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
            removeFolder(entry.path);
            continue;
        }
        // Its session is gone: a hidden file beside the manifest is a write it never finished
        // (a page's or the manifest's temporary), which nothing will ever finish now.
        QDir folder(entry.path);
        for (const QString& name : folder.entryList(QDir::Files | QDir::Hidden | QDir::System)) {
            const QString file = folder.filePath(name);
            if (name.startsWith(QLatin1Char('.')) &&
                name != QLatin1String(sessionManifest::kFileName) && ownedRegularFile(file))
                QFile::remove(file);
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
