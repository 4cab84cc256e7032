#include "acquisition_ui/WidgetComponentDialogs.h"
#include "acquisition_ui/SelectSourceDialog.h"
#include <QProgressDialog>
#include <QTimer>

WidgetComponentDialogs::WidgetComponentDialogs(QWidget* parent) : m_parent(parent) {}

QWidget* WidgetComponentDialogs::owner() const {
    // Before the window is shown (the search and the first choice come then) a window over
    // it would stand where the hidden window is; on its own it is centred on the screen.
    return m_parent && m_parent->isVisible() ? m_parent.data() : nullptr;
}

WidgetComponentDialogs::~WidgetComponentDialogs() {
    searchEnded();
    progressEnded();
}

void WidgetComponentDialogs::searchStarted() {
    delete m_searching;
    m_searching = new QProgressDialog(owner());
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
    SelectSourceDialog dialog(names, current, owner());
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.chosen();
}

void WidgetComponentDialogs::progressStarted(std::function<void()> cancel) {
    progressEnded();
    QWidget* over = owner();
    auto* dialog = new QProgressDialog(over);
    dialog->setObjectName(QStringLiteral("AcquisitionProgress"));
    dialog->setAttribute(Qt::WA_DeleteOnClose, false);
    dialog->setWindowTitle(QStringLiteral("Acquisizione"));
    dialog->setLabelText(QStringLiteral("Pagine ricevute: 0\nDati ricevuti: 0 KB"));
    dialog->setCancelButtonText(QStringLiteral("Annulla"));
    dialog->setAutoClose(false);
    dialog->setAutoReset(false);
    dialog->setRange(0, 0);
    dialog->setMinimumDuration(0);
    if (over)
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
    QString text = QStringLiteral("Pagine ricevute: %1\nDati ricevuti: %2 KB")
                       .arg(progress.images)
                       .arg(progress.bytes / 1024);
    // Told as they go, so that nobody wonders where a side went.
    if (progress.leftOut > 0)
        text += QStringLiteral("\nPagine bianche escluse: %1").arg(progress.leftOut);
    m_progress->setLabelText(text);
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
