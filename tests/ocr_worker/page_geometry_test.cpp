// Pages fed askew straightened and pages fed upside down found, on rendered Italian A4 pages
// at 300 dpi; how straight a page came back is read from registration marks drawn on it.
#include "ocr_worker/PageGeometry.h"
#include "support/GeometryPages.h"
#include "virtual_scanner/PageRenderer.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstring>

namespace {

QImage inFormat(const QImage& grey, OcrPixelFormat f) {
    switch (f) {
    case OcrPixelFormat::Mono:
        return lineart(grey);
    case OcrPixelFormat::Gray8:
        return grey;
    case OcrPixelFormat::Rgb24:
        return grey.convertToFormat(QImage::Format_RGB888);
    }
    return grey;
}

struct SkewCase {
    const char* name;
    double degrees;
    OcrPixelFormat format;
};

void PrintTo(const SkewCase& c, std::ostream* os) {
    *os << c.name;
}

class Askew : public ::testing::TestWithParam<SkewCase> {};

// A page turned 0.5° to 3° either way comes back within 0.1°, the same size and format, with
// white where the turn brought pixels in.
TEST_P(Askew, Straightened) {
    const SkewCase& c = GetParam();
    const QImage image = inFormat(turnedTextPage(c.degrees), c.format);
    const OcrPixels pixels = pixelsOf(image, 300);
    if (std::fabs(c.degrees) <= 1) { // the marks still lie where they are looked for
        EXPECT_NEAR(residualSlant(pixels), c.degrees, 0.02);
    }
    const Straightening s = straightenPage(pixels);
    ASSERT_TRUE(s.error.isEmpty()) << qPrintable(s.error);
    ASSERT_TRUE(s.turned) << s.skew.angle << " confidence " << s.skew.confidence;
    EXPECT_EQ(s.page.format, c.format);
    EXPECT_EQ(s.page.width, image.width());
    EXPECT_EQ(s.page.height, image.height());
    EXPECT_LT(std::fabs(residualSlant(s.page.view())), 0.1) << "found " << s.skew.angle;
    const auto dark = darknessOf(s.page.view());
    EXPECT_EQ(dark(0, 0), 0);
    EXPECT_EQ(dark(s.page.width - 1, s.page.height - 1), 0);
}

INSTANTIATE_TEST_SUITE_P(Fed, Askew,
                         ::testing::Values(SkewCase{"half", 0.5, OcrPixelFormat::Gray8},
                                           SkewCase{"minusHalf", -0.5, OcrPixelFormat::Gray8},
                                           SkewCase{"one", 1.0, OcrPixelFormat::Gray8},
                                           SkewCase{"minusTwo", -2.0, OcrPixelFormat::Gray8},
                                           SkewCase{"three", 3.0, OcrPixelFormat::Gray8},
                                           SkewCase{"minusThree", -3.0, OcrPixelFormat::Gray8},
                                           SkewCase{"lineart", 2.0, OcrPixelFormat::Mono},
                                           SkewCase{"colour", -1.5, OcrPixelFormat::Rgb24}),
                         [](const auto& info) { return std::string(info.param.name); });

// A page within the guides' play, one turned on purpose far beyond a feeder's skew, and a page
// without lines are left as they are.
TEST(PageGeometry, LeftAsTheyAre) {
    const struct {
        const char* name;
        QImage image;
    } cases[] = {
        {"straight", turnedTextPage(0)},
        {"a tenth", turnedTextPage(0.1)},
        {"eight degrees", turnedTextPage(8)},
        {"blank", scannedSide(AllNoise)},
    };
    for (const auto& c : cases) {
        const Straightening s = straightenPage(pixelsOf(c.image, 300));
        EXPECT_TRUE(s.error.isEmpty()) << c.name;
        EXPECT_FALSE(s.turned) << c.name << ": found " << s.skew.angle;
        EXPECT_TRUE(s.page.empty()) << c.name;
    }
}

// A half turn keeps every pixel in its format: twice gives the page back byte for byte, once
// puts the first pixel last.
TEST(PageGeometry, HalfTurnKeepsThePixels) {
    QImage colour(101, 37, QImage::Format_RGB888);
    for (int y = 0; y < colour.height(); ++y)
        for (int x = 0; x < colour.width(); ++x)
            colour.setPixel(x, y, qRgb(x * 2, y * 5, (x * y) % 251));
    QImage grey = colour.convertToFormat(QImage::Format_Grayscale8);
    for (const QImage& image : {colour, grey, lineart(grey)}) {
        const OcrPixels pixels = pixelsOf(image, 300);
        const PagePixels once = turnPageHalf(pixels);
        ASSERT_FALSE(once.empty());
        EXPECT_EQ(once.format, pixels.format);
        const auto before = darknessOf(pixels), after = darknessOf(once.view());
        EXPECT_EQ(after(0, 0), before(image.width() - 1, image.height() - 1));
        EXPECT_EQ(after(image.width() - 1, 0), before(0, image.height() - 1));
        const PagePixels twice = turnPageHalf(once.view());
        const size_t lineBytes = pixels.format == OcrPixelFormat::Mono    ? (image.width() + 7) / 8
                                 : pixels.format == OcrPixelFormat::Rgb24 ? image.width() * 3
                                                                          : image.width();
        for (int y = 0; y < image.height(); ++y) {
            const uint8_t* a = image.constScanLine(y);
            const uint8_t* b = twice.data.data() + size_t(y) * twice.bytesPerLine;
            if (pixels.format == OcrPixelFormat::Mono) {
                // The padding bits past the width are not pixels.
                const int last = image.width() % 8;
                ASSERT_EQ(std::memcmp(a, b, lineBytes - 1), 0) << y;
                const uint8_t mask = uint8_t(last ? 0xFF << (8 - last) : 0xFF);
                ASSERT_EQ(a[lineBytes - 1] & mask, b[lineBytes - 1] & mask) << y;
            } else {
                ASSERT_EQ(std::memcmp(a, b, lineBytes), 0) << y;
            }
        }
    }
}

// Pixels of impossible geometry are an error for each unit, never a page.
TEST(PageGeometry, BadPixelsRefused) {
    const uint8_t byte = 0;
    const OcrPixels bad[] = {
        {nullptr, 10, 10, 10, 300, OcrPixelFormat::Gray8},
        {&byte, 0, 10, 10, 300, OcrPixelFormat::Gray8},
        {&byte, 10, 10, 9, 300, OcrPixelFormat::Gray8},
        {&byte, 10, 10, 20, 300, OcrPixelFormat::Rgb24},
        {&byte, 100'000, 100'000, 100'000, 300, OcrPixelFormat::Gray8},
    };
    OrientationFinder finder;
    for (const OcrPixels& p : bad) {
        EXPECT_FALSE(findSkew(p).error.isEmpty());
        const Straightening s = straightenPage(p);
        EXPECT_FALSE(s.error.isEmpty());
        EXPECT_FALSE(s.turned);
        EXPECT_TRUE(turnPageHalf(p).empty());
        const OrientationFinding f = finder.find(p);
        EXPECT_FALSE(f.error.isEmpty());
        EXPECT_FALSE(f.upsideDown());
    }
}

class Orientation : public ::testing::Test {
protected:
    void SetUp() override {
        // Tesseract's OpenMP reads this once at start: ctest must have set it.
        ASSERT_STREQ(std::getenv("OMP_THREAD_LIMIT"), "1");
    }
    OrientationFinder finder;
};

// Upside-down pages of text are found and turned the right way up; upright pages of every kind
// are never taken for upside down, nor are pages with too little text to tell.
TEST_F(Orientation, UpsideDownFoundUprightNever) {
    auto half = [](const QImage& i) { return i.transformed(QTransform().rotate(180)); };
    QImage negative = half(italianPage(PageKind::Sans).image);
    negative.invertPixels();
    const struct {
        const char* name;
        QImage image;
        bool upsideDown;
    } cases[] = {
        {"sans", italianPage(PageKind::Sans).image, false},
        {"serif", italianPage(PageKind::Serif).image, false},
        {"degraded", italianPage(PageKind::Degraded).image, false},
        {"lineart", italianPage(PageKind::BlackAndWhite).image, false},
        {"signature", sparseSide(SparseMark::Signature), false},
        {"sans upside down", half(italianPage(PageKind::Sans).image), true},
        {"lineart upside down", half(italianPage(PageKind::BlackAndWhite).image), true},
        {"light on dark upside down", negative, true},
    };
    for (const auto& c : cases) {
        const OcrPixels pixels = pixelsOf(c.image, 300);
        const OrientationFinding f = finder.find(pixels);
        EXPECT_EQ(f.upsideDown(), c.upsideDown) << c.name << ": " << f.degrees << "° confidence "
                                                << f.confidence << " " << qPrintable(f.error);
        if (!c.upsideDown)
            continue;
        const PagePixels turned = turnPageHalf(pixels);
        const OrientationFinding again = finder.find(turned.view());
        EXPECT_TRUE(again.found) << c.name;
        EXPECT_EQ(again.degrees, 0) << c.name;
    }
}

// The virtual office feeder's upside-down sheet, as a user scans it: every pixel type and
// resolution the scanner offers, both sides, found upside down.
TEST_F(Orientation, VirtualScannersSheetTurnedOnlyWhenUpsideDownAtEveryOfferedSetting) {
    for (const int32_t pixelType : {1, 2}) {
        for (const int dpi : {150, 200, 300}) {
            for (const bool back : {false, true}) {
                for (const bool upsideDown : {true, false}) {
                    PageSpec layout;
                    layout.pixelType = pixelType;
                    layout.dpiX = layout.dpiY = dpi;
                    layout.scannerName = QStringLiteral("Scanner ADF ufficio virtuale");
                    layout.sheet = 3;
                    layout.back = back;
                    layout.image = back ? 6 : 5;
                    layout.upsideDown = upsideDown;
                    const QImage page = renderPage(layout);
                    const OrientationFinding f = finder.find(pixelsOf(page, dpi));
                    EXPECT_EQ(f.upsideDown(), upsideDown)
                        << (pixelType == 2 ? "colour " : "grey ") << dpi << " dpi "
                        << (back ? "back" : "front") << (upsideDown ? " turned" : " upright")
                        << ": " << f.degrees << "° confidence " << f.confidence << " "
                        << qPrintable(f.error);
                }
            }
        }
    }
}

// Without the "osd" data the finder says which package brings it, with data tesseract cannot
// read it says so; either way it finds nothing, and an upside-down page stays as it is.
TEST_F(Orientation, MissingOrBadDataFindsNothing) {
    const QImage page = italianPage(PageKind::Sans).image.transformed(QTransform().rotate(180));
    for (const bool present : {false, true}) {
        QTemporaryDir data;
        if (present) {
            QFile garbage(data.filePath(QStringLiteral("osd.traineddata")));
            ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
            garbage.write(QByteArray(4096, 'x'));
        }
        OrientationFinder finder(data.path());
        const OrientationFinding f = finder.find(pixelsOf(page, 300));
        EXPECT_FALSE(f.found) << present;
        EXPECT_FALSE(f.upsideDown()) << present;
        EXPECT_TRUE(f.error.contains(present ? QStringLiteral("illeggibili")
                                             : QStringLiteral("tesseract-ocr-osd")))
            << qPrintable(f.error);
    }
}

} // namespace
