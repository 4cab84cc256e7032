#pragma once
#include <QDateTime>
#include <QList>
#include <QStringList>
#include <memory>

/// A flock held on a folder (or file) for as long as the object lives: exclusive, or shared
/// after share(). The kernel lets go of it when the process ends, however it ends.
/// Owner thread only.
class HeldLock {
public:
    /// Opens `path` and takes its lock: without waiting (isHeld() is false when someone else
    /// holds it), or with `wait`, once whoever holds it lets go.
    explicit HeldLock(const QString& path, bool wait = false);
    ~HeldLock();
    Q_DISABLE_COPY(HeldLock)

    bool isHeld() const { return m_held; }
    /// Turns the hold (taken or not) into a shared one, waiting while someone holds it
    /// exclusively. False when `path` could not be opened.
    bool share();

private:
    int m_fd = -1;
    bool m_held = false;
};

/// The private folder of one component's session: cacheParent/cache-<pid>-XXXXXX, mode 0700,
/// holding the full-resolution page files and the manifest of the document's pages. The
/// session holds an exclusive lock on the folder for its whole life: a cache with a manifest
/// whose lock anyone else can take belongs to a session that has ended, however its pid has
/// been reused since. Removed with its contents when the object is destroyed. Owner thread only
/// (the worker writes files into path(), never the folder).
class SessionCache {
public:
    /// An earlier session's cache whose process is gone, with pages to give back. Its lock is
    /// held while the object lives, so that no other session offers or removes it meanwhile.
    struct Interrupted {
        QString path;          ///< the folder
        QDateTime saved;       ///< when its manifest was last written
        QStringList pageFiles; ///< the pages' files (absolute paths) in page order, all whole
        std::shared_ptr<HeldLock> lock;
    };

    /// Removes stale caches that have nothing to give back, sweeps leftovers of interrupted
    /// document writes from `cacheParent` when no other session uses it, then creates a fresh
    /// folder. isValid() is false (and error() says why) when the folder cannot be made.
    explicit SessionCache(const QString& cacheParent);
    ~SessionCache();
    Q_DISABLE_COPY(SessionCache)

    bool isValid() const { return !m_path.isEmpty(); }
    /// The folder stays when this object goes, its lock let go: a later session finds it as
    /// it finds a killed session's.
    void keep() { m_keep = true; }
    /// The folder, without a trailing separator; empty when not valid.
    const QString& path() const { return m_path; }
    const QString& error() const { return m_error; }

    /// Removes every stale cache-<pid>-* folder under `cacheParent` that has no manifest or no
    /// whole page file left, and returns how many. Stale: nobody holds its lock, and it has a
    /// manifest or its pid no longer runs (a folder without one may be a session that has
    /// just begun, or one of an older version, which holds no lock). Only real folders owned by
    /// this user are touched; links and others' files are left, and so are caches with pages to
    /// recover.
    static int removeStale(const QString& cacheParent);

    /// The stale caches under `cacheParent` with pages to recover, newest first, each locked
    /// for the caller; the stale ones with nothing to recover are removed on the way, and the
    /// temporaries of writes their session never finished are removed from those kept. Their
    /// pages are those the manifest names, in its order, then the whole acquired page files
    /// it had not caught up with, in the order they were acquired.
    static QList<Interrupted> claimInterrupted(const QString& cacheParent);

    /// Removes the cache folder `path` with everything in it, its manifest first: a removal
    /// cut short (a kill) leaves page files that no manifest names, which nobody offers again,
    /// never a manifest naming pages that are gone. True when all of it went.
    static bool removeFolder(const QString& path);

    /// Removes the hidden temporaries of document writes that a killed session left in
    /// `folder` (".<name>.<hex>.part", ".<name>.<8 hex>.part.<ext>") and the PDF route's
    /// "pag_<k>.pdfimg" page files: regular files owned by this user only. Returns how many.
    /// The caller must make sure no live session writes there: every session holds a shared
    /// lock on the working folder, and the constructor sweeps only when it gets it exclusively.
    static int sweepPartialWrites(const QString& folder);

private:
    QString m_path;
    QString m_error;
    std::unique_ptr<HeldLock> m_lock;       ///< on this session's own cache folder
    std::unique_ptr<HeldLock> m_folderLock; ///< shared, on the working folder
    bool m_keep = false;
};
