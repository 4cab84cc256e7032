#include "sane_worker/SaneScanLoop.h"
#include "worker_process/SaneStatus.h"
#include "sane_worker/FrameAssembler.h"
#include "sane_worker/ImageConversion.h"
#include "sane_worker/SigpipeGuard.h"
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <utility>

using namespace twain;

namespace {

// Size of one read: large enough that a page of tens of megabytes costs few calls.
constexpr size_t kReadChunk = 256 * 1024;
constexpr int kPollMs = 50;
constexpr int kProgressEveryMs = 50;
// A read that yields no bytes while the descriptor is at the end of its stream, this many
// times in a row, means the other side closed the connection: the net backend then answers
// "good, 0 bytes" for ever. (One such read can be a record header arriving in pieces.)
constexpr int kEndOfStreamReads = 3;
// Some backends keep their descriptor readable while they have nothing to give (sane-airscan
// between its network requests); after a few empty reads, each further one waits this long,
// so that waiting for the device costs no processor time.
constexpr int kEmptyReadsBeforePause = 10;
constexpr auto kEmptyReadPause = std::chrono::milliseconds(10);

// True when `fd` has reached the end of its stream: hung up, or a socket whose peer closed
// with nothing left to read.
bool endOfStream(int fd, short revents) {
    if (revents & (POLLHUP | POLLRDHUP | POLLERR))
        return true;
    char byte;
    return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

// Our name of a SANE frame format; none for a format the assembler does not take.
std::optional<FrameParameters::Format> frameFormat(SANE_Frame format) {
    static constexpr std::pair<SANE_Frame, FrameParameters::Format> formats[] = {
        {SANE_FRAME_GRAY, FrameParameters::Gray},
        {SANE_FRAME_RGB, FrameParameters::RGB},
        {SANE_FRAME_RED, FrameParameters::Red},
        {SANE_FRAME_GREEN, FrameParameters::Green},
        {SANE_FRAME_BLUE, FrameParameters::Blue}};
    for (const auto& [sane, ours] : formats)
        if (format == sane)
            return ours;
    return std::nullopt;
}

int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

// A cancel running on a thread of its own. The thread holds the handle until the backend
// returns, so that a device gone meanwhile is closed (and SANE released) only then, and
// nobody waits on a backend that may never answer.
struct SaneScanLoop::CancelCall {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false; // guarded by mutex
    std::shared_ptr<SaneHandle> handle;

    static void run(std::shared_ptr<CancelCall> call) {
        SigpipeGuard noSigpipe;
        call->handle->cancel();
        {
            std::lock_guard<std::mutex> lock(call->mutex);
            // Let go of the handle before saying done, so that whoever waits for this can
            // start SANE anew at once (the close and sane_exit run here if the device is gone).
            call->handle.reset();
            call->done = true;
        }
        call->finished.notify_all();
    }

    bool waitDone(int ms) {
        std::unique_lock<std::mutex> lock(mutex);
        return finished.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done; });
    }
};

SaneScanLoop::SaneScanLoop(std::shared_ptr<SaneHandle> handle)
    : m_handle(std::move(handle)), m_clock(steadyMs) {}

SaneScanLoop::~SaneScanLoop() = default;

bool SaneScanLoop::stuck() const {
    std::shared_ptr<CancelCall> call;
    {
        std::lock_guard<std::mutex> lock(m_cancelMutex);
        if (m_acquiring)
            return false; // the acquisition itself waits for its cancel
        call = m_cancelCall;
    }
    if (!call)
        return false;
    std::lock_guard<std::mutex> lock(call->mutex);
    return !call->done;
}

void SaneScanLoop::startCancelLocked() {
    if (m_cancelCall)
        return;
    m_cancelCall = std::make_shared<CancelCall>();
    m_cancelCall->handle = m_handle;
    // SANE allows sane_cancel from another thread while the acquiring one waits in the
    // backend; on a thread of its own it cannot block the caller when the backend does.
    std::thread(&CancelCall::run, m_cancelCall).detach();
}

