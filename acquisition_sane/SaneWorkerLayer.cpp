#include "acquisition_sane/SaneWorkerLayer.h"
#include "common/SystemErrorText.h"
#include "component_base/ScanError.h"
#include "worker_process/SaneMessages.h"
#include "worker_process/SaneStatus.h"
#include "worker_process/WorkerProgram.h"
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sane/sane.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <type_traits>
#include <unistd.h>
#include <variant>

using namespace workerproto;

namespace {

// The worker's own limits until they are set: data, and the last cancel of a batch.
constexpr int kDefaultStallMs = 25000;
constexpr int kDefaultCancelLostMs = 3000;
constexpr int kDefaultCancelMs = 60000;
// How often a waiting acquisition looks at the sink's cancel flag.
constexpr int kCancelPollMs = 50;
// The largest page the worker may hand over, as the worker's own frame limit.
constexpr int64_t kMaxPageBytes = int64_t(3) << 30;
constexpr int kMaxSide = 1 << 20;

/// A mapped page, unmapped when the image that shows it goes.
struct Mapping {
    void* address;
    size_t bytes;
    static void release(void* info) {
        auto* m = static_cast<Mapping*>(info);
        ::munmap(m->address, m->bytes);
        delete m;
    }
};

/// The image of an Image message, its pixels mapped from the worker's memory file (which this
/// closes). Every field is checked against the file before anything is read: a null image,
/// with `why`, for anything that does not add up.
QImage mapImage(Message& m, QString& why) {
    const int fd = std::exchange(m.fd, -1);
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    const auto header = sane::decode<sane::ImageEvent>(m.body);
    if (!header) {
        why = QStringLiteral("intestazione");
        return QImage();
    }
    const int32_t width = header->width, height = header->height;
    const int32_t bytesPerLine = header->bytesPerLine;
    const QList<QRgb>& table = header->colours;
    const qsizetype colours = table.size();
    const QImage::Format f = QImage::Format(*qimageFormat(uint8_t(header->format)));
    const int bits = QImage::toPixelFormat(f).bitsPerPixel();
    const int64_t bytes = int64_t(bytesPerLine) * height;
    if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide ||
        int64_t(width) * bits > int64_t(bytesPerLine) * 8 || bytes > kMaxPageBytes) {
        why = QStringLiteral("%1 x %2 pixel, %3 byte per riga")
                  .arg(width)
                  .arg(height)
                  .arg(bytesPerLine);
        return QImage();
    }
    if (colours > 256 || (f == QImage::Format_Mono) != (colours == 2)) {
        why = QStringLiteral("%1 colori").arg(colours);
        return QImage();
    }
    // A file its writer could still shrink would kill us with SIGBUS when the page is read.
    const int seals = ::fcntl(fd, F_GET_SEALS);
    struct stat st {};
    if (seals < 0 || !(seals & F_SEAL_SHRINK) || ::fstat(fd, &st) != 0 || st.st_size < bytes) {
        why = QStringLiteral("memoria dell'immagine");
        return QImage();
    }
    void* address = ::mmap(nullptr, size_t(bytes), PROT_READ, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED) {
        why = systemErrorText(errno);
        return QImage();
    }
#ifdef MADV_POPULATE_READ
    // One call maps every page in, instead of one fault per page while it is copied.
    ::madvise(address, size_t(bytes), MADV_POPULATE_READ);
#endif
    auto* mapping = new Mapping{address, size_t(bytes)};
    const QImage mapped(static_cast<uchar*>(address), width, height, bytesPerLine, f,
                        &Mapping::release, mapping);
    if (mapped.isNull()) {
        Mapping::release(mapping);
        why = QStringLiteral("immagine");
        return QImage();
    }
    // The page is copied out and the mapping goes before the worker hears from us: the worker
    // then fills the same memory with the next page, which costs less than a copy here than a
    // fresh memory file for each page (zeroed by the kernel a 4 KiB page at a time).
    QImage image = mapped.copy();
    if (image.isNull()) {
        why = QStringLiteral("memoria per %1 byte").arg(bytes);
        return QImage();
    }
    if (!table.isEmpty())
        image.setColorTable(table);
    return image;
}

} // namespace

// --- The worker a layer and its devices share -------------------------------------------

