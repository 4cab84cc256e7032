// PdfWriter's PDF/A-1b and PDF/A-2b documents judged clause by clause by the checker over
// pikepdf, by qpdf, poppler and mupdf, beside the same pages as a plain PDF, img2pdf's output
// and ocrmypdf's PDF/A; and the plain PDF as it always was.
#include "writers/ImageWriters.h"
#include "writers/PdfWriter.h"
#include "component_base/ScanError.h"
#include "support/PdfaChecks.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QPainter>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

// A page with a frame, lines of "text" and a colour band, in `format`.
QImage page(QImage::Format format, int n) {
    QImage rgb(496, 702, QImage::Format_RGB888); // A4 at 60 dpi
    rgb.fill(Qt::white);
    QPainter p(&rgb);
    p.fillRect(20, 20, 120, 60, QColor(20 * n, 90, 200));
    p.setPen(QPen(Qt::black, 3));
    p.drawRect(10, 10, 476, 682);
    for (int y = 120; y < 660; y += 24)
        p.drawLine(40, y, 300 + (y * 7 + n * 31) % 150, y);
    p.end();
    return format == QImage::Format_Mono ? rgb.convertToFormat(format, Qt::ThresholdDither)
                                         : rgb.convertToFormat(format);
}

class PdfaWriter : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path(const QString& name) const { return dir.filePath(name); }

    /// Mono, grey and colour pages, written as `conformance` to `name`; EndDocument's result.
    int32_t write(const QString& name, PdfConformance conformance,
                  const QString& profile = QString()) {
        PdfWriter w;
        w.setConformance(conformance);
        if (!profile.isEmpty())
            w.setColourProfile(profile);
        w.setOutputPath(path(name));
        w.BeginDocument(QString());
        w.setDocumentMode(4);
        int n = 0;
        for (QImage::Format f :
             {QImage::Format_Mono, QImage::Format_Grayscale8, QImage::Format_RGB888}) {
            w.AddPage(210, 297);
            const QString bmp = path(QStringLiteral("pag_%1.bmp").arg(n));
            writeImageFile(page(f, n++), bmp, {});
            w.DrawImage(w.AddImageFile(bmp), 0, 297, 210, 297);
            QFile::remove(bmp);
            w.EndPage(QString());
        }
        return w.EndDocument();
    }
};

TEST_F(PdfaWriter, EveryClauseHoldsWithThePlainPdfsPageImages) {
    ASSERT_EQ(write(QStringLiteral("plain.pdf"), PdfConformance::Plain), 1);
    const qint64 plainSize = QFileInfo(path(QStringLiteral("plain.pdf"))).size();
    const struct {
        PdfConformance conformance;
        int part;
        const char* header;
    } cases[] = {{PdfConformance::PdfA1b, 1, "%PDF-1.4\n%"},
                 {PdfConformance::PdfA2b, 2, "%PDF-1.7\n%"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.part);
        const QString pdf = path(QStringLiteral("a%1b.pdf").arg(c.part));
        ASSERT_EQ(write(QFileInfo(pdf).fileName(), c.conformance), 1);
        const ToolResult verdict = checkPdfa(pdf, c.part, path(QStringLiteral("plain.pdf")));
        EXPECT_EQ(verdict.exitCode, 0) << verdict.output.toStdString();
        expectOpensEverywhere(pdf, c.part);
        EXPECT_TRUE(contents(pdf).startsWith(c.header));
        // The profile and the metadata, nothing else: at most 24 KB a document.
        EXPECT_LE(QFileInfo(pdf).size() - plainSize, 24 * 1024);
    }
}

