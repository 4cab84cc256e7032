#pragma once
#include "writers/ImageWriters.h"
#include <QImage>
#include <QObject>
#include <QString>
#include <QVector>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

/// One page's work for the encoder: its page file to write, then the files to encode it into.
struct EncodeJob {
    quint64 version = 0;         ///< the buffer's version of the page, echoed in the results
    QImage pixels;               ///< the page, when it is in memory
    std::shared_ptr<void> claim; ///< the memory budget `pixels` hold, kept until done with them
    QString pagePath;            ///< the page file: written from `pixels` with `storePage`,
                                 ///< read when there are no pixels
    bool storePage = false;
    QVector<QPair<FileEncoding, QString>> outputs; ///< each encoding into its file
};

/// The session's encoder: one thread beside the acquisition that writes acquired pages into
/// their page files and encodes them into the files "Conferma" will need, one task at a time
/// in the order submitted (or the newest first). Results come back as signals on the owner's
/// thread, from its event loop or from deliver(); work still queued can be withdrawn.
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
    /// Drops the queued work of page `version`: every task (`encoding` nullopt) or only the
    /// encoding `encoding`. The task under way, if any, still finishes and reports. Returns
    /// what was dropped: nullopt for a page file, else the encoding.
    QVector<std::optional<FileEncoding>> withdraw(quint64 version,
                                                  const std::optional<FileEncoding>& encoding);
    /// Emits at once the results of the tasks finished so far, which would otherwise wait for
    /// the owner's event loop (busy while it writes a document).
    void deliver();
    /// Takes the newest task first instead of the oldest: while the owner writes a document
    /// from its first page, the encoder then works from the other end.
    void setNewestFirst(bool newestFirst);

Q_SIGNALS:
    /// The page file of `version` is written at `path`, or (empty `path`) not, for `error`
    /// (`failure` the componentError code of it: DiskFull for a full disk).
    void pageStored(quint64 version, const QString& path, const QString& error, int32_t failure);
    /// `version` is encoded as `encoding` into `path`, or (empty `path`) not, for `error`.
    void encoded(quint64 version, const FileEncoding& encoding, const QString& path,
                 const QString& error);

private:
    struct Task {
        quint64 version = 0;
        std::optional<FileEncoding> encoding; ///< nullopt: write the page file
        QImage pixels;
        std::shared_ptr<void> claim;
        QString source; ///< the page file (read from when no pixels; written when storing)
        QString target; ///< the encoded file
    };
    struct Result {
        quint64 version = 0;
        std::optional<FileEncoding> encoding;
        QString path;
        QString error;
        int32_t failure = 0;
    };
    void run();
    Result perform(Task& task);

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Task> m_tasks;
    std::vector<Result> m_results; ///< finished, not yet delivered
    bool m_newestFirst = false;
    bool m_stopping = false;
    std::thread m_thread;
};
