// Image files written by writeImageFile, judged by third-party readers (tiffinfo, ImageMagick
// identify) and by reading them back pixel for pixel.
#include "writers/ImageWriters.h"
#include "component_base/ScanError.h"
#include "writers/TiffPages.h"
#include "support/TestTools.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTransform>
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

namespace {

// A page with text-like strokes, a photo-like gradient and light noise, in buffer format `f`.
QImage documentPage(QImage::Format f, int w, int h, quint32 seed = 7) {
    QRandomGenerator rng(seed);
    QImage rgb(w, h, QImage::Format_RGB888);
    for (int y = 0; y < h; ++y) {
        uchar* line = rgb.scanLine(y);
        for (int x = 0; x < w; ++x) {
            int r = 250, g = 248, b = 240;
            if (x > w / 2 && y > h / 2) { // the "photo"
                r = 255 * x / w;
                g = 255 * y / h;
                b = 128;
            } else if ((y / 6) % 3 == 0 && (x / 4) % 5 != 0) { // the "text"
                r = g = b = 20;
            }
            const int noise = int(rng.bounded(9)) - 4;
            line[3 * x] = uchar(qBound(0, r + noise, 255));
            line[3 * x + 1] = uchar(qBound(0, g + noise, 255));
            line[3 * x + 2] = uchar(qBound(0, b + noise, 255));
        }
    }
    rgb.setDotsPerMeterX(11811); // 300 dpi
    rgb.setDotsPerMeterY(11811);
    if (f == QImage::Format_Mono)
        return rgb.convertToFormat(QImage::Format_Mono, Qt::ThresholdDither);
    return rgb.convertToFormat(f);
}

// Same pixels, compared through 8-bit RGB so that different colour tables or depths of the
// same picture compare equal.
double meanDifference(const QImage& a, const QImage& b) {
    if (a.size() != b.size())
        return 1e9;
    const QImage x = a.convertToFormat(QImage::Format_RGB888);
    const QImage y = b.convertToFormat(QImage::Format_RGB888);
    double sum = 0;
    for (int row = 0; row < x.height(); ++row) {
        const uchar* p = x.constScanLine(row);
        const uchar* q = y.constScanLine(row);
        for (int i = 0; i < 3 * x.width(); ++i)
            sum += std::abs(int(p[i]) - int(q[i]));
    }
    return sum / (3.0 * x.width() * x.height());
}

class WriterFiles : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }
    QStringList leftovers() const {
        return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
    }
};

struct KindCase {
    const char* name;
    QImage::Format format;
};
const KindCase kinds[] = {{"mono", QImage::Format_Mono},
                          {"grey8", QImage::Format_Grayscale8},
                          {"grey16", QImage::Format_Grayscale16},
                          {"rgb8", QImage::Format_RGB888},
                          {"rgb16", QImage::Format_RGBX64}};

TEST_F(WriterFiles, EveryKindInEveryFormatReadsBackAndIsRecognisedByImageMagick) {
    for (const KindCase& kind : kinds) {
        const QImage page = documentPage(kind.format, 301, 207);
        for (const char* ext : {"jpg", "tif", "bmp"}) {
            SCOPED_TRACE(std::string(kind.name) + "." + ext);
            const QString file = path(QStringLiteral("page_%1.%2").arg(kind.name, ext));
            writeImageFile(page, file, {});
            const QImage back = readImageFile(file);
            ASSERT_EQ(back.size(), page.size());
            const double diff = meanDifference(back, page);
            if (QLatin1String(ext) == QLatin1String("jpg"))
                EXPECT_LT(diff, kind.format == QImage::Format_Mono ? 40.0 : 6.0);
            else
                EXPECT_LT(diff, 0.51); // 16-bit pages become 8-bit in BMP: rounding only

            const ToolResult id =
                runTool(QStringLiteral("identify"),
                        {QStringLiteral("-format"), QStringLiteral("%m %w %h\n"), file});
            ASSERT_EQ(id.exitCode, 0) << id.output.toStdString();
            const QString expectedType = QLatin1String(ext) == QLatin1String("jpg")   ? "JPEG"
                                         : QLatin1String(ext) == QLatin1String("tif") ? "TIFF"
                                                                                      : "BMP";
            EXPECT_TRUE(id.output.startsWith(expectedType) && id.output.contains(" 301 207"))
                << id.output.toStdString();
        }
        EXPECT_EQ(leftovers().filter(QStringLiteral(".part")).size(), 0);
    }
}

