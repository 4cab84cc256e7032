// Document output: the pages of the store written as JPEG files, one multi-page TIFF or one
// PDF into the working folder, listed in resultFiles; the session ends on every path.
#include "acquisition/PdfWriter.h"
#include "acquisition/ScanComponent.h"
#include "acquisition/ScanError.h"
#include "common/VbConvert.h"
#include "scan_window/ErrorTrap.h"
#include "scan_window/FormScansione.h"
#include "settings/ScanSettings.h"

#include <QFile>

namespace {

constexpr double a4Width = 210;
constexpr double a4Height = 297;

/// Deletes `path` if it is there; a file that stays raises, as a failed delete would.
void deleteFile(const QString& path) {
    if (QFile::exists(path) && !QFile::remove(path))
        throw ScanError(QStringLiteral("cannot delete ") + path);
}

} // namespace

void FormScansione::SalvaDocumento() {
    setMousePointer(pointerHourglass);

    // One trap for the whole writing: the first error ends it and the window still closes.
    resumeNext([this] {
        const QString folder = m_services.workingFolder();
        if (Pagine.count() == 0 || !scanSetting)
            return;
        // Without a private folder the names would be relative to the current directory.
        if (folder.isEmpty())
            throw ScanError(QStringLiteral("no private working folder"));
        const int count = Pagine.count();
        const auto imageOf = [this](int n) {
            const auto k = imageIndexOfPage(static_cast<int16_t>(n));
            if (!k)
                throw ScanError(QStringLiteral("page %1 has no image").arg(n));
            return *k;
        };
        const QString& format = scanSetting->ResultFormat;
        if (format == QLatin1String("JPEG")) {
            ScanComponent& dev = requireComponent();
            for (int n = 1; n <= count; ++n) {
                const int16_t k = imageOf(n);
                const QString path =
                    folder + QStringLiteral("pag_") + decimalText(n) + QStringLiteral(".jpg");
                dev.SaveImage(k, path);
                resultFiles.append(path);
            }
        } else if (format == QLatin1String("TIFF")) {
            ScanComponent& dev = requireComponent();
            const QString path = folder + QStringLiteral("scandoc.tif");
            for (int n = 1; n <= count; ++n) {
                const int16_t k = imageOf(n);
                dev.setTiffMultiPage(1);
                dev.SaveImage(k, path);
            }
            resultFiles.append(path);
        } else if (format == QLatin1String("PDF")) {
            SalvaPdf(folder);
        }
    });

    setMousePointer(pointerDefault);
    resumeNext([this] { unloadWindow(); });
}

void FormScansione::SalvaPdf(const QString& folder) {
    if (Pagine.count() == 0)
        return;
    const QString pdf = folder + QStringLiteral("scandoc.pdf");
    // Before the trap: a file that cannot be deleted ends the output, nothing is written.
    deleteFile(pdf);

    std::unique_ptr<PdfWriter> writer;
    QString bmp;
    try {
        ScanComponent& dev = requireComponent();
        writer = m_services.createPdfWriter(dev.JpegQuality());
        if (!writer)
            throw ScanError(QStringLiteral("no PDF writer"));
        writer->setOutputPath(pdf);
        writer->BeginDocument(QString());
        writer->setDocumentMode(4);
        const int count = Pagine.count();
        for (int n = 1; n <= count; ++n) {
            const auto k = imageIndexOfPage(static_cast<int16_t>(n));
            if (!k)
                throw ScanError(QStringLiteral("page %1 has no image").arg(n));
            writer->AddPage(a4Width, a4Height);
            // The component's page image for the PDF writer: the page's JPEG or G4 data,
            // usually encoded while scanning, which the writer takes without decoding.
            bmp = folder + QStringLiteral("pag_") + decimalText(*k) + QStringLiteral(".pdfimg");
            deleteFile(bmp);
            dev.SaveImage(*k, bmp);
            const int32_t id = writer->AddImageFile(bmp);
            writer->DrawImage(id, 0, a4Height, a4Width, a4Height);
            QFile::remove(bmp);
            bmp.clear();
            writer->EndPage(QString());
        }
        writer->EndDocument();
        writer.reset();
        resultFiles.append(pdf);
        return;
    } catch (const std::exception&) {
        // Clean-up below.
    }

    if (writer) {
        resumeNext([&writer] { writer->EndPage(QString()); });
        resumeNext([&writer] { writer->EndDocument(); });
        writer.reset();
    }
    // Finishing the writer writes the pages it had; a document missing pages must not be left
    // looking complete, nor the temporary bitmap of the page that failed.
    QFile::remove(pdf);
    if (!bmp.isEmpty())
        QFile::remove(bmp);
}
