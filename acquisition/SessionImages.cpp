#include "acquisition/SessionImages.h"
#include "component_base/ComponentErrors.h"
#include "acquisition/PageEncoder.h"
#include "acquisition/PageTextQueue.h"
#include "acquisition/RawImageFile.h"
#include "acquisition/SessionCache.h"
#include "common/SystemErrorText.h"
#include "writers/TiffPages.h"
#include "writers/WriterSupport.h"
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <sys/statvfs.h>

using componentError::Result;
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
        qWarning("Scansione: nessuna cache della sessione (%s): le pagine restano in memoria",
                 qUtf8Printable(m_cache->error()));
    QObject::connect(m_encoder.get(), &PageEncoder::pageStored, m_encoder.get(),
                     [this](quint64 version, const QString& path, const DeviceStatus& written) {
                         onPageStored(version, path, written);
                     });
    QObject::connect(
        m_encoder.get(), &PageEncoder::encoded, m_encoder.get(),
        [this](quint64 version, const FileEncoding& encoding, const QString& path,
               const DeviceStatus& written) { onEncoded(version, encoding, path, written); });
}

// The encoder stops first, then the buffer's pages go, then the folder that holds their files.
SessionImages::~SessionImages() = default;

QString SessionImages::cacheFolder() const {
    return m_cache->path();
}

bool SessionImages::storingPageFiles() const {
    return m_encoder->storing();
}

bool SessionImages::settled() const {
    return m_encoder->idle();
}

void SessionImages::append(StoredPage page) {
    // Scanning again: the pages are wanted in the order they come.
    m_encoder->setNewestFirst(false);
    const int index = m_buffer.append(std::move(page));
    schedule(index, true);
    scheduleText(index);
}

void SessionImages::release(const QVector<int>& indices) {
    if (m_kept)
        return;
    for (int index : indices) {
        if (index < 0 || index >= count() || m_buffer.released(index))
            continue;
        // Queued work on it is dropped; work under way reports for a version that is gone
        // and its file is removed then.
        withdraw(m_buffer.version(index), std::nullopt);
        dropText(index);
        m_buffer.release(index);
    }
}

void SessionImages::keepCache() {
    m_kept = true;
    m_cache->keep();
}

DeviceStatus SessionImages::storePagesInMemory() {
    const QString folder = cacheFolder();
    if (folder.isEmpty())
        return {};
    for (int i = 0; i < count(); ++i) {
        const StoredPage& page = m_buffer.page(i);
        if (m_buffer.released(i) || page.pixels.isNull() ||
            page.fileState() == PageFileState::Writing)
            continue;
        const QString path =
            QDir(folder).filePath(QStringLiteral("kept-%1-%2.raw").arg(i).arg(++m_keptFiles));
        if (const DeviceStatus written = m_buffer.writePageFile(i, path); !written.ok())
            return written;
        if (m_textQueue)
            m_textQueue->refresh(m_buffer.version(i), page);
    }
    return {};
}

DeviceStatus SessionImages::readyForPages(qint64 pageBytes) {
    const QString folder = cacheFolder();
    if (folder.isEmpty())
        return {};
    // A page the cache could not take earlier gets another chance first: memory holds only
    // as many pages as a failing cache left there, never one more acquisition's worth.
    if (const DeviceStatus stored = storePagesInMemory(); !stored.ok())
        return stored;
    struct statvfs fs {};
    if (::statvfs(QFile::encodeName(folder).constData(), &fs) != 0)
        return status(componentError::writeFailure(errno),
                      folder + QStringLiteral(": ") + systemErrorText(errno));
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
    // Settings no file can be written with: nothing to prepare.
    const Result<FileEncoding> encoding = componentError::attempt(
        [&] { return fileEncoding(*m_prepared, isMono(m_buffer.page(index).format), m_options); });
    return encoding ? std::optional(*encoding) : std::nullopt;
}

void SessionImages::schedule(int index, bool store) {
    EncodeJob job;
    job.version = m_buffer.version(index);
    job.page = m_buffer.page(index);
    job.storePage = store && job.page.fileState() == PageFileState::Writing;
    const std::optional<FileEncoding> wanted = wantedEncoding(index);
    if (wanted && m_buffer.encodedFile(index, *wanted).isEmpty() &&
        !m_encoder->encoding(job.version, *wanted)) {
        const QString file = QDir(cacheFolder())
                                 .filePath(QStringLiteral("prepared-%1-%2.%3")
                                               .arg(job.version)
                                               .arg(++m_encodedFiles)
                                               .arg(imageFileSuffix(wanted->kind)));
        job.outputs.append({*wanted, file});
    }
    if (job.storePage || !job.outputs.isEmpty())
        m_encoder->submit(std::move(job));
}

