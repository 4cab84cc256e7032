// Acquisition and page intake: the scan command, the feeder decision, the start of an
// acquisition and the filing of every delivered image as a page.
#include "acquisition/ScanComponent.h"
#include "component_base/ScanError.h"
#include "common/UserSettings.h"
#include "common/VbBool.h"
#include "common/VbConvert.h"
#include "scan_window/FormScansione.h"
#include "scan_window/FormSteps.h"
#include "settings/ScanSettings.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <utility>

void FormScansione::AvviaScansione() {
    if (holdUntilEnd(cmdScansione))
        return;
    setMousePointer(pointerHourglass);

    if (programSource()) {
        // A device that fails while asked about its feeder must not start a feeder batch:
        // that branch drops the pages and files of the session. Such an error means "no
        // feeder batch", and the new page is appended to the ones the user already has.
        bool feederBatch = false;
        resumeNext([this, &feederBatch] { feederBatch = UsaADF(); });

        // The new batch starts the document again from page 1.
        const bool replace =
            feederBatch &&
            pagesMayGo(QStringLiteral("Il nuovo lotto sostituirà le %1 pagine acquisite. Continuare?"));
        if (feederBatch && !replace) {
            // "No": the pages stay and nothing is acquired; the source opened for the batch
            // is closed again, as it was before the press.
            tryCall(&ScanComponent::CloseDataSource);
        } else if (feederBatch) {
            resultFiles.clear();
            Pagine.clear();
            tryCall(&ScanComponent::setImageLimit, kSessionImageLimit);
            setMousePointer(pointerDefault);
            resumeNext([this] { AvviaAcquisizione(1, true); });
        } else {
            setMousePointer(pointerDefault);
            const auto next = static_cast<int16_t>(Pagine.count() + 1);
            resumeNext([this, next] { AvviaAcquisizione(next, false); });
        }
    }

    setMousePointer(pointerDefault);
}

bool FormScansione::holdUntilEnd(int16_t command) {
    // The source closes when the device has finished, and the end event follows once the
    // acquisition's page files are written. A press in between would open and program the
    // source for an acquisition the component refuses until that end, and nothing would
    // happen: the press waits for the end instead. A second press meanwhile adds nothing.
    if (!m_acquiring || tryCall(&ScanComponent::DataSourceOpen).value_or(1) != 0)
        return false;
    if (!m_pressAfterEnd)
        m_pressAfterEnd = command;
    return true;
}

bool FormScansione::UsaADF() {
    ScanComponent& dev = requireComponent();
    if (dev.DataSourceOpen() == 0)
        return false;
    // A box hidden for a scanner without a feeder forces nothing, whatever was stored.
    if (chkADF && chkADF->isChecked() && !chkADF->isHidden())
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
    tryCall(&ScanComponent::setFeederEnabled, feeder);
    tryCall(&ScanComponent::setFeederEnabled, feeder);
    tryCall(&ScanComponent::setAutoFeed, feeder);

    // The page size again, after the feeder switches, which may have reset it.
    const std::optional<int32_t> size =
        scanSetting ? pageSizeCode(scanSetting->Pagina) : std::nullopt;
    if (size && VSTSCAN) {
        tryCall(&ScanComponent::setPageSize, *size);
        ScriviLog(QStringLiteral("IMPOSTO PAGINA ") + scanSetting->Pagina,
                  tryCall(&ScanComponent::LastErrorCode).value_or(0),
                  tryCall(&ScanComponent::LastErrorText).value_or(QString()));
    }

    m_nextPage = firstPage;
    setImgPreviewTag(decimalText(firstPage));

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
            setCheckValue(chkFronteRetro, 0);
            if (chkFronteRetro)
                chkFronteRetro->setVisible(false);
            resumeNext([this] {
                if (m_services.userSettings)
                    m_services.userSettings->remove(QStringLiteral("ScanFronteRetro"));
            });
        }
    });

    if (tryCall(&ScanComponent::Acquire).value_or(0) == 1)
        m_acquiring = true;

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

        const int32_t images = tryCall(&ScanComponent::ImageCount).value_or(0);
        if (images > 0)
            Pagine.storePage(n, images - 1);

        resumeNext([this, n] { MostraPagina(static_cast<int16_t>(n)); });

        const std::optional<int32_t> open = tryCall(&ScanComponent::DataSourceOpen);
        if (open && *open != 0) {
            m_nextPage = static_cast<int16_t>(n + 1);
            setImgPreviewTag(decimalText(n + 1));
        } else if (open) {
            setMousePointer(pointerDefault);
        }
        return;
    }

    m_acquiring = false;
    // The acquisition's error is read before anything else is sent: the view reset below
    // writes ImageLimit, and every write replaces the component's last error, so reading it
    // afterwards would hide a jam or an empty feeder on a scan that brought no page.
    int32_t code = tryCall(&ScanComponent::LastErrorCode).value_or(0);
    QString text;
    if (code != 0) {
        code = tryCall(&ScanComponent::LastErrorCode).value_or(code);
        text = tryCall(&ScanComponent::LastErrorText).value_or(QString());
    }

    m_nextPage.reset();
    setMousePointer(pointerDefault);

    if (Pagine.count() >= 1) {
        setImgPreviewTag(QStringLiteral("1"));
        resumeNext([this] { MostraPagina(1); });
    } else {
        tryCall(&ScanComponent::setImageLimit, kSessionImageLimit);
        setWindowTitle(formTag());
        clearView();
        setImgPreviewTag(QString());
        Pagine.clear();
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

    // From the event loop, as the press it stands for: never inside the component's event.
    if (const std::optional<int16_t> press = std::exchange(m_pressAfterEnd, std::nullopt))
        QMetaObject::invokeMethod(
            this,
            [this, index = *press] {
                if (m_loaded && VSTSCAN)
                    ImgButtons_Click(index);
            },
            Qt::QueuedConnection);
}

void FormScansione::SostituisciPagina() {
    if (holdUntilEnd(cmdSostituisci))
        return;
    setMousePointer(pointerHourglass);

    if (programSource()) {
        const auto n = toInt16(imgPreviewTag());
        if (n && *n >= 1 && *n <= Pagine.count()) {
            setMousePointer(pointerDefault);
            resumeNext([this, n] { AvviaAcquisizione(*n, false); });
        }
    }

    setMousePointer(pointerDefault);
}

bool FormScansione::programSource() {
    // A programming step that throws counts as programmed: the trap goes on with the next
    // statement. Only an explicit False (the source would not open) stops the command.
    bool programmed = true;
    resumeNext([this, &programmed] { programmed = ImpostaParametriScanner() != VbFalse; });
    if (!programmed)
        reportSourceNotOpened();
    return programmed;
}

void FormScansione::reportSourceNotOpened() {
    // Nothing was called after the failed open: the component's last error is its reason.
    const int32_t code = tryCall(&ScanComponent::LastErrorCode).value_or(0);
    if (code == 0)
        return;
    QString text = tryCall(&ScanComponent::LastErrorText).value_or(QString());
    if (text.isEmpty())
        text = QStringLiteral("codice ") + decimalText(code);
    const int32_t index = tryCall(&ScanComponent::SourceIndex).value_or(-1);
    const QString name = tryCall(&ScanComponent::SourceName, index).value_or(QString());
    const QString prompt =
        QStringLiteral("Impossibile aprire lo scanner \"%1\": %2").arg(name, text);
    resumeNext([this, &prompt] { m_services.messageBox(this, prompt, QStringLiteral("ERRORE")); });
}
