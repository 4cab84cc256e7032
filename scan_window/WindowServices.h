#pragma once
#include "common/Export.h"
#include <QString>
#include <functional>
#include <memory>
#include <optional>

class QWidget;
class ComponentDialogs;
class ScanComponent;
class UserSettings;
class PdfWriter;

/// The window that shows "Conferma" waiting for the text of the document's pages, while their
/// recognition finishes. Closing it is destroying it. GUI thread.
class SCANSIONE_EXPORT TextRecognitionProgress {
public:
    virtual ~TextRecognitionProgress();
    /// Shows that page `page` of `count` is being waited for.
    virtual void showPage(int page, int count) = 0;
};

/// Which answer of a yes/no question loses nothing.
enum class SafeAnswer { Yes, No };

/// What the scan window needs from outside, injected so that tests and headless hosts can
/// stand in for people and devices: every dialog the window or its component shows goes
/// through here. Every member has a default (FormScansione's constructors fill them all in,
/// through fillDefaults).
struct SCANSIONE_EXPORT WindowServices {
    /// Creates the acquisition component when the window loads; `dialogs` are the ones it
    /// is to show (see componentDialogs).
    std::function<std::unique_ptr<ScanComponent>(std::shared_ptr<ComponentDialogs> dialogs)>
        createComponent;
    /// The component's dialogs (scanner search, source choice, progress with "Annulla") over
    /// the scan window `window`; a null result runs the component headless.
    std::function<std::shared_ptr<ComponentDialogs>(QWidget* window)> componentDialogs;
    /// The per-user settings store.
    std::shared_ptr<UserSettings> userSettings;
    /// Shows a modal message box with an OK button only and no icon.
    std::function<void(QWidget* parent, const QString& prompt, const QString& caption)> messageBox;
    /// Asks `question` under `caption` with the buttons "Sì" and "No", modally over
    /// `parent`: true for "Sì", false for "No", nullopt when it was closed unanswered (then
    /// nothing is decided). `keeps` is the answer that loses nothing (the default button):
    /// "Sì" when the question offers pages back, "No" when "Sì" throws pages away. GUI thread.
    std::function<std::optional<bool>(QWidget* parent, const QString& question,
                                      const QString& caption, SafeAnswer keeps)>
        askYesNo;
    /// The PDF import's file-open dialog over `parent`, opening in `folder`: the existing
    /// file chosen, or nullopt when the user cancelled.
    std::function<std::optional<QString>(QWidget* parent, const QString& folder)> choosePdf;
    /// Creates the PDF writer of one document; `jpegQuality` is the component's.
    std::function<std::unique_ptr<PdfWriter>(int32_t jpegQuality)> createPdfWriter;
    /// Shows the information window with a report, modally; returns when it is closed.
    std::function<void(const QString& info)> showInfo;
    /// The working folder of the session (ends with "/"); empty when there is none, and then
    /// no log and no document is written.
    std::function<QString()> workingFolder;
    /// Told of every operation the scan log records, once its lines are appended (and also
    /// when the session has no log file): the operation text, the error code (0: none) and
    /// its text, as ScriviLog got them. The default does nothing; a headless host reports
    /// the settings the device refused from here. GUI thread.
    std::function<void(const QString& operation, int32_t code, const QString& detail)> logWritten;
    // Members after this line came later: appended, so that those before keep their place.
    /// Opens the window of the wait for the pages' text over `parent` (see
    /// TextRecognitionProgress); its button calls `withoutText`, which writes the pages still
    /// waiting without their text. The default: "Riconoscimento del testo: pagina N di M"
    /// with the button "Salva senza testo" (object name "TextRecognitionProgress"),
    /// window-modal over `parent`.
    std::function<std::unique_ptr<TextRecognitionProgress>(QWidget* parent,
                                                           std::function<void()> withoutText)>
        textProgress;

    /// Fills every member left empty with its default: the component with the SANE and
    /// virtual layers, the widget dialogs, the information window, and fillWindowDefaults.
    /// Defined by the default wiring (default_wiring/), not by the window's library, so that
    /// the window never reaches the SANE side or the widget dialogs itself.
    void fillDefaults();
    /// Fills the members the window provides itself when left empty: the working folder, the
    /// settings store, the message and question boxes, the PDF file dialog and writer, the
    /// wait for the pages' text, and a log hook that does nothing.
    void fillWindowDefaults();

    /// The platform's message box as the window shows it (the default messageBox): `prompt`
    /// as plain text under `caption`, an OK button only, no icon; modal over `parent`. GUI
    /// thread; returns when it is closed.
    static void showPlainMessageBox(QWidget* parent, const QString& prompt, const QString& caption);

    /// The platform's question box (the default askYesNo): `question` as plain text under
    /// `caption`, buttons "Sì" and "No", the one `keeps` names being the default; modal over
    /// `parent`. True for "Sì", false for "No", nullopt when closed otherwise. GUI thread;
    /// returns when it is closed.
    static std::optional<bool> askPlainYesNo(QWidget* parent, const QString& question,
                                             const QString& caption, SafeAnswer keeps);
};
