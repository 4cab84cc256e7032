#include "writers/Codecs.h"

#include "component_base/ScanError.h"
#include "writers/TiffPages.h"
#include "writers/WriterSupport.h"

namespace codecs {

QByteArray encodeJpeg(const QImage& image8, int quality, const QString& pathForErrors) {
    QByteArray stream;
    try {
        stream = tiffpages::jpegStream(image8, quality);
    } catch (const ScanError& e) {
        writer::throwWriteError(pathForErrors, e.text());
    }
    // A JFIF header after SOI: names the colour model outright and carries the resolution.
    const int dpiX = int(image8.dotsPerMeterX() * 0.0254 + 0.5);
    const int dpiY = int(image8.dotsPerMeterY() * 0.0254 + 0.5);
    const bool dpi = dpiX > 0 && dpiY > 0 && dpiX < 65536 && dpiY < 65536;
    const unsigned char jfif[18] = {0xFF,
                                    0xE0,
                                    0x00,
                                    0x10,
                                    'J',
                                    'F',
                                    'I',
                                    'F',
                                    0x00,
                                    0x01,
                                    0x01,
                                    uchar(dpi ? 1 : 0),
                                    uchar(dpi ? dpiX >> 8 : 0),
                                    uchar(dpi ? dpiX & 0xFF : 1),
                                    uchar(dpi ? dpiY >> 8 : 0),
                                    uchar(dpi ? dpiY & 0xFF : 1),
                                    0x00,
                                    0x00};
    stream.insert(2, reinterpret_cast<const char*>(jfif), sizeof jfif);
    return stream;
}

} // namespace codecs
