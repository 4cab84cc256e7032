// PDF import: the user picks an existing PDF file, which becomes the session's result as it is
// (never opened or read here); the session ends.
#include "common/UserSettings.h"
#include "scan_window/FormScansione.h"

#include <QFileDialog>
#include <QFileInfo>

namespace {
constexpr int16_t pointerDefault = 0;
const QString lastImportKey = QStringLiteral("DIR");
} // namespace

void FormScansione::ImportaPdf() {
    // Outside the trap: a settings store that fails here leaves the window open.
    const QString lastChoice = m_services.userSettings
                                   ? m_services.userSettings->read(lastImportKey, QString())
                                   : QString();

    resumeNext([this, &lastChoice] {
        QFileDialog dialog(this);
        dialog.setObjectName(QStringLiteral("CommonDialog1"));
        // "DIR" holds the last chosen file; the dialog opens in its folder.
        const QFileInfo last(lastChoice);
        dialog.setDirectory(last.isFile() ? last.absolutePath() : lastChoice);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        // Only a file that is there: a typed name of a missing file would reach the host as a
        // document that does not exist. A name typed without extension gets ".pdf" first.
        dialog.setFileMode(QFileDialog::ExistingFile);
        dialog.setDefaultSuffix(QStringLiteral("pdf"));
        // The pattern keeps the upper-case form and adds the lower-case one, so that the
        // filter matches on a case-sensitive file system.
        dialog.setNameFilter(QStringLiteral("PDF files (*.pdf) (*.PDF *.pdf)"));
        if (dialog.exec() != QDialog::Accepted)
            return;
        const QStringList chosen = dialog.selectedFiles();
        if (chosen.isEmpty())
            return;
        const QString fileName = chosen.constFirst();
        resultFiles.append(fileName);
        if (m_services.userSettings)
            m_services.userSettings->write(lastImportKey, fileName);
    });

    resumeNext([this] { setMousePointer(pointerDefault); });
    resumeNext([this] { unloadWindow(); });
}
