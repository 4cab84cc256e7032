#pragma once
// A page text reader the tests script: it records the pages it is given and answers with one
// word naming the page's size and resolution, or with an error, and it can hold a reading as
// a slow recogniser would.
#include "component_base/PageServices.h"
#include <QImage>
#include <QSize>
#include <QString>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

/// What the fake readers of one test share: the script and what they were given.
struct FakeTextScript {
    struct Call {
        QSize size;
        QImage::Format format = QImage::Format_Invalid;
        int dpi = 0;
        QString languages;
    };

    /// The one word a page of `size` read at `dpi` in `languages` comes back with.
    static QString wordFor(QSize size, int dpi, const QString& languages = QStringLiteral("ita")) {
        return QStringLiteral("%1x%2@%3:%4")
            .arg(size.width())
            .arg(size.height())
            .arg(dpi)
            .arg(languages);
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Call> calls;
    QString error; ///< answered instead of words when set
    int held = 0;  ///< the next this many readings wait for release() or for holdFor
    std::chrono::milliseconds holdFor{30000};
    bool released = false;
    bool makeNone = false; ///< the maker gives no reader
    int made = 0;          ///< readers made
    int alive = 0;         ///< readers not yet destroyed

    void release() {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
    /// Waits (without an event loop) until `n` pages have been given; false on the timeout.
    bool waitForCalls(size_t n, int timeoutMs = 20000) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [&] { return calls.size() >= n; });
    }
    std::vector<Call> snapshot() {
        std::lock_guard lock(mutex);
        return calls;
    }
    int readersMade() {
        std::lock_guard lock(mutex);
        return made;
    }
    int readersAlive() {
        std::lock_guard lock(mutex);
        return alive;
    }
};

class FakeTextReader : public PageTextReader {
public:
    explicit FakeTextReader(std::shared_ptr<FakeTextScript> script) : m_script(std::move(script)) {}
    ~FakeTextReader() override {
        std::lock_guard lock(m_script->mutex);
        --m_script->alive;
    }

    OcrResult read(const QImage& page, int dpi, const QString& languages) override {
        FakeTextScript& s = *m_script;
        std::unique_lock lock(s.mutex);
        s.calls.push_back({page.size(), page.format(), dpi, languages});
        s.changed.notify_all();
        if (s.held > 0) {
            --s.held;
            s.changed.wait_for(lock, s.holdFor, [&s] { return s.released; });
        }
        if (!s.error.isEmpty())
            return {s.error, {}};
        OcrWord word;
        word.box = QRect(QPoint(0, 0), page.size());
        word.baseStart = QPointF(0, page.height());
        word.baseEnd = QPointF(page.width(), page.height());
        word.lineHeight = page.height();
        word.confidence = 90;
        word.text = FakeTextScript::wordFor(page.size(), dpi, languages);
        return {{}, {word}};
    }

private:
    std::shared_ptr<FakeTextScript> m_script;
};

/// Page services whose text readers are fakes following `script`.
inline PageServices fakeTextServices(const std::shared_ptr<FakeTextScript>& script) {
    PageServices services;
    services.textReader = [script]() -> std::unique_ptr<PageTextReader> {
        std::lock_guard lock(script->mutex);
        if (script->makeNone)
            return nullptr;
        ++script->made;
        ++script->alive;
        return std::make_unique<FakeTextReader>(script);
    };
    return services;
}
