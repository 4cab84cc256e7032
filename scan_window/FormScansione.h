#pragma once
#include "common/Export.h"
#include "common/VbBool.h"
#include "scan_window/PageStore.h"
#include "scan_window/WindowServices.h"
#include <QDialog>
#include <QPointer>
#include <QStringList>
#include <QVector>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QCheckBox;
class QEventLoop;
class QLabel;
class QWidget;
class ScanComponent;
class ScanSettings;
class UserSettings;
class ImageButton;
struct ImageText;
enum class PdfConformance;

/// The scan window. A host creates one per session and calls EseguiScansione, which shows the
/// window modally and returns the produced files once it has closed.
class SCANSIONE_EXPORT FormScansione : public QDialog {
    Q_OBJECT
public:
    /// The commands of the button bar, by the index of their button and caption: 0 to 13,
    /// none at 8.
    enum Command : int16_t {
        cmdConferma,
        cmdScansione,
        cmdAvanti,
        cmdIndietro,
        cmdSostituisci,
        cmdElimina,
        cmdAnnulla,
        cmdImportaPdf,
        cmdRiduci = 9,
        cmdIngrandisci,
        cmdRuota,
        cmdCambiaScanner,
        cmdInfo
    };
    /// The option boxes of the command panel.
    enum class OptionBox { ApriDoc, FronteRetro, ForzaAdf };

    /// The window with the default services: the acquisition component on SANE and the
    /// virtual scanners, the per-user settings store, real message boxes and file dialogs.
    explicit FormScansione(QWidget* parent = nullptr);
    /// The window with injected services (tests, headless hosts); those left empty get their
    /// defaults. Both constructors are defined by the default wiring (default_wiring/), which a
    /// program or test that builds a window links.
    FormScansione(WindowServices services, QWidget* parent = nullptr);
    ~FormScansione() override;

    /// Runs one scan session. `resultScansione` receives "" when the window was shown, else
    /// "SCAN_SETTING_FAILED", "SCAN_DEVICE_NOT_STARTED" or "SCAN_NOT_AVAILABLE";
    /// `VediRisultato` receives the "Apri Doc" choice as a 16-bit Boolean (VbTrue, VbFalse of
    /// common/VbBool.h), only when the window was shown.
    /// Returns the produced files, or std::nullopt when the window was not shown.
    /// Blocks in the window's modal event loop; call it on the GUI thread.
    std::optional<QStringList> EseguiScansione(ScanSettings* parScanSetting,
                                               QString& resultScansione, int16_t& VediRisultato);

    // The page view's Tag (page shown, or where the next image goes) and the window's Tag
    // (base caption), as the Qt property "Tag" of the widgets.
    QString imgPreviewTag() const;
    void setImgPreviewTag(const QString& tag);
    QString formTag() const;
    void setFormTag(const QString& tag);

    /// The acquisition component of the session; null before the window loads and after
    /// the session has released it.
    ScanComponent* component() const { return VSTSCAN.get(); }
    const PageStore& pages() const { return Pagine; }
    const QStringList& producedFiles() const { return resultFiles; }

