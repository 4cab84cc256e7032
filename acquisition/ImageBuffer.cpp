#include "acquisition/ImageBuffer.h"
#include "acquisition/RawImageFile.h"
#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>

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

QImage makePreview(const QImage& image) {
    if (image.isNull())
        return {};
    QImage source;
    switch (image.format()) {
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
    case QImage::Format_Grayscale16:
        source = image.convertToFormat(QImage::Format_Grayscale8);
        break;
    case QImage::Format_Grayscale8:
    case QImage::Format_RGB888:
        source = image;
        break;
    default:
        source = image.convertToFormat(QImage::Format_RGB888);
        break;
    }
    if (source.width() > kPreviewWidth || source.height() > kPreviewHeight)
        source = source.scaled(kPreviewWidth, kPreviewHeight, Qt::KeepAspectRatio,
                               Qt::SmoothTransformation);
    return source;
}

StoredPage storePage(const QImage& image, const QString& cachePath) {
    StoredPage page;
    page.size = image.size();
    page.format = image.format();
    page.bytes = qint64(image.bytesPerLine()) * image.height();
    if (!cachePath.isEmpty() && rawImage::write(image, cachePath))
        page.cachePath = cachePath;
    else
        page.pixels = image;

    QBuffer buffer(&page.preview);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, previewFormat());
    writer.setQuality(85);
    writer.write(makePreview(image));
    return page;
}

void ImageBuffer::append(StoredPage page) {
    m_pages.append(std::move(page));
}

QImage ImageBuffer::preview(int index) const {
    if (index < 0 || index >= count())
        return {};
    for (const auto& [i, image] : m_decoded) {
        if (i == index)
            return image;
    }
    QImage image = QImage::fromData(m_pages.at(index).preview);
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
    const StoredPage& p = m_pages.at(index);
    if (p.cachePath.isEmpty())
        return p.pixels;
    return rawImage::read(p.cachePath, error);
}

void ImageBuffer::replace(int index, StoredPage page) {
    if (index < 0 || index >= count())
        return;
    const QString old = m_pages.at(index).cachePath;
    if (!old.isEmpty() && old != page.cachePath)
        QFile::remove(old);
    m_pages[index] = std::move(page);
    m_decoded.removeIf([index](const auto& entry) { return entry.first == index; });
}
