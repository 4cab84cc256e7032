#include "acquisition_sane/SaneWorkerLayer.h"
#include "acquisition/ScanError.h"
#include "acquisition_sane/SaneStatus.h"
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sane/sane.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool runningFromBuildTree() {
    const QString build = QFileInfo(QStringLiteral(SCANSIONE_BUILD_DIR)).canonicalFilePath();
    if (build.isEmpty())
        return false;
    auto inside = [&](const char* path) {
        const QString canonical = QFileInfo(QString::fromLocal8Bit(path)).canonicalFilePath();
        return canonical.startsWith(build + QLatin1Char('/'));
    };
    // The program, or the shared library holding this code.
    Dl_info info{};
    const bool found = ::dladdr(reinterpret_cast<void*>(&runningFromBuildTree), &info) != 0;
    return inside("/proc/self/exe") || (found && info.dli_fname && inside(info.dli_fname));
}

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
    Decoder d(m.body);
    const int32_t width = d.i32(), height = d.i32(), bytesPerLine = d.i32();
    const std::optional<int> format = qimageFormat(d.u8());
    const uint32_t colours = d.count(sizeof(QRgb));
    QList<QRgb> table;
    for (uint32_t i = 0; i < colours && d.ok(); ++i)
        table.append(d.u32());
    if (!d.finished() || !format) {
        why = QStringLiteral("intestazione");
        return QImage();
    }
    const QImage::Format f = QImage::Format(*format);
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
    // Private and writable: whoever changes the image gets copies of the pages it touches,
    // never touching the worker's.
    void* address = ::mmap(nullptr, size_t(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    if (address == MAP_FAILED) {
        why = QString::fromLocal8Bit(std::strerror(errno));
        return QImage();
    }
#ifdef MADV_POPULATE_READ
    // One call maps every page in, instead of one fault per page while it is stored.
    ::madvise(address, size_t(bytes), MADV_POPULATE_READ);
#endif
    auto* mapping = new Mapping{address, size_t(bytes)};
    QImage image(static_cast<uchar*>(address), width, height, bytesPerLine, f, &Mapping::release,
                 mapping);
    if (image.isNull()) {
        Mapping::release(mapping);
        why = QStringLiteral("immagine");
        return QImage();
    }
    if (!table.isEmpty())
        image.setColorTable(table);
    return image;
}

} // namespace

// --- The device ------------------------------------------------------------------------------

struct SaneWorkerDevice::State {
    std::shared_ptr<WorkerConnection> connection;
    uint32_t handle = 0;
    std::atomic<int> stallMs{kDefaultStallMs};
    int cancelLostMs = kDefaultCancelLostMs;
    int cancelMs = kDefaultCancelMs;
    std::atomic<bool> cancelRequested{false};

    /// The worker said something that makes no sense: it is killed, and that is the answer.
    DeviceStatus garbage(const char* what) const {
        connection->kill(QStringLiteral("risposta non valida a %1").arg(QLatin1String(what)));
        return connection->lost();
    }

    /// One request about this device; the Reply's body, or nullopt with `status` set.
    template <typename Fill>
    std::optional<QByteArray> ask(Kind kind, DeviceStatus& status, Fill fill) const {
        const uint32_t id = connection->newId();
        Encoder request(kind, id);
        request.u32(handle);
        fill(request);
        return connection->call(id, request.message(), connection->bounds().callMs, status);
    }

    /// A request answered by a status alone.
    template <typename Fill> DeviceStatus statusOf(Kind kind, const char* what, Fill fill) const {
        DeviceStatus status;
        const std::optional<QByteArray> body = ask(kind, status, fill);
        if (!body)
            return status;
        Decoder d(*body);
        status = d.status();
        return d.finished() ? status : garbage(what);
    }

    DeviceStatus sendLimits() const {
        return statusOf(Kind::SetLimits, "SetLimits",
                        [this](Encoder& e) { e.i32(stallMs).i32(cancelLostMs).i32(cancelMs); });
    }
};

SaneWorkerDevice::SaneWorkerDevice(std::shared_ptr<WorkerConnection> connection, uint32_t handle)
    : m_state(std::make_shared<State>()) {
    m_state->connection = std::move(connection);
    m_state->handle = handle;
}

