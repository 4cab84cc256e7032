// Acquisition and page intake: the scan command, the feeder decision, the start of an
// acquisition and the filing of every delivered image as a page.
#include "acquisition/ScanComponent.h"
#include "acquisition/ScanError.h"
#include "common/UserSettings.h"
#include "common/VbBool.h"
#include "common/VbConvert.h"
#include "scan_window/FormScansione.h"
#include "settings/ScanSettings.h"

#include <QCheckBox>
#include <QCoreApplication>

namespace {
constexpr int16_t pointerHourglass = 11;
constexpr int16_t pointerDefault = 0;
constexpr int32_t batchImageLimit = 99;
} // namespace

void FormScansione::AvviaScansione() {
    resumeNext([this] { setMousePointer(pointerHourglass); });

    // A programming step that throws counts as programmed: the trap goes on with the next
    // statement. Only an explicit False (the source would not open) stops the command.
    bool programmed = true;
    resumeNext([this, &programmed] { programmed = ImpostaParametriScanner() != VbFalse; });

    if (programmed) {
        // A device that fails while asked about its feeder must not start a feeder batch:
        // that branch drops the pages and files of the session. Such an error means "no
        // feeder batch", and the new page is appended to the ones the user already has.
        bool feederBatch = false;
        resumeNext([this, &feederBatch] { feederBatch = UsaADF(); });

        if (feederBatch) {
            resumeNext([this] { resultFiles.clear(); });
            resumeNext([this] { Pagine.clear(); });
            resumeNext([this] { requireComponent().setImageLimit(batchImageLimit); });
            resumeNext([this] { setMousePointer(pointerDefault); });
            resumeNext([this] { AvviaAcquisizione(1, true); });
        } else {
            int16_t next = 1;
            resumeNext([this, &next] { next = static_cast<int16_t>(Pagine.count() + 1); });
            resumeNext([this] { setMousePointer(pointerDefault); });
            resumeNext([this, next] { AvviaAcquisizione(next, false); });
        }
    }

    resumeNext([this] { setMousePointer(pointerDefault); });
}

bool FormScansione::UsaADF() {
    ScanComponent& dev = requireComponent();
    if (dev.DataSourceOpen() == 0)
        return false;
    if (chkADF && chkADF->isChecked())
        return true;
    if (dev.FeederPresent() != 1)
        return false;
    if (dev.PaperDetectable() != 1)
        return false;
    return dev.FeederLoaded() == 1;
}

void FormScansione::AvviaAcquisizione(int16_t firstPage, bool feederBatch) {
    const int32_t feeder = feederBatch ? 1 : 0;
    // The feeder switch is written twice, as the component contract has it; for a component
    // that needs one write the second is no change.
    resumeNext([this, feeder] { requireComponent().setFeederEnabled(feeder); });
    resumeNext([this, feeder] { requireComponent().setFeederEnabled(feeder); });
    resumeNext([this, feeder] { requireComponent().setAutoFeed(feeder); });

    // The page size again, after the feeder switches, which may have reset it.
    resumeNext([this] {
        if (!scanSetting)
            return;
        if (const auto size = pageSizeCode(scanSetting->Pagina)) {
            ScanComponent& dev = requireComponent();
            const QString operation = QStringLiteral("IMPOSTO PAGINA ") + scanSetting->Pagina;
            resumeNext([&dev, &size] { dev.setPageSize(*size); });
            int32_t code = 0;
            QString text;
            resumeNext([&dev, &code] { code = dev.LastErrorCode(); });
            resumeNext([&dev, &text] { text = dev.LastErrorText(); });
            ScriviLog(operation, code, text);
        }
    });

    resumeNext([this, firstPage] {
        m_nextPage = firstPage;
        setImgPreviewTag(decimalText(firstPage));
    });

    resumeNext([this] {
        ScanComponent& dev = requireComponent();
        // A device that fails when asked goes on as if it had answered 1: the trap resumes
        // inside the branch, and the switch follows the check box.
        int32_t supported = 1;
        resumeNext([&dev, &supported] { supported = dev.DuplexSupported(); });
        if (supported == 1) {
            const bool both = chkFronteRetro && chkFronteRetro->isChecked();
            resumeNext([&dev, both] { dev.setDuplexEnabled(both ? VbTrue : VbFalse); });
        } else {
            resumeNext([&dev] { dev.setDuplexEnabled(VbFalse); });
            // setCheckValue, not a click: the click would rerun the form set-up, which
            // empties the page number just set for the first image.
            resumeNext([this] { setCheckValue(chkFronteRetro, 0); });
            resumeNext([this] {
                if (chkFronteRetro)
                    chkFronteRetro->setVisible(false);
            });
            resumeNext([this] {
                if (m_services.userSettings)
                    m_services.userSettings->remove(QStringLiteral("ScanFronteRetro"));
            });
        }
    });

    resumeNext([this] { requireComponent().Acquire(); });

    // The images arrive as events on this thread; let the ones already waiting in.
    resumeNext([] { QCoreApplication::processEvents(); });
}