TEST_F(WriterFiles, BmpDepthFollowsTheImageKind) {
    const struct {
        QImage::Format format;
        int bits;
    } cases[] = {{QImage::Format_Mono, 1},        {QImage::Format_Grayscale8, 8},
                 {QImage::Format_Grayscale16, 8}, {QImage::Format_RGB888, 24},
                 {QImage::Format_RGBX64, 24},     {QImage::Format_ARGB32, 24}};
    for (const auto& c : cases) {
        SCOPED_TRACE(int(c.format));
        const QString file = path(QStringLiteral("depth.bmp"));
        writeImageFile(documentPage(c.format, 77, 31), file, {});
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray head = f.read(54);
        ASSERT_EQ(head.size(), 54);
        EXPECT_EQ(uchar(head[28]), c.bits); // biBitCount
        const ToolResult id =
            runTool(QStringLiteral("identify"),
                    {QStringLiteral("-format"), QStringLiteral("%w %h %z"), file});
        EXPECT_EQ(id.output.trimmed(), QStringLiteral("77 31 %1").arg(c.bits == 24 ? 8 : c.bits))
            << id.output.toStdString();
    }
}

TEST_F(WriterFiles, TiffCompressionTagFollowsTheRequestAndTheImageKind) {
    const struct {
        QImage::Format format;
        int requested;
        const char* scheme; // tiffinfo's "Compression Scheme"
        int bits;
    } cases[] = {
        {QImage::Format_Mono, 0, "CCITT Group 4", 1},
        {QImage::Format_Grayscale8, 0, "LZW", 8},
        {QImage::Format_RGB888, 0, "LZW", 8},
        {QImage::Format_Mono, 1, "None", 1},
        {QImage::Format_RGB888, 1, "None", 8},
        {QImage::Format_Mono, 4, "CCITT Group 4", 1},
        {QImage::Format_Grayscale8, 4, "LZW", 8}, // G4 cannot code grey: lossless LZW instead
        {QImage::Format_RGB888, 5, "LZW", 8},
        {QImage::Format_Grayscale8, 7, "JPEG", 8},
        {QImage::Format_RGB888, 7, "JPEG", 8},
        {QImage::Format_Mono, 7, "CCITT Group 4", 1}, // JPEG has no 1-bit form
        {QImage::Format_Grayscale16, 7, "JPEG", 8},   // nor (here) a 16-bit one
        {QImage::Format_RGB888, 8, "AdobeDeflate", 8},
        {QImage::Format_Grayscale16, 5, "LZW", 16},
        {QImage::Format_RGBX64, 8, "AdobeDeflate", 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.scheme) + " from " + std::to_string(c.requested) + " format " +
                     std::to_string(int(c.format)));
        const QImage page = documentPage(c.format, 203, 157);
        const QString file = path(QStringLiteral("c.tif"));
        writeImageFile(page, file, {0, c.requested, false});
        const ToolResult info = runTool(QStringLiteral("tiffinfo"), {file});
        ASSERT_EQ(info.exitCode, 0) << info.output.toStdString();
        EXPECT_TRUE(info.output.contains(QStringLiteral("Compression Scheme: ") + c.scheme))
            << info.output.toStdString();
        EXPECT_TRUE(info.output.contains(QStringLiteral("Bits/Sample: %1\n").arg(c.bits)))
            << info.output.toStdString();
        EXPECT_TRUE(info.output.contains(QStringLiteral("Image Width: 203 Image Length: 157")));
        const QImage back = readImageFile(file);
        EXPECT_LT(meanDifference(back, page),
                  QLatin1String(c.scheme) == QLatin1String("JPEG") ? 6.0 : 0.51);
        if (c.bits == 16) { // kept at 16 bits, exactly
            EXPECT_EQ(back.convertToFormat(page.format()), page);
        }
    }
}

TEST_F(WriterFiles, ResolutionIsCarriedIntoEveryFormat) {
    QImage page = documentPage(QImage::Format_Grayscale8, 40, 30);
    page.setDotsPerMeterX(23622); // 600 dpi
    page.setDotsPerMeterY(23622);
    for (const char* ext : {"jpg", "tif", "bmp"}) {
        SCOPED_TRACE(ext);
        const QString file = path(QStringLiteral("dpi.") + ext);
        writeImageFile(page, file, {});
        const ToolResult id = runTool(QStringLiteral("identify"),
                                      {QStringLiteral("-units"), QStringLiteral("PixelsPerInch"),
                                       QStringLiteral("-format"), QStringLiteral("%x"), file});
        EXPECT_NEAR(id.output.trimmed().split(QLatin1Char(' ')).first().toDouble(), 600.0, 1.0)
            << id.output.toStdString();
    }
}

