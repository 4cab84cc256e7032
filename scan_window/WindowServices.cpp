#include "scan_window/WindowServices.h"
#include "acquisition/ScanComponent.h"
#include "common/ShownText.h"
#include "common/UserSettings.h"
#include "common/WorkingFolder.h"
#include "writers/PdfWriter.h"

#include <QFileDialog>
#include <QMessageBox>
#include <QPointer>
#include <QProgressDialog>
#include <QPushButton>

namespace {

std::optional<QString> pdfFileDialog(QWidget* parent, const QString& folder) {
    QFileDialog dialog(parent);
    dialog.setObjectName(QStringLiteral("CommonDialog1"));
    dialog.setDirectory(folder);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // Only a file that is there: a typed name of a missing file would reach the host as a
    // document that does not exist. A name typed without extension gets ".pdf" first.
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setDefaultSuffix(QStringLiteral("pdf"));
    // Shown as it reads; the dialog matches its pattern regardless of case, so "B.PDF" is
    // listed beside "a.pdf" on a case-sensitive file system too.
    dialog.setNameFilter(QStringLiteral("PDF files (*.pdf)"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().constFirst();
}

/// The wait for the pages' text as a progress window over the scan window, like the
/// acquisition's: window-modal, so that no command of the window runs meanwhile.
class TextProgressDialog : public TextRecognitionProgress {
public:
    TextProgressDialog(QWidget* parent, std::function<void()> withoutText)
        : m_dialog(new QProgressDialog(parent)) {
        m_dialog->setObjectName(QStringLiteral("TextRecognitionProgress"));
        m_dialog->setWindowTitle(QStringLiteral("Riconoscimento del testo"));
        m_dialog->setCancelButtonText(QStringLiteral("Salva senza testo"));
        m_dialog->setAutoClose(false);
        m_dialog->setAutoReset(false);
        m_dialog->setMinimumDuration(0);
        if (parent)
            m_dialog->setWindowModality(Qt::WindowModal);
        QObject::connect(m_dialog, &QProgressDialog::canceled, m_dialog,
                         [withoutText = std::move(withoutText)] { withoutText(); });
    }
    ~TextProgressDialog() override {
        if (QProgressDialog* dialog = m_dialog) {
            QObject::disconnect(dialog, &QProgressDialog::canceled, dialog, nullptr);
            dialog->hide();
            dialog->deleteLater();
        }
    }
    void showPage(int page, int count) override {
        if (!m_dialog)
            return;
        m_dialog->setLabelText(
            QStringLiteral("Riconoscimento del testo: pagina %1 di %2").arg(page).arg(count));
        m_dialog->setRange(0, count);
        m_dialog->setValue(page - 1);
        m_dialog->show();
    }

private:
    QPointer<QProgressDialog> m_dialog;
};

/// `text` as plain text under `caption`, with `icon`.
void setPlainText(QMessageBox& box, QMessageBox::Icon icon, const QString& text,
                  const QString& caption) {
    box.setIcon(icon);
    // Prompts carry texts of the settings file and of devices: control characters in them
    // are shown escaped, as in every message.
    box.setWindowTitle(shownText(caption));
    box.setTextFormat(Qt::PlainText);
    box.setText(shownLines(text));
}

} // namespace

void WindowServices::showPlainMessageBox(QWidget* parent, const QString& prompt,
                                         const QString& caption) {
    QMessageBox box(parent);
    setPlainText(box, QMessageBox::NoIcon, prompt, caption);
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
}

std::optional<bool> WindowServices::askPlainYesNo(QWidget* parent, const QString& question,
                                                  const QString& caption, SafeAnswer keeps) {
    QMessageBox box(parent);
    setPlainText(box, QMessageBox::Question, question, caption);
    QPushButton* yes = box.addButton(QStringLiteral("Sì"), QMessageBox::YesRole);
    QPushButton* no = box.addButton(QStringLiteral("No"), QMessageBox::NoRole);
    // Esc and the close box leave the question unanswered (QMessageBox would take "No" for
    // them), through a button nobody sees.
    QPushButton* unanswered = box.addButton(QMessageBox::Cancel);
    unanswered->hide();
    box.setEscapeButton(unanswered);
    // The answer that loses nothing is the one a stray Enter gives.
    box.setDefaultButton(keeps == SafeAnswer::Yes ? yes : no);
    box.exec();
    if (box.clickedButton() == yes)
        return true;
    if (box.clickedButton() == no)
        return false;
    return std::nullopt;
}

TextRecognitionProgress::~TextRecognitionProgress() = default;

void WindowServices::fillWindowDefaults() {
    if (!workingFolder)
        workingFolder = [] { return ::workingFolder(); };
    if (!userSettings)
        userSettings = std::make_shared<UserSettings>();
    if (!messageBox)
        messageBox = showPlainMessageBox;
    if (!askYesNo)
        askYesNo = askPlainYesNo;
    if (!choosePdf)
        choosePdf = pdfFileDialog;
    if (!textProgress)
        textProgress = [](QWidget* parent, std::function<void()> withoutText) {
            return std::unique_ptr<TextRecognitionProgress>(
                std::make_unique<TextProgressDialog>(parent, std::move(withoutText)));
        };
    if (!createPdfWriter)
        createPdfWriter = [](int32_t quality) { return std::make_unique<PdfWriter>(quality); };
    if (!logWritten)
        logWritten = [](const QString&, int32_t, const QString&) {};
}
