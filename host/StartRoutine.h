#pragma once
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

class ScanSettings;

/// What the start routine needs from outside: the message box and the scan session. Both
/// default to the real ones (a QMessageBox with OK only and no icon; one FormScansione).
struct StartRoutineServices {
    /// Shows a modal message box with an OK button only, no icon and the given caption.
    std::function<void(const QString& prompt, const QString& caption)> messageBox;
    /// Runs one scan session with the loaded settings; the produced files, or nullopt when
    /// the session did not start.
    std::function<std::optional<QStringList>(ScanSettings& settings)> runSession;
    /// Says one thing the settings file could not give (a cut file, no usable section, a
    /// number that does not convert); by default on standard error after "Scansione: ".
    std::function<void(const QString& warning)> settingsWarning;

    /// Fills every member left empty with its default.
    void fillDefaults();
};

/// The caption of both message boxes of the start routine.
inline const QString startRoutineCaption = QStringLiteral("TEST SCANNER");

/// The text listing the produced files: "Scansione effettuata. Files:", CR LF, and each path
/// followed by CR LF.
QString producedFilesMessage(const QStringList& files);

/// The program's start routine: loads `settings` from its INI file, warns and ends when the
/// file is missing, otherwise says what the file could not give, runs one session and lists
/// the files it produced; a session that produced nothing ends silently. GUI thread; blocks while
/// the session runs.
void runStartRoutine(ScanSettings& settings, StartRoutineServices services);