TEST_F(PdfaWriter, TheCheckerFailsFilesThatAreNotPdfA) {
    ASSERT_EQ(write(QStringLiteral("plain.pdf"), PdfConformance::Plain), 1);
    ASSERT_EQ(write(QStringLiteral("a2b.pdf"), PdfConformance::PdfA2b), 1);
    const QString jpg = path(QStringLiteral("page.jpg"));
    writeImageFile(page(QImage::Format_RGB888, 1), jpg, {});
    const QString img2pdf = path(QStringLiteral("img2pdf.pdf"));
    ASSERT_EQ(runTool(QStringLiteral("img2pdf"), {jpg, QStringLiteral("-o"), img2pdf}).exitCode, 0);
    const struct {
        QString pdf;
        int part;
        QStringList failed; // clauses that must be reported
    } cases[] = {
        {path(QStringLiteral("plain.pdf")), 2, {"info", "output-intent", "endstream-eol"}},
        {img2pdf, 2, {"xmp", "output-intent"}},
        // A PDF/A-2b file is no PDF/A-1b: its version and its part say so.
        {path(QStringLiteral("a2b.pdf")), 1, {"header", "xmp-pdfaid"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pdf.toStdString());
        const ToolResult verdict = checkPdfa(c.pdf, c.part, QString(), QString());
        EXPECT_EQ(verdict.exitCode, 1) << verdict.output.toStdString();
        for (const QString& clause : c.failed)
            EXPECT_TRUE(verdict.output.contains(QStringLiteral("FAIL ") + clause + ':'))
                << clause.toStdString() << "\n"
                << verdict.output.toStdString();
    }
}

TEST_F(PdfaWriter, WithoutAUsableProfileNothingIsWritten) {
    const QString truncated = path(QStringLiteral("cut.icc"));
    QFile cut(truncated);
    ASSERT_TRUE(cut.open(QIODevice::WriteOnly));
    cut.write(contents(QStringLiteral("/usr/share/color/icc/sRGB.icc")).left(500));
    cut.close();
    const struct {
        QString profile;
        const char* why;
    } cases[] = {
        {path(QStringLiteral("absent.icc")), "non trovato"},
        {truncated, "non è un profilo ICC"},
        {QStringLiteral("/usr/share/color/icc/Gray.icc"), "non è un profilo RGB"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.profile.toStdString());
        try {
            write(QStringLiteral("scandoc.pdf"), PdfConformance::PdfA1b, c.profile);
            ADD_FAILURE() << "a PDF/A document was written without its profile";
        } catch (const ScanError& e) {
            EXPECT_TRUE(e.text().contains(QString::fromUtf8(c.why))) << e.text().toStdString();
            EXPECT_TRUE(e.text().contains(QStringLiteral("icc-profiles-free")));
            EXPECT_TRUE(e.text().contains(c.profile));
        }
        const QStringList left =
            QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
        EXPECT_EQ(left, QStringList{QStringLiteral("cut.icc")});
    }
}

TEST_F(PdfaWriter, OcrmypdfsPdfAMeetsTheSameClausesWithOtherPageImages) {
    if (QStandardPaths::findExecutable(QStringLiteral("ocrmypdf")).isEmpty())
        GTEST_SKIP() << "ocrmypdf is not installed";
    ASSERT_EQ(write(QStringLiteral("plain.pdf"), PdfConformance::Plain), 1);
    const QString peer = path(QStringLiteral("ocrmypdf.pdf"));
    const ToolResult made =
        runTool(QStringLiteral("ocrmypdf"),
                {QStringLiteral("--output-type"), QStringLiteral("pdfa-2"),
                 QStringLiteral("--tesseract-timeout"), QStringLiteral("0"),
                 QStringLiteral("--quiet"), path(QStringLiteral("plain.pdf")), peer},
                300000);
    ASSERT_EQ(made.exitCode, 0) << made.output.toStdString();
    const ToolResult verdict = checkPdfa(peer, 2, QString(), QString());
    EXPECT_EQ(verdict.exitCode, 0) << verdict.output.toStdString();
    // Its Ghostscript pass codes the pages again; ours keeps them (the test above).
    const ToolResult images = checkPdfa(peer, 2, path(QStringLiteral("plain.pdf")), QString());
    EXPECT_TRUE(images.output.contains(QStringLiteral("FAIL same-images")))
        << images.output.toStdString();
}

TEST_F(PdfaWriter, ThePlainPdfIsTheOneWrittenBeforePdfAExisted) {
    // The digest of this plain document (its /ID blanked) as the writer wrote it before it
    // knew PDF/A: the plain route must not change by a byte. Made on Debian 12's libjpeg-turbo
    // and libtiff; a new codec version would change it, and then this digest is made again
    // from a writer without PDF/A.
    ASSERT_EQ(write(QStringLiteral("plain.pdf"), PdfConformance::Plain), 1);
    const QByteArray digest =
        QCryptographicHash::hash(pdfContents(path(QStringLiteral("plain.pdf"))),
                                 QCryptographicHash::Sha256)
            .toHex();
    EXPECT_EQ(digest.toStdString(),
              "8a18f247cededbd30dc91b9b77601a1b36cf8c1b9dd044d00b2f0ee647ea08e2");
}

} // namespace
