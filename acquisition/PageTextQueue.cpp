#include "acquisition/PageTextQueue.h"
#include "component_base/PageServices.h"
#include <QDataStream>
#include <QFile>
#include <QIODevice>
#include <QMetaObject>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <mutex>
#include <pthread.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

// As low as the encoder: reading a page takes the processor for seconds, and the window and
// the scanner come first. The worker program a reader starts from this thread inherits it.
constexpr int kReaderNice = 5;

constexpr quint32 kWordsMagic = 0x53575244; // "SWRD"
constexpr quint16 kWordsFormat = 1;

/// Writes `bytes` to `path` whole or not at all: a file named there is always complete.
bool writeWhole(const QString& path, const QByteArray& bytes) {
    const QString part = path + QStringLiteral(".part");
    QFile file(part);
    bool ok =
        file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
    file.close();
    ok = ok && file.error() == QFileDevice::NoError &&
         std::rename(QFile::encodeName(part).constData(), QFile::encodeName(path).constData()) == 0;
    if (!ok)
        QFile::remove(part);
    return ok;
}

TextOutcome perform(PageTextReader* reader, const TextJob& job) {
    TextOutcome outcome;
    outcome.version = job.version;
    outcome.ticket = job.ticket;
    if (!reader) {
        outcome.error = PageTextQueue::noReaderText();
        return outcome;
    }
    const componentError::Result<QImage> image = job.page.image();
    if (!image) {
        outcome.error = QStringLiteral("pagina illeggibile per il riconoscimento del testo: %1")
                            .arg(image.status().text);
        return outcome;
    }
    outcome.pixels = image->size();
    OcrResult result;
    // The reader's contract is to answer with an error; one that throws costs this page only.
    try {
        result = reader->read(*image, job.dpi, job.languages);
    } catch (const std::exception& e) {
        result = {QString::fromLocal8Bit(e.what()), {}};
    } catch (...) {
        result = {QStringLiteral("errore del riconoscimento del testo"), {}};
    }
    if (!result.ok()) {
        outcome.error = result.error;
        return outcome;
    }
    outcome.words = pageWords::encode(result.words);
    return outcome;
}

} // namespace

namespace pageWords {

QByteArray encode(const OcrWords& words) {
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    out << kWordsMagic << kWordsFormat << quint32(words.size());
    for (const OcrWord& w : words)
        out << w.box << w.baseStart << w.baseEnd << w.angle << w.lineHeight << qint32(w.line)
            << w.confidence << w.text;
    return bytes;
}

std::optional<OcrWords> decode(const QByteArray& bytes) {
    QDataStream in(bytes);
    in.setVersion(QDataStream::Qt_6_0);
    quint32 magic = 0, count = 0;
    quint16 format = 0;
    in >> magic >> format >> count;
    // Each word takes well over 50 bytes: a count beyond that is a damaged file, not a reason
    // to reserve gigabytes.
    if (in.status() != QDataStream::Ok || magic != kWordsMagic || format != kWordsFormat ||
        qint64(count) * 50 > bytes.size())
        return std::nullopt;
    OcrWords words(count);
    for (OcrWord& w : words) {
        qint32 line = 0;
        in >> w.box >> w.baseStart >> w.baseEnd >> w.angle >> w.lineHeight >> line >>
            w.confidence >> w.text;
        w.line = line;
    }
    if (in.status() != QDataStream::Ok || !in.atEnd())
        return std::nullopt;
    return words;
}

} // namespace pageWords

struct PageTextQueue::Shared {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<TextJob> jobs;
    bool running = false;
    std::deque<TextOutcome> results;
    bool stopping = false;
    /// Held while a words file is written; the owner's destructor takes it once after
    /// `stopping`, so that no file appears in the cache after the owner has gone.
    std::mutex writing;
    ReaderMaker makeReader;
};

QString PageTextQueue::noReaderText() {
    return QStringLiteral("riconoscimento del testo non disponibile");
}

PageTextQueue::PageTextQueue(ReaderMaker makeReader, QObject* parent)
    : QObject(parent), m_shared(std::make_shared<Shared>()) {
    m_shared->makeReader = std::move(makeReader);
    // Detached from the start: see the class comment for why nobody joins it.
    std::thread([shared = m_shared, this] { run(shared, this); }).detach();
}

PageTextQueue::~PageTextQueue() {
    std::deque<TextJob> gone; // released outside the lock: the pixels may go with them
    std::deque<TextOutcome> unreported;
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->stopping = true;
        gone.swap(m_shared->jobs);
        unreported.swap(m_shared->results);
    }
    // Nobody will ask for these words: their files go now, not with the session.
    for (const TextOutcome& outcome : unreported) {
        if (!outcome.wordsPath.isEmpty())
            QFile::remove(outcome.wordsPath);
    }
    m_shared->wake.notify_all();
    // A words file being written is finished (or the thread has not begun one and never will).
    const std::lock_guard wait(m_shared->writing);
}

