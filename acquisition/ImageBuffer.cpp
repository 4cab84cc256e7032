#include "acquisition/ImageBuffer.h"
#include "acquisition/RawImageFile.h"
#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>
#include <algorithm>
#include <vector>

namespace {

constexpr int kPreviewWidth = 1000;
constexpr int kPreviewHeight = 1400;
constexpr int kDecodedKept = 4;

QByteArray previewFormat() {
    static const QByteArray format = QImageWriter::supportedImageFormats().contains("jpeg")
                                         ? QByteArray("JPEG")
                                         : QByteArray("PNG");
    return format;
}

} // namespace

namespace {

// Averages k x k blocks of an 8-bit-per-channel image with Ch channels: one pass over the
// page, far cheaper than a smooth scale of the full-resolution image.
template <int Ch> QImage boxShrink(const QImage& src, int k) {
    const int w = std::max(1, src.width() / k), h = std::max(1, src.height() / k);
    QImage dst(w, h, src.format());
    if (dst.isNull())
        return {};
    std::vector<uint32_t> sums(size_t(w) * Ch);
    const uint32_t area = uint32_t(k) * uint32_t(k);
    for (int y = 0; y < h; ++y) {
        std::fill(sums.begin(), sums.end(), 0);
        for (int dy = 0; dy < k; ++dy) {
            const uchar* p = src.constScanLine(std::min(src.height() - 1, y * k + dy));
            uint32_t* sum = sums.data();
            for (int x = 0; x < w; ++x, sum += Ch) {
                for (int dx = 0; dx < k; ++dx, p += Ch) {
                    for (int c = 0; c < Ch; ++c)
                        sum[c] += p[c];
                }
            }
        }
        uchar* out = dst.scanLine(y);
        for (size_t i = 0; i < sums.size(); ++i)
            out[i] = uchar((sums[i] + area / 2) / area);
    }
    return dst;
}

} // namespace

QImage makePreview(const QImage& image) {
    if (image.isNull())
        return {};
    QImage source;
    switch (image.format()) {
    case QImage::Format_Grayscale8:
    case QImage::Format_RGB888:
        source = image;
        break;
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
    case QImage::Format_Grayscale16:
        source = image.convertToFormat(QImage::Format_Grayscale8);
        break;
    default:
        source = image.convertToFormat(QImage::Format_RGB888);
        break;
    }
    if (source.width() <= kPreviewWidth && source.height() <= kPreviewHeight)
        return source;
    // Whole blocks only: the preview lands a little inside the box, at a fraction of the
    // cost of a smooth scale of the full-resolution page.
    const int k = std::max((source.width() + kPreviewWidth - 1) / kPreviewWidth,
                           (source.height() + kPreviewHeight - 1) / kPreviewHeight);
    source = source.format() == QImage::Format_RGB888 ? boxShrink<3>(source, k)
                                                      : boxShrink<1>(source, k);
    return source;
}

std::shared_ptr<void> MemoryBudget::claim(qint64 bytes) {
    qint64 used = m_used.load();
    do {
        if (bytes < 0 || used + bytes > m_limit)
            return nullptr;
    } while (!m_used.compare_exchange_weak(used, used + bytes));
    return std::shared_ptr<void>(
        this, [self = shared_from_this(), bytes](void*) { self->m_used.fetch_sub(bytes); });
}

StoredPage storePage(const QImage& image, const QString& cachePath, MemoryBudget* budget) {
    StoredPage page;
    page.size = image.size();
    page.format = image.format();
    page.bytes = qint64(image.bytesPerLine()) * image.height();
    if (!cachePath.isEmpty() && budget && (page.claim = budget->claim(page.bytes))) {
        page.pixels = image;
        page.pendingPath = cachePath;
    } else if (!cachePath.isEmpty() && rawImage::write(image, cachePath)) {
        page.cachePath = cachePath;
    } else {
        page.pixels = image;
    }

    QBuffer buffer(&page.preview);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, previewFormat());
    writer.setQuality(85);
    writer.write(makePreview(image));
    return page;
}

int ImageBuffer::append(StoredPage page) {
    m_entries.append({std::move(page), ++m_lastVersion, {}});
    return count() - 1;
}

int ImageBuffer::indexOf(quint64 version) const {
    for (int i = 0; i < count(); ++i) {
        if (m_entries.at(i).version == version)
            return i;
    }
    return -1;
}

QImage ImageBuffer::preview(int index) const {
    if (index < 0 || index >= count())
        return {};
    for (const auto& [i, image] : m_decoded) {
        if (i == index)
            return image;
    }
    QImage image = QImage::fromData(page(index).preview);
    if (image.isNull())
        image = makePreview(full(index)); // an unreadable preview: rebuild it from the pixels
    m_decoded.prepend({index, image});
    while (m_decoded.size() > kDecodedKept)
        m_decoded.removeLast();
    return image;
}

QImage ImageBuffer::full(int index, QString* error) const {
    if (index < 0 || index >= count()) {
        if (error)
            *error = QStringLiteral("indice fuori intervallo");
        return {};
    }
    const StoredPage& p = page(index);
    if (p.cachePath.isEmpty())
        return p.pixels;
    return rawImage::read(p.cachePath, error);
}

void ImageBuffer::replace(int index, StoredPage page) {
    if (index < 0 || index >= count())
        return;
    Entry& entry = m_entries[index];
    const QString old = entry.page.cachePath;
    if (!old.isEmpty() && old != page.cachePath)
        QFile::remove(old);
    removeEncodedFilesExcept(index, std::nullopt);
    entry.page = std::move(page);
    entry.version = ++m_lastVersion;
    m_decoded.removeIf([index](const auto& decoded) { return decoded.first == index; });
}

void ImageBuffer::pageFileStored(int index, const QString& path) {
    StoredPage& p = m_entries[index].page;
    p.cachePath = path;
    p.pixels = QImage();
    p.pendingPath.clear();
    p.claim.reset();
}

void ImageBuffer::keepInMemory(int index) {
    StoredPage& p = m_entries[index].page;
    p.pendingPath.clear();
    p.claim.reset();
}

QString ImageBuffer::encodedFile(int index, const FileEncoding& encoding) const {
    for (const auto& [e, path] : m_entries.at(index).encoded) {
        if (e == encoding)
            return path;
    }
    return {};
}

void ImageBuffer::addEncodedFile(int index, const FileEncoding& encoding, const QString& path) {
    if (!encodedFile(index, encoding).isEmpty()) {
        QFile::remove(path);
        return;
    }
    m_entries[index].encoded.append({encoding, path});
}

void ImageBuffer::forgetEncodedFile(int index, const FileEncoding& encoding, bool remove) {
    m_entries[index].encoded.removeIf([&](const auto& e) {
        if (e.first != encoding)
            return false;
        if (remove)
            QFile::remove(e.second);
        return true;
    });
}

void ImageBuffer::removeEncodedFilesExcept(int index, const std::optional<FileEncoding>& keep) {
    m_entries[index].encoded.removeIf([&](const auto& e) {
        if (keep && e.first == *keep)
            return false;
        QFile::remove(e.second);
        return true;
    });
}
