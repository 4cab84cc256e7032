#include "acquisition/PageIntake.h"
#include "acquisition/BlankPage.h"
#include <QFile>
#include <QLocale>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

namespace {

/// The resolution the page was scanned at, else the one its pixels carry; 0 when unknown.
int dpiOf(const StoredPage& page, const QImage& image) {
    return page.dpi > 0 ? page.dpi : int(std::lround(image.dotsPerMeterX() * 0.0254));
}

/// A page that goes: its page file leaves the cache, its pixels and memory claim the memory.
void release(StoredPage& page) {
    if (page.fileState() == PageFileState::OnDisk)
        QFile::remove(page.cachePath);
    page = StoredPage();
}

/// "foglio 3 retro": the sheet and side of the `scanned`-th image (from 0) of a batch.
QString sideName(int scanned, bool duplex) {
    const int sheet = (duplex ? scanned / 2 : scanned) + 1;
    const bool back = duplex && scanned % 2 == 1;
    return QStringLiteral("foglio %1 %2")
        .arg(sheet)
        .arg(back ? QStringLiteral("retro") : QStringLiteral("fronte"));
}

PageCorrection failedCorrection(const QString& error) {
    PageCorrection c;
    c.error = error;
    return c;
}

} // namespace

struct PageIntake::Shared {
    std::mutex mutex;
    std::condition_variable wake;
    struct Item {
        IntakeBatch batch;
        StoredPage page;
    };
    std::deque<Item> queue;
    bool stopping = false;
    std::atomic<quint64> discardedUpTo{0};
};

class PageIntake::Worker {
public:
    Worker(PageIntake& owner, std::shared_ptr<Shared> shared, PageServices services)
        : m_owner(&owner), m_shared(std::move(shared)), m_services(std::move(services)),
          m_thread([this] { run(); }) {}

    ~Worker() {
        {
            const std::lock_guard lock(m_shared->mutex);
            m_shared->stopping = true;
        }
        m_shared->wake.notify_all();
        m_thread.join();
    }

private:
    enum class Outcome { Delivered, LeftOut, Dropped };

    void run() {
        for (;;) {
            Shared::Item item;
            {
                std::unique_lock lock(m_shared->mutex);
                m_shared->wake.wait(
                    lock, [this] { return m_shared->stopping || !m_shared->queue.empty(); });
                if (m_shared->stopping)
                    break;
                item = std::move(m_shared->queue.front());
                m_shared->queue.pop_front();
            }
            handle(std::move(item));
        }
        // Images still queued are nobody's now; their page files go with the session cache.
        // The corrector goes on the thread that made it (it may own a worker process).
        m_corrector.reset();
    }

    void handle(Shared::Item item) {
        const IntakeBatch& batch = item.batch;
        if (batch.job != m_job) {
            m_job = batch.job;
            m_scanned = 0;
            m_kept = 0;
            m_correctorTried = false;
        }
        const int scanned = m_scanned++;
        StoredPage page = std::move(item.page);
        if (batch.job <= m_shared->discardedUpTo.load()) {
            release(page);
            return post(batch.job, Outcome::Dropped, {}, {});
        }
        const componentError::Result<QImage> image = page.image();
        if (!image) {
            // Unreadable here is unreadable for the buffer too: it is kept, as the worker
            // stored it, and whoever opens it hears why.
            const int number = ++m_kept;
            return post(batch.job, Outcome::Delivered, std::move(page),
                        {{QStringLiteral("pagina non esaminata"),
                          QStringLiteral("pagina %1: %2").arg(number).arg(image.status().text)}});
        }
        if (batch.cleanup.leaveOutBlankSides && batch.feeder &&
            judgeBlankPage(*image, dpiOf(page, *image)).blank) {
            release(page);
            return post(batch.job, Outcome::LeftOut, {},
                        {{QStringLiteral("pagina bianca"), sideName(scanned, batch.duplex)}});
        }
        const int number = ++m_kept;
        QList<std::pair<QString, QString>> said;
        if (batch.cleanup.straighten || batch.cleanup.turnUpsideDown)
            page = corrected(batch, std::move(page), *image, number, said);
        post(batch.job, Outcome::Delivered, std::move(page), said);
    }

