// Document output: the pages of the store written as JPEG files, one multi-page TIFF or one
// PDF into the working folder and listed in resultFiles, and the session ends. When writing
// fails the window stays open with its pages and says why; nothing is listed, and no document
// is left at its final name with only some of its pages.
#include "component_base/ComponentErrors.h"
#include "writers/PdfArchive.h"
#include "writers/PdfWriter.h"
#include "acquisition/ScanComponent.h"
#include "common/VbConvert.h"
#include "component_base/ScanError.h"
#include "scan_window/ErrorTrap.h"
#include "scan_window/FormScansione.h"
#include "scan_window/FormSteps.h"
#include "scan_window/StagedFiles.h"
#include "settings/ScanSettings.h"
#include "writers/TemporaryNames.h"
#include "writers/WriterSupport.h"

#include <QEventLoop>
#include <QFile>
#include <QPointer>
#include <QScopeGuard>

#include <cerrno>
#include <exception>
#include <new>
#include <unistd.h>
#include <vector>

namespace {

constexpr double a4Width = 210;
constexpr double a4Height = 297;

/// Deletes `path` if it is there; a file that stays raises, as a failed delete would.
void deleteFile(const QString& path) {
    if (::unlink(QFile::encodeName(path).constData()) != 0 && errno != ENOENT)
        writer::throwWriteError(path, QStringLiteral("impossibile eliminare il file"), errno);
}

/// Why the output failed, in the user's words where the cause is one they can act on.
QString failureReason(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const ScanError& e) {
        return componentError::writeFailureReason(e.code(), e.text());
    } catch (const std::bad_alloc&) {
        return QStringLiteral("memoria insufficiente");
    } catch (const std::exception& e) {
        return QString::fromLocal8Bit(e.what());
    } catch (...) {
        return QStringLiteral("errore sconosciuto");
    }
}

} // namespace

void FormScansione::SalvaDocumento() {
    setMousePointer(pointerHourglass);
    std::exception_ptr failure;
    try {
        writeDocument();
    } catch (...) {
        failure = std::current_exception();
    }
    setMousePointer(pointerDefault);

    if (failure) {
        // Closing now would throw the session's pages away: the user can make room and
        // confirm again, or cancel.
        const QString prompt =
            QStringLiteral("Impossibile salvare il documento: ") + failureReason(failure);
        resumeNext([&] { m_services.messageBox(this, prompt, QStringLiteral("ERRORE")); });
        return;
    }
    resumeNext([this] { unloadWindow(); });
}

void FormScansione::writeDocument() {
    const QString folder = m_services.workingFolder();
    if (Pagine.count() == 0 || !scanSetting)
        return;
    // Without a private folder the names would be relative to the current directory.
    if (folder.isEmpty())
        throw ScanError(QStringLiteral("nessuna cartella di lavoro privata"));
    const int count = Pagine.count();
    const auto imageOf = [this](int n) {
        const auto k = imageIndexOfPage(static_cast<int16_t>(n));
        if (!k)
            throw ScanError(QStringLiteral("la pagina %1 non ha un'immagine").arg(n));
        return *k;
    };
    const QString& format = scanSetting->ResultFormat;
    if (format == QLatin1String("JPEG")) {
        ScanComponent& dev = requireComponent();
        // All pages of this confirmation or none: an earlier session's pag_N.jpg stay as
        // they were when a page fails.
        StagedFiles staged;
        for (int n = 1; n <= count; ++n) {
            const int16_t k = imageOf(n);
            dev.SaveImage(k, staged.add(folder + QStringLiteral("pag_") + decimalText(n) +
                                        QStringLiteral(".jpg")));
        }
        staged.commit();
        resultFiles.append(staged.targets());
    } else if (format == QLatin1String("TIFF")) {
        ScanComponent& dev = requireComponent();
        // A fresh name on every attempt: the component starts a path afresh only the first
        // time it writes it, so a retry under the same name would add to the failed pages.
        StagedFiles staged;
        const QString path = staged.add(folder + QStringLiteral("scandoc.tif"));
        for (int n = 1; n <= count; ++n) {
            const int16_t k = imageOf(n);
            dev.setTiffMultiPage(1);
            dev.SaveImage(k, path);
        }
        staged.commit();
        resultFiles.append(staged.targets());
    } else if (format == QLatin1String("PDF")) {
        SalvaPdf(folder);
    }
}