    /// Runs the command of a button index exactly as a click on it does.
    void ImgButtons_Click(int16_t Index);
    /// Runs the command of a caption label exactly as a click on it does.
    void LblButtons_Click(int16_t Index);
    /// Whether an option box is ticked.
    bool isTicked(OptionBox box) const;
    /// Ticks or clears an option box as the user's click on it does (the choice is stored
    /// and the set-up runs again); nothing when it already shows `ticked`. GUI thread.
    void tick(OptionBox box, bool ticked);

Q_SIGNALS:
    /// Emitted once the window has been set up and is about to be shown modally; headless
    /// hosts drive the window from here.
    void sessionShown();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // --- session entry and log (FormScansione_Session.cpp) ---------------------------
    void Form_Load();
    void unloadWindow();
    void ScriviLog(const QString& operation, int32_t code, const QString& detail);
    /// Writes each of `notices` not yet written this session as a line of its own, "AVVISO "
    /// and the text: settings that could not be read or used, said once a session.
    void writeNotices(const QStringList& notices);
    void SelezionaSorgente(bool force);
    void CambiaScanner();
    /// Offers the pages of each interrupted earlier session (newest first, one question
    /// each); those taken become the next pages of the store, in their order.
    void offerRecovery();
    /// Whether a command that drops the pages of the store may go on: with no page there is
    /// nothing to lose; otherwise `question` (with "%1" for their number) is asked and only
    /// "Sì" lets it. GUI thread.
    bool pagesMayGo(const QString& question);
    /// The window's mouse pointer codes.
    enum MousePointer : int16_t { pointerDefault = 0, pointerHourglass = 11 };
    void setMousePointer(MousePointer code);
    bool m_unloadRequested = false; ///< a command unloaded the window
    bool m_inExec = false;          ///< the modal loop of the session is running
    bool m_controlsUsed = false;    ///< a later load must rebuild the design-time controls
    /// Tests reach the private routines (the log, the page store) through this.
    friend struct FormScansioneTestAccess;

    // --- layout and set-up (FormScansione_Layout.cpp) --------------------------------
    void buildControls();
    void ImpostaForm();
    void CheckVisualizza_Click();
    void chkADF_Click();
    void chkFronteRetro_Click();
    /// Shows "Fronte retro" and "Forza ADF" only where the selected scanner has a duplex
    /// unit and a feeder, asking the device (opened for the question when it is closed, and
    /// closed again). A device that cannot be asked leaves the boxes as they are.
    void showSourceOptions();
    /// Sets a check box's value without running its click handling.
    void setCheckValue(QCheckBox* box, int value);
    QCheckBox* optionBox(OptionBox box) const;
    /// Places `w` at a position in twips of its container (stored as its "twips" property).
    static void placeTwips(QWidget* w, int left, int top, int width, int height);
    /// The twips geometry of a control placed with placeTwips.
    static QRect twipsOf(const QWidget* w);
    /// A control `name` of type Control (made with `args` and its container), at its design
    /// place (WindowLayout.h) in its container, which must exist already.
    template <class Control, class... Args>
    Q_DECL_HIDDEN Control* makeControl(const QString& name, Args&&... args);

    // --- page store and view (FormScansione_Pages.cpp) -------------------------------
    void MostraPagina(int16_t n);
    void PaginaSuccessiva();
    void PaginaPrecedente();
    void RuotaPagina();
    void EliminaPagina();
    void AnnullaScansione();
    void Form_Resize();
    void IngrandisciVista();
    void RiduciVista();
    void clearView();
    /// The buffer index of page n (item "I" & k), or nullopt when there is no entry.
    std::optional<int16_t> imageIndexOfPage(int16_t n) const;
    /// Tells the component that no page refers to these images any more.
    void releaseImages(const QVector<int>& images);

    // --- dispatch (FormScansione_Dispatch.cpp) ---------------------------------------
    void runCommand(int16_t Index);
    QString InfoDispositivo();

    // --- scanner programming (FormScansione_Programming.cpp) -------------------------
    int16_t ImpostaParametriScanner();
    /// The settings of `s` that the programming or the output cannot use as they are, and
    /// what is done instead, one text each.
    static QStringList unusedSettings(const ScanSettings& s);
    /// The session's component; throws ScanError when the window has none (FormSteps.h).
    ScanComponent& requireComponent() const;
    /// A call of the session's component as one step under the error trap (FormSteps.h).
    /// Hidden: a helper of the window's own files, instantiated only inside the library.
    template <class Method, class... Args>
    Q_DECL_HIDDEN auto tryCall(Method method, Args&&... args);
    /// The TWAIN page size of a "Pagina" setting ("A3" 11, "A4" 1, "A5" 5; exact case), or
    /// nullopt for any other text, which leaves the device's page size alone.
    static std::optional<int32_t> pageSizeCode(const QString& pagina);

