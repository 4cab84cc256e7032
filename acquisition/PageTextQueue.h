#pragma once
#include "acquisition/ImageBuffer.h"
#include "common/OcrWord.h"
#include <QByteArray>
#include <QObject>
#include <QSize>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

class PageTextReader;

/// One image's reading for the text queue.
struct TextJob {
    quint64 version = 0; ///< the buffer's version of the image, echoed in the outcome
    quint64 ticket = 0;  ///< this reading among the image's (languages change, the image turns)
    /// A copy of the page: its pixels (and the memory budget they hold until read), or its
    /// page file to read them from.
    StoredPage page;
    int dpi = 0;
    QString languages;
    QString wordsPath; ///< the words file to write; empty: the words come back in memory
};

/// What reading one image gave.
struct TextOutcome {
    quint64 version = 0;
    quint64 ticket = 0;
    QString error;     ///< empty when read
    QSize pixels;      ///< the size of the image read
    QString wordsPath; ///< the words file written (empty when none)
    QByteArray words;  ///< the words encoded (pageWords) when they are not in a file
};

/// The words of a page as kept in the session cache: a small binary file beside the page's
/// other prepared files.
namespace pageWords {
QByteArray encode(const OcrWords& words);
/// Nullopt when `bytes` are not words encoded by encode().
std::optional<OcrWords> decode(const QByteArray& bytes);
} // namespace pageWords

/// The session's text reader: one thread beside the encoder that reads the words of each
/// image with a PageTextReader of its own, one image at a time in the order submitted (an
/// image can be moved to the front), and writes them into the image's words file. Results
/// come back as `read` signals on the owner's thread, from its event loop or from deliver().
///
/// Threading: every call from the owner thread; the signal is emitted there. The reader is
/// made on the queue's thread with the maker given, and dies there.
///
/// Destroying the queue drops the queued work and does not wait for the image under way:
/// one reading can take seconds (and a recogniser that hangs is only stopped by its own
/// bound), and the window that closes must not wait on it. The thread is left to finish that
/// one reading on its own, with nothing it shares with the owner but a block of state it
/// co-owns; it delivers nothing and writes no file from then on, and destroys its reader
/// (whose worker program goes with it) as it ends. The destructor waits only for a words file
/// being written, a few kilobytes.
class PageTextQueue : public QObject {
    Q_OBJECT
public:
    using ReaderMaker = std::function<std::unique_ptr<PageTextReader>()>;
    /// Starts the thread; `makeReader` is called on it for the first image.
    explicit PageTextQueue(ReaderMaker makeReader, QObject* parent = nullptr);
    ~PageTextQueue() override;
    Q_DISABLE_COPY(PageTextQueue)

    void submit(TextJob job);
    /// Drops the queued readings of `version` (all of them with nullopt).
    void withdraw(std::optional<quint64> version);
    /// The page of `version` now stands as `page` (its page file written): queued copies read
    /// it from there and let go of the pixels they held.
    void refresh(quint64 version, const StoredPage& page);
    /// Moves the queued readings of `version` before every other.
    void readFirst(quint64 version);
    /// True when nothing is queued, under way or waiting to be reported.
    bool idle() const;
    /// Emits at once the results finished so far.
    void deliver();
    /// The error of a page read without a reader.
    static QString noReaderText();

Q_SIGNALS:
    void read(const TextOutcome& outcome);

private:
    struct Shared;
    static void run(std::shared_ptr<Shared> shared, PageTextQueue* owner);
    std::shared_ptr<Shared> m_shared;
};
