#include "acquisition/SessionRecovery.h"
#include "acquisition/RawImageFile.h"
#include "acquisition/SessionImages.h"
#include "acquisition/SessionManifest.h"
#include <QDir>
#include <QFileInfo>
#include <cstdio>

void SessionRecovery::setDocumentPages(const QVector<int32_t>& pages) {
    if (pages == m_pages)
        return;
    m_pages = pages;
    writeManifest();
}

void SessionRecovery::writeManifest() {
    const QString folder = m_images.cacheFolder();
    if (folder.isEmpty())
        return;
    QStringList files;
    for (const int32_t index : std::as_const(m_pages)) {
        // A page whose image lives in memory only cannot come back after a crash.
        const QString name = m_images.pageFileName(index);
        if (!name.isEmpty())
            files.append(name);
    }
    m_recorded = true;
    QString error;
    // Not fatal: the session goes on; only a crash would then lose the pages.
    if (!sessionManifest::write(folder, files, &error))
        qWarning("Scansione: le pagine di questa sessione non si possono registrare per un "
                 "recupero: %s",
                 qUtf8Printable(error));
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
        StoredPage page = storePage(image, QString());
        page.pixels = QImage();
        page.cachePath = target;
        m_images.append(std::move(page));
        ++added;
    }
    // A page that could not be moved stays where it was, with its cache, to be offered at a
    // later start (the pages taken now are no longer there, so they do not come twice).
    if (!leftBehind)
        QDir(cache->path).removeRecursively();
    release(id);
    return added;
}

bool SessionRecovery::discard(const QString& id) {
    const SessionCache::Interrupted* cache = claimed(id);
    if (!cache)
        return false;
    const bool removed = QDir(cache->path).removeRecursively();
    release(id);
    return removed;
}
