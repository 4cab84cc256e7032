#include "writers/PdfPageImage.h"

#include "writers/Codecs.h"
#include "writers/TiffFile.h"
#include "writers/TiffPages.h"
#include "writers/WriterSupport.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

namespace tiffpages {

using namespace tifffile;
using writer::PixelKind;

namespace {

// The image description that marks a PDF image file's JPEG data with its quality.
const QString pdfImageNote = QStringLiteral("PDF image, JPEG quality ");

uint16_t bigEndian16(const QByteArray& data, qsizetype at) {
    return uint16_t((uchar(data[at]) << 8) | uchar(data[at + 1]));
}

// The frame header of a JPEG stream agrees with what the file says of the image: a stream
// that does not would make a broken PDF image, as a PDF reader takes the sizes from us.
bool jpegFrameMatches(const QByteArray& data, int width, int height, int components) {
    if (data.size() < 4 || uchar(data[0]) != 0xFF || uchar(data[1]) != 0xD8)
        return false;
    qsizetype at = 2;
    while (at + 4 <= data.size()) {
        if (uchar(data[at]) != 0xFF)
            return false;
        const uchar marker = uchar(data[at + 1]);
        const uint16_t length = bigEndian16(data, at + 2);
        if (length < 2 || at + 2 + length > data.size())
            return false;
        if (marker == 0xC0 || marker == 0xC1 || marker == 0xC2) { // baseline, extended, progressive
            return length >= 8 && bigEndian16(data, at + 5) == height &&
                   bigEndian16(data, at + 7) == width && uchar(data[at + 9]) == components;
        }
        at += 2 + length;
    }
    return false;
}

} // namespace

PdfImage pdfImage(const QImage& source, int quality) {
    PdfImage image;
    image.width = source.width();
    image.height = source.height();
    image.dotsPerMeterX = source.dotsPerMeterX();
    image.dotsPerMeterY = source.dotsPerMeterY();
    if (writer::pixelKind(source) == PixelKind::Mono) {
        image.coding = PdfImage::Coding::G4;
        image.data = g4Strip(source);
        return image;
    }
    const QImage img = writer::eightBit(source);
    image.coding = PdfImage::Coding::Jpeg;
    image.grey = img.format() == QImage::Format_Grayscale8;
    image.quality = quality;
    image.data = codecs::encodeJpeg(img, quality, QStringLiteral("PDF page"));
    return image;
}

void writePdfImage(const PdfImage& image, const QString& path) {
    if (image.data.isEmpty() || image.width <= 0 || image.height <= 0)
        writer::throwWriteError(path, QStringLiteral("no image to write"));
    writer::TempFile file(path);
    {
        Messages messages;
        TiffPtr t = openFd(file.fd(), path, "w", &messages);
        if (!t)
            throwTiffWriteError(path, messages);
        TIFF* tif = t.get();
        const bool g4 = image.coding == PdfImage::Coding::G4;
        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(image.width));
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(image.height));
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, g4 ? 1 : 8);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, g4 || image.grey ? 1 : 3);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, g4 ? COMPRESSION_CCITTFAX4 : COMPRESSION_JPEG);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC,
                     g4           ? PHOTOMETRIC_MINISWHITE
                     : image.grey ? PHOTOMETRIC_MINISBLACK
                                  : PHOTOMETRIC_YCBCR);
        if (!g4) {
            TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION,
                         (pdfImageNote + QString::number(image.quality)).toLatin1().constData());
            if (!image.grey) {
                // What the stream holds (4:2:0, full-range YCbCr), for readers of the file.
                TIFFSetField(tif, TIFFTAG_YCBCRSUBSAMPLING, 2, 2);
                float reference[6] = {0, 255, 128, 255, 128, 255};
                TIFFSetField(tif, TIFFTAG_REFERENCEBLACKWHITE, reference);
            }
        }
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, uint32_t(image.height));
        if (image.dotsPerMeterX > 0 && image.dotsPerMeterY > 0) {
            TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
            TIFFSetField(tif, TIFFTAG_XRESOLUTION, float(image.dotsPerMeterX * 0.0254));
            TIFFSetField(tif, TIFFTAG_YRESOLUTION, float(image.dotsPerMeterY * 0.0254));
        }
        const tmsize_t size = tmsize_t(image.data.size());
        // The data is written as it is: libtiff's encoder never sees it.
        if (TIFFWriteRawStrip(tif, 0, const_cast<char*>(image.data.constData()), size) != size ||
            !TIFFWriteDirectory(tif) || !TIFFFlush(tif))
            throwTiffWriteError(path, messages);
    }
    file.commit();
}

