#pragma once
// Image-only PDFs as the component writes them, and the same with a text layer added, for
// the tests of the text layer and of recognition read back through poppler.
#include "writers/PdfTextLayer.h"
#include "writers/PdfWriter.h"
#include "support/TestTools.h"
#include <QImage>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>
#include <vector>

/// Writes `images` as A4 pages of an image-only PDF at `path` with the component's writer.
inline void writeImagePdf(const QTemporaryDir& dir, const std::vector<QImage>& images,
                          const QString& path) {
    PdfWriter writer;
    writer.setOutputPath(path);
    writer.BeginDocument(QString());
    writer.setDocumentMode(4);
    int k = 0;
    for (const QImage& img : images) {
        const QString file = dir.filePath(QStringLiteral("pagina_%1.png").arg(k++));
        ASSERT_TRUE(img.save(file));
        writer.AddPage(210, 297);
        writer.DrawImage(writer.AddImageFile(file), 0, 297, 210, 297);
        writer.EndPage(QString());
    }
    ASSERT_EQ(writer.EndDocument(), 1);
}

/// Copies the PDF at `from` to `to` with `words[i]`, read on an image of `pixels[i]`, laid
/// over page i; returns the words drawn on each page.
inline std::vector<int> addTextLayer(const QString& from, const QString& to,
                                     const std::vector<OcrWords>& words,
                                     const std::vector<QSize>& pixels) {
    // qpdf keeps the names it is given for its messages: they must outlive it.
    const QByteArray source = from.toLocal8Bit();
    const QByteArray target = to.toLocal8Bit();
    QPDF pdf;
    pdf.processFile(source.constData());
    PdfTextLayer layer(pdf);
    std::vector<int> drawn;
    std::vector<QPDFPageObjectHelper> pages = QPDFPageDocumentHelper(pdf).getAllPages();
    for (size_t i = 0; i < pages.size() && i < words.size(); ++i) {
        const QPDFObjectHandle::Rectangle box = pages[i].getMediaBox().getArrayAsRectangle();
        drawn.push_back(layer.addToPage(pages[i], QSizeF(box.urx - box.llx, box.ury - box.lly),
                                        pixels[i], words[i]));
    }
    QPDFWriter writer(pdf, target.constData());
    writer.write();
    return drawn;
}

/// What pdftotext reads from `pdf` (page `page` only, when not 0), split into words.
inline QStringList pdfWords(const QString& pdf, int page = 0) {
    QStringList args;
    if (page > 0)
        args << QStringLiteral("-f") << QString::number(page) << QStringLiteral("-l")
             << QString::number(page);
    const QString out = pdf + QStringLiteral(".txt");
    args << pdf << out;
    EXPECT_EQ(runTool(QStringLiteral("pdftotext"), args).exitCode, 0);
    return QString::fromUtf8(contents(out))
        .split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
}
