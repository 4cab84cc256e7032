#pragma once
#include "acquisition/ImageBuffer.h"
#include "writers/ImageWriters.h"
#include <QImage>
#include <QObject>
#include <QString>
#include <QVector>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

/// One page's work for the encoder: its page file to write, then the files to encode it into.
struct EncodeJob {
    quint64 version = 0; ///< the buffer's version of the page, echoed in the results
    /// A copy of the page: its pixels (and the memory budget they hold, kept until done with
    /// them), or its page file to read them from.
    StoredPage page;
    bool storePage = false;                        ///< write its pending page file
    QVector<QPair<FileEncoding, QString>> outputs; ///< each encoding into its file
};

/// The session's encoder: one thread beside the acquisition that writes acquired pages into
/// their page files and encodes them into the files "Conferma" will need, one task at a time
/// in the order submitted (or the newest first). Results come back as signals on the owner's
/// thread, from its event loop or from deliver(); work still queued can be withdrawn. The
/// encoder is the one account of what is under way: a task counts from submit() until its
/// result has been delivered.
///
/// Threading: every call from the owner thread; the signals are emitted there. Destroying the
/// encoder drops the queued work and waits for the task under way.
class PageEncoder : public QObject {
    Q_OBJECT
public:
    explicit PageEncoder(QObject* parent = nullptr);
    ~PageEncoder() override;
    Q_DISABLE_COPY(PageEncoder)

    /// Queues `job`: its page file first (if asked), then each output.
    void submit(EncodeJob job);
    /// Drops the queued work of page `version` that `drop` picks (given nullopt for its page
    /// file, else the encoding). The task under way, if any, still finishes and reports.
    void withdraw(quint64 version,
                  const std::function<bool(const std::optional<FileEncoding>&)>& drop);
    /// True while a page file is queued, being written or not yet reported.
    bool storing() const;
    /// True while the encoding `encoding` of `version` is queued, under way or not yet
    /// reported.
    bool encoding(quint64 version, const FileEncoding& encoding) const;
    /// True when nothing is queued, under way or waiting to be reported.
    bool idle() const;
    /// Emits at once the results of the tasks finished so far, which would otherwise wait for
    /// the owner's event loop (busy while it writes a document).
    void deliver();
    /// Takes the newest task first instead of the oldest: while the owner writes a document
    /// from its first page, the encoder then works from the other end.
    void setNewestFirst(bool newestFirst);

Q_SIGNALS:
    /// The page file `path` of `version` is written as `written` says (ok, or why not:
    /// DiskFull for a full disk).
    void pageStored(quint64 version, const QString& path, const DeviceStatus& written);
    /// `version` is encoded as `encoding` into `path` as `written` says.
    void encoded(quint64 version, const FileEncoding& encoding, const QString& path,
                 const DeviceStatus& written);

private:
    struct Task {
        quint64 version = 0;
        std::optional<FileEncoding> encoding; ///< nullopt: write the page file
        StoredPage page;
        QString target; ///< the encoded file
    };
    struct Result {
        quint64 version = 0;
        std::optional<FileEncoding> encoding;
        QString path;
        DeviceStatus status;
    };
    using Work = std::pair<quint64, std::optional<FileEncoding>>;
    void run();
    Result perform(Task& task);
    /// True when a queued, running or unreported task matches `match` (locked by the caller).
    bool anyWork(const std::function<bool(const Work&)>& match) const;

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Task> m_tasks;
    std::optional<Work> m_running; ///< the task under way
    std::deque<Result> m_results;  ///< finished, not yet delivered
    bool m_newestFirst = false;
    bool m_stopping = false;
    std::thread m_thread;
};