PdfConformance FormScansione::pdfConformance() {
    const QString value = scanSetting ? scanSetting->PDFA() : QString();
    if (const std::optional<PdfConformance> conformance = pdfa::conformanceOf(value))
        return *conformance;
    if (!m_pdfaValueLogged) {
        m_pdfaValueLogged = true;
        ScriviLog(QStringLiteral("PDFA ") + value, -1,
                  QStringLiteral("valore non riconosciuto (1b o 2b): scritto un PDF non PDF/A"));
    }
    return PdfConformance::Plain;
}

std::vector<ImageText> FormScansione::awaitPageTexts() {
    if (m_textLanguages.isEmpty())
        return {};
    std::vector<ImageText> texts(static_cast<size_t>(Pagine.count()));
    QPointer<QEventLoop> waiting;
    bool withoutText = false;
    std::unique_ptr<TextRecognitionProgress> progress; // its button reaches the two above
    m_waitingForText = true;
    const auto stopWaiting = qScopeGuard([this] { m_waitingForText = false; });
    // After the button no page is waited for, but those already read keep their words. A
    // component that fails to answer costs the pages from there their text, not the document.
    resumeNext([&] { waitForTexts(texts, progress, waiting, withoutText); });
    return texts;
}

void FormScansione::waitForTexts(std::vector<ImageText>& texts,
                                 std::unique_ptr<TextRecognitionProgress>& progress,
                                 QPointer<QEventLoop>& waiting, bool& withoutText) {
    ScanComponent& dev = requireComponent();
    const int count = int(texts.size());
    for (int n = 1; n <= count; ++n) {
        const std::optional<int16_t> k = imageIndexOfPage(static_cast<int16_t>(n));
        if (!k)
            continue; // the page's own fault is the writing's to report
        ImageText& text = texts[size_t(n - 1)];
        text = dev.imageText(*k);
        if (text.state != ImageText::State::Waiting || withoutText)
            continue;
        QEventLoop loop;
        waiting = &loop;
        // Connected before the component is asked, which may answer at once.
        const QMetaObject::Connection ready =
            connect(&dev, &ScanComponent::ImageTextReady, &loop, [&](int32_t index) {
                if (index == *k && dev.imageText(*k).state != ImageText::State::Waiting)
                    loop.quit();
            });
        dev.readTextFirst(*k);
        text = dev.imageText(*k);
        if (text.state == ImageText::State::Waiting) {
            if (!progress)
                progress = m_services.textProgress(this, [&] {
                    withoutText = true;
                    if (waiting)
                        waiting->quit();
                });
            if (progress)
                progress->showPage(n, count);
            // Showing the window may have let the answer in already.
            if (dev.imageText(*k).state == ImageText::State::Waiting && !withoutText)
                loop.exec();
            text = dev.imageText(*k);
        }
        disconnect(ready);
    }
}