void SessionImages::withdraw(quint64 version, const std::optional<FileEncoding>& encoding) {
    m_encoder->withdraw(version, [&encoding](const std::optional<FileEncoding>& queued) {
        return !encoding || queued == encoding;
    });
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
        m_encoder->withdraw(version, [&wanted](const std::optional<FileEncoding>& queued) {
            return queued && queued != wanted;
        });
        m_buffer.removeEncodedFilesExcept(i, wanted);
        schedule(i, false);
    }
}

void SessionImages::onPageStored(quint64 version, const QString& path,
                                 const DeviceStatus& written) {
    const int index = m_buffer.indexOf(version);
    if (index < 0) {
        // The page was turned meanwhile: nobody will ever read this file.
        if (written.ok())
            QFile::remove(path);
        return;
    }
    m_buffer.pendingWritten(index, written);
    if (m_textQueue)
        m_textQueue->refresh(version, m_buffer.page(index));
    if (!written.ok())
        qWarning("Scansione: la pagina %d resta in memoria, il suo file nella cache non è stato "
                 "scritto: %s",
                 index + 1, qUtf8Printable(written.text));
    if (m_pageFileDone)
        m_pageFileDone(written);
}

void SessionImages::onEncoded(quint64 version, const FileEncoding& encoding, const QString& path,
                              const DeviceStatus& written) {
    const int index = m_buffer.indexOf(version);
    if (index < 0 || wantedEncoding(index) != encoding) {
        // Made from a page since turned, or for settings since changed: never to be used.
        if (written.ok())
            QFile::remove(path);
        return;
    }
    if (!written.ok()) {
        // Not fatal: save() encodes the page itself, and reports if that fails too.
        qWarning("Scansione: pagina %d non preparata per il documento: %s", index + 1,
                 qUtf8Printable(written.text));
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
    const Result<QImage> full = m_buffer.full(index);
    if (!full)
        return full.status();
    const QImage turned = rawImage::rotated(*full, degrees);
    if (turned.isNull())
        return status(componentError::ReadFailed, QStringLiteral("memoria insufficiente"));
    const QString path =
        cacheFolder().isEmpty()
            ? QString()
            : QDir(cacheFolder())
                  .filePath(QStringLiteral("turned-%1-%2.raw").arg(index).arg(++m_rotations));
    StoredPage page = storePage(turned, path, m_budget.get());
    page.dpi = m_buffer.page(index).dpi;
    // A cache that cannot take the turned page leaves the page as it was, rather than one
    // more page in memory.
    if (!page.failure.ok())
        return page.failure;
    withdraw(m_buffer.version(index), std::nullopt);
    m_buffer.replace(index, std::move(page));
    schedule(index, true);
    scheduleText(index);
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
    // Settings no file is written with: writeImageFile below says so.
    const Result<FileEncoding> wanted =
        kind ? componentError::attempt([&] {
            return fileEncoding(*kind, isMono(m_buffer.page(index).format), options);
        })
             : Result<FileEncoding>(status(componentError::WriteFailed));
    if (wanted) {
        const QString ready = m_buffer.encodedFile(index, *wanted);
        if (!ready.isEmpty()) {
            const DeviceStatus placed = componentError::attempt([&] {
                if (options.tiffAppend) {
                    tiffpages::appendEncodedPage(ready, path);
                } else {
                    writer::moveFile(ready, path);
                    m_buffer.forgetEncodedFile(index, *wanted, false);
                }
            });
            if (placed.ok()) {
                m_writtenPaths.insert(key);
                return {};
            }
            m_buffer.forgetEncodedFile(index, *wanted, true);
        } else {
            // Not ready: written here and now, so the encoder need not start on it; as the
            // document is written from its front, the encoder takes the pages from the back.
            withdraw(m_buffer.version(index), *wanted);
            m_encoder->setNewestFirst(true);
        }
    }

    const Result<QImage> image = m_buffer.full(index);
    if (!image)
        return image.status();
    // A full disk, a size limit or a refused permission keeps its code: the window tells the
    // user which.
    if (const DeviceStatus written =
            componentError::attempt([&] { writeImageFile(*image, path, options); });
        !written.ok())
        return written;
    m_writtenPaths.insert(key);
    return {};
}

// --- Words ----------------------------------------------------------------------------------

bool SessionImages::textSettled() const {
    return !m_textQueue || m_textQueue->idle();
}

void SessionImages::setTextLanguages(const QString& languages) {
    if (languages == m_languages)
        return;
    // What was read or queued in the old languages goes; a reading under way reports for a
    // ticket no longer wanted, and its file goes then.
    for (int i = 0; i < m_texts.size(); ++i)
        dropText(i);
    m_languages = languages;
    if (languages.isEmpty()) {
        m_textQueue.reset();
        m_texts.clear();
        return;
    }
    if (!m_textQueue && m_makeReader) {
        m_textQueue = std::make_unique<PageTextQueue>(m_makeReader);
        QObject::connect(m_textQueue.get(), &PageTextQueue::read, m_textQueue.get(),
                         [this](const TextOutcome& outcome) { onTextRead(outcome); });
    }
    for (int i = 0; i < count(); ++i)
        scheduleText(i);
}

void SessionImages::dropText(int index) {
    if (index < 0 || index >= m_texts.size())
        return;
    TextEntry& entry = m_texts[index];
    if (entry.state == ImageText::State::Waiting && m_textQueue)
        m_textQueue->withdraw(entry.version);
    if (!entry.wordsPath.isEmpty())
        QFile::remove(entry.wordsPath);
    entry = TextEntry();
}

void SessionImages::scheduleText(int index) {
    if (m_languages.isEmpty() || index < 0 || index >= count())
        return;
    if (m_texts.size() < count())
        m_texts.resize(count());
    dropText(index);
    if (m_buffer.released(index))
        return;
    TextEntry& entry = m_texts[index];
    entry.version = m_buffer.version(index);
    entry.ticket = ++m_textTickets;
    entry.pixels = m_buffer.page(index).size;
    if (!m_textQueue) {
        entry.state = ImageText::State::Failed;
        entry.error = PageTextQueue::noReaderText();
        textDone(index);
        return;
    }
    entry.state = ImageText::State::Waiting;
    TextJob job;
    job.version = entry.version;
    job.ticket = entry.ticket;
    job.page = m_buffer.page(index);
    job.dpi = job.page.dpi;
    job.languages = m_languages;
    if (!cacheFolder().isEmpty())
        job.wordsPath =
            QDir(cacheFolder())
                .filePath(QStringLiteral("words-%1-%2.ocr").arg(entry.version).arg(entry.ticket));
    m_textQueue->submit(std::move(job));
}

void SessionImages::onTextRead(const TextOutcome& outcome) {
    const int index = m_buffer.indexOf(outcome.version);
    if (index < 0 || index >= m_texts.size() || m_texts[index].ticket != outcome.ticket ||
        m_texts[index].state != ImageText::State::Waiting) {
        // Read from an image since turned or released, or in languages since changed.
        if (!outcome.wordsPath.isEmpty())
            QFile::remove(outcome.wordsPath);
        return;
    }
    TextEntry& entry = m_texts[index];
    entry.state = outcome.error.isEmpty() ? ImageText::State::Read : ImageText::State::Failed;
    entry.error = outcome.error;
    entry.wordsPath = outcome.wordsPath;
    entry.words = outcome.words;
    if (outcome.pixels.isValid())
        entry.pixels = outcome.pixels;
    textDone(index);
}

void SessionImages::textDone(int index) {
    if (m_textReady)
        m_textReady(index);
}

ImageText SessionImages::imageText(int index) const {
    ImageText text;
    if (m_languages.isEmpty() || index < 0 || index >= m_texts.size() || m_buffer.released(index))
        return text;
    const TextEntry& entry = m_texts.at(index);
    text.state = entry.state;
    text.pixels = entry.pixels;
    text.languages = m_languages;
    text.error = entry.error;
    if (entry.state != ImageText::State::Read)
        return text;
    QByteArray bytes = entry.words;
    if (!entry.wordsPath.isEmpty()) {
        QFile file(entry.wordsPath);
        bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    std::optional<OcrWords> words = pageWords::decode(bytes);
    if (!words) {
        // Costs the page its text, never the page.
        text.state = ImageText::State::Failed;
        text.error =
            QStringLiteral("parole della pagina illeggibili nella cache: %1").arg(entry.wordsPath);
        return text;
    }
    text.words = std::move(*words);
    return text;
}

void SessionImages::readTextFirst(int index) {
    if (!m_textQueue)
        return;
    // Whatever is finished counts now, event loop or not.
    m_textQueue->deliver();
    if (index >= 0 && index < m_texts.size() &&
        m_texts.at(index).state == ImageText::State::Waiting)
        m_textQueue->readFirst(m_texts.at(index).version);
}