std::optional<PdfImage> readPdfImage(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    Messages messages;
    TiffPtr t = openFd(fd, path, "r", &messages);
    ::close(fd);
    if (!t)
        return std::nullopt;
    TIFF* tif = t.get();
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, samples = 0, photometric = 0, compression = 0, planar = 0, fill = 0;
    if (TIFFNumberOfDirectories(tif) != 1 || TIFFIsTiled(tif) || TIFFNumberOfStrips(tif) != 1 ||
        !TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) ||
        !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height) ||
        !TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits) ||
        !TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples) ||
        !TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) ||
        !TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression) ||
        !TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar) ||
        !TIFFGetFieldDefaulted(tif, TIFFTAG_FILLORDER, &fill) || planar != PLANARCONFIG_CONTIG ||
        fill != FILLORDER_MSB2LSB || width == 0 || height == 0 || width > 1000000 ||
        height > 1000000)
        return std::nullopt;

    PdfImage image;
    image.width = int(width);
    image.height = int(height);
    if (compression == COMPRESSION_CCITTFAX4) {
        uint32_t options = 0;
        TIFFGetFieldDefaulted(tif, TIFFTAG_GROUP4OPTIONS, &options);
        if (bits != 1 || samples != 1 || photometric != PHOTOMETRIC_MINISWHITE || options != 0)
            return std::nullopt;
        image.coding = PdfImage::Coding::G4;
    } else if (compression == COMPRESSION_JPEG) {
        const bool grey = samples == 1 && photometric == PHOTOMETRIC_MINISBLACK;
        const bool colour = samples == 3 && photometric == PHOTOMETRIC_YCBCR;
        char* note = nullptr;
        uint32_t tableSize = 0;
        void* tables = nullptr;
        // Abbreviated strips need the file's tables: not a stream a PDF can carry alone.
        if (bits != 8 || !(grey || colour) ||
            TIFFGetField(tif, TIFFTAG_JPEGTABLES, &tableSize, &tables) ||
            !TIFFGetField(tif, TIFFTAG_IMAGEDESCRIPTION, &note))
            return std::nullopt;
        const QString text = QString::fromLatin1(note);
        bool ok = false;
        image.quality =
            text.startsWith(pdfImageNote) ? text.mid(pdfImageNote.size()).toInt(&ok) : 0;
        if (!ok || image.quality < 1 || image.quality > 100)
            return std::nullopt;
        image.coding = PdfImage::Coding::Jpeg;
        image.grey = grey;
    } else {
        return std::nullopt;
    }
    float xres = 0, yres = 0;
    uint16_t unit = 0;
    if (TIFFGetField(tif, TIFFTAG_RESOLUTIONUNIT, &unit) && unit == RESUNIT_INCH &&
        TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xres) &&
        TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yres)) {
        image.dotsPerMeterX = int(xres / 0.0254 + 0.5);
        image.dotsPerMeterY = int(yres / 0.0254 + 0.5);
    }
    const tmsize_t size = TIFFRawStripSize(tif, 0);
    if (size <= 0 || size > (tmsize_t(1) << 30))
        return std::nullopt;
    image.data = QByteArray(qsizetype(size), Qt::Uninitialized);
    if (TIFFReadRawStrip(tif, 0, image.data.data(), size) != size)
        return std::nullopt;
    if (image.coding == PdfImage::Coding::Jpeg &&
        !jpegFrameMatches(image.data, image.width, image.height, image.grey ? 1 : 3))
        return std::nullopt;
    return image;
}

} // namespace tiffpages