/// The running worker of a layer, or a fresh one started when it is needed: SANE started in it
/// and its devices listed. Shared by the layer and the devices opened from it, so that a device
/// whose worker ended can get a new one even after its layer stopped. Thread-safe.
class SaneWorkerLayer::SharedWorker {
public:
    SharedWorker(QString program, WorkerBounds bounds)
        : m_program(std::move(program)), m_bounds(bounds) {}

    const WorkerBounds& bounds() const { return m_bounds; }

    /// The running worker, or a new one; null with `status` when none can be had.
    std::shared_ptr<WorkerConnection> connection(DeviceStatus& status) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_connection && m_connection->alive())
                return m_connection;
        }
        std::shared_ptr<WorkerConnection> started = WorkerConnection::start(
            m_program.isEmpty() ? SaneWorkerLayer::workerProgram() : m_program, m_bounds, status);
        if (!started)
            return nullptr;
        status = enumerate(*started);
        if (!status.ok())
            return nullptr;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_connection = started;
        return started;
    }

    /// The running worker only; null when there is none.
    std::shared_ptr<WorkerConnection> running() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_connection && m_connection->alive() ? m_connection : nullptr;
    }

    /// sane_get_devices in `c`'s worker; the list kept for devices().
    DeviceStatus enumerate(WorkerConnection& c) {
        DeviceStatus status;
        const uint32_t id = c.newId();
        const std::optional<QByteArray> body =
            c.call(id, sane::encode(sane::Start(), id).message(), m_bounds.startMs, status);
        if (!body)
            return status;
        const auto reply = sane::decode<sane::StartReply>(*body);
        if (!reply) {
            c.kill(QStringLiteral("risposta non valida a Start"));
            return c.lost();
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_devices = reply->status.ok() ? reply->devices : QVector<DeviceInfo>();
        return reply->status;
    }

    QVector<DeviceInfo> devices() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_devices;
    }

    /// Forgets the worker and the list; devices still open keep their worker.
    void drop() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_connection.reset();
        m_devices.clear();
    }

private:
    const QString m_program;
    const WorkerBounds m_bounds;
    mutable std::mutex m_mutex;
    std::shared_ptr<WorkerConnection> m_connection; // guarded by m_mutex
    QVector<DeviceInfo> m_devices;                  // guarded by m_mutex
};

namespace {

/// Opens `name` in `c`'s worker: its handle, or nullopt with `status`.
std::optional<uint32_t> openIn(WorkerConnection& c, const QString& name, DeviceStatus& status) {
    const uint32_t id = c.newId();
    const std::optional<QByteArray> body =
        c.call(id, sane::encode(sane::Open{name}, id).message(), c.bounds().openMs, status);
    if (!body)
        return std::nullopt;
    const auto reply = sane::decode<sane::OpenReply>(*body);
    if (!reply) {
        c.kill(QStringLiteral("risposta non valida a Open"));
        status = c.lost();
        return std::nullopt;
    }
    status = reply->status;
    return status.ok() ? std::optional<uint32_t>(reply->handle) : std::nullopt;
}

} // namespace

// --- The device ------------------------------------------------------------------------------

struct SaneWorkerDevice::State {
    std::shared_ptr<SaneWorkerLayer::SharedWorker> sharedWorker;
    QString name;
    std::atomic<int> stallMs{kDefaultStallMs};
    int cancelLostMs = kDefaultCancelLostMs;
    int cancelMs = kDefaultCancelMs;
    std::atomic<bool> cancelRequested{false};

    /// The requests that change the device.
    using SettingRequest =
        std::variant<sane::SetCapability, sane::SetImageLayout, sane::SetOption, sane::SetLimits>;
    template <typename Request>
    static constexpr bool isSetting = std::is_constructible_v<SettingRequest, Request>;
    /// A setting made on the device: sent again, in order, to a fresh worker.
    struct Setting {
        SettingRequest request;
        int32_t code; // what the device answered
    };

    mutable std::mutex mutex;
    std::shared_ptr<WorkerConnection> connection; // guarded by mutex
    uint32_t handle = 0;                          // guarded by mutex
    std::vector<Setting> settings;                // guarded by mutex
    /// Why the latest request got no answer (its worker was lost, stopped answering or could
    /// not be brought back); ok once a request is answered again. fault() says it, so that a
    /// question whose worker went is never taken for a feature the device lacks.
    DeviceStatus unanswered; // guarded by mutex