void SaneScanLoop::cancel() {
    m_cancelRequested = true;
    std::lock_guard<std::mutex> lock(m_cancelMutex);
    if (m_acquiring)
        startCancelLocked();
}

DeviceStatus SaneScanLoop::run(const Batch& batch, AcquireSink& sink) {
    {
        std::lock_guard<std::mutex> lock(m_cancelMutex);
        m_acquiring = true;
        m_cancelCall.reset(); // the last one is done: the device's fault() said so
        m_cancelRequested = false;
    }
    m_frameOpen = m_cutAFrameShort = false;
    FrameAssembler frames(m_frameMemory);
    DeviceStatus result;
    bool lost = false;
    int delivered = 0;
    for (;;) {
        if (m_cancelRequested || sink.cancelled())
            break;
        if (delivered >= batch.maxImages)
            break;
        bool noDocs = false;
        const DeviceStatus page = acquirePage(frames, sink, noDocs);
        if (m_cancelRequested || sink.cancelled())
            break; // whatever the device said after a cancel, the user asked for the stop
        if (noDocs) {
            // An empty feeder ends a batch that delivered pages; before the first it is an error.
            if (delivered == 0)
                result = sanestatus::status(SANE_STATUS_NO_DOCS);
            break;
        }
        if (!page.ok()) {
            result = page;
            lost = page.code == SANE_STATUS_IO_ERROR;
            break;
        }
        QImage image = frames.takeImage();
        if (batch.emulated == BW)
            image = imageconv::toBlackAndWhite(image, batch.threshold);
        else if (batch.emulated == Gray)
            image = imageconv::toGray8(image);
        ++delivered;
        if (!sink.image(std::move(image)))
            break;
        if (!batch.feeder)
            break;
    }
    // The cancel ends the batch, so that the next acquire starts afresh. A device whose
    // connection is gone gets little time for it: its backend may wait on the network for
    // ever, and then the device stays unusable (stuck()) while the acquisition ends.
    phase(AcquirePhase::Ending, result);
    m_cutAFrameShort = m_frameOpen;
    std::shared_ptr<CancelCall> call;
    {
        std::lock_guard<std::mutex> lock(m_cancelMutex);
        startCancelLocked();
        call = m_cancelCall;
    }
    const bool done = call->waitDone(lost ? m_cancelWaitLostMs : m_cancelWaitMs);
    {
        std::lock_guard<std::mutex> lock(m_cancelMutex);
        m_acquiring = false;
    }
    if (!done && result.ok())
        result =
            sanestatus::status(SANE_STATUS_IO_ERROR, QStringLiteral("il dispositivo non risponde"));
    return result;
}

DeviceStatus SaneScanLoop::acquirePage(FrameAssembler& frames, AcquireSink& sink, bool& noDocs) {
    frames.reset();
    int64_t pageBytes = 0;
    bool firstFrame = true;
    for (;;) {
        if (m_handle->connectionClosed())
            return sanestatus::status(SANE_STATUS_IO_ERROR, QStringLiteral("connessione chiusa"));
        phase(AcquirePhase::Starting);
        const SANE_Status started = m_handle->start();
        if (started == SANE_STATUS_NO_DOCS && firstFrame) {
            noDocs = true;
            return DeviceStatus();
        }
        if (started != SANE_STATUS_GOOD)
            return sanestatus::status(started);
        m_frameOpen = true;
        firstFrame = false;
        SANE_Parameters p;
        const SANE_Status got = m_handle->parameters(p);
        if (got != SANE_STATUS_GOOD)
            return sanestatus::status(got);
        FrameParameters fp;
        if (const auto format = frameFormat(p.format))
            fp.format = *format;
        else
            return sanestatus::status(sanestatus::BadFrame,
                                      QStringLiteral("formato %1").arg(int(p.format)));
        fp.lastFrame = p.last_frame;
        fp.bytesPerLine = p.bytes_per_line;
        fp.pixelsPerLine = p.pixels_per_line;
        fp.lines = p.lines;
        fp.depth = p.depth;
        if (!frames.beginFrame(fp))
            return sanestatus::status(sanestatus::BadFrame, frames.error());
        // Three passes report progress over the whole page.
        const bool threePass =
            fp.format != FrameParameters::Gray && fp.format != FrameParameters::RGB;
        const int64_t pageExpected = frames.expectedBytes() * (threePass ? 3 : 1);
        DeviceStatus read = readFrame(frames, sink, pageBytes, pageExpected);
        if (read.code == SANE_STATUS_NO_DOCS && pageBytes == 0 && frames.receivedBytes() == 0) {
            // Some backends find the feeder empty only at the first read of a sheet.
            noDocs = true;
            return DeviceStatus();
        }
        if (!read.ok())
            return read;
        m_frameOpen = false; // the backend said the frame's end itself
        pageBytes += frames.receivedBytes();
        if (!frames.endFrame())
            return sanestatus::status(SANE_STATUS_EOF, frames.error());
        if (frames.pageComplete())
            return DeviceStatus();
    }
}

