#include "acquisition/AcquisitionRunner.h"
#include "acquisition/ComponentDialogs.h"
#include <QFile>

AcquisitionRunner::AcquisitionRunner(ComponentDialogs& dialogs, const PageServices& services,
                                     QObject* parent)
    : QObject(parent), m_dialogs(dialogs), m_services(services) {
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
    m_intake.reset();
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
    m_leftOut = 0;
    m_bytes = 0;
    m_batch = {job.id, m_cleanup, request.feeder, request.duplex, job.budget};
    if (!m_batch.needed()) {
        // Clean-up off: the images go straight to the buffer, with no thread in between.
        if (m_intake && m_intake->pending() == 0)
            m_intake.reset();
    } else if (!m_intake) {
        m_intake = std::make_unique<PageIntake>(m_services);
        connect(m_intake.get(), &PageIntake::delivered, this,
                &AcquisitionRunner::onIntakeDelivered);
        connect(m_intake.get(), &PageIntake::cleaned, this,
                [this](quint64 jobId, const QString& operation, const QString& detail) {
                    if (jobId == m_activeJob && jobId != 0)
                        Q_EMIT pageCleaned(operation, detail);
                });
        connect(m_intake.get(), &PageIntake::leftOut, this, [this](quint64 jobId) {
            if (jobId != m_activeJob || jobId == 0)
                return;
            ++m_leftOut;
            this->showProgress(0, 0, 0);
            endWhenTaken();
        });
        // An abandoned acquisition's images still queued hold up the next one's end.
        connect(m_intake.get(), &PageIntake::dropped, this, [this] { endWhenTaken(); });
    }
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
    // Images the intake still holds of it are dropped with it, rather than examined for nobody.
    if (m_intake && m_activeJob != 0)
        m_intake->discard(m_activeJob);
    forgetActive();
}

void AcquisitionRunner::forgetActive() {
    m_activeJob = 0;
    m_heldEnd.reset();
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
    showProgress(0, 0, 0);
    if (m_intake && m_batch.job == jobId && m_batch.needed())
        m_intake->take(m_batch, page);
    else
        Q_EMIT imageStored(page);
}

void AcquisitionRunner::onIntakeDelivered(quint64 jobId, const StoredPage& page) {
    if (jobId != m_activeJob || jobId == 0) {
        if (page.fileState() == PageFileState::OnDisk)
            QFile::remove(page.cachePath);
        return;
    }
    // A corrected page the cache could not take is kept in memory; the acquisition stops, as
    // it does when the worker's own write fails.
    if (!page.failure.ok())
        stopWith(page.failure);
    Q_EMIT imageStored(page);
    endWhenTaken();
}

void AcquisitionRunner::showProgress(qint64 bytes, qint64 pageBytes, qint64 expected) {
    if (m_progressShown)
        m_dialogs.progressChanged({m_images, m_bytes + bytes, pageBytes, expected, m_leftOut});
}

void AcquisitionRunner::onProgress(quint64 jobId, int /*images*/, qint64 bytes, qint64 expected) {
    if (jobId != m_activeJob)
        return;
    showProgress(bytes, bytes, expected);
}

void AcquisitionRunner::onFinished(quint64 jobId, const AcquireOutcome& outcome) {
    --m_jobsInFlight;
    if (jobId != m_activeJob || jobId == 0) {
        Q_EMIT released();
        return;
    }
    // The worker has let go of the device: a cancel while the intake finishes has nothing to
    // stop there.
    m_device.reset();
    m_heldEnd = outcome;
    endWhenTaken();
}

void AcquisitionRunner::endWhenTaken() {
    // The worker's images come before its end, so once the intake holds none the last of
    // them has been told.
    if (!m_heldEnd || (m_intake && m_intake->pending() > 0))
        return;
    AcquireOutcome end = *m_heldEnd;
    if (!m_stopReason.ok()) {
        end.status = m_stopReason;
        end.cancelled = false;
    }
    forgetActive();
    Q_EMIT ended(end);
}
