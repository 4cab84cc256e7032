// PdfWriter's documents, judged by qpdf --check, pdfinfo, pdfimages -list and a rendering by
// pdftoppm, driven with the document output's call sequence.
#include "writers/ImageWriters.h"
#include "writers/PdfWriter.h"
#include "component_base/ScanError.h"
#include "support/TestTools.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <sys/resource.h>

namespace {

// A page whose top-left quarter is black ink, the rest white with some strokes; in `f`.
QImage markedPage(QImage::Format f, int w = 620, int h = 877) {
    QImage rgb(w, h, QImage::Format_RGB888);
    rgb.fill(Qt::white);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if ((x < w / 2 && y < h / 2) || (y % 40 < 3 && x % 50 < 30))
                rgb.setPixel(x, y, qRgb(0, 0, 0));
            else if (x > w / 2 && y > h / 2 && f != QImage::Format_Mono)
                rgb.setPixel(x, y, qRgb(200, 60 + (x % 100), 30));
    if (f == QImage::Format_Mono)
        return rgb.convertToFormat(f, Qt::ThresholdDither);
    return rgb.convertToFormat(f);
}

class PdfWriterTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }
    QStringList entries() const {
        QStringList list = QDir(dir.path())
                               .entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::Dirs |
                                          QDir::NoDotAndDotDot);
        list.sort();
        return list;
    }

    // The document output's sequence: each page's bitmap written (as `ext` with `options`),
    // added, drawn over the whole A4 page and deleted.
    void writeDocument(PdfWriter& w, const QString& pdf, const std::vector<QImage>& pages,
                       const QString& ext = QStringLiteral("bmp"),
                       const ImageWriteOptions& options = {}) {
        w.setOutputPath(pdf);
        w.BeginDocument(QString());
        w.setDocumentMode(4);
        int k = 0;
        for (const QImage& img : pages) {
            w.AddPage(210, 297);
            const QString bmp = path(QStringLiteral("pag_%1.%2").arg(k++).arg(ext));
            writeImageFile(img, bmp, options);
            const int32_t id = w.AddImageFile(bmp);
            w.DrawImage(id, 0, 297, 210, 297);
            QFile::remove(bmp);
            w.EndPage(QString());
        }
        EXPECT_FALSE(QFileInfo::exists(pdf)) << "the PDF must not exist before EndDocument";
        EXPECT_EQ(w.EndDocument(), 1);
    }

    static void expectValid(const QString& pdf, int pages) {
        const ToolResult check = runTool(QStringLiteral("qpdf"), {QStringLiteral("--check"), pdf});
        EXPECT_EQ(check.exitCode, 0) << check.output.toStdString();
        EXPECT_TRUE(check.output.contains(QStringLiteral("No syntax or stream encoding errors")))
            << check.output.toStdString();
        const ToolResult info = runTool(QStringLiteral("pdfinfo"), {pdf});
        ASSERT_EQ(info.exitCode, 0) << info.output.toStdString();
        EXPECT_TRUE(
            info.output.contains(QRegularExpression(QStringLiteral("Pages: +%1\n").arg(pages))))
            << info.output.toStdString();
    }
};