TEST_F(WriterFiles, MultiPageTiffAppendsPagesOfMixedKinds) {
    const QString file = path(QStringLiteral("scandoc.tif"));
    const QImage pages[] = {documentPage(QImage::Format_Mono, 250, 350, 1),
                            documentPage(QImage::Format_Grayscale8, 250, 350, 2),
                            documentPage(QImage::Format_RGB888, 260, 340, 3)};
    writeImageFile(pages[0], file, {0, 0, false});
    writeImageFile(pages[1], file, {0, 0, true});
    writeImageFile(pages[2], file, {0, 0, true});
    EXPECT_EQ(tiffpages::pageCount(file), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(meanDifference(tiffpages::readPage(file, i), pages[i]), 0.0) << "page " << i;
    const ToolResult info = runTool(QStringLiteral("tiffinfo"), {file});
    ASSERT_EQ(info.exitCode, 0);
    EXPECT_EQ(info.output.count(QStringLiteral("TIFF Directory at offset")), 3);
    EXPECT_EQ(info.output.count(QStringLiteral("CCITT Group 4")), 1);
    EXPECT_EQ(info.output.count(QStringLiteral("Compression Scheme: LZW")), 2);

    // Without append the file starts afresh with one page.
    writeImageFile(pages[1], file, {0, 0, false});
    EXPECT_EQ(tiffpages::pageCount(file), 1);
    // Append on a path with no file yet simply creates it.
    const QString fresh = path(QStringLiteral("fresh.tif"));
    writeImageFile(pages[2], fresh, {0, 5, true});
    EXPECT_EQ(tiffpages::pageCount(fresh), 1);
}

TEST_F(WriterFiles, RotatedImageIsWrittenAsRotated) {
    // A marker in the top-left corner of the upright page lands top-right after a quarter
    // turn clockwise.
    QImage page(120, 80, QImage::Format_RGB888);
    page.fill(Qt::white);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 20; ++x)
            page.setPixel(x, y, qRgb(0, 0, 0));
    const QImage turned = page.transformed(QTransform().rotate(90));
    ASSERT_EQ(turned.size(), QSize(80, 120));
    for (const char* ext : {"jpg", "tif", "bmp"}) {
        SCOPED_TRACE(ext);
        for (QImage::Format f : {QImage::Format_RGB888, QImage::Format_Mono}) {
            const QString file = path(QStringLiteral("turned.") + ext);
            writeImageFile(turned.convertToFormat(f), file, {});
            const QImage back = readImageFile(file);
            ASSERT_EQ(back.size(), QSize(80, 120));
            EXPECT_LT(qGray(back.pixel(75, 5)), 60); // marker: now top-right
            EXPECT_GT(qGray(back.pixel(5, 5)), 200); // old corner: white
            EXPECT_GT(qGray(back.pixel(75, 115)), 200);
        }
    }
}

TEST_F(WriterFiles, OddSizesSurviveTheRoundTrip) {
    const struct {
        QImage::Format format;
        QSize size;
    } cases[] = {{QImage::Format_Mono, {1, 1}},       {QImage::Format_Grayscale8, {1, 1}},
                 {QImage::Format_RGB888, {1, 1}},     {QImage::Format_Mono, {13, 5}},
                 {QImage::Format_Mono, {2481, 3}},    {QImage::Format_RGB888, {3, 1001}},
                 {QImage::Format_Grayscale16, {1, 7}}};
    for (const auto& c : cases) {
        const QImage page = documentPage(c.format, c.size.width(), c.size.height(), 9);
        for (const char* ext : {"tif", "bmp", "jpg"}) {
            SCOPED_TRACE(QStringLiteral("%1x%2 %3 .%4")
                             .arg(c.size.width())
                             .arg(c.size.height())
                             .arg(int(c.format))
                             .arg(QLatin1String(ext))
                             .toStdString());
            const QString file = path(QStringLiteral("odd.") + ext);
            writeImageFile(page, file, {});
            const QImage back = readImageFile(file);
            ASSERT_EQ(back.size(), c.size);
            if (QLatin1String(ext) != QLatin1String("jpg")) {
                EXPECT_LT(meanDifference(back, page), 0.51);
            }
            EXPECT_EQ(runTool(QStringLiteral("identify"), {file}).exitCode, 0);
        }
    }
}

