#include "acquisition/SessionImages.h"
#include "component_base/ComponentErrors.h"
#include "acquisition/PageEncoder.h"
#include "acquisition/RawImageFile.h"
#include "component_base/ScanError.h"
#include "acquisition/SessionCache.h"
#include "writers/TiffPages.h"
#include "writers/WriterSupport.h"
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <sys/statvfs.h>

using componentError::status;

namespace {

bool isMono(QImage::Format format) {
    return format == QImage::Format_Mono || format == QImage::Format_MonoLSB;
}

// Pixels that may wait in memory for the encoder to write their page file: two A4 300 dpi
// colour pages, enough to ride out a page that is slow to encode. Beyond it the acquisition
// writes the file itself, so memory stays bounded however far the encoder falls behind.
constexpr qint64 kWaitingPixelBytes = 64ll << 20;

// Room the cache's disk must keep beyond a page and its prepared file before an acquisition
// starts: the file system's own bookkeeping and a preview or two.
constexpr qint64 kRoomMargin = 4ll << 20;

} // namespace

SessionImages::SessionImages(const QString& cacheParent)
    : m_cache(std::make_unique<SessionCache>(cacheParent)),
      m_budget(std::make_shared<MemoryBudget>(kWaitingPixelBytes)),
      m_encoder(std::make_unique<PageEncoder>()) {
    if (!m_cache->isValid())
        qWarning("Scansione: no session cache (%s); pages are kept in memory",
                 qUtf8Printable(m_cache->error()));
    QObject::connect(m_encoder.get(), &PageEncoder::pageStored, m_encoder.get(),
                     [this](quint64 version, const QString& path, const QString& error,
                            int32_t failure) { onPageStored(version, path, error, failure); });
    QObject::connect(m_encoder.get(), &PageEncoder::encoded, m_encoder.get(),
                     [this](quint64 version, const FileEncoding& encoding, const QString& path,
                            const QString& error) { onEncoded(version, encoding, path, error); });
}

// The encoder stops first, then the buffer's pages go, then the folder that holds their files.
SessionImages::~SessionImages() = default;

QString SessionImages::cacheFolder() const {
    return m_cache->path();
}

void SessionImages::append(StoredPage page) {
    // Scanning again: the pages are wanted in the order they come.
    m_encoder->setNewestFirst(false);
    schedule(m_buffer.append(std::move(page)), true);
}

void SessionImages::release(const QVector<int>& indices) {
    for (int index : indices) {
        if (index < 0 || index >= count() || m_buffer.released(index))
            continue;
        // Queued work on it is dropped; work under way reports for a version that is gone
        // and its file is removed then.
        withdraw(m_buffer.version(index), std::nullopt);
        m_buffer.release(index);
    }
}

DeviceStatus SessionImages::readyForPages(qint64 pageBytes) {
    const QString folder = cacheFolder();
    if (folder.isEmpty())
        return {};
    // A page the cache could not take earlier gets another chance first: memory holds only
    // as many pages as a failing cache left there, never one more acquisition's worth.
    for (int i = 0; i < count(); ++i) {
        const StoredPage& page = m_buffer.page(i);
        if (m_buffer.released(i) || page.pixels.isNull() || !page.pendingPath.isEmpty())
            continue;
        const QString path =
            QDir(folder).filePath(QStringLiteral("kept-%1-%2.raw").arg(i).arg(++m_keptFiles));
        QString error;
        int32_t failure = 0;
        if (!rawImage::write(page.pixels, path, &error, &failure))
            return status(componentError::Code(failure), error);
        m_buffer.pageFileStored(i, path);
    }
    struct statvfs fs {};
    if (::statvfs(QFile::encodeName(folder).constData(), &fs) != 0)
        return status(componentError::writeFailure(errno),
                      folder + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno)));
    const qint64 available = qint64(fs.f_bavail) * qint64(fs.f_frsize);
    const qint64 needed = 2 * std::max<qint64>(pageBytes, 0) + kRoomMargin;
    if (available < needed)
        return status(componentError::DiskFull,
                      QStringLiteral("servono almeno %1 MB liberi in %2 per acquisire una pagina "
                                     "(liberi: %3 MB)")
                          .arg((needed + (1 << 20) - 1) >> 20)
                          .arg(folder)
                          .arg(available >> 20));
    return {};
}

