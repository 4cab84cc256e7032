#pragma once
#include <QDialog>
#include <QStringList>

class QListWidget;

/// The component's source chooser: the source names in a list, "Seleziona" and "Annulla".
/// Object names: the dialog "SelectSource", the list "sourceList".
class SelectSourceDialog : public QDialog {
    Q_OBJECT
public:
    /// `current` is highlighted at first (-1 for none).
    SelectSourceDialog(const QStringList& names, int current, QWidget* parent = nullptr);
    /// The row picked (valid after exec() returned Accepted); -1 when none.
    int chosen() const;

private:
    QListWidget* m_list;
};
