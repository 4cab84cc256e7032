#pragma once
#include "acquisition/ScanComponent.h"
#include "acquisition/SessionCache.h"
#include <QVector>

class SessionImages;

/// The component's side of crash recovery: it keeps the manifest of the session cache in
/// step with the window's pages, and gives back (or removes) the pages of earlier sessions
/// whose process is gone.
///
/// Threading: owner thread only, like SessionImages.
class SessionRecovery {
public:
    explicit SessionRecovery(SessionImages& images) : m_images(images) {}
    Q_DISABLE_COPY(SessionRecovery)

    /// The window's pages changed: `pages` are image indices, page 1 first.
    void setDocumentPages(const QVector<int32_t>& pages);
    /// An image changed (a turn): its file is another now. Nothing to record before the
    /// window has told its pages.
    void imagesChanged() {
        if (m_recorded)
            writeManifest();
    }

    /// The interrupted sessions beside this one, newest first; claimed (locked) until they
    /// are recovered or discarded, or this object goes.
    QList<InterruptedSession> sessions();
    /// Moves the pages of session `id` into this cache as new images, in page order; the
    /// earlier folder goes. Returns the number of images added.
    int32_t recover(const QString& id);
    /// Removes session `id`'s folder; true when it went.
    bool discard(const QString& id);
    /// Keeps this session's pages for a later session: the pages in memory go to the cache
    /// as far as it takes them, the manifest records the pages as they are and stays so, and
    /// the cache outlives the session. Returns the pages recorded.
    int32_t keep();

private:
    void writeManifest();
    /// The page files of the document's pages, page 1 first.
    QStringList pageFiles() const;
    /// The claimed session `id`, or nullptr.
    SessionCache::Interrupted* claimed(const QString& id);
    void release(const QString& id);

    SessionImages& m_images;
    QVector<int32_t> m_pages;
    QList<SessionCache::Interrupted> m_claimed;
    bool m_recorded = false; ///< a manifest has been written
    bool m_claimedOnce = false;
    bool m_kept = false; ///< kept for a later session: the record no longer changes
    quint64 m_recoveredFiles = 0;
};