SaneWorkerDevice::~SaneWorkerDevice() {
    WorkerConnection& c = *m_state->connection;
    const uint32_t id = c.newId();
    c.post(id, Encoder(Kind::Close, id).u32(m_state->handle).message(), c.bounds().closeMs);
}

QVector<uint16_t> SaneWorkerDevice::capabilityIds() const {
    const std::shared_ptr<State> s = m_state;
    DeviceStatus status;
    const std::optional<QByteArray> body = s->ask(Kind::CapabilityIds, status, [](Encoder&) {});
    if (!body)
        return {};
    Decoder d(*body);
    status = d.status();
    QVector<uint16_t> ids(qsizetype(d.count(sizeof(uint16_t))));
    for (uint16_t& id : ids)
        id = d.u16();
    if (!d.finished()) {
        s->garbage("CapabilityIds");
        return {};
    }
    return status.ok() ? ids : QVector<uint16_t>();
}

std::optional<Capability> SaneWorkerDevice::capability(uint16_t id) const {
    const std::shared_ptr<State> s = m_state;
    DeviceStatus status;
    const std::optional<QByteArray> body =
        s->ask(Kind::GetCapability, status, [id](Encoder& e) { e.u16(id); });
    if (!body)
        return std::nullopt;
    Decoder d(*body);
    status = d.status();
    const bool present = d.u8() != 0;
    std::optional<Capability> c;
    if (present)
        c = d.capability();
    if (!d.finished()) {
        s->garbage("GetCapability");
        return std::nullopt;
    }
    return status.ok() ? c : std::nullopt;
}

DeviceStatus SaneWorkerDevice::setCapability(uint16_t id, double value) {
    return m_state->statusOf(Kind::SetCapability, "SetCapability",
                             [&](Encoder& e) { e.u16(id).f64(value); });
}

DeviceStatus SaneWorkerDevice::setImageLayout(double left, double top, double right,
                                              double bottom) {
    return m_state->statusOf(Kind::SetImageLayout, "SetImageLayout",
                             [&](Encoder& e) { e.f64(left).f64(top).f64(right).f64(bottom); });
}

DeviceStatus SaneWorkerDevice::fault() const {
    const std::shared_ptr<State> s = m_state;
    if (!s->connection->alive())
        return s->connection->lost();
    return s->statusOf(Kind::Fault, "Fault", [](Encoder&) {});
}

DeviceStatus SaneWorkerDevice::setOption(const QByteArray& name, const QString& value) {
    return m_state->statusOf(Kind::SetOption, "SetOption",
                             [&](Encoder& e) { e.text(QString::fromUtf8(name)).text(value); });
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
    return m_state->connection->pid();
}

void SaneWorkerDevice::cancel() {
    m_state->cancelRequested = true;
}