TEST_F(PdfWriterTest, OnePageOfEachKindWithTheRightFiltersAndSize) {
    const QString pdf = path(QStringLiteral("scandoc.pdf"));
    PdfWriter w;
    writeDocument(
        w, pdf,
        {markedPage(QImage::Format_Mono), markedPage(QImage::Format_Grayscale8),
         markedPage(QImage::Format_RGB888), markedPage(QImage::Format_Grayscale16, 301, 401),
         markedPage(QImage::Format_RGBX64, 301, 401), markedPage(QImage::Format_Mono, 13, 9)});
    expectValid(pdf, 6);

    const ToolResult info =
        runTool(QStringLiteral("pdfinfo"), {QStringLiteral("-f"), QStringLiteral("1"),
                                            QStringLiteral("-l"), QStringLiteral("6"), pdf});
    EXPECT_EQ(info.output.count(
                  QRegularExpression(QStringLiteral("size: +595.28 x 841.89 pts \\(A4\\)"))),
              6)
        << info.output.toStdString();

    const ToolResult list = runTool(QStringLiteral("pdfimages"), {QStringLiteral("-list"), pdf});
    ASSERT_EQ(list.exitCode, 0);
    // page num type width height color comp bpc enc ...
    const QStringList lines = list.output.split(QLatin1Char('\n'), Qt::SkipEmptyParts).mid(2);
    ASSERT_EQ(lines.size(), 6) << list.output.toStdString();
    const QString expected[] = {"620 877 gray 1 1 ccitt", "620 877 gray 1 8 jpeg",
                                "620 877 rgb 3 8 jpeg",   "301 401 gray 1 8 jpeg",
                                "301 401 rgb 3 8 jpeg",   "13 9 gray 1 1 ccitt"};
    for (int i = 0; i < 6; ++i) {
        const QStringList cols = lines[i].simplified().split(QLatin1Char(' '));
        ASSERT_GE(cols.size(), 9);
        EXPECT_EQ(cols.mid(3, 6).join(QLatin1Char(' ')), expected[i]) << lines[i].toStdString();
    }
    // The bitmaps are gone; only the finished PDF remains, no temporary file.
    EXPECT_EQ(entries(), QStringList{QStringLiteral("scandoc.pdf")});
}

TEST_F(PdfWriterTest, RenderedPageShowsTheImageUprightOverTheWholePage) {
    // Guards the coordinate conversion (y from the bottom), the stretching, and the polarity of
    // the G4 data: the black quarter must render black and top-left.
    for (QImage::Format f :
         {QImage::Format_Mono, QImage::Format_Grayscale8, QImage::Format_RGB888}) {
        SCOPED_TRACE(int(f));
        const QString pdf = path(QStringLiteral("render.pdf"));
        PdfWriter w;
        writeDocument(w, pdf, {markedPage(f, 400, 300)}); // a landscape picture, stretched
        const QString prefix = path(QStringLiteral("render"));
        ASSERT_EQ(runTool(QStringLiteral("pdftoppm"),
                          {QStringLiteral("-r"), QStringLiteral("20"), QStringLiteral("-gray"),
                           QStringLiteral("-singlefile"), pdf, prefix})
                      .exitCode,
                  0);
        QImage shot(prefix + QStringLiteral(".pgm"));
        ASSERT_FALSE(shot.isNull());
        EXPECT_NEAR(shot.width(), 165, 2); // 210 mm at 20 dpi
        EXPECT_NEAR(shot.height(), 234, 2);
        const auto grey = [&](double fx, double fy) {
            return qGray(shot.pixel(int(fx * shot.width()), int(fy * shot.height())));
        };
        EXPECT_LT(grey(0.05, 0.05), 60);  // top-left corner: ink
        EXPECT_LT(grey(0.45, 0.45), 60);  // the black quarter reaches the middle
        EXPECT_GT(grey(0.75, 0.25), 180); // top-right: paper
        EXPECT_GT(grey(0.25, 0.75), 180); // bottom-left: paper
        QFile::remove(prefix + QStringLiteral(".pgm"));
        QFile::remove(pdf);
    }
}

TEST_F(PdfWriterTest, JpegQualityIsTheComponentsOr85) {
    const QImage colour = markedPage(QImage::Format_RGB888);
    const auto sizeWith = [&](int32_t quality) {
        const QString pdf = path(QStringLiteral("q%1.pdf").arg(quality));
        PdfWriter w(quality);
        writeDocument(w, pdf, {colour});
        return QFileInfo(pdf).size();
    };
    const qint64 low = sizeWith(20), def = sizeWith(0), q85 = sizeWith(85), high = sizeWith(98);
    EXPECT_LT(low, q85);
    EXPECT_LT(q85, high);
    EXPECT_NEAR(double(def), double(q85), 64.0); // only the file /ID may differ
}