    std::pair<std::shared_ptr<WorkerConnection>, uint32_t> current() const {
        std::lock_guard<std::mutex> lock(mutex);
        return {connection, handle};
    }

    /// The device's worker, running: when it ended while the device was idle (a crash, a kill,
    /// a hang caught after the last acquisition), a fresh one with the device opened again
    /// and every setting made since it was opened sent again in the same order. Null, with
    /// `status`, when that cannot be done, or when a setting no longer gets the answer it got.
    std::pair<std::shared_ptr<WorkerConnection>, uint32_t> live(DeviceStatus& status) {
        auto [c, h] = current();
        if (c->alive())
            return {c, h};
        std::vector<Setting> again;
        {
            std::lock_guard<std::mutex> lock(mutex);
            again = settings;
        }
        const std::shared_ptr<WorkerConnection> fresh = sharedWorker->connection(status);
        if (!fresh)
            return {nullptr, 0};
        const std::optional<uint32_t> handle = openIn(*fresh, name, status);
        if (!handle) {
            // The user did not close the device: its worker went. Say that, with why the
            // device could not be had again (a network scanner gone with the server).
            status = sanestatus::status(
                SANE_STATUS_IO_ERROR,
                QStringLiteral("connessione con lo scanner persa (dispositivo non riaperto: %1)")
                    .arg(status.text.isEmpty() ? QString::number(status.code) : status.text));
            return {nullptr, 0};
        }
        for (const Setting& setting : again) {
            const uint32_t id = fresh->newId();
            const QByteArray request = std::visit(
                [&](auto r) {
                    r.handle = *handle;
                    return sane::encode(r, id).message();
                },
                setting.request);
            const std::optional<QByteArray> body =
                fresh->call(id, request, fresh->bounds().callMs, status);
            if (!body)
                return {nullptr, 0};
            const auto answer = sane::decode<sane::StatusReply>(*body);
            if (!answer || answer->status.code != setting.code) {
                // The device would not be as it was: better an error than other settings.
                const QString said = !answer ? QStringLiteral("risposta non valida")
                                     : answer->status.text.isEmpty()
                                         ? QString::number(answer->status.code)
                                         : answer->status.text;
                status = sanestatus::status(
                    SANE_STATUS_IO_ERROR,
                    QStringLiteral("connessione con lo scanner persa (impostazioni non "
                                   "ripristinate: %1)")
                        .arg(said));
                const uint32_t close = fresh->newId();
                fresh->post(close, sane::encode(sane::Close{*handle}, close).message(),
                            fresh->bounds().closeMs);
                return {nullptr, 0};
            }
        }
        std::lock_guard<std::mutex> lock(mutex);
        connection = fresh;
        this->handle = *handle;
        status = DeviceStatus();
        return {fresh, *handle};
    }

    /// The worker said something that makes no sense: it is killed, and that is the answer.
    static DeviceStatus garbage(WorkerConnection& c, const char* what) {
        c.kill(QStringLiteral("risposta non valida a %1").arg(QLatin1String(what)));
        return c.lost();
    }

    void noteAnswer(bool answered, const DeviceStatus& status) {
        std::lock_guard<std::mutex> lock(mutex);
        unanswered = answered || status.ok() ? DeviceStatus() : status;
    }

    DeviceStatus lastUnanswered() const {
        std::lock_guard<std::mutex> lock(mutex);
        return unanswered;
    }

    /// One request about this device, its handle filled in; its Reply decoded as `Reply`, or
    /// nullopt with `status` set. A Reply that does not decode is garbage: the worker is killed,
    /// with `what` naming the request. A setting is kept for a fresh worker once the device has
    /// answered it.
    template <typename Reply, typename Request>
    std::optional<Reply> ask(Request request, const char* what, DeviceStatus& status) {
        auto [c, h] = live(status);
        if (!c) {
            noteAnswer(false, status);
            return std::nullopt;
        }
        const uint32_t id = c->newId();
        request.handle = h;
        const std::optional<QByteArray> body =
            c->call(id, sane::encode(request, id).message(), c->bounds().callMs, status);
        std::optional<Reply> reply = body ? sane::decode<Reply>(*body) : std::nullopt;
        if (body && !reply)
            status = garbage(*c, what);
        noteAnswer(reply.has_value(), status);
        if constexpr (isSetting<Request>) {
            std::lock_guard<std::mutex> lock(mutex);
            if (reply && connection == c)
                settings.push_back({request, reply->status.code});
        }
        return reply;
    }