TEST_F(WriterFiles, SixHundredDpiColourA4SavesAndReadsBack) {
    // 4960 × 7016 × 3 bytes: about 104 MB of pixels, beyond Qt's default reading limit.
    QImage page(4960, 7016, QImage::Format_RGB888);
    ASSERT_FALSE(page.isNull());
    for (int y = 0; y < page.height(); ++y) {
        uchar* line = page.scanLine(y);
        for (int x = 0; x < page.width(); ++x) {
            line[3 * x] = uchar(x);
            line[3 * x + 1] = uchar(y);
            line[3 * x + 2] = uchar((x ^ y) & 0xF0);
        }
    }
    for (const char* ext : {"bmp", "tif", "jpg"}) {
        SCOPED_TRACE(ext);
        const QString file = path(QStringLiteral("big.") + ext);
        writeImageFile(page, file, {90, 5, false});
        const QImage back = readImageFile(file);
        ASSERT_EQ(back.size(), page.size());
        if (QLatin1String(ext) == QLatin1String("jpg"))
            EXPECT_LT(meanDifference(back, page), 8.0);
        else
            EXPECT_EQ(back, page);
        QFile::remove(file);
    }
}

TEST_F(WriterFiles, PageCopiedFromItsEncodedFileIsThePageWrittenFromPixels) {
    // Every kind after every other, with each compression, at resolutions that are no whole
    // number of dots per inch: the directory must come out the same, not only the strips.
    for (int compression : {0, 1, 4, 5, 7, 8}) {
        SCOPED_TRACE(compression);
        const QString fromPixels = path(QStringLiteral("pixels.tif"));
        const QString fromFiles = path(QStringLiteral("files.tif"));
        const QString encoded = path(QStringLiteral("page.tif"));
        QFile::remove(fromPixels);
        QFile::remove(fromFiles);
        quint32 seed = 0;
        for (const KindCase& kind : kinds) {
            SCOPED_TRACE(kind.name);
            QImage page = documentPage(kind.format, 203, 157, ++seed);
            page.setDotsPerMeterY(7881); // 200.17 dpi
            writeImageFile(page, encoded, {60, compression, false});
            writeImageFile(page, fromPixels, {60, compression, true});
            tiffpages::appendEncodedPage(encoded, fromFiles);
            ASSERT_EQ(contents(fromFiles), contents(fromPixels));
        }
        EXPECT_EQ(tiffpages::pageCount(fromFiles), 5);
    }
}

TEST_F(WriterFiles, PdfImageHoldsThePdfDataAndReadsBackAsABitmap) {
    for (const KindCase& kind : kinds) {
        SCOPED_TRACE(kind.name);
        const QImage page = documentPage(kind.format, 301, 207);
        const QString file = path(QStringLiteral("page.pdfimg"));
        writeImageFile(page, file, {70, 0, false});
        const std::optional<tiffpages::PdfImage> image = tiffpages::readPdfImage(file);
        ASSERT_TRUE(image);
        const tiffpages::PdfImage expected = tiffpages::pdfImage(page, 70);
        EXPECT_EQ(image->data, expected.data);
        EXPECT_EQ(image->coding, expected.coding);
        EXPECT_EQ(image->grey, expected.grey);
        EXPECT_EQ(image->quality, expected.quality);
        EXPECT_EQ(QSize(image->width, image->height), page.size());

        const ToolResult info = runTool(QStringLiteral("tiffinfo"), {QStringLiteral("-D"), file});
        EXPECT_EQ(info.exitCode, 0) << info.output.toStdString();
        EXPECT_FALSE(info.output.contains(QStringLiteral("rror"))) << info.output.toStdString();
        const QImage back = readImageFile(file);
        ASSERT_EQ(back.size(), page.size());
        EXPECT_LT(meanDifference(back, page), kind.format == QImage::Format_Mono ? 0.01 : 6.0);
    }
}

TEST_F(WriterFiles, OnlyAPdfImageIsTakenAsOne) {
    const QImage grey = documentPage(QImage::Format_Grayscale8, 64, 48);
    const QString good = path(QStringLiteral("good.pdfimg"));
    writeImageFile(grey, good, {});
    QFile truncated(path(QStringLiteral("cut.pdfimg")));
    ASSERT_TRUE(truncated.open(QIODevice::WriteOnly));
    truncated.write(contents(good).left(200));
    truncated.close();
    struct Other {
        const char* name;
        ImageWriteOptions options;
    } others[] = {{"lzw.tif", {}},
                  {"jpeg.tif", {0, 7, false}},
                  {"g4.tif", {0, 4, false}},
                  {"page.bmp", {}},
                  {"page.jpg", {}}};
    QStringList files{truncated.fileName(), path(QStringLiteral("missing.pdfimg"))};
    for (const Other& o : others) {
        files << path(QLatin1String(o.name));
        writeImageFile(grey, files.last(), o.options);
    }
    for (const QString& file : files)
        EXPECT_FALSE(tiffpages::readPdfImage(file)) << file.toStdString();
    EXPECT_TRUE(tiffpages::readPdfImage(good));
}

} // namespace
