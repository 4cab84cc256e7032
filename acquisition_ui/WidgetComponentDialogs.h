#pragma once
#include "acquisition/ComponentDialogs.h"
#include <QPointer>
#include <QWidget>

class QProgressDialog;

/// The component's dialogs as windows over a parent window (the scan window):
/// - the search: "Ricerca scanner in corso..." (object name "SearchingScanners"), shown only
///   when the layers take longer than a moment to start;
/// - the source choice: SelectSourceDialog;
/// - the progress: pages and bytes received, with "Annulla" (object name
///   "AcquisitionProgress"), window-modal over the parent.
///
/// Threading: GUI thread only, like every widget.
class WidgetComponentDialogs : public ComponentDialogs {
public:
    /// The windows stand over `parent` while it is shown; otherwise (and with null) they are
    /// top-level windows of the application.
    explicit WidgetComponentDialogs(QWidget* parent = nullptr);
    ~WidgetComponentDialogs() override;

    /// Shows the search window once the start has taken 300 ms.
    void searchStarted() override;
    /// Closes the search window.
    void searchEnded() override;
    /// The modal SelectSourceDialog: the row picked, nullopt on "Annulla".
    std::optional<int> chooseSource(const QStringList& names, int current) override;
    /// Shows the progress window; its "Annulla" calls `cancel`.
    void progressStarted(std::function<void()> cancel) override;
    /// "Pagine ricevute: n / Dati ricevuti: k KB", and the bar of the image being read.
    void progressChanged(const AcquisitionProgress& progress) override;
    /// Closes the progress window.
    void progressEnded() override;

private:
    /// The parent of a window about to be shown: the parent window once it is visible.
    QWidget* owner() const;

    QPointer<QWidget> m_parent;
    QPointer<QProgressDialog> m_searching;
    QPointer<QProgressDialog> m_progress;
};
