#pragma once
#include "component_base/DeviceLayer.h"
#include "acquisition/ImageBuffer.h"
#include "acquisition/ScanComponent.h"
#include "writers/ImageWriters.h"
#include <QList>
#include <QSet>
#include <QVector>
#include <functional>
#include <memory>
#include <optional>

class PageEncoder;
class PageTextQueue;
class PageTextReader;
class SessionCache;
struct TextOutcome;

/// The images of one component's session: the buffer of acquired pages with its cache
/// folder, and what the component does to them (turn, write to a file). An encoder beside
/// the acquisition writes each page's file in the cache and encodes the page, as it arrives
/// and again after a rotation, into the file the document will need (setPreparedKind), so
/// that save() only moves or copies finished bytes. A page whose file is not ready is encoded
/// by save() itself; either way the bytes written are the same.
///
/// Threading: owner thread only (the acquisition worker writes page files into
/// cacheFolder(), the encoder page files and encoded files; neither touches the buffer).
class SessionImages {
public:
    /// The session cache is made under `cacheParent` (the working folder); without one the
    /// pages are kept in memory and nothing is prepared.
    explicit SessionImages(const QString& cacheParent);
    ~SessionImages();
    Q_DISABLE_COPY(SessionImages)

    /// The session cache folder; empty when it could not be made.
    QString cacheFolder() const;
    /// The bound on pixels an acquisition may leave in memory for the encoder to write.
    const std::shared_ptr<MemoryBudget>& memoryBudget() const { return m_budget; }
    /// Images acquired in this session.
    int count() const { return m_buffer.count(); }
    /// The preview of image `index`; null for an index out of range.
    QImage preview(int index) const { return m_buffer.preview(index); }
    /// Adds an acquired image at the next index and hands it to the encoder.
    void append(StoredPage page);
    /// Releases the images at `indices` that no page needs any more: their page files and
    /// encoded files leave the cache, their pixels the memory. Other indices keep their
    /// images; an index out of range or already released is ignored.
    void release(const QVector<int>& indices);
    /// Bytes of full-resolution pixels in memory rather than in the cache.
    qint64 bytesInMemory() const { return m_buffer.bytesInMemory(); }

    /// Called (owner thread) each time the encoder has written a page file into the cache,
    /// with ok, or with why it could not (the page then stays in memory, and whoever is
    /// acquiring should stop).
    void setPageFileHandler(std::function<void(const DeviceStatus&)> handler) {
        m_pageFileDone = std::move(handler);
    }
    /// True while page files are queued or being written.
    bool storingPageFiles() const;
    /// Makes ready for an acquisition whose pages take about `pageBytes` each: pages kept in
    /// memory after a failed write go to the cache now, and the cache's disk must have room
    /// for one more page and its prepared file with a margin. Ok, or why not (DiskFull with
    /// the room needed, or the error of the write that failed again). Always ok without a
    /// cache, where every page is kept in memory.
    DeviceStatus readyForPages(qint64 pageBytes);
    /// Writes the pages held in memory (their page file failed, or there was none) into the
    /// cache. Ok, or the error of the first that failed again.
    DeviceStatus storePagesInMemory();
    /// The cache folder, its files and the images stay as they are when the session ends,
    /// for a later session to give back: release() no longer removes anything.
    void keepCache();
    /// The name in cacheFolder() of image `index`'s page file, written or about to be; empty
    /// for an index out of range or an image kept in memory only.
    QString pageFileName(int index) const;

    /// The options save() writes with (JPEG quality, TIFF compression).
    const ImageWriteOptions& writeOptions() const { return m_options; }
    /// Changes the options; files prepared with the old ones are dropped and made anew.
    void setWriteOptions(const ImageWriteOptions& options);
    /// The kind of file the pages are prepared for (nullopt: none); changing it drops what
    /// was prepared for the old kind.
    void setPreparedKind(std::optional<ImageFileKind> kind);

