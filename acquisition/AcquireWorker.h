#pragma once
#include "component_base/DeviceLayer.h"
#include "acquisition/ImageBuffer.h"
#include <QObject>
#include <atomic>
#include <memory>

/// What the component hands the worker for one acquisition.
struct AcquireJob {
    quint64 id = 0;
    std::shared_ptr<ScanDevice> device;
    AcquireRequest request;
    int room = 0;        ///< images the buffer can still take; the device stops there
    QString cacheFolder; ///< where page files go; empty to keep pages in memory
    /// Room for pages left in memory for the encoder to write; without it (or beyond it) the
    /// worker writes each page file itself.
    std::shared_ptr<MemoryBudget> budget;
    int dpi = 0; ///< the resolution programmed, given to each page (0: unknown)
    std::shared_ptr<std::atomic<bool>> cancel = std::make_shared<std::atomic<bool>>(false);
};

/// How an acquisition ended, as the worker reports it.
struct AcquireOutcome {
    DeviceStatus status;  ///< the device's end status (0 for a normal end or a cancel)
    int delivered = 0;    ///< images accepted
    bool refused = false; ///< the limit stopped the acquisition: sheets may be left, or none fit
    bool cancelled = false;
};
Q_DECLARE_METATYPE(StoredPage)
Q_DECLARE_METATYPE(AcquireOutcome)

/// The acquisition worker: lives on the component's worker thread and owns the device while
/// it acquires. Everything it produces crosses to the component as queued signals tagged
/// with the job id, so the component can drop a cancelled job's late events.
class AcquireWorker : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    /// Runs one acquisition to its end. Worker thread only (invoke it queued).
    void run(AcquireJob job);

Q_SIGNALS:
    /// One image stored (cache file written, preview made).
    void imageStored(quint64 jobId, StoredPage page);
    /// Progress: images accepted so far, bytes of the current image read so far and expected.
    void progressed(quint64 jobId, int images, qint64 bytes, qint64 expectedBytes);
    /// The acquisition is over; the worker no longer touches the device.
    void finished(quint64 jobId, AcquireOutcome outcome);
};