QString SessionImages::pageFileName(int index) const {
    if (index < 0 || index >= m_buffer.count())
        return {};
    const StoredPage& page = m_buffer.page(index);
    return QFileInfo(page.cachePath.isEmpty() ? page.pendingPath : page.cachePath).fileName();
}

std::optional<FileEncoding> SessionImages::wantedEncoding(int index) const {
    if (!m_prepared || cacheFolder().isEmpty() || m_buffer.released(index))
        return std::nullopt;
    try {
        return fileEncoding(*m_prepared, isMono(m_buffer.page(index).format), m_options);
    } catch (const ScanError&) {
        return std::nullopt; // settings no file can be written with: nothing to prepare
    }
}

void SessionImages::schedule(int index, bool store) {
    const StoredPage& page = m_buffer.page(index);
    EncodeJob job;
    job.version = m_buffer.version(index);
    job.pixels = page.pixels;
    job.claim = page.claim;
    job.pagePath = page.cachePath;
    if (store && !page.pendingPath.isEmpty()) {
        job.storePage = true;
        job.pagePath = page.pendingPath;
        m_storing.insert(job.version);
    }
    const std::optional<FileEncoding> wanted = wantedEncoding(index);
    const QPair<quint64, FileEncoding> work{job.version, wanted.value_or(FileEncoding{})};
    if (wanted && m_buffer.encodedFile(index, *wanted).isEmpty() && !m_encoding.contains(work)) {
        const QString file = QDir(cacheFolder())
                                 .filePath(QStringLiteral("prepared-%1-%2.%3")
                                               .arg(job.version)
                                               .arg(++m_encodedFiles)
                                               .arg(imageFileSuffix(wanted->kind)));
        job.outputs.append({*wanted, file});
        m_encoding.append(work);
    }
    if (job.storePage || !job.outputs.isEmpty())
        m_encoder->submit(std::move(job));
}

void SessionImages::withdraw(quint64 version, const std::optional<FileEncoding>& encoding) {
    for (const std::optional<FileEncoding>& dropped : m_encoder->withdraw(version, encoding)) {
        if (dropped)
            m_encoding.removeOne({version, *dropped});
        else
            m_storing.remove(version);
    }
}

void SessionImages::setWriteOptions(const ImageWriteOptions& options) {
    const bool changed = options.jpegQuality != m_options.jpegQuality ||
                         options.tiffCompression != m_options.tiffCompression;
    m_options = options;
    if (changed)
        preparationChanged();
}

void SessionImages::setPreparedKind(std::optional<ImageFileKind> kind) {
    if (kind == m_prepared)
        return;
    m_prepared = kind;
    preparationChanged();
}

void SessionImages::preparationChanged() {
    for (int i = 0; i < count(); ++i) {
        const std::optional<FileEncoding> wanted = wantedEncoding(i);
        const quint64 version = m_buffer.version(i);
        // Queued encodings for the old settings are dropped; one under way is discarded when
        // it reports, as it no longer matches.
        for (const auto& [v, encoding] : QList(m_encoding)) {
            if (v == version && encoding != wanted)
                withdraw(version, encoding);
        }
        m_buffer.removeEncodedFilesExcept(i, wanted);
        schedule(i, false);
    }
}

void SessionImages::onPageStored(quint64 version, const QString& path, const QString& error,
                                 int32_t failure) {
    m_storing.remove(version);
    const int index = m_buffer.indexOf(version);
    if (index < 0) {
        // The page was turned meanwhile: nobody will ever read this file.
        if (!path.isEmpty())
            QFile::remove(path);
        return;
    }
    if (path.isEmpty()) {
        qWarning("Scansione: page %d kept in memory, its cache file failed: %s", index + 1,
                 qUtf8Printable(error));
        m_buffer.keepInMemory(index);
        if (m_pageFileDone)
            m_pageFileDone(status(componentError::isWriteFailure(failure)
                                      ? componentError::Code(failure)
                                      : componentError::WriteFailed,
                                  error));
        return;
    }
    m_buffer.pageFileStored(index, path);
    if (m_pageFileDone)
        m_pageFileDone({});
}

