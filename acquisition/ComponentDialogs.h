#pragma once
#include "common/Export.h"
#include <QStringList>
#include <QtGlobal>
#include <functional>
#include <optional>

/// Progress of a running acquisition, as a progress window shows it.
struct AcquisitionProgress {
    int images = 0;          ///< images received so far
    qint64 bytes = 0;        ///< bytes received so far, the image being read included
    qint64 pageBytes = 0;    ///< bytes of the image being read
    qint64 pageExpected = 0; ///< its expected size; 0 when unknown
    int leftOut = 0;         ///< blank sides of a feeder batch left out so far
};

/// What the component asks of a person: patience while the scanners are searched, the choice
/// of a source, and watching an acquisition with a way to cancel it. The component is given
/// one when it is made and knows nothing of how it is shown. This base class is the headless
/// answer (nothing shown, the choice left as it is); the widget implementation and headless
/// hosts override what they show.
///
/// Threading: the component calls every member on its own thread (the window's).
class SCANSIONE_EXPORT ComponentDialogs {
public:
    virtual ~ComponentDialogs() = default;

    /// The device layers are starting, which can take seconds; the caller's event loop keeps
    /// running until searchEnded().
    virtual void searchStarted() {}
    /// The layers have started, or failed to.
    virtual void searchEnded() {}

    /// Lets a person pick one of `names`, `current` highlighted (-1: none). Returns once the
    /// choice is made: the row picked, or nullopt when the choice was cancelled.
    virtual std::optional<int> chooseSource(const QStringList& names, int current) {
        Q_UNUSED(names);
        Q_UNUSED(current);
        return std::nullopt;
    }

    /// An acquisition that shows its progress has started. `cancel` ends it keeping the
    /// images delivered so far; calling it again does nothing more.
    virtual void progressStarted(std::function<void()> cancel) { Q_UNUSED(cancel); }
    /// What has arrived so far.
    virtual void progressChanged(const AcquisitionProgress& progress) { Q_UNUSED(progress); }
    /// The acquisition has ended or was dropped: nothing of it is shown any more.
    virtual void progressEnded() {}
};