    /// `page` put straight by the corrector, or as it was when it need not or cannot be;
    /// what was done (or why not) goes into `said`.
    StoredPage corrected(const IntakeBatch& batch, StoredPage page, const QImage& image, int number,
                         QList<std::pair<QString, QString>>& said) {
        const int dpi = dpiOf(page, image);
        PageCorrection c = correct(batch, image, dpi);
        if (c.ok() && (c.straightened || c.turned) &&
            (c.image.size() != image.size() || c.image.format() != image.format()))
            c.error = QStringLiteral("la pagina corretta non ha la forma di quella acquisita");
        if (!c.ok()) {
            said.append(
                {QStringLiteral("correzione non riuscita"),
                 QStringLiteral("pagina %1 lasciata com'era: %2").arg(number).arg(c.error)});
            return page;
        }
        if (!(c.straightened || c.turned) || c.image.isNull())
            return page;
        QImage fixed = c.image;
        fixed.setDotsPerMeterX(image.dotsPerMeterX());
        fixed.setDotsPerMeterY(image.dotsPerMeterY());
        // In the scanned page's own file, so that a later session gives back the page as it
        // was delivered; its memory claim goes first, so that the new pixels may take it.
        const QString path = page.cachePath.isEmpty() ? page.pendingPath : page.cachePath;
        page = StoredPage();
        if (c.turned)
            said.append({QStringLiteral("pagina girata"),
                         QStringLiteral("pagina %1 girata di 180°").arg(number)});
        if (c.straightened)
            said.append(
                {QStringLiteral("pagina raddrizzata"),
                 QStringLiteral("pagina %1 raddrizzata di %2°")
                     .arg(number)
                     .arg(QLocale(QLocale::Italian).toString(std::fabs(c.skewDegrees), 'f', 1))});
        StoredPage fixedPage = storePage(fixed, path, batch.budget.get());
        fixedPage.dpi = dpi;
        return fixedPage;
    }

    PageCorrection correct(const IntakeBatch& batch, const QImage& image, int dpi) {
        if (!m_correctorTried) {
            // Made on this thread, once for the intake's life: a corrector that could not be
            // made is asked for again with the next acquisition.
            m_correctorTried = true;
            if (!m_corrector && m_services.corrector) {
                try {
                    m_corrector = m_services.corrector();
                } catch (const std::exception&) {
                    m_corrector.reset();
                }
            }
        }
        if (!m_corrector)
            return failedCorrection(
                QStringLiteral("il servizio di correzione delle pagine non è disponibile"));
        try {
            return m_corrector->correct(image, dpi, batch.cleanup.straighten,
                                        batch.cleanup.turnUpsideDown);
        } catch (const std::exception& e) {
            // Not meant to throw; a corrector that does is replaced with the next acquisition.
            m_corrector.reset();
            return failedCorrection(QString::fromLocal8Bit(e.what()));
        }
    }

    void post(quint64 job, Outcome outcome, StoredPage page,
              const QList<std::pair<QString, QString>>& said) {
        // Handled on the owner's thread, and dropped with the owner (which outlives this
        // thread, so that the call itself is safe).
        PageIntake* owner = m_owner;
        QMetaObject::invokeMethod(
            owner,
            [owner, job, outcome, page = std::move(page), said]() mutable {
                --owner->m_pending;
                for (const auto& [operation, detail] : said)
                    Q_EMIT owner->cleaned(job, operation, detail);
                switch (outcome) {
                case Outcome::Delivered:
                    Q_EMIT owner->delivered(job, page);
                    break;
                case Outcome::LeftOut:
                    Q_EMIT owner->leftOut(job);
                    break;
                case Outcome::Dropped:
                    Q_EMIT owner->dropped(job);
                    break;
                }
            },
            Qt::QueuedConnection);
    }

    PageIntake* m_owner;
    std::shared_ptr<Shared> m_shared;
    PageServices m_services;
    std::unique_ptr<PageCorrector> m_corrector;
    bool m_correctorTried = false;
    quint64 m_job = 0;
    int m_scanned = 0;    ///< images of the job taken so far, left-out sides included
    int m_kept = 0;       ///< images of the job delivered so far: the page numbers told
    std::thread m_thread; // last: started once everything it uses is made
};

PageIntake::PageIntake(PageServices services, QObject* parent)
    : QObject(parent), m_shared(std::make_shared<Shared>()),
      m_worker(std::make_unique<Worker>(*this, m_shared, std::move(services))) {}

PageIntake::~PageIntake() {
    m_worker.reset();
    // What the thread left queued: nobody will take it.
    for (Shared::Item& item : m_shared->queue)
        release(item.page);
}

void PageIntake::take(const IntakeBatch& batch, StoredPage page) {
    ++m_pending;
    {
        const std::lock_guard lock(m_shared->mutex);
        m_shared->queue.push_back({batch, std::move(page)});
    }
    m_shared->wake.notify_one();
}

void PageIntake::discard(quint64 job) {
    quint64 seen = m_shared->discardedUpTo.load();
    while (seen < job && !m_shared->discardedUpTo.compare_exchange_weak(seen, job)) {
    }
}