void SessionImages::onEncoded(quint64 version, const FileEncoding& encoding, const QString& path,
                              const QString& error) {
    m_encoding.removeOne({version, encoding});
    const int index = m_buffer.indexOf(version);
    if (index < 0 || wantedEncoding(index) != encoding) {
        // Made from a page since turned, or for settings since changed: never to be used.
        if (!path.isEmpty())
            QFile::remove(path);
        return;
    }
    if (path.isEmpty()) {
        // Not fatal: save() encodes the page itself, and reports if that fails too.
        qWarning("Scansione: page %d not prepared: %s", index + 1, qUtf8Printable(error));
        return;
    }
    m_buffer.addEncodedFile(index, encoding, path);
}

int SessionImages::preparedCount() const {
    int prepared = 0;
    for (int i = 0; i < count(); ++i) {
        const std::optional<FileEncoding> wanted = wantedEncoding(i);
        if (wanted && !m_buffer.encodedFile(i, *wanted).isEmpty())
            ++prepared;
    }
    return prepared;
}

DeviceStatus SessionImages::rotate(int index, int degrees) {
    if (index < 0 || index >= m_buffer.count() || m_buffer.released(index))
        return status(componentError::BadIndex, QString::number(index));
    if (degrees % 90 != 0)
        return status(componentError::BadValue,
                      QStringLiteral("rotazione di %1 gradi").arg(degrees));
    if (degrees % 360 == 0)
        return {};
    QString error;
    const QImage full = m_buffer.full(index, &error);
    if (full.isNull())
        return status(componentError::ReadFailed, error);
    const QImage turned = rawImage::rotated(full, degrees);
    if (turned.isNull())
        return status(componentError::ReadFailed, QStringLiteral("memoria insufficiente"));
    const QString path =
        cacheFolder().isEmpty()
            ? QString()
            : QDir(cacheFolder())
                  .filePath(QStringLiteral("turned-%1-%2.raw").arg(index).arg(++m_rotations));
    StoredPage page = storePage(turned, path, m_budget.get());
    // A cache that cannot take the turned page leaves the page as it was, rather than one
    // more page in memory.
    if (page.writeFailure != 0)
        return status(componentError::Code(page.writeFailure), page.writeError);
    withdraw(m_buffer.version(index), std::nullopt);
    m_buffer.replace(index, std::move(page));
    schedule(index, true);
    return {};
}

DeviceStatus SessionImages::save(int index, const QString& path, bool tiffMultiPage) {
    if (index < 0 || index >= m_buffer.count() || m_buffer.released(index))
        return status(componentError::BadIndex, QString::number(index));
    // Whatever the encoder has finished by now counts, event loop or not.
    m_encoder->deliver();
    const std::optional<ImageFileKind> kind = imageFileKind(path);
    const QString key = QFileInfo(path).absoluteFilePath();
    ImageWriteOptions options = m_options;
    options.tiffAppend =
        kind == ImageFileKind::Tiff && tiffMultiPage && m_writtenPaths.contains(key);

    // A file encoded ahead for exactly this write is moved into place (a page added to a
    // TIFF is copied from it). Anything wrong with it, and the page is encoded below.
    std::optional<FileEncoding> wanted;
    try {
        if (kind)
            wanted = fileEncoding(*kind, isMono(m_buffer.page(index).format), options);
    } catch (const ScanError&) {
        // Settings no file is written with: writeImageFile below says so.
    }
    if (wanted) {
        const QString ready = m_buffer.encodedFile(index, *wanted);
        if (!ready.isEmpty()) {
            try {
                if (options.tiffAppend) {
                    tiffpages::appendEncodedPage(ready, path);
                } else {
                    writer::moveFile(ready, path);
                    m_buffer.forgetEncodedFile(index, *wanted, false);
                }
                m_writtenPaths.insert(key);
                return {};
            } catch (const ScanError&) {
                m_buffer.forgetEncodedFile(index, *wanted, true);
            }
        } else {
            // Not ready: written here and now, so the encoder need not start on it; as the
            // document is written from its front, the encoder takes the pages from the back.
            withdraw(m_buffer.version(index), wanted);
            m_encoder->setNewestFirst(true);
        }
    }

    QString error;
    const QImage image = m_buffer.full(index, &error);
    if (image.isNull())
        return status(componentError::ReadFailed, error);
    try {
        writeImageFile(image, path, options);
    } catch (const ScanError& e) {
        // A full disk, a size limit or a refused permission keeps its code: the window tells
        // the user which.
        return status(componentError::isWriteFailure(e.code()) ? componentError::Code(e.code())
                                                               : componentError::WriteFailed,
                      e.text());
    }
    m_writtenPaths.insert(key);
    return {};
}