DeviceStatus SaneScanLoop::readFrame(FrameAssembler& frames, AcquireSink& sink,
                                     int64_t pageBytesBefore, int64_t pageExpected) {
    // Non-blocking reads polled on the backend's select descriptor let a silent device be
    // noticed and a cancel be seen without waiting on the device. Without a descriptor there
    // is nothing to wait on but a busy loop (and some backends then mistake "no data yet" for
    // the end of the frame), so such a backend reads blocking and relies on sane_cancel,
    // which SANE allows from another thread.
    SANE_Int fd = -1;
    if (m_handle->selectFd(fd) != SANE_STATUS_GOOD || fd < 0 ||
        m_handle->setIoMode(true) != SANE_STATUS_GOOD)
        fd = -1;
    const DeviceStatus silent =
        sanestatus::status(SANE_STATUS_IO_ERROR, QStringLiteral("il dispositivo non risponde"));
    int64_t dataAt = m_clock(), progressAt = dataAt;
    sink.progress(pageBytesBefore, pageExpected);
    int emptyReads = 0, endReads = 0;
    for (;;) {
        if (m_cancelRequested || sink.cancelled())
            return sanestatus::status(SANE_STATUS_CANCELLED);
        short revents = 0;
        if (fd >= 0) {
            // Wait for data before reading: a silent device is noticed here and a cancel is
            // seen within one poll interval.
            pollfd pfd{fd, POLLIN | POLLRDHUP, 0};
            const int ready = ::poll(&pfd, 1, kPollMs);
            if (ready == 0) {
                if (m_clock() - dataAt > m_stallTimeoutMs)
                    return silent;
                continue;
            }
            revents = pfd.revents;
        }
        auto [where, room] = frames.writable(kReadChunk);
        if (!where)
            return sanestatus::status(SANE_STATUS_NO_MEM);
        SANE_Int len = 0;
        const SANE_Status s =
            m_handle->read(where, SANE_Int(std::min<size_t>(room, INT32_MAX)), len);
        if (s == SANE_STATUS_EOF)
            break;
        if (s != SANE_STATUS_GOOD)
            return sanestatus::status(s);
        frames.commit(size_t(std::max<SANE_Int>(len, 0)));
        if (len > 0) {
            emptyReads = endReads = 0;
            dataAt = m_clock();
            if (dataAt - progressAt >= kProgressEveryMs) {
                progressAt = dataAt;
                sink.progress(pageBytesBefore + frames.receivedBytes(), pageExpected);
            }
            continue;
        }
        if (fd >= 0 && endOfStream(fd, revents)) {
            if (++endReads >= kEndOfStreamReads)
                return sanestatus::status(SANE_STATUS_IO_ERROR,
                                          QStringLiteral("connessione chiusa"));
            continue;
        }
        endReads = 0;
        if (++emptyReads > kEmptyReadsBeforePause)
            std::this_thread::sleep_for(kEmptyReadPause);
        if (m_clock() - dataAt > m_stallTimeoutMs)
            return silent;
    }
    sink.progress(pageBytesBefore + frames.receivedBytes(), pageExpected);
    return DeviceStatus();
}
