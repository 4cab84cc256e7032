#include "acquisition/ImageWriters.h"

#include "acquisition/ComponentErrors.h"
#include "acquisition/ScanError.h"
#include "acquisition/TiffPages.h"
#include "acquisition/WriterSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QImageReader>

#include <algorithm>

namespace {

enum class FileKind { Jpeg, Tiff, Bmp };

FileKind kindOf(const QString& path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("jpg"))
        return FileKind::Jpeg;
    if (suffix == QLatin1String("tif"))
        return FileKind::Tiff;
    if (suffix == QLatin1String("bmp"))
        return FileKind::Bmp;
    throw ScanError(
        QStringLiteral("%1: unknown image file type (use .jpg, .tif or .bmp)").arg(path),
        componentError::BadValue);
}

// Qt refuses to decode images above its allocation limit (128 MiB by default); a 600 dpi
// colour page decodes to more than that once Qt pads it to 32 bits a pixel. The limit is
// process-wide, so it is only ever raised, to what this file needs.
QImage readWithQt(const QString& path) {
    QImageReader reader(path);
    const QSize size = reader.size();
    if (size.isValid()) {
        const qint64 needMiB = qint64(size.width()) * size.height() * 8 / (1024 * 1024) + 1;
        if (QImageReader::allocationLimit() != 0 && needMiB > QImageReader::allocationLimit())
            QImageReader::setAllocationLimit(int(std::min<qint64>(needMiB, INT32_MAX)));
    }
    QImage img = reader.read();
    if (img.isNull())
        writer::throwReadError(path, reader.errorString());
    // Back to the buffer's own formats (Qt decodes colour JPEG as 32-bit RGB).
    return writer::normalized(img);
}

} // namespace

void writeImageFile(const QImage& image, const QString& path, const ImageWriteOptions& options) {
    const FileKind kind = kindOf(path);
    if (image.isNull())
        writer::throwWriteError(path, QStringLiteral("no image to write"));
    switch (kind) {
    case FileKind::Jpeg: {
        const int quality = options.jpegQuality > 0 ? std::min(options.jpegQuality, 100) : 75;
        writer::checkReplaceableTarget(path);
        // JPEG has no 1-bit form and our 16-bit buffers are kept at 8 bits a sample.
        QImage img = writer::eightBit(image);
        if (img.format() == QImage::Format_Mono)
            img = img.convertToFormat(QImage::Format_Grayscale8);
        const QByteArray bytes = writer::encodeJpeg(img, quality, path);
        writer::TempFile file(path);
        writer::writeAll(file.fd(), bytes.constData(), size_t(bytes.size()), path);
        file.commit();
        return;
    }
    case FileKind::Tiff: {
        const int quality = options.jpegQuality > 0 ? std::min(options.jpegQuality, 100) : 75;
        if (options.tiffAppend)
            tiffpages::appendPage(image, path, options.tiffCompression, quality);
        else
            tiffpages::writeFile(image, path, options.tiffCompression, quality);
        return;
    }
    case FileKind::Bmp: {
        writer::TempFile file(path);
        writer::writeBmp(file.fd(), image, path);
        file.commit();
        return;
    }
    }
}

QImage readImageFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        writer::throwReadError(path, file.errorString());
    const QByteArray magic = file.read(4);
    file.close();
    if (magic.startsWith("BM")) {
        QImage img = writer::readBmp(path);
        return img.isNull() ? readWithQt(path) : img;
    }
    if (magic == QByteArray("II*\0", 4) || magic == QByteArray("MM\0*", 4) ||
        magic == QByteArray("II+\0", 4) || magic == QByteArray("MM\0+", 4))
        return tiffpages::readPage(path, 0);
    return readWithQt(path);
}
