#include "acquisition/AcquireWorker.h"
#include "component_base/ComponentErrors.h"
#include <QDir>
#include <QElapsedTimer>

namespace {

// Buffer images are 1-bit, 8/16-bit grey or 24/48-bit colour: anything else a device hands
// over is brought to the nearest of those before it is stored.
QImage normalised(QImage image) {
    switch (image.format()) {
    case QImage::Format_Mono:
    case QImage::Format_Grayscale8:
    case QImage::Format_Grayscale16:
    case QImage::Format_RGB888:
    case QImage::Format_RGBX64:
        return image;
    case QImage::Format_MonoLSB:
        return image.convertToFormat(QImage::Format_Mono);
    case QImage::Format_RGBA64:
    case QImage::Format_RGBA64_Premultiplied:
        return image.convertToFormat(QImage::Format_RGBX64);
    case QImage::Format_Indexed8:
        return image.allGray() ? image.convertToFormat(QImage::Format_Grayscale8)
                               : image.convertToFormat(QImage::Format_RGB888);
    default:
        return image.convertToFormat(QImage::Format_RGB888);
    }
}

class WorkerSink : public AcquireSink {
public:
    WorkerSink(AcquireWorker& worker, const AcquireJob& job) : m_worker(worker), m_job(job) {}

    bool image(QImage image) override {
        if (cancelled())
            return false;
        if (m_delivered >= m_job.room) {
            // A device that fed past maxImages: the image is refused, not silently dropped.
            m_refused = true;
            return false;
        }
        if (image.isNull())
            return true; // nothing to keep; the device goes on with the next one
        const QString path =
            m_job.cacheFolder.isEmpty()
                ? QString()
                : QDir(m_job.cacheFolder)
                      .filePath(QStringLiteral("page-%1-%2.raw").arg(m_job.id).arg(m_delivered));
        StoredPage page = storePage(normalised(std::move(image)), path, m_job.budget.get());
        page.dpi = m_job.dpi;
        // A cache that cannot take this page ends the acquisition: the page itself is kept
        // (in memory), the sheets after it stay in the feeder instead of piling up in memory.
        const bool stored = page.failure.ok();
        if (!stored)
            m_failure = page.failure;
        ++m_delivered;
        Q_EMIT m_worker.imageStored(m_job.id, std::move(page));
        return stored;
    }

    void progress(int64_t bytes, int64_t expectedBytes) override {
        // A device may report every few lines; the window needs a handful of updates a second.
        if (m_timer.isValid() && m_timer.elapsed() < 100 && bytes < expectedBytes)
            return;
        m_timer.start();
        Q_EMIT m_worker.progressed(m_job.id, m_delivered, bytes, expectedBytes);
    }

    bool cancelled() const override { return m_job.cancel->load(); }
    void feederEmptied() override { m_feederEmptied = true; }

    int delivered() const { return m_delivered; }
    /// The limit ended the acquisition: an image beyond it came, or a feeder batch filled
    /// the room while the device did not see its feeder run out.
    bool limitReached() const {
        if (m_refused)
            return true;
        if (cancelled() || !m_failure.ok() || m_delivered < m_job.room)
            return false;
        return m_job.room == 0 || (m_job.request.feeder && !m_feederEmptied);
    }
    /// Why the cache could not take a page (ok when it took every one).
    const DeviceStatus& failure() const { return m_failure; }

private:
    AcquireWorker& m_worker;
    const AcquireJob& m_job;
    int m_delivered = 0;
    bool m_refused = false;
    bool m_feederEmptied = false;
    DeviceStatus m_failure;
    QElapsedTimer m_timer;
};

} // namespace

void AcquireWorker::run(AcquireJob job) {
    AcquireOutcome outcome;
    {
        WorkerSink sink(*this, job);
        if (job.request.maxImages > 0)
            outcome.status = job.device->acquire(job.request, sink);
        outcome.delivered = sink.delivered();
        outcome.refused = sink.limitReached();
        outcome.cancelled = sink.cancelled();
        if (!sink.failure().ok())
            outcome.status = sink.failure(); // what stopped the device, whatever it said then
    }
    // Let go of the device before saying so: the component may close it at once.
    job.device.reset();
    Q_EMIT finished(job.id, outcome);
}
