#pragma once
#include <QByteArray>
#include <QImage>
#include <QList>
#include <QSize>
#include <QString>
#include <QVector>
#include <memory>

/// One acquired image as it crosses from the worker to the buffer: the full-resolution
/// pixels in a cache file (or, when the cache could not be written, in memory so that the
/// image is not lost) and a compressed screen-sized preview.
struct StoredPage {
    QString cachePath; ///< page file in the session cache; empty when `pixels` holds it
    QImage pixels;     ///< the image itself, only when it could not be cached
    QSize size;        ///< full-resolution size
    QImage::Format format = QImage::Format_Invalid;
    QByteArray preview; ///< the preview, encoded (JPEG, or PNG where JPEG is missing)
    qint64 bytes = 0;   ///< size of the full-resolution pixel data
};

/// Builds a StoredPage from a full-resolution image: writes the cache file `cachePath` and
/// encodes the preview. Runs on the worker thread (and for rotations on the owner's); it only
/// touches its own file.
StoredPage storePage(const QImage& image, const QString& cachePath);

/// The preview of an image: fits within 1000x1400 pixels, grey for 1-bit and grey images,
/// colour otherwise.
QImage makePreview(const QImage& image);

/// The session's image buffer: images at fixed indices in order of arrival, pixels in the
/// session cache, a few decoded previews kept for ImagePicture. Owner thread only.
class ImageBuffer {
public:
    int count() const { return int(m_pages.size()); }
    void append(StoredPage page);
    const StoredPage& page(int index) const { return m_pages.at(index); }

    /// The preview of image `index` (a null image when out of range).
    QImage preview(int index) const;
    /// The full-resolution image, read back from the cache; null with `error` set on failure.
    QImage full(int index, QString* error = nullptr) const;
    /// Replaces image `index` (a rotation); the index keeps pointing at it.
    void replace(int index, StoredPage page);

private:
    QVector<StoredPage> m_pages;
    // The last few decoded previews: paging back and forth does not decode each time.
    mutable QList<QPair<int, QImage>> m_decoded;
};
