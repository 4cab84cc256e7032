#include "sane_worker/ImageConversion.h"
#include <QRgba64>
#include <algorithm>
#include <cstring>
#include <memory>

namespace imageconv {

namespace {

// ITU-R BT.601 weights in 8.8 fixed point, the luminance scanners use for their own grey.
inline uint8_t luma(unsigned r, unsigned g, unsigned b) {
    return uint8_t((77 * r + 150 * g + 29 * b + 128) >> 8);
}

// One line of the page as 8-bit grey into `out` (width bytes).
void greyLine(const QImage& page, int y, uint8_t* out) {
    const int w = page.width();
    const uchar* in = page.constScanLine(y);
    switch (page.format()) {
    case QImage::Format_Grayscale8:
        std::memcpy(out, in, size_t(w));
        break;
    case QImage::Format_Grayscale16: {
        const auto* s = reinterpret_cast<const quint16*>(in);
        for (int x = 0; x < w; ++x)
            out[x] = uint8_t(s[x] >> 8);
        break;
    }
    case QImage::Format_RGB888:
        for (int x = 0; x < w; ++x)
            out[x] = luma(in[3 * x], in[3 * x + 1], in[3 * x + 2]);
        break;
    case QImage::Format_RGBX64: {
        const auto* s = reinterpret_cast<const QRgba64*>(in);
        for (int x = 0; x < w; ++x)
            out[x] = luma(s[x].red() >> 8, s[x].green() >> 8, s[x].blue() >> 8);
        break;
    }
    default: {
        // Not a format a device frame arrives in; slow but correct for whatever it is.
        for (int x = 0; x < w; ++x) {
            const QRgb p = page.pixel(x, y);
            out[x] = luma(uint8_t(qRed(p)), uint8_t(qGreen(p)), uint8_t(qBlue(p)));
        }
        break;
    }
    }
}

} // namespace

QImage toGray8(const QImage& page) {
    if (page.isNull() || page.format() == QImage::Format_Grayscale8)
        return page;
    QImage grey(page.size(), QImage::Format_Grayscale8);
    if (grey.isNull())
        return grey;
    for (int y = 0; y < page.height(); ++y)
        greyLine(page, y, grey.scanLine(y));
    return grey;
}

QImage toBlackAndWhite(const QImage& page, int threshold) {
    if (page.isNull() || page.format() == QImage::Format_Mono)
        return page;
    const int w = page.width();
    QImage mono(page.size(), QImage::Format_Mono);
    if (mono.isNull())
        return mono;
    mono.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    const int t = std::clamp(threshold, 0, 256);
    std::unique_ptr<uint8_t[]> line(new uint8_t[size_t(w)]);
    for (int y = 0; y < page.height(); ++y) {
        const uint8_t* grey = line.get();
        if (page.format() == QImage::Format_Grayscale8)
            grey = page.constScanLine(y);
        else
            greyLine(page, y, line.get());
        uchar* out = mono.scanLine(y);
        std::memset(out, 0, size_t(mono.bytesPerLine()));
        for (int x = 0; x < w; ++x)
            if (grey[x] < t)
                out[x >> 3] |= uchar(0x80 >> (x & 7)); // most significant bit first
    }
    return mono;
}

} // namespace imageconv