void FormScansione::logPageTexts(const std::vector<ImageText>& texts) {
    for (size_t i = 0; i < texts.size(); ++i) {
        const ImageText& t = texts[i];
        const QString languages = t.languages.isEmpty() ? m_textLanguages : t.languages;
        const QString operation =
            QStringLiteral("OCR %1 pagina %2").arg(languages, decimalText(int32_t(i + 1)));
        switch (t.state) {
        case ImageText::State::Read:
            if (!t.words.empty() && t.pixels.isEmpty()) {
                // Boxes without the size they refer to cannot be placed: no text is drawn.
                ScriviLog(operation + QStringLiteral(": scritta senza testo"), -1,
                          QStringLiteral("parole senza le dimensioni dell'immagine"));
                break;
            }
            ScriviLog(operation + (t.words.size() == 1
                                       ? QStringLiteral(": 1 parola")
                                       : QStringLiteral(": %1 parole").arg(t.words.size())),
                      0, QString());
            break;
        case ImageText::State::Failed:
            ScriviLog(operation + QStringLiteral(": scritta senza testo"), -1,
                      t.error.isEmpty() ? QStringLiteral("riconoscimento non riuscito") : t.error);
            break;
        case ImageText::State::Waiting:
            ScriviLog(operation + QStringLiteral(": scritta senza testo, riconoscimento non "
                                                 "atteso"),
                      0, QString());
            break;
        case ImageText::State::None:
            ScriviLog(operation + QStringLiteral(": scritta senza testo"), -1,
                      QStringLiteral("il componente non ha letto la pagina"));
            break;
        }
    }
}

void FormScansione::SalvaPdf(const QString& folder) {
    if (Pagine.count() == 0)
        return;
    const QString pdf = folder + QStringLiteral("scandoc.pdf");
    // Before the trap: a file that cannot be deleted ends the output, nothing is written.
    deleteFile(pdf);
    // Before the writer: the wait runs the event loop, and a writer holds every page's image.
    const std::vector<ImageText> texts = awaitPageTexts();

    std::unique_ptr<PdfWriter> writer;
    QString pageImageFile;
    std::exception_ptr failure;
    try {
        ScanComponent& dev = requireComponent();
        writer = m_services.createPdfWriter(dev.JpegQuality());
        if (!writer)
            throw ScanError(QStringLiteral("nessun generatore di PDF"));
        writer->setConformance(pdfConformance());
        writer->setOutputPath(pdf);
        writer->BeginDocument(QString());
        writer->setDocumentMode(4);
        const int count = Pagine.count();
        for (int n = 1; n <= count; ++n) {
            const auto k = imageIndexOfPage(static_cast<int16_t>(n));
            if (!k)
                throw ScanError(QStringLiteral("la pagina %1 non ha un'immagine").arg(n));
            writer->AddPage(a4Width, a4Height);
            // The component's page image for the PDF writer: the page's JPEG or G4 data,
            // usually encoded while scanning, which the writer takes without decoding.
            pageImageFile = folder + tempnames::pdfPageImageName(*k);
            deleteFile(pageImageFile);
            dev.SaveImage(*k, pageImageFile);
            const int32_t id = writer->AddImageFile(pageImageFile);
            writer->DrawImage(id, 0, a4Height, a4Width, a4Height);
            if (size_t(n) <= texts.size()) {
                const ImageText& text = texts[size_t(n - 1)];
                if (text.state == ImageText::State::Read && !text.pixels.isEmpty())
                    writer->DrawPageText(text.words, text.pixels, 0, a4Height, a4Width, a4Height);
            }
            QFile::remove(pageImageFile);
            pageImageFile.clear();
            writer->EndPage(QString());
        }
        // 0 means the writer wrote no file: listing the name would report a failure as success.
        if (writer->EndDocument() == 0)
            throw ScanError(QStringLiteral("il documento PDF non è stato scritto"));
        writer.reset();
        resultFiles.append(pdf);
        logPageTexts(texts);
        return;
    } catch (const std::exception&) {
        failure = std::current_exception(); // reported once the writer is cleaned up
    }

    if (writer) {
        resumeNext([&writer] { writer->EndPage(QString()); });
        resumeNext([&writer] { writer->EndDocument(); });
        writer.reset();
    }
    // Finishing the writer writes the pages it had; a document missing pages must not be left
    // looking complete, nor the temporary bitmap of the page that failed.
    QFile::remove(pdf);
    if (!pageImageFile.isEmpty())
        QFile::remove(pageImageFile);
    std::rethrow_exception(failure);
}