    /// Turns the full-resolution image by a multiple of 90 degrees (negative allowed); the
    /// index keeps pointing at it. Ok, or why not (bad index, bad angle, unreadable page).
    DeviceStatus rotate(int index, int degrees);
    /// Writes the full-resolution image to `path` in the format of its extension. With
    /// `tiffMultiPage` a .tif gains a page, except at the first write of that path in this
    /// session, which starts the file afresh. Ok, or why the file was not written whole.
    DeviceStatus save(int index, const QString& path, bool tiffMultiPage);

    /// Images whose file for the prepared kind and the current options is ready.
    int preparedCount() const;
    /// True when the encoder has nothing queued or under way for these images.
    bool settled() const;

    /// What reads the images' words (made on the text queue's thread); null: no reading,
    /// every image fails with why once languages are set. Given before languages are set.
    void setTextReader(std::function<std::unique_ptr<PageTextReader>()> makeReader) {
        m_makeReader = std::move(makeReader);
    }
    /// Reads the words of every image in `languages`, now and as images come and turn, on a
    /// thread of its own; each image's words go into a words file in the cache (in memory
    /// without one) and leave with its other files. A change drops what was read; empty
    /// stops reading: no thread, no file.
    void setTextLanguages(const QString& languages);
    /// The words of image `index` as far as they are read for its current version.
    ImageText imageText(int index) const;
    /// Reads image `index` before the others still waiting, and hands over the readings
    /// finished so far.
    void readTextFirst(int index);
    /// Called (owner thread) when image `index`'s words are read or failed to be: from the
    /// text queue's results, or inside the call that asked when there is no reader (the
    /// component posts it on).
    void setTextReadyHandler(std::function<void(int)> handler) { m_textReady = std::move(handler); }
    /// True when no reading is queued, under way or waiting to be reported.
    bool textSettled() const;

private:
    /// Where the reading of one image stands, for its version `version`.
    struct TextEntry {
        quint64 version = 0;
        quint64 ticket = 0; ///< the reading wanted; a result for another is stale
        ImageText::State state = ImageText::State::None;
        QSize pixels;
        QString error;
        QString wordsPath; ///< its words file, when read and kept in the cache
        QByteArray words;  ///< its words (pageWords) when not in a file
    };
    /// Queues image `index` for reading in the current languages, dropping whatever was read
    /// or queued for it before (nothing with no languages or a released image).
    void scheduleText(int index);
    /// Forgets what was read of image `index` (its words file goes) and drops its queued reading.
    void dropText(int index);
    void onTextRead(const TextOutcome& outcome);
    void textDone(int index);

    /// The file image `index` is prepared as with the current kind and options.
    std::optional<FileEncoding> wantedEncoding(int index) const;
    /// Hands image `index` to the encoder: its page file when still to be written (with
    /// `store`), and its wanted encoding when not ready and not already under way.
    void schedule(int index, bool store);
    /// Drops the queued work of `version` (all of it, or one encoding) from the encoder.
    void withdraw(quint64 version, const std::optional<FileEncoding>& encoding);
    void preparationChanged();
    void onPageStored(quint64 version, const QString& path, const DeviceStatus& written);
    void onEncoded(quint64 version, const FileEncoding& encoding, const QString& path,
                   const DeviceStatus& written);

    std::unique_ptr<SessionCache> m_cache;
    ImageBuffer m_buffer;
    std::shared_ptr<MemoryBudget> m_budget;
    ImageWriteOptions m_options{.jpegQuality = 75};
    std::optional<ImageFileKind> m_prepared;
    quint64 m_rotations = 0;
    quint64 m_encodedFiles = 0;
    quint64 m_keptFiles = 0;
    std::function<void(const DeviceStatus&)> m_pageFileDone;
    QSet<QString> m_writtenPaths;
    bool m_kept = false; ///< keepCache() was called
    std::function<std::unique_ptr<PageTextReader>()> m_makeReader;
    std::function<void(int)> m_textReady;
    QString m_languages;
    QVector<TextEntry> m_texts; ///< by image index; shorter when no reading was ever asked
    quint64 m_textTickets = 0;
    // Abandoned, not waited for, when it goes (see PageTextQueue); before the encoder, which
    // goes first and is waited for.
    std::unique_ptr<PageTextQueue> m_textQueue;
    // Last: stopped before the buffer and the cache folder go.
    std::unique_ptr<PageEncoder> m_encoder;
};
