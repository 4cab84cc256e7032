#include "acquisition/AcquisitionRunner.h"
#include "acquisition/ComponentDialogs.h"
#include <QFile>

AcquisitionRunner::AcquisitionRunner(ComponentDialogs& dialogs, QObject* parent)
    : QObject(parent), m_dialogs(dialogs) {
    qRegisterMetaType<StoredPage>();
    qRegisterMetaType<AcquireOutcome>();
    m_thread.setObjectName(QStringLiteral("acquisition"));
    m_worker = new AcquireWorker;
    m_worker->moveToThread(&m_thread);
    connect(m_worker, &AcquireWorker::imageStored, this, &AcquisitionRunner::onImageStored,
            Qt::QueuedConnection);
    connect(m_worker, &AcquireWorker::progressed, this, &AcquisitionRunner::onProgress,
            Qt::QueuedConnection);
    connect(m_worker, &AcquireWorker::finished, this, &AcquisitionRunner::onFinished,
            Qt::QueuedConnection);
    m_thread.start();
}

AcquisitionRunner::~AcquisitionRunner() {
    // Nothing of a running acquisition may reach anyone after this point.
    abandon();
    disconnect(m_worker, nullptr, this, nullptr);
    m_thread.quit();
    m_thread.wait();
    delete m_worker; // also drops a job that never started, and with it its device reference
}

void AcquisitionRunner::start(std::shared_ptr<ScanDevice> device, const AcquireRequest& request,
                              int room, const QString& cacheFolder,
                              std::shared_ptr<MemoryBudget> budget, bool showProgress, int dpi) {
    AcquireJob job;
    job.id = ++m_lastJob;
    job.device = device;
    job.request = request;
    job.room = room;
    job.cacheFolder = cacheFolder;
    job.budget = std::move(budget);
    job.dpi = dpi;
    m_device = device;
    m_cancel = job.cancel;
    m_activeJob = job.id;
    m_images = 0;
    m_bytes = 0;
    ++m_jobsInFlight;
    m_progressShown = showProgress;
    if (showProgress)
        m_dialogs.progressStarted([this] { cancel(); });
    AcquireWorker* worker = m_worker;
    QMetaObject::invokeMethod(
        worker, [worker, job = std::move(job)]() mutable { worker->run(std::move(job)); },
        Qt::QueuedConnection);
}

void AcquisitionRunner::cancel() {
    // The flag stops the worker's sink at the next image; the device is told once, as a
    // backend's cancel is not meant to be repeated.
    if (!m_cancel || m_cancel->exchange(true))
        return;
    if (const std::shared_ptr<ScanDevice> device = m_device.lock())
        device->cancel();
}

void AcquisitionRunner::stopWith(const DeviceStatus& reason) {
    if (!running())
        return;
    if (m_stopReason.ok())
        m_stopReason = reason;
    cancel();
}

void AcquisitionRunner::abandon() {
    cancel();
    forgetActive();
}

void AcquisitionRunner::forgetActive() {
    m_activeJob = 0;
    m_stopReason = {};
    m_cancel.reset();
    m_device.reset();
    if (m_progressShown) {
        m_progressShown = false;
        m_dialogs.progressEnded();
    }
}

void AcquisitionRunner::onImageStored(quint64 jobId, const StoredPage& page) {
    if (jobId != m_activeJob || jobId == 0) {
        // An abandoned acquisition's page: nobody will ever reference it.
        if (page.fileState() == PageFileState::OnDisk)
            QFile::remove(page.cachePath);
        return;
    }
    ++m_images;
    m_bytes += page.bytes;
    if (m_progressShown)
        m_dialogs.progressChanged({m_images, m_bytes, 0, 0});
    Q_EMIT imageStored(page);
}

void AcquisitionRunner::onProgress(quint64 jobId, int /*images*/, qint64 bytes, qint64 expected) {
    if (jobId != m_activeJob || !m_progressShown)
        return;
    m_dialogs.progressChanged({m_images, m_bytes + bytes, bytes, expected});
}

void AcquisitionRunner::onFinished(quint64 jobId, const AcquireOutcome& outcome) {
    --m_jobsInFlight;
    if (jobId != m_activeJob || jobId == 0) {
        Q_EMIT released();
        return;
    }
    AcquireOutcome end = outcome;
    if (!m_stopReason.ok()) {
        end.status = m_stopReason;
        end.cancelled = false;
    }
    forgetActive();
    Q_EMIT ended(end);
}