TEST_F(PdfWriterTest, PreparedPageImagesMakeTheDocumentTheBitmapsMake) {
    const std::vector<QImage> pages{
        markedPage(QImage::Format_Mono), markedPage(QImage::Format_Grayscale8),
        markedPage(QImage::Format_RGB888), markedPage(QImage::Format_Grayscale16, 301, 401),
        markedPage(QImage::Format_RGBX64, 301, 401)};
    const auto document = [&](const std::vector<QImage>& images, const QString& ext,
                              int32_t fileQuality) {
        const QString pdf = path(QStringLiteral("doc.pdf"));
        PdfWriter w(60);
        writeDocument(w, pdf, images, ext, {fileQuality, 0, false});
        const QByteArray bytes = pdfContents(pdf);
        QFile::remove(pdf);
        return bytes;
    };
    // At the writer's quality the page images' JPEG and G4 data go in as they stand.
    const QByteArray fromBitmaps = document(pages, QStringLiteral("bmp"), 0);
    EXPECT_EQ(document(pages, QStringLiteral("pdfimg"), 60), fromBitmaps);
    // At another quality a page image is a bitmap like any other: what it shows is encoded
    // at the writer's quality.
    std::vector<QImage> shown;
    for (const QImage& page : pages) {
        const QString file = path(QStringLiteral("shown.pdfimg"));
        writeImageFile(page, file, {30, 0, false});
        shown.push_back(readImageFile(file));
    }
    EXPECT_EQ(document(pages, QStringLiteral("pdfimg"), 30),
              document(shown, QStringLiteral("bmp"), 0));
}

TEST_F(PdfWriterTest, UnreadableImageThenCleanUpKeepsThePagesAddedSoFar) {
    const QString pdf = path(QStringLiteral("scandoc.pdf"));
    PdfWriter w;
    w.setOutputPath(pdf);
    w.BeginDocument(QString());
    w.setDocumentMode(4);
    for (int n = 0; n < 2; ++n) {
        w.AddPage(210, 297);
        const QString bmp = path(QStringLiteral("p.bmp"));
        writeImageFile(markedPage(QImage::Format_Mono), bmp, {});
        w.DrawImage(w.AddImageFile(bmp), 0, 297, 210, 297);
        w.EndPage(QString());
    }
    w.AddPage(210, 297);
    const QString broken = path(QStringLiteral("broken.bmp"));
    {
        QFile f(broken);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("BM not really");
    }
    EXPECT_THROW(w.AddImageFile(broken), ScanError);
    EXPECT_THROW(w.AddImageFile(path(QStringLiteral("missing.bmp"))), ScanError);
    // The clean-up path: neither call throws, and the two finished pages are written.
    EXPECT_NO_THROW(w.EndPage(QString()));
    EXPECT_NO_THROW(EXPECT_EQ(w.EndDocument(), 1));
    expectValid(pdf, 2);
    // Calls after the end are refused, and a repeated EndDocument does not write again.
    EXPECT_THROW(w.AddPage(210, 297), ScanError);
    EXPECT_NO_THROW(w.EndPage(QString()));
    EXPECT_EQ(w.EndDocument(), 1);
}

TEST_F(PdfWriterTest, BadDrawingCallsThrowAndDropOnlyThatPage) {
    const QString pdf = path(QStringLiteral("draw.pdf"));
    PdfWriter w;
    w.setOutputPath(pdf);
    w.BeginDocument(QString());
    const QString bmp = path(QStringLiteral("p.bmp"));
    writeImageFile(markedPage(QImage::Format_Grayscale8, 50, 70), bmp, {});
    EXPECT_THROW(w.DrawImage(1, 0, 297, 210, 297), ScanError); // no page yet
    EXPECT_THROW(w.AddPage(0, 297), ScanError);
    EXPECT_THROW(w.AddPage(210, -1), ScanError);
    EXPECT_EQ(w.AddPage(210, 297), 1);
    const int32_t id = w.AddImageFile(bmp);
    w.DrawImage(id, 0, 297, 210, 297);
    EXPECT_EQ(w.AddPage(210, 297), 2); // ends page 1
    EXPECT_THROW(w.DrawImage(id + 1, 0, 297, 210, 297), ScanError);
    EXPECT_EQ(w.AddPage(105, 148.5), 3); // page 2 is dropped; an image may be drawn again
    w.DrawImage(id, 0, 148.5, 105, 148.5);
    EXPECT_EQ(w.EndDocument(), 1);
    expectValid(pdf, 2);
    const ToolResult info =
        runTool(QStringLiteral("pdfinfo"), {QStringLiteral("-f"), QStringLiteral("2"),
                                            QStringLiteral("-l"), QStringLiteral("2"), pdf});
    EXPECT_TRUE(info.output.contains(
        QRegularExpression(QStringLiteral("size: +297.64 x 420.94 pts \\(A6\\)"))))
        << info.output.toStdString();
}

