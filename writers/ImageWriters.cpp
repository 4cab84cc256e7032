#include "writers/ImageWriters.h"

#include "common/SystemErrorText.h"
#include "component_base/ComponentErrors.h"
#include "component_base/ScanError.h"
#include "writers/Codecs.h"
#include "writers/PdfPageImage.h"
#include "writers/TiffPages.h"
#include "writers/WriterSupport.h"

#include <QFile>
#include <QFileInfo>
#include <QImageReader>

#include <algorithm>
#include <utility>

namespace {

// Why `reader` read nothing, in Italian (Qt's own texts are English).
QString readerErrorText(const QImageReader& reader) {
    switch (reader.error()) {
    case QImageReader::FileNotFoundError:
        return QStringLiteral("file non trovato");
    case QImageReader::DeviceError:
        return QStringLiteral("lettura del file non riuscita");
    case QImageReader::UnsupportedFormatError:
        return QStringLiteral("formato d'immagine non supportato");
    case QImageReader::InvalidDataError:
        return QStringLiteral("dati dell'immagine non validi");
    case QImageReader::UnknownError:
        break;
    }
    return QStringLiteral("immagine illeggibile");
}

ImageFileKind kindOf(const QString& path) {
    if (const auto kind = imageFileKind(path))
        return *kind;
    throw ScanError(
        QStringLiteral("%1: unknown image file type (use .jpg, .tif, .bmp or .pdfimg)").arg(path),
        componentError::BadValue);
}

int32_t jpegQualityOf(const ImageWriteOptions& options, int32_t fallback) {
    return options.jpegQuality > 0 ? std::min(options.jpegQuality, 100) : fallback;
}

constexpr int32_t fileDefaultQuality = 75;

// The file name ending of each kind, which also tells a file's kind by its name.
const std::pair<ImageFileKind, QLatin1String> kindSuffixes[] = {
    {ImageFileKind::Jpeg, QLatin1String("jpg")},
    {ImageFileKind::Tiff, QLatin1String("tif")},
    {ImageFileKind::Bmp, QLatin1String("bmp")},
    {ImageFileKind::PdfImage, QLatin1String("pdfimg")}};

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
        writer::throwReadError(path, readerErrorText(reader));
    // Back to the buffer's own formats (Qt decodes colour JPEG as 32-bit RGB).
    return writer::normalized(img);
}

} // namespace

std::optional<ImageFileKind> imageFileKind(const QString& path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    for (const auto& [kind, name] : kindSuffixes)
        if (suffix == name)
            return kind;
    return std::nullopt;
}

QString imageFileSuffix(ImageFileKind kind) {
    for (const auto& [known, name] : kindSuffixes)
        if (kind == known)
            return name;
    return QStringLiteral("pdfimg");
}

FileEncoding fileEncoding(ImageFileKind kind, bool mono, const ImageWriteOptions& options) {
    FileEncoding e;
    e.kind = kind;
    switch (kind) {
    case ImageFileKind::Jpeg:
        e.quality = jpegQualityOf(options, fileDefaultQuality);
        break;
    case ImageFileKind::Tiff:
        e.compression = tiffpages::effectiveCompression(mono, options.tiffCompression);
        if (e.compression == tiffpages::jpegCompression)
            e.quality = jpegQualityOf(options, fileDefaultQuality);
        break;
    case ImageFileKind::Bmp:
        break;
    case ImageFileKind::PdfImage:
        if (!mono)
            e.quality = jpegQualityOf(options, kPdfJpegQuality);
        break;
    }
    return e;
}

ImageWriteOptions writeOptions(const FileEncoding& encoding) {
    ImageWriteOptions options;
    options.jpegQuality = encoding.quality;
    options.tiffCompression = encoding.compression;
    return options;
}

void writeImageFile(const QImage& image, const QString& path, const ImageWriteOptions& options) {
    const ImageFileKind kind = kindOf(path);
    if (image.isNull())
        writer::throwWriteError(path, QStringLiteral("nessuna immagine da scrivere"));
    switch (kind) {
    case ImageFileKind::Jpeg: {
        const int quality = jpegQualityOf(options, fileDefaultQuality);
        writer::checkReplaceableTarget(path);
        // JPEG has no 1-bit form and our 16-bit buffers are kept at 8 bits a sample.
        QImage img = writer::eightBit(image);
        if (img.format() == QImage::Format_Mono)
            img = img.convertToFormat(QImage::Format_Grayscale8);
        const QByteArray bytes = codecs::encodeJpeg(img, quality, path);
        writer::TempFile file(path);
        writer::writeAll(file.fd(), bytes.constData(), size_t(bytes.size()), path);
        file.commit();
        return;
    }
    case ImageFileKind::Tiff: {
        const int quality = jpegQualityOf(options, fileDefaultQuality);
        if (options.tiffAppend)
            tiffpages::appendPage(image, path, options.tiffCompression, quality);
        else
            tiffpages::writeFile(image, path, options.tiffCompression, quality);
        return;
    }
    case ImageFileKind::Bmp: {
        writer::TempFile file(path);
        writer::writeBmp(file.fd(), image, path);
        file.commit();
        return;
    }
    case ImageFileKind::PdfImage:
        writer::checkReplaceableTarget(path);
        tiffpages::writePdfImage(
            tiffpages::pdfImage(image, jpegQualityOf(options, kPdfJpegQuality)), path);
        return;
    }
}

QImage readImageFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        writer::throwReadError(path, fileErrorText(file));
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
