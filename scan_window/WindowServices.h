#pragma once
#include "common/Export.h"
#include <QString>
#include <functional>
#include <memory>
#include <optional>

class QWidget;
class ScanComponent;
class UserSettings;
class PdfWriter;

/// What the scan window needs from outside, injected so that tests and headless hosts can
/// stand in for people and devices. Every member has a default (FormScansione's convenience
/// constructor wires them all).
struct SCANSIONE_EXPORT WindowServices {
    /// Creates the acquisition component when the window loads.
    std::function<std::unique_ptr<ScanComponent>()> createComponent;
    /// The per-user settings store.
    std::shared_ptr<UserSettings> userSettings;
    /// Shows a modal message box with an OK button only and no icon.
    std::function<void(QWidget* parent, const QString& prompt, const QString& caption)> messageBox;
    /// Creates the PDF writer of one document; `jpegQuality` is the component's.
    std::function<std::unique_ptr<PdfWriter>(int32_t jpegQuality)> createPdfWriter;
    /// Shows the information window with a report, modally; returns when it is closed.
    std::function<void(const QString& info)> showInfo;
    /// The working folder of the session (ends with "/"); empty when there is none, and then
    /// no log and no document is written.
    std::function<QString()> workingFolder;

    /// Fills every member left empty with its default.
    void fillDefaults();
};
