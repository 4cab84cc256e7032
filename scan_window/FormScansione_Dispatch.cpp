// The command dispatch: every button of the window runs its command through here, disabled
// from the click until the command has returned.
#include "acquisition/ScanComponent.h"
#include "acquisition/ScanError.h"
#include "device_info/CapabilityReport.h"
#include "scan_window/FormScansione.h"
#include "scan_window/ImageButton.h"

namespace {

constexpr int16_t lastIndex = 13;
constexpr int16_t noControl = 8;
constexpr int16_t zoomCaption = 7;

/// Commands that end the session: their button stays disabled until the window loads again.
bool endsSession(int16_t index) {
    return index == 0 || index == 6 || index == 7;
}

} // namespace

void FormScansione::ImgButtons_Click(int16_t Index) {
    const bool known = Index >= 0 && Index <= lastIndex && Index != noControl;
    if (!known)
        return;
    ImageButton* button = ImgButtons.value(Index);
    if (button)
        button->setEnabled(false);
    resumeNext([this, Index] { runCommand(Index); });
    // The window may have been rebuilt meanwhile; only the button that was pressed is
    // enabled again, and only while it still exists.
    if (button && !endsSession(Index) && ImgButtons.value(Index) == button)
        button->setEnabled(true);
}

void FormScansione::LblButtons_Click(int16_t Index) {
    // The caption of index 7 reads "Zoom" between the zoom buttons; forwarding it would
    // import a PDF and end the session on a click meant for zooming, so it is inert.
    if (Index == zoomCaption)
        return;
    ImgButtons_Click(Index);
}

void FormScansione::runCommand(int16_t Index) {
    switch (Index) {
    case 0:
        SalvaDocumento();
        break;
    case 1:
        AvviaScansione();
        break;
    case 2:
        PaginaSuccessiva();
        break;
    case 3:
        PaginaPrecedente();
        break;
    case 4:
        SostituisciPagina();
        break;
    case 5:
        EliminaPagina();
        break;
    case 6:
        AnnullaScansione();
        break;
    case 7:
        ImportaPdf();
        break;
    case 9:
        RiduciVista();
        break;
    case 10:
        IngrandisciVista();
        break;
    case 11:
        RuotaPagina();
        break;
    case 12:
        CambiaScanner();
        break;
    case 13: {
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
