// The command dispatch: every button of the window runs its command through here, disabled
// from the click until the command has returned.
#include "acquisition/ScanComponent.h"
#include "component_base/ScanError.h"
#include "device_info/CapabilityReport.h"
#include "scan_window/FormScansione.h"
#include "scan_window/FormSteps.h"
#include "scan_window/ImageButton.h"

namespace {

constexpr int16_t lastIndex = FormScansione::cmdInfo;
constexpr int16_t noControl = 8;

/// Commands that end the session: their button stays disabled until the window loads again.
bool endsSession(int16_t index) {
    return index == FormScansione::cmdConferma || index == FormScansione::cmdAnnulla ||
           index == FormScansione::cmdImportaPdf;
}

} // namespace

void FormScansione::ImgButtons_Click(int16_t Index) {
    const bool known = Index >= 0 && Index <= lastIndex && Index != noControl;
    // While "Conferma" waits for the pages' text, the pages must stay as they are.
    if (!known || m_waitingForText)
        return;
    ImageButton* button = ImgButtons.value(Index);
    if (button)
        button->setEnabled(false);
    resumeNext([this, Index] { runCommand(Index); });
    // A "Conferma" that could not write the document, or an "Annulla" answered "No", leaves
    // the window open with its pages: the button must work again.
    const bool ended =
        endsSession(Index) && !((Index == cmdConferma || Index == cmdAnnulla) && m_loaded);
    // The window may have been rebuilt meanwhile; only the button that was pressed is
    // enabled again, and only while it still exists.
    if (button && !ended && ImgButtons.value(Index) == button)
        button->setEnabled(true);
}

void FormScansione::LblButtons_Click(int16_t Index) {
    // The caption of index 7 reads "Zoom" between the zoom buttons; forwarding it would
    // import a PDF and end the session on a click meant for zooming, so it is inert.
    if (Index == cmdImportaPdf)
        return;
    ImgButtons_Click(Index);
}

void FormScansione::runCommand(int16_t Index) {
    switch (Index) {
    case cmdConferma:
        SalvaDocumento();
        break;
    case cmdScansione:
        AvviaScansione();
        break;
    case cmdAvanti:
        PaginaSuccessiva();
        break;
    case cmdIndietro:
        PaginaPrecedente();
        break;
    case cmdSostituisci:
        SostituisciPagina();
        break;
    case cmdElimina:
        EliminaPagina();
        break;
    case cmdAnnulla:
        AnnullaScansione();
        break;
    case cmdImportaPdf:
        ImportaPdf();
        break;
    case cmdRiduci:
        RiduciVista();
        break;
    case cmdIngrandisci:
        IngrandisciVista();
        break;
    case cmdRuota:
        RuotaPagina();
        break;
    case cmdCambiaScanner:
        CambiaScanner();
        break;
    case cmdInfo: {
        const QString info = InfoDispositivo();
        if (!info.isEmpty())
            m_services.showInfo(info);
        break;
    }
    default:
        break;
    }
}

QString FormScansione::InfoDispositivo() {
    try {
        // The report's messages carry the program's title.
        const QString caption = QStringLiteral("Scansione");
        return ::InfoDispositivo(requireComponent(), [this, caption](const QString& prompt) {
            m_services.messageBox(this, prompt, caption);
        });
    } catch (const ScanError&) {
        return QString();
    }
}