void PageTextQueue::submit(TextJob job) {
    {
        std::lock_guard lock(m_shared->mutex);
        m_shared->jobs.push_back(std::move(job));
    }
    m_shared->wake.notify_one();
}

void PageTextQueue::withdraw(std::optional<quint64> version) {
    std::deque<TextJob> gone;
    std::lock_guard lock(m_shared->mutex);
    std::deque<TextJob>& jobs = m_shared->jobs;
    const auto kept = std::stable_partition(jobs.begin(), jobs.end(), [&](const TextJob& j) {
        return version && j.version != *version;
    });
    std::move(kept, jobs.end(), std::back_inserter(gone));
    jobs.erase(kept, jobs.end());
}

void PageTextQueue::refresh(quint64 version, const StoredPage& page) {
    std::deque<TextJob> stale; // the old copies, and the pixels they held, go outside the lock
    std::lock_guard lock(m_shared->mutex);
    for (TextJob& job : m_shared->jobs) {
        if (job.version == version) {
            stale.push_back(job);
            job.page = page;
        }
    }
}

void PageTextQueue::readFirst(quint64 version) {
    std::lock_guard lock(m_shared->mutex);
    std::deque<TextJob>& jobs = m_shared->jobs;
    std::stable_partition(jobs.begin(), jobs.end(),
                          [version](const TextJob& j) { return j.version == version; });
}

bool PageTextQueue::idle() const {
    std::lock_guard lock(m_shared->mutex);
    return m_shared->jobs.empty() && !m_shared->running && m_shared->results.empty();
}

void PageTextQueue::deliver() {
    // One at a time, as the encoder does: a handler that asks sees the others as under way.
    for (;;) {
        TextOutcome outcome;
        {
            std::lock_guard lock(m_shared->mutex);
            if (m_shared->results.empty())
                return;
            outcome = std::move(m_shared->results.front());
            m_shared->results.pop_front();
        }
        Q_EMIT read(outcome);
    }
}

void PageTextQueue::run(std::shared_ptr<Shared> shared, PageTextQueue* owner) {
    ::pthread_setname_np(::pthread_self(), "page-text");
    ::setpriority(PRIO_PROCESS, ::gettid(), kReaderNice);
    Shared& s = *shared;
    std::unique_ptr<PageTextReader> reader;
    bool made = false;
    for (;;) {
        TextJob job;
        {
            std::unique_lock lock(s.mutex);
            s.wake.wait(lock, [&s] { return s.stopping || !s.jobs.empty(); });
            if (s.stopping)
                break;
            job = std::move(s.jobs.front());
            s.jobs.pop_front();
            s.running = true;
        }
        // Made here, for the first page, so that starting a worker program never holds up
        // the owner; a maker that fails leaves every page unread, with the reason.
        if (!made) {
            made = true;
            try {
                if (s.makeReader)
                    reader = s.makeReader();
            } catch (...) {
                reader.reset();
            }
        }
        TextOutcome outcome = perform(reader.get(), job);
        const QString wordsPath = job.wordsPath;
        // Done with the pixels before saying so: the owner may count on the memory being free.
        job = TextJob();
        {
            const std::lock_guard writing(s.writing);
            bool stopping = false;
            {
                std::lock_guard lock(s.mutex);
                stopping = s.stopping;
            }
            if (stopping)
                break;
            // A words file that cannot be written keeps the words in memory instead.
            if (outcome.error.isEmpty() && !wordsPath.isEmpty() &&
                writeWhole(wordsPath, outcome.words)) {
                outcome.wordsPath = wordsPath;
                outcome.words.clear();
            }
        }
        std::lock_guard lock(s.mutex);
        if (s.stopping) {
            // The owner has gone meanwhile: its cache folder went with it, or goes now with
            // this file in it.
            if (!outcome.wordsPath.isEmpty())
                QFile::remove(outcome.wordsPath);
            break;
        }
        const bool first = s.results.empty();
        s.results.push_back(std::move(outcome));
        s.running = false;
        // Under the lock: the owner cannot be destroyed before this is posted, and a posted
        // call dies with it.
        if (first)
            QMetaObject::invokeMethod(owner, &PageTextQueue::deliver, Qt::QueuedConnection);
    }
    // The reader, and the worker program it drives, end here, on this thread.
    reader.reset();
}
