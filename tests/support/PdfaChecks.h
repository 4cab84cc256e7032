#pragma once
// PDF/A documents judged by others: the clause checker (pdfa_check.py, over Debian's pikepdf),
// qpdf, poppler and mupdf.
#include "support/TestTools.h"
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <gtest/gtest.h>

/// The clause checker's verdict on `pdf` for PDF/A-`part`b: exit 0 when every clause holds,
/// 1 with a "FAIL clause: why" line for each that does not. With `plain`, the page images
/// must be byte for byte those of that PDF; with `producer`, the Producer must start with it.
inline ToolResult checkPdfa(const QString& pdf, int part, const QString& plain = QString(),
                            const QString& producer = QStringLiteral("Scansione")) {
    QStringList args{qEnvironmentVariable("SCANSIONE_PDFA_CHECK"), QStringLiteral("--part"),
                     QString::number(part)};
    if (!producer.isEmpty())
        args << QStringLiteral("--producer") << producer;
    if (!plain.isEmpty())
        args << QStringLiteral("--same-images") << plain;
    args << pdf;
    return runTool(qEnvironmentVariable("SCANSIONE_PDFA_PYTHON"), args);
}

/// `pdf` passes qpdf --check, shows its XMP to pdfinfo -meta, and renders in poppler and
/// mupdf without an error.
inline void expectOpensEverywhere(const QString& pdf, int part) {
    const ToolResult check = runTool(QStringLiteral("qpdf"), {QStringLiteral("--check"), pdf});
    EXPECT_EQ(check.exitCode, 0) << check.output.toStdString();
    EXPECT_TRUE(check.output.contains(QStringLiteral("No syntax or stream encoding errors")));
    const ToolResult meta = runTool(QStringLiteral("pdfinfo"), {QStringLiteral("-meta"), pdf});
    EXPECT_TRUE(meta.output.contains(QStringLiteral("<pdfaid:part>%1</pdfaid:part>").arg(part)))
        << meta.output.toStdString();
    QTemporaryDir out;
    const ToolResult poppler =
        runTool(QStringLiteral("pdftoppm"), {QStringLiteral("-r"), QStringLiteral("10"), pdf,
                                             out.filePath(QStringLiteral("p"))});
    EXPECT_EQ(poppler.exitCode, 0) << poppler.output.toStdString();
    EXPECT_TRUE(poppler.output.isEmpty()) << poppler.output.toStdString();
    const ToolResult mupdf =
        runTool(QStringLiteral("mutool"),
                {QStringLiteral("draw"), QStringLiteral("-r"), QStringLiteral("10"),
                 QStringLiteral("-o"), out.filePath(QStringLiteral("m%d.png")), pdf});
    EXPECT_EQ(mupdf.exitCode, 0) << mupdf.output.toStdString();
    EXPECT_FALSE(mupdf.output.contains(QStringLiteral("error"), Qt::CaseInsensitive))
        << mupdf.output.toStdString();
}
