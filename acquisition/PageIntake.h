#pragma once
#include "acquisition/ImageBuffer.h"
#include "acquisition/ScanComponent.h"
#include "component_base/PageServices.h"
#include <QObject>
#include <QString>
#include <atomic>
#include <memory>

/// What the intake knows of the acquisition an image comes from.
struct IntakeBatch {
    quint64 job = 0;
    PageCleanup cleanup;
    bool feeder = false; ///< sides of a feeder batch are judged blank or not
    bool duplex = false; ///< images alternate front and back of each sheet
    /// Where a corrected page's pixels may wait for their page file (as the worker's do).
    std::shared_ptr<MemoryBudget> budget;

    /// True when the intake does anything to this acquisition's images.
    bool needed() const {
        return (cleanup.leaveOutBlankSides && feeder) || cleanup.straighten ||
               cleanup.turnUpsideDown;
    }
};

/// The component's intake of acquired images, on a thread of its own between the acquisition
/// worker and the buffer: a blank side of a feeder batch is left out (its page file removed,
/// its pixels dropped), a page is straightened and turned the right way up by a PageCorrector
/// made on that thread, and each of these is told (cleaned). Images come back in the order
/// they were taken, with the corrected pixels in their page file; an image the corrector
/// fails on comes back as it was scanned, and that is told too.
///
/// Threading: take(), discard() and the signals are on the owner's thread; the judging and
/// correcting on the intake's. Destroying it waits for the image under way (as long as one
/// correction takes at most) and drops those still queued.
class PageIntake : public QObject {
    Q_OBJECT
public:
    explicit PageIntake(PageServices services, QObject* parent = nullptr);
    ~PageIntake() override;

    /// Queues `page` of `batch`. Images of one job must come in their order of acquisition.
    void take(const IntakeBatch& batch, StoredPage page);
    /// Images of `job` (and earlier jobs) still queued are dropped unexamined, their page
    /// files removed: nobody will take them. The one under way still reports.
    void discard(quint64 job);
    /// Images taken and not yet given back (delivered or left out), discarded ones included
    /// until their turn comes.
    int pending() const { return m_pending; }

Q_SIGNALS:
    /// The intake did something to an image of `job` on its own: the component's PageCleaned.
    void cleaned(quint64 job, const QString& operation, const QString& detail);
    /// A blank side of `job` was left out.
    void leftOut(quint64 job);
    /// An image of `job` is ready for the buffer (corrected, or as it was scanned).
    void delivered(quint64 job, const StoredPage& page);
    /// An image of `job` was dropped (discarded, or the intake stopped) without word.
    void dropped(quint64 job);

private:
    struct Shared;
    class Worker;
    std::shared_ptr<Shared> m_shared;
    std::unique_ptr<Worker> m_worker;
    int m_pending = 0;
};
