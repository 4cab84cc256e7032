#pragma once
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

class ScanComponent;
class ScanSettings;

/// What the start routine needs from outside: the message box and the scan session. Both
/// default to the real ones (a QMessageBox with OK only and no icon; one FormScansione).
struct StartRoutineServices {
    /// Shows a modal message box with an OK button only, no icon and the given caption.
    std::function<void(const QString& prompt, const QString& caption)> messageBox;
    /// Runs one scan session with the loaded settings; the produced files, or nullopt when
    /// the session did not start.
    std::function<std::optional<QStringList>(ScanSettings& settings)> runSession;
    /// After a session that returned no collection: what to tell the person about why it
    /// did not start, or an empty text to end silently (a host that reports it its own
    /// way). The default goes with the default runSession: the text of
    /// notStartedMessage for its result code and the component's reasons; beside a
    /// runSession of the caller's, it is silent.
    std::function<QString()> whyNotStarted;
    /// Says one thing the settings file could not give (a cut file, no usable section, a
    /// number that does not convert); by default on standard error after "Scansione: ".
    std::function<void(const QString& warning)> settingsWarning;

    /// Fills every member left empty with its default.
    void fillDefaults();
};

/// The caption of both message boxes of the start routine.
inline const QString startRoutineCaption = QStringLiteral("TEST SCANNER");

/// What a session's failure code means, in one line for a person ("" for other codes):
/// "SCAN_NOT_AVAILABLE" no scanner found, "SCAN_DEVICE_NOT_STARTED" the device layers did
/// not start, "SCAN_SETTING_FAILED" no settings.
QString startCodeMeaning(const QString& code);

/// Why the component's device layers did not all start: the failure of each layer that did
/// not (which layer and why), or, when it names none but the start failed (`started`
/// false), its last error. Nothing for a null component.
QStringList startFailures(ScanComponent* component, bool started);

/// The start routine's message for a session that did not start with `code`: what happened,
/// what to check, and the component's `reasons`; "" for a code that is not a start failure.
QString notStartedMessage(const QString& code, const QStringList& reasons);

/// The text listing the produced files: "Scansione effettuata. Files:", CR LF, and each path
/// followed by CR LF.
QString producedFilesMessage(const QStringList& files);

/// The program's start routine: loads `settings` from its INI file, warns and ends when the
/// file is missing, otherwise says what the file could not give, runs one session and lists
/// the files it produced; a session that produced nothing ends silently. GUI thread; blocks while
/// the session runs.
void runStartRoutine(ScanSettings& settings, StartRoutineServices services);
