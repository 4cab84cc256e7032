#include "acquisition_ui/WidgetComponentDialogs.h"
#include "acquisition_ui/SelectSourceDialog.h"
#include <QProgressDialog>
#include <QTimer>

WidgetComponentDialogs::WidgetComponentDialogs(QWidget* parent) : m_parent(parent) {}

WidgetComponentDialogs::~WidgetComponentDialogs() {
    searchEnded();
    progressEnded();
}

void WidgetComponentDialogs::searchStarted() {
    delete m_searching;
    m_searching = new QProgressDialog(m_parent);
    m_searching->setObjectName(QStringLiteral("SearchingScanners"));
    m_searching->setWindowTitle(QStringLiteral("Scanner"));
    m_searching->setLabelText(QStringLiteral("Ricerca scanner in corso..."));
    m_searching->setCancelButton(nullptr);
    m_searching->setRange(0, 0);
    m_searching->setWindowModality(Qt::ApplicationModal);
    m_searching->hide();
    // Only a start that takes noticeably long is worth a window.
    QTimer::singleShot(300, m_searching, &QWidget::show);
}

void WidgetComponentDialogs::searchEnded() {
    delete m_searching;
}

std::optional<int> WidgetComponentDialogs::chooseSource(const QStringList& names, int current) {
    SelectSourceDialog dialog(names, current, m_parent);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.chosen();
}

void WidgetComponentDialogs::progressStarted(std::function<void()> cancel) {
    progressEnded();
    auto* dialog = new QProgressDialog(m_parent);
    dialog->setObjectName(QStringLiteral("AcquisitionProgress"));
    dialog->setAttribute(Qt::WA_DeleteOnClose, false);
    dialog->setWindowTitle(QStringLiteral("Acquisizione"));
    dialog->setLabelText(QStringLiteral("Pagine ricevute: 0\nDati ricevuti: 0 KB"));
    dialog->setCancelButtonText(QStringLiteral("Annulla"));
    dialog->setAutoClose(false);
    dialog->setAutoReset(false);
    dialog->setRange(0, 0);
    dialog->setMinimumDuration(0);
    if (m_parent)
        dialog->setWindowModality(Qt::WindowModal);
    // Cancel ends the acquisition but keeps what was delivered: the end event still comes.
    QObject::connect(dialog, &QProgressDialog::canceled, dialog, [dialog, cancel] {
        dialog->setLabelText(QStringLiteral("Annullamento in corso..."));
        cancel();
    });
    m_progress = dialog;
    dialog->show();
}

void WidgetComponentDialogs::progressChanged(const AcquisitionProgress& progress) {
    if (!m_progress)
        return;
    m_progress->setLabelText(QStringLiteral("Pagine ricevute: %1\nDati ricevuti: %2 KB")
                                 .arg(progress.images)
                                 .arg(progress.bytes / 1024));
    if (progress.pageExpected > 0 && progress.pageBytes < progress.pageExpected) {
        m_progress->setRange(0, 1000);
        m_progress->setValue(int(progress.pageBytes * 1000 / progress.pageExpected));
    } else {
        m_progress->setRange(0, 0);
    }
}

void WidgetComponentDialogs::progressEnded() {
    if (QProgressDialog* dialog = m_progress) {
        m_progress = nullptr;
        // The cancel it holds may point at a component that is going away.
        QObject::disconnect(dialog, &QProgressDialog::canceled, dialog, nullptr);
        dialog->hide();
        dialog->deleteLater();
    }
}
