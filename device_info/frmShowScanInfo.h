#pragma once
#include <QDialog>

class QPlainTextEdit;
class QPushButton;

/// The information window: a capability report in a scrollable, unwrapped text box and an
/// "Esci" button. Create a fresh one for every report.
class frmShowScanInfo : public QDialog {
    Q_OBJECT
public:
    /// Builds the window with its design layout and an empty text box (GUI thread only).
    explicit frmShowScanInfo(QWidget* parent = nullptr);

    /// Shows `info` unchanged and returns when the user has closed the window (modal, GUI
    /// thread only).
    void MostraInfo(const QString& info);

private:
    void cmdChiudi_Click();

    QPlainTextEdit* txtTextInfo = nullptr;
    QPushButton* cmdChiudi = nullptr;
};
