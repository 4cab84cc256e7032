// PDF import: the user picks an existing PDF file, which becomes the session's result as it is
// (never opened or read here); the session ends.
#include "common/UserSettings.h"
#include "scan_window/FormScansione.h"
#include "scan_window/FormSteps.h"

#include <QFileInfo>
#include <QStandardPaths>

namespace {
const QString lastImportKey = QStringLiteral("DIR");
} // namespace

void FormScansione::ImportaPdf() {
    // Outside the trap: a settings store that fails here leaves the window open.
    const QString lastChoice = m_services.userSettings
                                   ? m_services.userSettings->read(lastImportKey, QString())
                                   : QString();

    resumeNext([this, &lastChoice] {
        // "DIR" holds the last chosen file; the dialog opens in its folder, and in the user's
        // documents when nothing is remembered.
        const QFileInfo last(lastChoice);
        const QString start =
            last.isFile()        ? last.absolutePath()
            : lastChoice.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)
                                   : lastChoice;
        const std::optional<QString> fileName = m_services.choosePdf(this, start);
        if (!fileName)
            return;
        resultFiles.append(*fileName);
        if (m_services.userSettings)
            m_services.userSettings->write(lastImportKey, *fileName);
    });

    setMousePointer(pointerDefault);
    resumeNext([this] { unloadWindow(); });
}