DeviceStatus SaneWorkerDevice::acquire(const AcquireRequest& request, AcquireSink& sink) {
    const std::shared_ptr<State> s = m_state;
    WorkerConnection& c = *s->connection;
    if (!c.alive())
        return c.lost();
    s->cancelRequested = false;
    const WorkerBounds& b = c.bounds();
    const WorkerConnection::StreamBounds bounds{b.scanStartMs, s->stallMs + b.readGraceMs,
                                                b.cancelMs};
    const uint32_t id = c.newId();
    Encoder start(Kind::Acquire, id);
    start.u32(s->handle)
        .u8(request.feeder ? 1 : 0)
        .u8(request.duplex ? 1 : 0)
        .i32(request.maxImages);
    if (!c.openStream(id, start.message(), bounds))
        return c.lost();

    bool cancelSent = false;
    std::optional<DeviceStatus> endedWith; // what the worker reported before its last cancel
    DeviceStatus result;
    for (bool over = false; !over;) {
        if (!cancelSent && (s->cancelRequested || sink.cancelled())) {
            c.cancelStream(id, s->handle);
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
        Decoder d(m.body);
        switch (m.kind) {
        case Kind::Phase: {
            const uint8_t phase = d.u8();
            const DeviceStatus status = d.status();
            if (!d.finished()) {
                result = s->garbage("Phase");
                over = true;
            } else if (phase == uint8_t(Phase::Ending)) {
                endedWith = status;
            }
            break;
        }
        case Kind::Progress: {
            const int64_t bytes = d.i64(), expected = d.i64();
            if (!d.finished()) {
                result = s->garbage("Progress");
                over = true;
            } else {
                sink.progress(bytes, expected);
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
        case Kind::End:
            result = d.status();
            if (!d.finished())
                result = s->garbage("End");
            over = true;
            break;
        default:
            result = s->garbage("Acquire");
            over = true;
            break;
        }
        if (m.fd >= 0)
            ::close(m.fd);
    }
    c.closeStream(id);
    return result;
}

// --- The layer -------------------------------------------------------------------------------

SaneWorkerLayer::SaneWorkerLayer(const QString& program, const WorkerBounds& bounds)
    : m_program(program), m_bounds(bounds) {}

SaneWorkerLayer::~SaneWorkerLayer() = default;

QString SaneWorkerLayer::workerProgram() {
    const QString named = qEnvironmentVariable("SCANSIONE_SANE_WORKER");
    if (!named.isEmpty())
        return named;
    if (runningFromBuildTree())
        return QStringLiteral(SCANSIONE_BUILD_WORKER);
    return QStringLiteral(SCANSIONE_INSTALLED_WORKER);
}

std::shared_ptr<WorkerConnection> SaneWorkerLayer::connection(DeviceStatus& status) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_connection && m_connection->alive())
            return m_connection;
    }
    std::shared_ptr<WorkerConnection> started = WorkerConnection::start(
        m_program.isEmpty() ? workerProgram() : m_program, m_bounds, status);
    if (!started)
        return nullptr;
    status = enumerate(*started);
    if (!status.ok())
        return nullptr;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connection = started;
    return started;
}

DeviceStatus SaneWorkerLayer::enumerate(WorkerConnection& c) {
    DeviceStatus status;
    const uint32_t id = c.newId();
    const std::optional<QByteArray> body =
        c.call(id, Encoder(Kind::Start, id).message(), m_bounds.startMs, status);
    if (!body)
        return status;
    Decoder d(*body);
    status = d.status();
    QVector<DeviceInfo> devices(qsizetype(d.count(2 * sizeof(uint32_t))));
    for (DeviceInfo& info : devices) {
        info.id = d.text();
        info.name = d.text();
    }
    if (!d.finished()) {
        c.kill(QStringLiteral("risposta non valida a Start"));
        return c.lost();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_devices = status.ok() ? devices : QVector<DeviceInfo>();
    return status;
}

DeviceStatus SaneWorkerLayer::start() {
    std::shared_ptr<WorkerConnection> running;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_connection && m_connection->alive())
            running = m_connection;
    }
    // A running worker lists its devices afresh; a new one does so as it starts.
    if (running)
        return enumerate(*running);
    DeviceStatus status;
    connection(status);
    return status;
}

void SaneWorkerLayer::stop() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connection.reset();
    m_devices.clear();
}

QVector<DeviceInfo> SaneWorkerLayer::devices() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_devices;
}

pid_t SaneWorkerLayer::workerPid() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connection && m_connection->alive() ? m_connection->pid() : 0;
}

std::unique_ptr<ScanDevice> SaneWorkerLayer::open(const QString& id) {
    DeviceStatus status;
    const std::shared_ptr<WorkerConnection> c = connection(status);
    if (!c)
        throw ScanError(status.text, status.code);
    const uint32_t request = c->newId();
    const std::optional<QByteArray> body =
        c->call(request, Encoder(Kind::Open, request).text(id).message(), m_bounds.openMs, status);
    if (!body)
        throw ScanError(status.text, status.code);
    Decoder d(*body);
    status = d.status();
    const uint32_t handle = d.u32();
    if (!d.finished()) {
        c->kill(QStringLiteral("risposta non valida a Open"));
        status = c->lost();
    }
    if (!status.ok())
        throw ScanError(status.text, status.code);
    return std::make_unique<SaneWorkerDevice>(c, handle);
}
