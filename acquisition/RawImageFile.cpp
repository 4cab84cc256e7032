#include "acquisition/RawImageFile.h"
#include "common/SystemErrorText.h"
#include "component_base/ComponentErrors.h"
#include "writers/WriterSupport.h"
#include <QFile>
#include <cstring>
#include <utility>
#include <vector>

namespace rawImage {
namespace {

constexpr char kMagic[8] = {'S', 'C', 'N', 'P', 'A', 'G', 'E', '1'};

struct Header {
    char magic[8];
    int32_t width;
    int32_t height;
    int32_t format;
    int32_t bytesPerLine; // bytes of pixel data per line in the file (no padding)
    int32_t dotsPerMeterX;
    int32_t dotsPerMeterY;
    int32_t colorCount;
    int32_t reserved;
};
static_assert(sizeof(Header) == 40);

bool supportedFormat(QImage::Format f) {
    switch (f) {
    case QImage::Format_Mono:
    case QImage::Format_Grayscale8:
    case QImage::Format_Grayscale16:
    case QImage::Format_RGB888:
    case QImage::Format_RGBX64:
        return true;
    default:
        return false;
    }
}

void setError(QString* error, const QString& text) {
    if (error)
        *error = text;
}

} // namespace

DeviceStatus write(const QImage& source, const QString& path) {
    if (source.isNull())
        return componentError::status(componentError::WriteFailed,
                                      QStringLiteral("immagine vuota"));
    QImage image = source;
    if (!supportedFormat(image.format()))
        image = image.convertToFormat(QImage::Format_RGB888);

    Header h{};
    std::memcpy(h.magic, kMagic, sizeof kMagic);
    h.width = image.width();
    h.height = image.height();
    h.format = int32_t(image.format());
    h.bytesPerLine = int32_t((qint64(image.width()) * image.depth() + 7) / 8);
    h.dotsPerMeterX = image.dotsPerMeterX();
    h.dotsPerMeterY = image.dotsPerMeterY();
    const QList<QRgb> colors = image.colorTable();
    h.colorCount = int32_t(colors.size());

    // Through a temporary file renamed into place, with the system's error number kept, so
    // that a full disk reads as such to whoever has to tell the user.
    return componentError::attempt([&] {
        writer::TempFile file(path);
        writer::writeAll(file.fd(), &h, sizeof h, path);
        for (QRgb c : colors) {
            const quint32 v = c;
            writer::writeAll(file.fd(), &v, sizeof v, path);
        }
        if (image.bytesPerLine() == h.bytesPerLine) {
            writer::writeAll(file.fd(), image.constBits(), size_t(h.bytesPerLine) * h.height, path);
        } else {
            for (int y = 0; y < h.height; ++y)
                writer::writeAll(file.fd(), image.constScanLine(y), size_t(h.bytesPerLine), path);
        }
        // Page files are the session cache's scratch copies, not documents: a killed session
        // leaves their bytes in the system's cache for recovery whether or not they reached
        // the disk, and the working folder lives under the temporary folder, which Debian
        // empties at boot, so waiting for the disk (a fifth of a 300 dpi page's time
        // through SANE) would buy nothing after a power cut either. Documents and the
        // encodings that become them are still flushed.
        file.commit(writer::TempFile::Flush::None);
    });
}

namespace {

/// Reads and checks the header of an open page file, and that the file has exactly the
/// size the header promises.
bool readHeader(QFile& file, Header* h, QString* error) {
    if (file.read(reinterpret_cast<char*>(h), sizeof *h) != sizeof *h ||
        std::memcmp(h->magic, kMagic, sizeof kMagic) != 0) {
        setError(error, QStringLiteral("file di pagina non valido"));
        return false;
    }
    const auto format = QImage::Format(h->format);
    if (!supportedFormat(format) || h->width <= 0 || h->height <= 0 || h->colorCount < 0 ||
        h->colorCount > 256 ||
        h->bytesPerLine !=
            int32_t((qint64(h->width) * QImage::toPixelFormat(format).bitsPerPixel() + 7) / 8)) {
        setError(error, QStringLiteral("intestazione di pagina non valida"));
        return false;
    }
    const qint64 expected =
        qint64(sizeof *h) + qint64(h->colorCount) * 4 + qint64(h->bytesPerLine) * h->height;
    if (file.size() != expected) {
        setError(error, QStringLiteral("file di pagina troncato"));
        return false;
    }
    return true;
}

} // namespace

bool isWhole(const QString& path) {
    QFile file(path);
    Header h{};
    return file.open(QIODevice::ReadOnly) && readHeader(file, &h, nullptr);
}

QImage read(const QString& path, QString* error) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        setError(error, fileErrorText(file));
        return {};
    }
    Header h{};
    if (!readHeader(file, &h, error))
        return {};
    const auto format = QImage::Format(h.format);
    QList<QRgb> colors(h.colorCount);
    for (auto& c : colors) {
        quint32 v = 0;
        file.read(reinterpret_cast<char*>(&v), sizeof v);
        c = v;
    }
    QImage image(h.width, h.height, format);
    if (image.isNull()) {
        setError(error, QStringLiteral("memoria insufficiente"));
        return {};
    }
    if (image.bytesPerLine() == h.bytesPerLine) {
        const qint64 n = qint64(h.bytesPerLine) * h.height;
        if (file.read(reinterpret_cast<char*>(image.bits()), n) != n) {
            setError(error, fileErrorText(file));
            return {};
        }
    } else {
        for (int y = 0; y < h.height; ++y) {
            if (file.read(reinterpret_cast<char*>(image.scanLine(y)), h.bytesPerLine) !=
                h.bytesPerLine) {
                setError(error, fileErrorText(file));
                return {};
            }
        }
    }
    if (!colors.isEmpty())
        image.setColorTable(colors);
    image.setDotsPerMeterX(h.dotsPerMeterX);
    image.setDotsPerMeterY(h.dotsPerMeterY);
    return image;
}

