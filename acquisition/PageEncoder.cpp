#include "acquisition/PageEncoder.h"
#include "component_base/ComponentErrors.h"
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
            m_tasks.push_back({job.version, std::nullopt, job.page, {}});
        for (const auto& [encoding, target] : job.outputs)
            m_tasks.push_back({job.version, encoding, job.page, target});
    }
    m_wake.notify_one();
}

void PageEncoder::withdraw(quint64 version,
                           const std::function<bool(const std::optional<FileEncoding>&)>& drop) {
    std::deque<Task> gone; // released outside the lock: the pixels may go with them
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_tasks.begin(); it != m_tasks.end();) {
            if (it->version == version && drop(it->encoding)) {
                gone.push_back(std::move(*it));
                it = m_tasks.erase(it);
            } else {
                ++it;
            }
        }
    }
}

bool PageEncoder::anyWork(const std::function<bool(const Work&)>& match) const {
    return std::any_of(m_tasks.begin(), m_tasks.end(),
                       [&](const Task& t) {
                           return match({t.version, t.encoding});
                       }) ||
           (m_running && match(*m_running)) ||
           std::any_of(m_results.begin(), m_results.end(), [&](const Result& r) {
               return match({r.version, r.encoding});
           });
}

bool PageEncoder::storing() const {
    std::lock_guard lock(m_mutex);
    return anyWork([](const Work& w) { return !w.second; });
}

bool PageEncoder::encoding(quint64 version, const FileEncoding& encoding) const {
    std::lock_guard lock(m_mutex);
    return anyWork([&](const Work& w) { return w.first == version && w.second == encoding; });
}

bool PageEncoder::idle() const {
    std::lock_guard lock(m_mutex);
    return m_tasks.empty() && !m_running && m_results.empty();
}

void PageEncoder::setNewestFirst(bool newestFirst) {
    std::lock_guard lock(m_mutex);
    m_newestFirst = newestFirst;
}

void PageEncoder::deliver() {
    // One at a time: a result counts as under way until its signal is emitted, so that the
    // owner, asked from a handler, never sees the others as done.
    for (;;) {
        Result r;
        {
            std::lock_guard lock(m_mutex);
            if (m_results.empty())
                return;
            r = std::move(m_results.front());
            m_results.pop_front();
        }
        if (r.encoding)
            Q_EMIT encoded(r.version, *r.encoding, r.path, r.status);
        else
            Q_EMIT pageStored(r.version, r.path, r.status);
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
            m_running = Work{task.version, task.encoding};
        }
        Result result = perform(task);
        // Done with the pixels before saying so: the owner may count on the memory being free.
        task = Task();
        bool first = false;
        {
            std::lock_guard lock(m_mutex);
            first = m_results.empty();
            m_results.push_back(std::move(result));
            m_running.reset();
        }
        // One delivery for whatever piles up until the owner's event loop gets to it.
        if (first)
            QMetaObject::invokeMethod(this, &PageEncoder::deliver, Qt::QueuedConnection);
    }
}

PageEncoder::Result PageEncoder::perform(Task& task) {
    Result result{task.version, task.encoding, {}, {}};
    if (!task.encoding) {
        result.path = task.page.pendingPath;
        result.status = task.page.writeFile(task.page.pendingPath);
        return result;
    }
    result.path = task.target;
    try {
        const componentError::Result<QImage> image = task.page.image();
        result.status = image ? componentError::attempt([&] {
            writeImageFile(*image, task.target, writeOptions(*task.encoding));
        })
                              : image.status();
    } catch (const std::exception& e) {
        result.status =
            componentError::status(componentError::WriteFailed, QString::fromLocal8Bit(e.what()));
    }
    return result;
}
