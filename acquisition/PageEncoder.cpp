#include "acquisition/PageEncoder.h"
#include "acquisition/RawImageFile.h"
#include "component_base/ScanError.h"
#include <QMetaObject>
#include <algorithm>
#include <exception>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Below the window and the acquisition: on a machine with two cores the encoder takes what
// they leave, so that neither the window nor the scanner waits on it.
constexpr int kEncoderNice = 5;

} // namespace

PageEncoder::PageEncoder(QObject* parent) : QObject(parent) {
    m_thread = std::thread([this] { run(); });
}

PageEncoder::~PageEncoder() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_tasks.clear();
    }
    m_wake.notify_all();
    m_thread.join();
}

void PageEncoder::submit(EncodeJob job) {
    {
        std::lock_guard lock(m_mutex);
        if (job.storePage)
            m_tasks.push_back({job.version, std::nullopt, job.pixels, job.claim, job.pagePath, {}});
        for (const auto& [encoding, target] : job.outputs)
            m_tasks.push_back({job.version, encoding, job.pixels, job.claim, job.pagePath, target});
    }
    m_wake.notify_one();
}

QVector<std::optional<FileEncoding>>
PageEncoder::withdraw(quint64 version, const std::optional<FileEncoding>& encoding) {
    QVector<std::optional<FileEncoding>> dropped;
    std::deque<Task> gone; // released outside the lock: the pixels may go with them
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_tasks.begin(); it != m_tasks.end();) {
            const bool match = it->version == version &&
                               (!encoding || (it->encoding && *it->encoding == *encoding));
            if (match) {
                dropped.append(it->encoding);
                gone.push_back(std::move(*it));
                it = m_tasks.erase(it);
            } else {
                ++it;
            }
        }
    }
    return dropped;
}

void PageEncoder::setNewestFirst(bool newestFirst) {
    std::lock_guard lock(m_mutex);
    m_newestFirst = newestFirst;
}

void PageEncoder::deliver() {
    std::vector<Result> results;
    {
        std::lock_guard lock(m_mutex);
        results.swap(m_results);
    }
    for (const Result& r : results) {
        if (r.encoding)
            Q_EMIT encoded(r.version, *r.encoding, r.path, r.error);
        else
            Q_EMIT pageStored(r.version, r.path, r.error, r.failure);
    }
}

void PageEncoder::run() {
    ::pthread_setname_np(::pthread_self(), "page-encoder");
    ::setpriority(PRIO_PROCESS, ::gettid(), kEncoderNice);
    for (;;) {
        Task task;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_tasks.empty(); });
            if (m_stopping)
                return;
            // Page files before encodings: writing one lets go of pixels that hold the
            // acquisition back once 64 MiB wait, and the end of an acquisition waits for them.
            const auto pageFile = std::find_if(m_tasks.begin(), m_tasks.end(),
                                               [](const Task& t) { return !t.encoding; });
            if (pageFile != m_tasks.end()) {
                task = std::move(*pageFile);
                m_tasks.erase(pageFile);
            } else if (m_newestFirst) {
                task = std::move(m_tasks.back());
                m_tasks.pop_back();
            } else {
                task = std::move(m_tasks.front());
                m_tasks.pop_front();
            }
        }
        Result result = perform(task);
        // Done with the pixels before saying so: the owner may count on the memory being free.
        task = Task();
        bool first = false;
        {
            std::lock_guard lock(m_mutex);
            first = m_results.empty();
            m_results.push_back(std::move(result));
        }
        // One delivery for whatever piles up until the owner's event loop gets to it.
        if (first)
            QMetaObject::invokeMethod(this, &PageEncoder::deliver, Qt::QueuedConnection);
    }
}

PageEncoder::Result PageEncoder::perform(Task& task) {
    Result result{task.version, task.encoding, {}, {}, 0};
    if (!task.encoding) {
        if (rawImage::write(task.pixels, task.source, &result.error, &result.failure))
            result.path = task.source;
        return result;
    }
    try {
        QImage image = task.pixels;
        if (image.isNull())
            image = rawImage::read(task.source, &result.error);
        if (!image.isNull()) {
            writeImageFile(image, task.target, writeOptions(*task.encoding));
            result.path = task.target;
        }
    } catch (const ScanError& e) {
        result.error = e.text();
    } catch (const std::exception& e) {
        result.error = QString::fromLocal8Bit(e.what());
    }
    return result;
}
