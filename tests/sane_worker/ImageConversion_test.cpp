// Pixel types a device lacks, made from the ones it has: grey from colour, black and white by
// threshold from grey or colour, at any width (bit packing) and sample depth.
#include "sane_worker/ImageConversion.h"
#include <QColor>
#include <gtest/gtest.h>

using namespace imageconv;

namespace {

/// A page of `width` pixels per line whose pixel x has grey level `level(x)`, in `format`.
QImage page(QImage::Format format, int width, const std::function<int(int)>& level) {
    QImage image(width, 3, format);
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < width; ++x) {
            const int g = level(x);
            if (format == QImage::Format_Grayscale16)
                reinterpret_cast<quint16*>(image.scanLine(y))[x] = quint16(g * 257);
            else
                image.setPixelColor(x, y, QColor(g, g, g));
        }
    return image;
}

TEST(ImageConversion, ThresholdsEveryFormatADeviceDelivers) {
    // Levels 0, 10, ..., 250: below 128 black, from 128 on white; odd widths cross bytes.
    auto ramp = [](int x) { return (x % 26) * 10; };
    for (QImage::Format format : {QImage::Format_Grayscale8, QImage::Format_Grayscale16,
                                  QImage::Format_RGB888, QImage::Format_RGBX64}) {
        for (int width : {1, 7, 9, 33}) {
            SCOPED_TRACE(testing::Message() << format << " width " << width);
            const QImage mono = toBlackAndWhite(page(format, width, ramp), 128);
            ASSERT_EQ(mono.format(), QImage::Format_Mono);
            ASSERT_EQ(mono.size(), QSize(width, 3));
            EXPECT_EQ(mono.color(1), qRgb(0, 0, 0)); // a set bit is black, as SANE's 1-bit frames
            for (int x = 0; x < width; ++x)
                EXPECT_EQ(mono.pixel(x, 2), ramp(x) < 128 ? qRgb(0, 0, 0) : qRgb(255, 255, 255))
                    << "x " << x;
        }
    }
}

TEST(ImageConversion, ThresholdEnds) {
    const QImage grey = page(QImage::Format_Grayscale8, 3, [](int x) { return x == 0 ? 0 : 255; });
    struct Case {
        int threshold;
        QRgb first, last;
    };
    for (Case c : {Case{0, qRgb(255, 255, 255), qRgb(255, 255, 255)}, // nothing is below 0
                   Case{1, qRgb(0, 0, 0), qRgb(255, 255, 255)},
                   Case{255, qRgb(0, 0, 0), qRgb(255, 255, 255)},
                   Case{256, qRgb(0, 0, 0), qRgb(0, 0, 0)}, // everything is below
                   Case{-5, qRgb(255, 255, 255), qRgb(255, 255, 255)}}) {
        SCOPED_TRACE(c.threshold);
        const QImage mono = toBlackAndWhite(grey, c.threshold);
        EXPECT_EQ(mono.pixel(0, 0), c.first);
        EXPECT_EQ(mono.pixel(2, 0), c.last);
    }
}

TEST(ImageConversion, GreyIsTheLuminanceOfColour) {
    QImage colour(4, 1, QImage::Format_RGB888);
    const QRgb pixels[] = {qRgb(255, 0, 0), qRgb(0, 255, 0), qRgb(0, 0, 255), qRgb(200, 200, 200)};
    for (int x = 0; x < 4; ++x)
        colour.setPixel(x, 0, pixels[x]);
    const QImage grey = toGray8(colour);
    ASSERT_EQ(grey.format(), QImage::Format_Grayscale8);
    const int expected[] = {77, 150, 29, 200}; // BT.601 weights
    for (int x = 0; x < 4; ++x)
        EXPECT_NEAR(grey.constScanLine(0)[x], expected[x], 1) << x;
    EXPECT_EQ(toGray8(colour.convertToFormat(QImage::Format_RGBX64)), grey);
}

TEST(ImageConversion, PagesAlreadyInTheTypeAndNullPagesPassThrough) {
    const QImage grey = page(QImage::Format_Grayscale8, 5, [](int x) { return x * 50; });
    EXPECT_EQ(toGray8(grey).constBits(), grey.constBits()); // not even copied
    const QImage mono = toBlackAndWhite(grey, 128);
    EXPECT_EQ(toBlackAndWhite(mono, 10).constBits(), mono.constBits());
    EXPECT_TRUE(toGray8(QImage()).isNull());
    EXPECT_TRUE(toBlackAndWhite(QImage(), 128).isNull());
}

} // namespace