    /// A request answered by a status alone.
    template <typename Request> DeviceStatus statusOf(const Request& request, const char* what) {
        DeviceStatus status;
        const std::optional<sane::StatusReply> reply =
            ask<sane::StatusReply>(request, what, status);
        return reply ? reply->status : status;
    }

    DeviceStatus sendLimits() {
        return statusOf(sane::SetLimits{0, stallMs, cancelLostMs, cancelMs}, "SetLimits");
    }
};

SaneWorkerDevice::SaneWorkerDevice(std::shared_ptr<SaneWorkerLayer::SharedWorker> sharedWorker,
                                   std::shared_ptr<WorkerConnection> connection, uint32_t handle,
                                   const QString& name)
    : m_state(std::make_shared<State>()) {
    m_state->sharedWorker = std::move(sharedWorker);
    m_state->name = name;
    m_state->connection = std::move(connection);
    m_state->handle = handle;
}

SaneWorkerDevice::~SaneWorkerDevice() {
    auto [c, h] = m_state->current();
    const uint32_t id = c->newId();
    c->post(id, sane::encode(sane::Close{h}, id).message(), c->bounds().closeMs);
}

QVector<uint16_t> SaneWorkerDevice::capabilityIds() const {
    DeviceStatus status;
    const std::optional<sane::CapabilityIdsReply> reply =
        m_state->ask<sane::CapabilityIdsReply>(sane::CapabilityIds(), "CapabilityIds", status);
    return reply && reply->status.ok() ? reply->ids : QVector<uint16_t>();
}

std::optional<Capability> SaneWorkerDevice::capability(uint16_t id) const {
    DeviceStatus status;
    const std::optional<sane::GetCapabilityReply> reply =
        m_state->ask<sane::GetCapabilityReply>(sane::GetCapability{0, id}, "GetCapability", status);
    return reply && reply->status.ok() ? reply->capability : std::nullopt;
}

DeviceStatus SaneWorkerDevice::setCapability(uint16_t id, double value) {
    return m_state->statusOf(sane::SetCapability{0, id, value}, "SetCapability");
}

DeviceStatus SaneWorkerDevice::setImageLayout(double left, double top, double right,
                                              double bottom) {
    return m_state->statusOf(sane::SetImageLayout{0, left, top, right, bottom}, "SetImageLayout");
}

DeviceStatus SaneWorkerDevice::fault() const {
    const std::shared_ptr<State> s = m_state;
    // Asked after a question went unanswered: that is the fault, even though the next
    // request would find a fresh worker that has none.
    const DeviceStatus unanswered = s->lastUnanswered();
    if (!unanswered.ok())
        return unanswered;
    return s->statusOf(sane::Fault(), "Fault");
}

DeviceStatus SaneWorkerDevice::setOption(const QByteArray& name, const QString& value) {
    return m_state->statusOf(sane::SetOption{0, QString::fromUtf8(name), value}, "SetOption");
}

DeviceStatus SaneWorkerDevice::setStallTimeoutMs(int ms) {
    m_state->stallMs = ms;
    return m_state->sendLimits();
}

DeviceStatus SaneWorkerDevice::setCancelWaitMs(int lostMs, int normalMs) {
    m_state->cancelLostMs = lostMs;
    m_state->cancelMs = normalMs;
    return m_state->sendLimits();
}

pid_t SaneWorkerDevice::workerPid() const {
    return m_state->current().first->pid();
}

void SaneWorkerDevice::cancel() {
    m_state->cancelRequested = true;
}

