#pragma once
#include <QString>

/// The private folder of one component's session: cacheParent/cache-<pid>-XXXXXX, mode 0700,
/// holding the full-resolution page files. Removed with its contents when the object is
/// destroyed. Owner thread only (the worker writes files into path(), never the folder).
class SessionCache {
public:
    /// Removes stale caches of crashed runs under `cacheParent`, then creates a fresh folder.
    /// isValid() is false (and error() says why) when the folder cannot be made.
    explicit SessionCache(const QString& cacheParent);
    ~SessionCache();
    Q_DISABLE_COPY(SessionCache)

    bool isValid() const { return !m_path.isEmpty(); }
    /// The folder, without a trailing separator; empty when not valid.
    const QString& path() const { return m_path; }
    const QString& error() const { return m_error; }

    /// Removes every cache-<pid>-* folder under `cacheParent` whose process no longer runs.
    /// Only real folders owned by this user are touched; links and others' files are left.
    /// Returns how many were removed.
    static int removeStale(const QString& cacheParent);

private:
    QString m_path;
    QString m_error;
};
