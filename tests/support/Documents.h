#pragma once
// A document written from a component's images the way "Conferma" writes it, for tests that
// compare what the window or the component wrote with another way of writing the same pages.
#include "writers/PdfWriter.h"
#include "acquisition/ScanComponent.h"
#include "support/TestTools.h"
#include <QFile>
#include <QString>
#include <QVector>
#include <gtest/gtest.h>

/// Writes `images` of `dev`, in that order, as `format` ("JPEG", "TIFF", "PDF") to files whose
/// names start with `prefix` (a path), and returns their bytes, a PDF's without its /ID. The
/// PDF's pages reach the writer as files with the extension `pageFiles` (the document output
/// uses the component's "pdfimg").
inline QByteArray writeDocument(ScanComponent& dev, const QString& format, const QString& prefix,
                                const QVector<int>& images,
                                const QString& pageFiles = QStringLiteral("pdfimg")) {
    QByteArray bytes;
    if (format == QLatin1String("JPEG")) {
        for (int k : images) {
            const QString jpg = prefix + QStringLiteral("_%1.jpg").arg(k);
            dev.SaveImage(k, jpg);
            bytes += contents(jpg);
        }
    } else if (format == QLatin1String("TIFF")) {
        const QString tif = prefix + QStringLiteral(".tif");
        for (int k : images) {
            dev.setTiffMultiPage(1);
            dev.SaveImage(k, tif);
        }
        bytes = contents(tif);
    } else {
        const QString pdf = prefix + QStringLiteral(".pdf");
        PdfWriter writer(dev.JpegQuality());
        writer.setOutputPath(pdf);
        writer.BeginDocument(QString());
        writer.setDocumentMode(4);
        for (int k : images) {
            writer.AddPage(210, 297);
            const QString page = prefix + QStringLiteral("_pag_%1.%2").arg(k).arg(pageFiles);
            dev.SaveImage(k, page);
            writer.DrawImage(writer.AddImageFile(page), 0, 297, 210, 297);
            QFile::remove(page);
            writer.EndPage(QString());
        }
        EXPECT_EQ(writer.EndDocument(), 1);
        bytes = pdfContents(pdf);
    }
    EXPECT_FALSE(bytes.isEmpty());
    return bytes;
}