TEST_F(PdfWriterTest, FailedWriteLeavesNothingThatLooksComplete) {
    const std::vector<QImage> pages = {markedPage(QImage::Format_RGB888),
                                       markedPage(QImage::Format_Grayscale8)};
    const QString pdf = path(QStringLiteral("scandoc.pdf"));
    {
        // An earlier document under that name: a failed write must not replace it with a
        // partial one.
        QFile f(pdf);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("%PDF-1.3 old document");
    }
    PdfWriter w;
    w.setOutputPath(pdf);
    w.BeginDocument(QString());
    for (const QImage& img : pages) {
        w.AddPage(210, 297);
        const QString bmp = path(QStringLiteral("p.bmp"));
        writeImageFile(img, bmp, {});
        w.DrawImage(w.AddImageFile(bmp), 0, 297, 210, 297);
        QFile::remove(bmp);
        w.EndPage(QString());
    }
    EXPECT_THROW(withFileSizeLimit(2000, [&] { w.EndDocument(); }), ScanError);
    QFile old(pdf);
    ASSERT_TRUE(old.open(QIODevice::ReadOnly));
    EXPECT_EQ(old.readAll(), QByteArray("%PDF-1.3 old document"));
    EXPECT_EQ(entries(), QStringList{QStringLiteral("scandoc.pdf")}); // no temporary left
    // The clean-up calls do not throw a second time for the same fault.
    EXPECT_NO_THROW(w.EndPage(QString()));
    EXPECT_NO_THROW(EXPECT_EQ(w.EndDocument(), 0));
}

TEST_F(PdfWriterTest, MissingFolderEmptyPathDirectoryAndLink) {
    const QString bmp = path(QStringLiteral("p.bmp"));
    writeImageFile(markedPage(QImage::Format_Mono, 40, 40), bmp, {});
    const auto attempt = [&](const QString& target) {
        PdfWriter w;
        w.setOutputPath(target);
        w.BeginDocument(QString());
        w.AddPage(210, 297);
        w.DrawImage(w.AddImageFile(bmp), 0, 297, 210, 297);
        w.EndPage(QString());
        return w.EndDocument();
    };
    EXPECT_THROW(attempt(path(QStringLiteral("no/folder/scandoc.pdf"))), ScanError);
    EXPECT_THROW(attempt(QString()), ScanError);
    const QString folder = path(QStringLiteral("isdir.pdf"));
    ASSERT_TRUE(QDir().mkpath(folder));
    EXPECT_THROW(attempt(folder), ScanError);
    EXPECT_TRUE(QFileInfo(folder).isDir());

    // A planted link is replaced by the document; the file it named is untouched.
    const QString victim = path(QStringLiteral("victim.txt"));
    {
        QFile f(victim);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("precious");
    }
    const QString linked = path(QStringLiteral("linked.pdf"));
    ASSERT_TRUE(QFile::link(victim, linked));
    EXPECT_EQ(attempt(linked), 1);
    EXPECT_FALSE(QFileInfo(linked).isSymLink());
    expectValid(linked, 1);
    QFile f(victim);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), QByteArray("precious"));
    EXPECT_EQ(entries(), (QStringList{QStringLiteral("isdir.pdf"), QStringLiteral("linked.pdf"),
                                      QStringLiteral("p.bmp"), QStringLiteral("victim.txt")}));
}

TEST_F(PdfWriterTest, DocumentWithoutPagesWritesNoFile) {
    // The clean-up after a first page that failed: no page to write, so no file that a
    // reader would refuse, and no second exception.
    const QString pdf = path(QStringLiteral("empty.pdf"));
    PdfWriter w;
    w.setOutputPath(pdf);
    w.BeginDocument(QString());
    w.AddPage(210, 297);
    EXPECT_THROW(w.AddImageFile(path(QStringLiteral("missing.bmp"))), ScanError);
    EXPECT_NO_THROW(w.EndPage(QString()));
    EXPECT_NO_THROW(EXPECT_EQ(w.EndDocument(), 0));
    EXPECT_TRUE(entries().isEmpty());
}

} // namespace
