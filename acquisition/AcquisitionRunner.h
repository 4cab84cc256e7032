#pragma once
#include "acquisition/AcquireWorker.h"
#include <QObject>
#include <QThread>
#include <atomic>
#include <memory>

class ComponentDialogs;

/// Runs the component's acquisitions on its worker thread, one at a time: hands the device
/// and the request to the worker, takes its images and its end back on the owner thread,
/// shows the progress through the component's dialogs, and drops every late event of an
/// acquisition that was abandoned (by job id).
///
/// Threading: owner thread only; its signals are emitted on the owner thread. Destroying it
/// abandons a running acquisition and waits for the worker to let go of the device.
class AcquisitionRunner : public QObject {
    Q_OBJECT
public:
    /// `dialogs` must outlive the runner.
    explicit AcquisitionRunner(ComponentDialogs& dialogs, QObject* parent = nullptr);
    ~AcquisitionRunner() override;

    /// True from start() until the acquisition's end arrives or it is abandoned.
    bool running() const { return m_activeJob != 0; }
    /// True when the worker holds no device: every acquisition, abandoned ones included,
    /// has finished.
    bool idle() const { return m_jobsInFlight == 0; }

    /// Starts an acquisition on `device`: at most `room` images are kept (one more shows
    /// that the limit cut the batch short), their page files go under `cacheFolder` (empty:
    /// kept in memory), or stay in memory within `budget` for someone else to write. With
    /// `showProgress` the dialogs show it, with a cancel. Its pages carry `dpi` (0: unknown).
    void start(std::shared_ptr<ScanDevice> device, const AcquireRequest& request, int room,
               const QString& cacheFolder, std::shared_ptr<MemoryBudget> budget, bool showProgress,
               int dpi = 0);
    /// Asks the running acquisition to stop; the images so far and its end still come. The
    /// device is cancelled once, however often or by whichever way this is asked.
    void cancel();
    /// Cancels the running acquisition and drops all its later events: no further
    /// imageStored, no ended.
    void abandon();
    /// Stops the running acquisition because of `reason` (the cache cannot take its pages):
    /// the images so far still come, and its end reports `reason` (the first one given)
    /// instead of the device's status. Nothing when no acquisition runs.
    void stopWith(const DeviceStatus& reason);

Q_SIGNALS:
    /// An image of the running acquisition is stored (its page file written).
    void imageStored(const StoredPage& page);
    /// The running acquisition is over; the worker no longer touches its device.
    void ended(const AcquireOutcome& outcome);
    /// An abandoned acquisition is over: the worker let go of its device.
    void released();

private:
    void onImageStored(quint64 jobId, const StoredPage& page);
    void onProgress(quint64 jobId, int images, qint64 bytes, qint64 expected);
    void onFinished(quint64 jobId, const AcquireOutcome& outcome);
    void forgetActive();

    ComponentDialogs& m_dialogs;
    QThread m_thread;
    AcquireWorker* m_worker = nullptr;
    quint64 m_lastJob = 0;
    quint64 m_activeJob = 0; ///< 0 = no acquisition running
    int m_jobsInFlight = 0;  ///< jobs the worker has not finished, abandoned ones included
    std::shared_ptr<std::atomic<bool>> m_cancel;
    std::weak_ptr<ScanDevice> m_device; ///< the running job's, to cancel it
    DeviceStatus m_stopReason;          ///< why stopWith() stopped the running job
    bool m_progressShown = false;
    int m_images = 0;
    qint64 m_bytes = 0;
};