void FormScansione::VSTSCAN_PostScan(int32_t flag) {
    if (flag == 0) {
        // The page the image goes to: the acquisition's own counter, else the Tag. A number
        // that is not a page (empty Tag, pages deleted meanwhile) appends the image instead
        // of filing it under a key no page count reaches.
        const int count = Pagine.count();
        int n = 0;
        if (m_nextPage)
            n = *m_nextPage;
        else if (const auto tag = toInt16(imgPreviewTag()))
            n = *tag;
        if (n < 1 || n > count + 1)
            n = count + 1;

        resumeNext([this, n] {
            const int32_t images = requireComponent().ImageCount();
            if (images > 0)
                Pagine.storePage(n, images - 1);
        });

        resumeNext([this, n] { MostraPagina(static_cast<int16_t>(n)); });

        resumeNext([this, n] {
            if (requireComponent().DataSourceOpen() != 0) {
                m_nextPage = static_cast<int16_t>(n + 1);
                setImgPreviewTag(decimalText(n + 1));
            } else {
                setMousePointer(pointerDefault);
            }
        });
        return;
    }

    // The acquisition's error is read before anything else is sent: the view reset below
    // writes ImageLimit, and every write replaces the component's last error, so reading it
    // afterwards would hide a jam or an empty feeder on a scan that brought no page.
    int32_t code = 0;
    QString text;
    resumeNext([this, &code] { code = requireComponent().LastErrorCode(); });
    if (code != 0) {
        resumeNext([this, &code] { code = requireComponent().LastErrorCode(); });
        resumeNext([this, &text] { text = requireComponent().LastErrorText(); });
    }

    m_nextPage.reset();
    resumeNext([this] { setMousePointer(pointerDefault); });

    if (Pagine.count() >= 1) {
        resumeNext([this] { setImgPreviewTag(QStringLiteral("1")); });
        resumeNext([this] { MostraPagina(1); });
    } else {
        resumeNext([this] { requireComponent().setImageLimit(batchImageLimit); });
        resumeNext([this] { setWindowTitle(formTag()); });
        resumeNext([this] { clearView(); });
        resumeNext([this] { setImgPreviewTag(QString()); });
        resumeNext([this] { Pagine.clear(); });
    }

    if (code != 0) {
        const QString prompt = QStringLiteral("ERRORE ACQUISIZIONE IMMAGINE.") +
                               QStringLiteral("CODICE ") + decimalText(code) +
                               QStringLiteral("\r\n") + text;
        resumeNext([this, &prompt] {
            if (m_services.messageBox)
                m_services.messageBox(this, prompt, QStringLiteral("ERRORE"));
        });
    }
}

void FormScansione::SostituisciPagina() {
    resumeNext([this] { setMousePointer(pointerHourglass); });

    bool programmed = true;
    resumeNext([this, &programmed] { programmed = ImpostaParametriScanner() != VbFalse; });

    if (programmed) {
        const auto n = toInt16(imgPreviewTag());
        int count = 0;
        resumeNext([this, &count] { count = Pagine.count(); });
        if (n && *n >= 1 && *n <= count) {
            resumeNext([this] { setMousePointer(pointerDefault); });
            resumeNext([this, n] { AvviaAcquisizione(*n, false); });
        }
    }

    resumeNext([this] { setMousePointer(pointerDefault); });
}