DeviceStatus SaneWorkerDevice::acquire(const AcquireRequest& request, AcquireSink& sink) {
    const std::shared_ptr<State> s = m_state;
    DeviceStatus status;
    const auto [connection, handle] = s->live(status);
    if (!connection)
        return status;
    WorkerConnection& c = *connection;
    s->cancelRequested = false;
    const WorkerBounds& b = c.bounds();
    const WorkerConnection::StreamBounds bounds{b.scanStartMs, s->stallMs + b.readGraceMs,
                                                b.cancelMs};
    const uint32_t id = c.newId();
    if (!c.openStream(id, sane::encode(sane::Acquire{handle, request}, id).message(), bounds))
        return c.lost();

    bool cancelSent = false;
    std::optional<DeviceStatus> endedWith; // what the worker reported before its last cancel
    DeviceStatus result;
    bool ended = false; // the worker's End came
    for (bool over = false; !over;) {
        if (!cancelSent && (s->cancelRequested || sink.cancelled())) {
            c.cancelStream(id, handle);
            cancelSent = true;
        }
        Message m;
        const WorkerConnection::Next next = c.nextEvent(id, kCancelPollMs, m);
        if (next == WorkerConnection::Next::Nothing)
            continue;
        if (next == WorkerConnection::Next::Closed) {
            // Gone before its End. The images delivered stand; what ended the batch is what
            // the worker had said, the user's cancel, or else the lost connection.
            result = endedWith ? *endedWith : cancelSent ? DeviceStatus() : c.lost();
            break;
        }
        switch (m.kind) {
        case Kind::Phase: {
            const auto phase = sane::decode<sane::PhaseEvent>(m.body);
            if (!phase) {
                result = State::garbage(c, "Phase");
                over = true;
            } else if (phase->phase == Phase::Ending) {
                endedWith = phase->status;
            }
            break;
        }
        case Kind::Progress: {
            const auto progress = sane::decode<sane::ProgressEvent>(m.body);
            if (!progress) {
                result = State::garbage(c, "Progress");
                over = true;
            } else {
                sink.progress(progress->bytes, progress->expected);
            }
            break;
        }
        case Kind::Image: {
            QString why;
            QImage image = mapImage(m, why);
            if (image.isNull()) {
                c.kill(QStringLiteral("immagine non valida (%1)").arg(why));
                result = c.lost();
                over = true;
                break;
            }
            const bool goOn = sink.image(std::move(image));
            c.answerImage(id, goOn);
            break;
        }
        case Kind::End: {
            const auto end = sane::decode<sane::EndEvent>(m.body);
            result = end ? end->status : State::garbage(c, "End");
            ended = true;
            over = true;
            break;
        }
        default:
            result = State::garbage(c, "Acquire");
            over = true;
            break;
        }
        if (m.fd >= 0)
            ::close(m.fd);
    }
    c.closeStream(id);
    if (ended && c.alive()) {
        // A backend can wedge its whole process while it winds down (a reader thread killed
        // holding the heap lock): ask once, briefly, so that such a worker is replaced before
        // the next use instead of making it wait for its bound.
        const uint32_t probe = c.newId();
        DeviceStatus answer;
        c.call(probe, sane::encode(sane::Fault{handle}, probe).message(), b.closeMs, answer);
    }
    return result;
}

// --- The layer -------------------------------------------------------------------------------

SaneWorkerLayer::SaneWorkerLayer(const QString& program, const WorkerBounds& bounds)
    : m_sharedWorker(std::make_shared<SharedWorker>(program, bounds)) {}

SaneWorkerLayer::~SaneWorkerLayer() = default;

QString SaneWorkerLayer::workerProgram() {
    return workerprogram::find("SCANSIONE_SANE_WORKER", QStringLiteral(SCANSIONE_BUILD_WORKER),
                               QStringLiteral("scansione-sane-worker"));
}

DeviceStatus SaneWorkerLayer::start() {
    // A running worker lists its devices afresh; a new one does so as it starts.
    if (const std::shared_ptr<WorkerConnection> running = m_sharedWorker->running())
        return m_sharedWorker->enumerate(*running);
    DeviceStatus status;
    m_sharedWorker->connection(status);
    return status;
}

void SaneWorkerLayer::stop() {
    m_sharedWorker->drop();
}

QVector<DeviceInfo> SaneWorkerLayer::devices() const {
    return m_sharedWorker->devices();
}

pid_t SaneWorkerLayer::workerPid() const {
    const std::shared_ptr<WorkerConnection> running = m_sharedWorker->running();
    return running ? running->pid() : 0;
}

std::unique_ptr<ScanDevice> SaneWorkerLayer::open(const QString& id) {
    DeviceStatus status;
    // A worker that was lost while it opened (it had wedged after its last scan, say) gets
    // one fresh successor to try again.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const std::shared_ptr<WorkerConnection> c = m_sharedWorker->connection(status);
        if (!c)
            break;
        if (const std::optional<uint32_t> handle = openIn(*c, id, status))
            return std::make_unique<SaneWorkerDevice>(m_sharedWorker, c, *handle, id);
        if (c->alive())
            break; // the device said no: that stands
    }
    throw ScanError(status.text, status.code);
}
