#pragma once
// Helpers shared by the SANE layer's tests: a sink that records what the device delivers.
#include "component_base/DeviceLayer.h"
#include "support/TestTools.h"
#include <QElapsedTimer>
#include <QImage>
#include <QThread>
#include <QVector>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <functional>
#include <mutex>
#include <ostream>

/// What the component asks for: a single page or a feeder batch, with room for 99 images.
inline AcquireRequest acquireRequest(bool feeder = false) {
    AcquireRequest r;
    r.feeder = feeder;
    r.maxImages = 99;
    return r;
}

class RecordingSink : public AcquireSink {
public:
    bool image(QImage image) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        images.append(image);
        return onImage ? onImage(images.size()) : true;
    }
    void progress(int64_t bytes, int64_t expected) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++progressCalls;
        lastBytes = bytes;
        lastExpected = expected;
    }
    bool cancelled() const override { return stop.load(); }

    QVector<QImage> images;
    int progressCalls = 0;
    int64_t lastBytes = 0, lastExpected = 0;
    std::atomic<bool> stop{false};
    /// Called after each image with the number received; false ends the acquisition.
    std::function<bool(int)> onImage;

private:
    std::mutex m_mutex;
};

// Readable failure messages for Qt strings.
inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
