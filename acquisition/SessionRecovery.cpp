#include "acquisition/SessionRecovery.h"
#include "acquisition/RawImageFile.h"
#include "acquisition/SessionImages.h"
#include "acquisition/SessionManifest.h"
#include <QDir>
#include <QFileInfo>
#include <cstdio>

void SessionRecovery::setDocumentPages(const QVector<int32_t>& pages) {
    if (pages == m_pages || m_kept)
        return;
    m_pages = pages;
    writeManifest();
}

QStringList SessionRecovery::pageFiles() const {
    QStringList files;
    for (const int32_t index : std::as_const(m_pages)) {
        // A page whose image lives in memory only cannot come back after a crash.
        const QString name = m_images.pageFileName(index);
        if (!name.isEmpty())
            files.append(name);
    }
    return files;
}

void SessionRecovery::writeManifest() {
    const QString folder = m_images.cacheFolder();
    if (folder.isEmpty())
        return;
    const QStringList files = pageFiles();
    m_recorded = true;
    // Not fatal: the session goes on; only a crash would then lose the pages.
    if (const DeviceStatus written = sessionManifest::write(folder, files); !written.ok()) {
        qWarning("Scansione: le pagine di questa sessione non si possono registrare per un "
                 "recupero: %s",
                 qUtf8Printable(written.text));
    }
}

int32_t SessionRecovery::keep() {
    if (m_kept || m_images.cacheFolder().isEmpty())
        return 0;
    // What the cache cannot take stays in memory and goes with the session: the others are
    // still worth keeping.
    m_images.storePagesInMemory();
    writeManifest();
    m_kept = true;
    m_images.keepCache();
    // A manifest that could not be rewritten (a full disk) leaves the one before, and a later
    // session also takes the pages it had not caught up with; with none, nothing comes back.
    return sessionManifest::read(m_images.cacheFolder()) ? int32_t(pageFiles().size()) : 0;
}

QList<InterruptedSession> SessionRecovery::sessions() {
    const QString folder = m_images.cacheFolder();
    if (!m_claimedOnce && !folder.isEmpty()) {
        // Claimed once: a second call lists the same ones (minus those decided on).
        m_claimedOnce = true;
        m_claimed = SessionCache::claimInterrupted(QFileInfo(folder).absolutePath());
    }
    QList<InterruptedSession> list;
    for (const SessionCache::Interrupted& cache : std::as_const(m_claimed))
        list.append(
            {QFileInfo(cache.path).fileName(), cache.saved, int32_t(cache.pageFiles.size())});
    return list;
}

SessionCache::Interrupted* SessionRecovery::claimed(const QString& id) {
    for (SessionCache::Interrupted& cache : m_claimed) {
        if (QFileInfo(cache.path).fileName() == id)
            return &cache;
    }
    return nullptr;
}

void SessionRecovery::release(const QString& id) {
    m_claimed.removeIf([&id](const SessionCache::Interrupted& cache) {
        return QFileInfo(cache.path).fileName() == id;
    });
}

int32_t SessionRecovery::recover(const QString& id) {
    const SessionCache::Interrupted* cache = claimed(id);
    const QString folder = m_images.cacheFolder();
    if (!cache || folder.isEmpty())
        return 0;
    int32_t added = 0;
    bool leftBehind = false;
    for (const QString& file : cache->pageFiles) {
        // Moved, not copied: the pages are already on this disk, and a batch of them at
        // 1200 dpi is gigabytes.
        const QString target =
            QDir(folder).filePath(QStringLiteral("recovered-%1.raw").arg(++m_recoveredFiles));
        if (std::rename(QFile::encodeName(file).constData(),
                        QFile::encodeName(target).constData()) != 0) {
            qWarning("Scansione: pagina %s di una scansione interrotta non recuperata",
                     qUtf8Printable(file));
            leftBehind = true;
            continue;
        }
        QString error;
        const QImage image = rawImage::read(target, &error);
        if (image.isNull()) {
            qWarning("Scansione: pagina %s di una scansione interrotta illeggibile: %s",
                     qUtf8Printable(file), qUtf8Printable(error));
            QFile::remove(target);
            continue;
        }
        // The image is in its file already: only its preview is made here.
        m_images.append(storedPageOnDisk(image, target));
        ++added;
    }
    // A page that could not be moved stays where it was, with its cache, to be offered at a
    // later start (the pages taken now are no longer there, so they do not come twice).
    if (!leftBehind)
        SessionCache::removeFolder(cache->path);
    release(id);
    return added;
}

bool SessionRecovery::discard(const QString& id) {
    const SessionCache::Interrupted* cache = claimed(id);
    if (!cache)
        return false;
    const bool removed = SessionCache::removeFolder(cache->path);
    release(id);
    return removed;
}
