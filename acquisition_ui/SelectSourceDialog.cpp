#include "acquisition_ui/SelectSourceDialog.h"
#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

SelectSourceDialog::SelectSourceDialog(const QStringList& names, int current, QWidget* parent)
    : QDialog(parent), m_list(new QListWidget(this)) {
    setObjectName(QStringLiteral("SelectSource"));
    setWindowTitle(QStringLiteral("Seleziona sorgente"));
    m_list->setObjectName(QStringLiteral("sourceList"));
    m_list->addItems(names);
    if (current >= 0 && current < names.size())
        m_list->setCurrentRow(current);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("Seleziona"));
    buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("Annulla"));
    auto updateOk = [this, buttons] {
        buttons->button(QDialogButtonBox::Ok)->setEnabled(m_list->currentRow() >= 0);
    };
    updateOk();
    connect(m_list, &QListWidget::currentRowChanged, this, updateOk);
    connect(m_list, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Sorgenti disponibili:"), this));
    layout->addWidget(m_list);
    layout->addWidget(buttons);
}

int SelectSourceDialog::chosen() const {
    return m_list->currentRow();
}
