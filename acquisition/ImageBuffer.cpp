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
// page, far cheaper than a smooth scale of the full-resolution image. It runs on the
// acquisition's path for every page, so the k rows of a block are first added column by
// column (a loop the compiler turns into vector additions), then each block's k columns, and
// the division is a multiplication.
// Adds a row of samples to the sums of the columns. Distinct buffers, sixteen samples at a
// time: what the compiler needs to turn this into vector additions at -O2 as well.
template <typename Sum> void addRow(Sum* __restrict sums, const uchar* __restrict row, size_t n) {
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        for (size_t j = 0; j < 16; ++j)
            sums[i + j] = Sum(sums[i + j] + row[i + j]);
    }
    for (; i < n; ++i)
        sums[i] = Sum(sums[i] + row[i]);
}

template <int Ch, int K, typename Sum> QImage boxShrinkWith(const QImage& src, int blockSide) {
    const int k = K > 0 ? K : blockSide;
    const int w = std::max(1, src.width() / k), h = std::max(1, src.height() / k);
    QImage dst(w, h, src.format());
    if (dst.isNull())
        return {};
    // A page narrower than a block (a sliver of a scan) has blocks only as wide as the page.
    const int across = K > 0 ? K : std::min(k, src.width());
    std::vector<Sum> columns(size_t(w) * across * Ch, 0);
    const uint64_t area = uint64_t(k) * uint64_t(across);
    // floor(n / area) == (n * inverse) >> shift for every n up to the largest block sum, N bits
    // wide (Granlund and Montgomery); the product stays within 64 bits for N up to 31, that is
    // for any block of fewer than 2900 x 2900 pixels.
    const uint64_t largest = 255 * area + area / 2;
    int bits = 0, log2Area = 0;
    while ((uint64_t(1) << bits) <= largest)
        ++bits;
    while ((uint64_t(1) << log2Area) < area)
        ++log2Area;
    const int shift = bits + log2Area;
    const uint64_t inverse = bits <= 31 ? ((uint64_t(1) << shift) + area - 1) / area : 0;
    const auto average = [&](uint64_t sum) {
        return uchar(inverse ? (sum * inverse) >> shift : sum / area);
    };
    for (int y = 0; y < h; ++y) {
        std::fill(columns.begin(), columns.end(), Sum(0));
        for (int dy = 0; dy < k; ++dy) {
            addRow(columns.data(), src.constScanLine(std::min(src.height() - 1, y * k + dy)),
                   columns.size());
        }
        uchar* out = dst.scanLine(y);
        const Sum* column = columns.data();
        for (int x = 0; x < w; ++x, column += size_t(across) * Ch) {
            for (int c = 0; c < Ch; ++c) {
                uint64_t sum = area / 2;
                for (int dx = 0; dx < across; ++dx)
                    sum += column[size_t(dx) * Ch + c];
                out[x * Ch + c] = average(sum);
            }
        }
    }
    return dst;
}

template <int Ch> QImage boxShrink(const QImage& src, int k) {
    // Pages of 200 to 400 dpi shrink by 2 to 4: with the block side known to the compiler the
    // sums of a block unroll. Column sums of up to 257 rows fit in 16 bits: twice as many to a
    // vector addition.
    switch (src.width() >= k ? k : 0) {
    case 2:
        return boxShrinkWith<Ch, 2, uint16_t>(src, k);
    case 3:
        return boxShrinkWith<Ch, 3, uint16_t>(src, k);
    case 4:
        return boxShrinkWith<Ch, 4, uint16_t>(src, k);
    default:
        return k <= 257 ? boxShrinkWith<Ch, 0, uint16_t>(src, k)
                        : boxShrinkWith<Ch, 0, uint32_t>(src, k);
    }
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

namespace {

StoredPage withPreview(const QImage& image) {
    StoredPage page;
    page.size = image.size();
    page.format = image.format();
    page.bytes = qint64(image.bytesPerLine()) * image.height();
    QBuffer buffer(&page.preview);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, previewFormat());
    writer.setQuality(85);
    writer.write(makePreview(image));
    return page;
}

} // namespace

PageFileState StoredPage::fileState() const {
    if (!cachePath.isEmpty())
        return PageFileState::OnDisk;
    if (!pendingPath.isEmpty())
        return PageFileState::Writing;
    return failure.ok() ? PageFileState::InMemory : PageFileState::Failed;
}

componentError::Result<QImage> StoredPage::image() const {
    if (fileState() != PageFileState::OnDisk)
        return pixels.isNull() ? componentError::status(componentError::ReadFailed)
                               : componentError::Result<QImage>(pixels);
    QString error;
    QImage read = rawImage::read(cachePath, &error);
    if (read.isNull())
        return componentError::status(componentError::ReadFailed, error);
    return read;
}

DeviceStatus StoredPage::writeFile(const QString& path) {
    failure = rawImage::write(pixels, path);
    if (failure.ok()) {
        cachePath = path;
        pixels = QImage();
        claim.reset();
    }
    pendingPath.clear();
    return failure;
}

void StoredPage::pendingWritten(const DeviceStatus& written) {
    failure = written;
    if (written.ok()) {
        cachePath = pendingPath;
        pixels = QImage();
        claim.reset();
    }
    pendingPath.clear();
}

StoredPage storePage(const QImage& image, const QString& cachePath, MemoryBudget* budget) {
    StoredPage page = withPreview(image);
    page.pixels = image;
    if (!cachePath.isEmpty() && budget && (page.claim = budget->claim(page.bytes)))
        page.pendingPath = cachePath;
    else if (!cachePath.isEmpty())
        page.writeFile(cachePath);
    return page;
}

StoredPage storedPageOnDisk(const QImage& image, const QString& path) {
    StoredPage page = withPreview(image);
    page.cachePath = path;
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
    if (index < 0 || index >= count() || released(index))
        return {};
    for (const auto& [i, image] : m_decoded) {
        if (i == index)
            return image;
    }
    QImage image = QImage::fromData(page(index).preview);
    if (image.isNull()) {
        // An unreadable preview: rebuilt from the pixels.
        const componentError::Result<QImage> pixels = full(index);
        image = pixels ? makePreview(*pixels) : QImage();
    }
    m_decoded.prepend({index, image});
    while (m_decoded.size() > kDecodedKept)
        m_decoded.removeLast();
    return image;
}

componentError::Result<QImage> ImageBuffer::full(int index) const {
    if (index < 0 || index >= count())
        return componentError::status(componentError::ReadFailed,
                                      QStringLiteral("indice fuori intervallo"));
    if (released(index))
        return componentError::status(componentError::ReadFailed,
                                      QStringLiteral("immagine non più in uso"));
    return page(index).image();
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

void ImageBuffer::release(int index) {
    if (index < 0 || index >= count() || released(index))
        return;
    replace(index, StoredPage());
    m_entries[index].released = true;
}

qint64 ImageBuffer::bytesInMemory() const {
    qint64 bytes = 0;
    for (const Entry& e : m_entries) {
        if (!e.page.pixels.isNull())
            bytes += e.page.bytes;
    }
    return bytes;
}

DeviceStatus ImageBuffer::writePageFile(int index, const QString& path) {
    return m_entries[index].page.writeFile(path);
}

void ImageBuffer::pendingWritten(int index, const DeviceStatus& written) {
    m_entries[index].page.pendingWritten(written);
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
