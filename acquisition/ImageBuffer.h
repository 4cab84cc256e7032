#pragma once
#include "component_base/ComponentErrors.h"
#include "writers/ImageWriters.h"
#include <QByteArray>
#include <QImage>
#include <QList>
#include <QSize>
#include <QString>
#include <QVector>
#include <atomic>
#include <memory>

/// A bound on the full-resolution pixels kept in memory while they wait for their page file
/// to be written off the acquisition's path. Thread-safe.
class MemoryBudget : public std::enable_shared_from_this<MemoryBudget> {
public:
    /// Made with std::make_shared (claims keep the budget alive).
    explicit MemoryBudget(qint64 bytes) : m_limit(bytes) {}
    Q_DISABLE_COPY(MemoryBudget)

    /// A claim on `bytes`, given back when the last copy of it goes; null when they do not
    /// fit beside the claims that are held.
    std::shared_ptr<void> claim(qint64 bytes);
    /// Bytes claimed now.
    qint64 used() const { return m_used.load(); }

private:
    const qint64 m_limit;
    std::atomic<qint64> m_used{0};
};

/// Where a page's full-resolution pixels are.
enum class PageFileState {
    InMemory, ///< no page file is wanted (there is no cache): `pixels` hold the page
    Writing,  ///< `pixels` hold it while someone else writes `pendingPath`, off the acquisition's
              ///< path
    OnDisk,   ///< in its page file `cachePath`; nothing in memory
    Failed,   ///< its page file could not be written (`failure` says why): `pixels` hold it
};

/// One acquired image as it crosses from the worker to the buffer, and the one owner of its
/// page file: the full-resolution pixels in a cache file, or in memory (while the file is
/// still to be written, or when the cache could not be written, so that the image is not
/// lost), and a compressed screen-sized preview. Its file fields are read by anyone and
/// changed only by its own calls below, each one step between the states of PageFileState.
struct StoredPage {
    QString cachePath;           ///< page file in the session cache; empty while `pixels` holds it
    QImage pixels;               ///< the image itself, while it is not (yet) in its page file
    QString pendingPath;         ///< the page file still to be written from `pixels`, off this path
    std::shared_ptr<void> claim; ///< what `pixels` hold of the memory budget until then
    QSize size;                  ///< full-resolution size
    QImage::Format format = QImage::Format_Invalid;
    QByteArray preview;   ///< the preview, encoded (JPEG, or PNG where JPEG is missing)
    qint64 bytes = 0;     ///< size of the full-resolution pixel data
    int dpi = 0;          ///< the acquisition's resolution; 0 when unknown (a recovered page)
    DeviceStatus failure; ///< why the page file could not be written (ok when it was)

    PageFileState fileState() const;
    /// The full-resolution image, from memory or from its page file.
    componentError::Result<QImage> image() const;
    /// The one writer of page files: writes the pixels to `path` (whole or not at all). On disk
    /// then, or failed with why, the pixels kept. Any thread, on a page of its own.
    DeviceStatus writeFile(const QString& path);
    /// A copy of this page (the encoder's) has written `pendingPath` as `written` tells:
    /// on disk there now, or failed with why.
    void pendingWritten(const DeviceStatus& written);
};

/// Builds a StoredPage from a full-resolution image and encodes its preview. With room in
/// `budget` the pixels stay in memory and `pendingPath` names the cache file someone else is
/// to write; otherwise the cache file `cachePath` is written here (when that fails, the
/// pixels stay in memory and `failure` says why). Runs on the worker thread
/// (and for rotations on the owner's); it only touches its own file.
StoredPage storePage(const QImage& image, const QString& cachePath, MemoryBudget* budget = nullptr);

/// The StoredPage of `image`, which is already whole in its page file `path` (a recovered
/// page): only its preview is made.
StoredPage storedPageOnDisk(const QImage& image, const QString& path);

/// The preview of an image: fits within 1000x1400 pixels, grey for 1-bit and grey images,
/// colour otherwise.
QImage makePreview(const QImage& image);

/// The session's image buffer: images at fixed indices in order of arrival, pixels in the
/// session cache, a few decoded previews kept for ImagePicture, and for each image the files
/// already encoded from it. Every image has a version, new with each replacement, so that
/// work done on an image that has since been replaced is recognised. An image no page needs
/// any more is released: its files and pixels go, its index stays taken. Owner thread only.
class ImageBuffer {
public:
    int count() const { return int(m_entries.size()); }
    /// Adds an image at the next index; returns the index.
    int append(StoredPage page);
    const StoredPage& page(int index) const { return m_entries.at(index).page; }
    /// The version of image `index`.
    quint64 version(int index) const { return m_entries.at(index).version; }
    /// The index of the image with `version`; -1 when it has been replaced (or never was).
    int indexOf(quint64 version) const;

    /// The preview of image `index` (a null image when out of range).
    QImage preview(int index) const;
    /// The full-resolution image, from memory or the cache.
    componentError::Result<QImage> full(int index) const;
    /// Replaces image `index` (a rotation) with a new version; the index keeps pointing at it.
    /// Its old page file and encoded files are removed.
    void replace(int index, StoredPage page);

    /// Releases image `index`: its page file and encoded files are removed, its pixels and
    /// preview dropped, and it gets a new version (work under way on it is then recognised
    /// as stale). The indices of the other images do not change.
    void release(int index);
    /// True when image `index` has been released.
    bool released(int index) const { return m_entries.at(index).released; }

    /// Writes the page file of image `index` to `path` now (StoredPage::writeFile).
    DeviceStatus writePageFile(int index, const QString& path);
    /// The encoder has written the pending page file of image `index`, as `written` tells
    /// (StoredPage::pendingWritten). A page that failed keeps its pixels in memory, still
    /// counted against the budget, so that a cache that fails cannot fill the memory instead.
    void pendingWritten(int index, const DeviceStatus& written);
    /// Bytes of full-resolution pixels in memory now (pages waiting for their page file, or
    /// kept there because it could not be written).
    qint64 bytesInMemory() const;

    /// The file of image `index` encoded as `encoding`; empty when there is none.
    QString encodedFile(int index, const FileEncoding& encoding) const;
    /// Records the file `path` of image `index` encoded as `encoding` (a second one for the
    /// same encoding is removed).
    void addEncodedFile(int index, const FileEncoding& encoding, const QString& path);
    /// Forgets the encoded file of `encoding` (its file was moved away, or is removed with
    /// `remove`).
    void forgetEncodedFile(int index, const FileEncoding& encoding, bool remove);
    /// Removes every encoded file of image `index` but the one of `keep`.
    void removeEncodedFilesExcept(int index, const std::optional<FileEncoding>& keep);

private:
    struct Entry {
        StoredPage page;
        quint64 version = 0;
        QList<QPair<FileEncoding, QString>> encoded;
        bool released = false;
    };
    QVector<Entry> m_entries;
    quint64 m_lastVersion = 0;
    // The last few decoded previews: paging back and forth does not decode each time.
    mutable QList<QPair<int, QImage>> m_decoded;
};