namespace {

// Where pixel (x, y) of a w × h image lands after `quarter` turns of 90 degrees clockwise.
std::pair<int, int> rotatedPosition(int x, int y, int w, int h, int quarter) {
    switch (quarter) {
    case 1:
        return {h - 1 - y, x};
    case 2:
        return {w - 1 - x, h - 1 - y};
    default:
        return {y, w - 1 - x};
    }
}

// Copies pixel (sx, sy) of `src` to (dx, dy) of `dst` for byte-aligned pixels of `bpp` bytes.
template <int Bpp> void rotateBytes(const QImage& src, QImage& dst, int quarter) {
    const int w = src.width(), h = src.height();
    for (int y = 0; y < h; ++y) {
        const uchar* s = src.constScanLine(y);
        for (int x = 0; x < w; ++x) {
            const auto [dx, dy] = rotatedPosition(x, y, w, h, quarter);
            std::memcpy(dst.scanLine(dy) + qsizetype(dx) * Bpp, s + qsizetype(x) * Bpp, Bpp);
        }
    }
}

void rotateBits(const QImage& src, QImage& dst, int quarter) {
    const int w = src.width(), h = src.height();
    dst.fill(0);
    for (int y = 0; y < h; ++y) {
        const uchar* s = src.constScanLine(y);
        for (int x = 0; x < w; ++x) {
            if (!(s[x >> 3] & (0x80 >> (x & 7))))
                continue;
            const auto [dx, dy] = rotatedPosition(x, y, w, h, quarter);
            dst.scanLine(dy)[dx >> 3] |= uchar(0x80 >> (dx & 7));
        }
    }
}

} // namespace

QImage rotated(const QImage& image, int degrees) {
    const int quarter = ((degrees / 90) % 4 + 4) % 4;
    if (quarter == 0 || image.isNull())
        return image;
    QImage src = image;
    if (!supportedFormat(src.format()))
        src = src.convertToFormat(QImage::Format_RGB888);
    const bool swap = quarter != 2;
    QImage dst(swap ? src.height() : src.width(), swap ? src.width() : src.height(), src.format());
    if (dst.isNull())
        return {};
    switch (src.depth()) {
    case 1:
        rotateBits(src, dst, quarter);
        break;
    case 8:
        rotateBytes<1>(src, dst, quarter);
        break;
    case 16:
        rotateBytes<2>(src, dst, quarter);
        break;
    case 24:
        rotateBytes<3>(src, dst, quarter);
        break;
    default:
        rotateBytes<8>(src, dst, quarter);
        break;
    }
    if (src.colorCount() > 0)
        dst.setColorTable(src.colorTable());
    dst.setDotsPerMeterX(swap ? src.dotsPerMeterY() : src.dotsPerMeterX());
    dst.setDotsPerMeterY(swap ? src.dotsPerMeterX() : src.dotsPerMeterY());
    return dst;
}

} // namespace rawImage