    // --- acquisition and intake (FormScansione_Acquisition.cpp) ----------------------
    void AvviaScansione();
    bool UsaADF();
    void AvviaAcquisizione(int16_t firstPage, bool feederBatch);
    void VSTSCAN_PostScan(int32_t flag);
    void SostituisciPagina();
    /// Programs the source for a scan or replace press; false, the reason told, when it
    /// would not open.
    bool programSource();
    /// After the source would not open for an acquisition: the component's reason in a
    /// message box, when it gives one.
    void reportSourceNotOpened();
    /// Page number of the image an acquisition delivers next. The Tag of ImgPreview carries
    /// the same number, but the Tag is also the page shown, so a page command used while
    /// pages arrive would redirect the images onto existing pages; the counter keeps them.
    std::optional<int16_t> m_nextPage;
    /// True from an Acquire that started until its end event.
    bool m_acquiring = false;
    /// A scan or replace pressed after the device finished, before the end event came; it
    /// is pressed again once the end has been handled.
    std::optional<int16_t> m_pressAfterEnd;
    /// Keeps `command` for after the end when the acquisition is over on the device but has
    /// not told its end; true when it did.
    bool holdUntilEnd(int16_t command);

    // --- output and import (FormScansione_Output.cpp, FormScansione_Import.cpp) -----
    void SalvaDocumento();
    /// Writes the document and lists it; throws when it could not be written whole.
    void writeDocument();
    /// Writes "scandoc.pdf" and lists it; throws, after cleaning up, when it fails.
    void SalvaPdf(const QString& folder);
    /// The conformance the settings' "PDFA" asks for; a value that names none is logged
    /// (once a session) and gives the plain PDF.
    PdfConformance pdfConformance();
    bool m_pdfaValueLogged = false;
    /// Tells the component, as the session starts, which languages to read the pages' text
    /// in (settings "OCR" 1 and a PDF document; none otherwise) and how to clean up the pages
    /// of a feeder batch.
    void startPageServices();
    /// The languages the component reads the pages in this session; empty: no text.
    QString m_textLanguages;
    /// The text of each page of the store (page 1 first) for the PDF, once its recognition
    /// is over: pages still waiting are waited for, in page order, with the progress window
    /// of the services; its button leaves the rest waiting (written without text). Runs an
    /// event loop, so the window keeps repainting. Empty when no text is read.
    std::vector<ImageText> awaitPageTexts();
    /// The loop of awaitPageTexts over `texts`, with its progress window and the wait under
    /// way; throws what the component throws.
    void waitForTexts(std::vector<ImageText>& texts,
                      std::unique_ptr<TextRecognitionProgress>& progress,
                      QPointer<QEventLoop>& waiting, bool& withoutText);
    /// One scan log line a page: the words read, or why it has none.
    void logPageTexts(const std::vector<ImageText>& texts);
    /// "Conferma" is waiting for the pages' text: commands are not run meanwhile.
    bool m_waitingForText = false;
    void ImportaPdf();

    WindowServices m_services;

    // Session variables.
    ScanSettings* scanSetting = nullptr;
    QStringList resultFiles;
    int16_t visualizzaDoc = 0;
    QString logFilePath;
    QStringList m_noticesWritten;
    std::unique_ptr<ScanComponent> VSTSCAN;
    PageStore Pagine{[this](const QVector<int>& images) { releaseImages(images); }};
    int32_t PassoZoomX = 0;
    int32_t PassoZoomY = 0;
    bool m_loaded = false;

    // Controls (objectName = control name).
    QWidget* PicImage = nullptr;
    QLabel* ImgPreview = nullptr;
    QWidget* Picture1 = nullptr;
    QWidget* PctButtons = nullptr;
    QWidget* FrameImpPDF = nullptr;
    QWidget* Line1 = nullptr;
    QLabel* LabelPicPDF = nullptr;
    QCheckBox* CheckVisualizza = nullptr;
    QCheckBox* chkFronteRetro = nullptr;
    QCheckBox* chkADF = nullptr;
    QVector<ImageButton*> ImgButtons; ///< index 0..13, null at 8
    QVector<QLabel*> LblButtons;      ///< index 0..13, null where no caption
    QVector<QLabel*> lblPOS;          ///< index 0..7
};
