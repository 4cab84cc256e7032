#include "sane_worker/WorkerServer.h"
#include "common/SystemErrorText.h"
#include "component_base/ComponentErrors.h"
#include "component_base/ScanError.h"
#include "sane_worker/SaneDevice.h"
#include "worker_process/SaneStatus.h"
#include "sane_worker/SaneLayer.h"
#include "sane_worker/WorkerDevice.h"
#include <QImage>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sane/sane.h>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

using namespace workerproto;

namespace {

// Once the component has gone, closing the devices and SANE may take this long; a backend that
// hangs there must not keep an orphaned process alive.
constexpr unsigned kExitSeconds = 5;

/// The image's pixels in a sealed memory file, for the component to map: nobody can shrink
/// it under the component's mapping (which would kill it with SIGBUS). -1 with errno on
/// failure.
int pageFile(const QImage& image) {
    const int fd = ::memfd_create("scansione-pagina", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        return -1;
    const char* at = reinterpret_cast<const char*>(image.constBits());
    size_t left = size_t(image.sizeInBytes());
    while (left > 0) {
        const ssize_t n = ::write(fd, at, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int saved = n < 0 ? errno : ENOSPC;
            ::close(fd);
            errno = saved;
            return -1;
        }
        at += n;
        left -= size_t(n);
    }
    if (::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

} // namespace

// --- One acquisition ----------------------------------------------------------------------

struct WorkerServer::Acquisition {
    uint32_t id = 0;
    AcquireRequest request;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable answered;
    bool waitingAnswer = false; // guarded by mutex: an image is out, not yet answered
    std::optional<bool> answer; // guarded by mutex
    bool closing = false;       // guarded by mutex: the component is gone or closed the device
    std::atomic<bool> cancelled{false};
    std::atomic<bool> done{false};
    DeviceStatus sinkFailure; // acquiring thread only

    /// Ends any wait for an answer with "stop".
    void close() {
        cancelled = true;
        {
            std::lock_guard<std::mutex> lock(mutex);
            closing = true;
        }
        answered.notify_all();
    }
};

struct WorkerServer::Device {
    std::unique_ptr<WorkerDevice> device;
    std::shared_ptr<Acquisition> acquisition; // the last one started; its thread may have ended
};

class WorkerServer::Sink : public AcquireSink {
public:
    Sink(WorkerServer& server, Acquisition& acquisition)
        : m_server(server), m_acquisition(acquisition) {}

    bool image(QImage image) override {
        if (cancelled())
            return false;
        if (!pixelFormat(image.format()))
            image = image.convertToFormat(QImage::Format_RGB888);
        // A page assembled in shared memory goes as it is; one made here (converted to black
        // and white, say) is copied into a memory file of its own.
        int fd = m_server.m_frameMemory.sealedFile(image.constBits(), size_t(image.sizeInBytes()));
        const bool copied = fd < 0;
        if (copied)
            fd = pageFile(image);
        if (fd < 0) {
            // Stopping here without a word would end the batch as if it were complete.
            m_acquisition.sinkFailure =
                sanestatus::status(SANE_STATUS_NO_MEM, systemErrorText(errno));
            return false;
        }
        Encoder message(Kind::Image, m_acquisition.id);
        message.i32(image.width())
            .i32(image.height())
            .i32(int32_t(image.bytesPerLine()))
            .u8(uint8_t(*pixelFormat(image.format())));
        const QList<QRgb> colours = image.colorTable();
        message.u32(uint32_t(colours.size()));
        for (QRgb c : colours)
            message.u32(c);
        {
            std::lock_guard<std::mutex> lock(m_acquisition.mutex);
            m_acquisition.waitingAnswer = true;
            m_acquisition.answer.reset();
        }
        m_server.send(message, fd);
        if (copied)
            ::close(fd);
        std::unique_lock<std::mutex> lock(m_acquisition.mutex);
        m_acquisition.answered.wait(
            lock, [this] { return m_acquisition.answer || m_acquisition.closing; });
        m_acquisition.waitingAnswer = false;
        // An answer means the component copied the page and let go of its memory file.
        if (m_acquisition.answer && !copied)
            m_server.m_frameMemory.returned(image.constBits());
        return m_acquisition.answer.value_or(false) && !cancelled();
    }

    void progress(int64_t bytes, int64_t expectedBytes) override {
        m_server.send(Encoder(Kind::Progress, m_acquisition.id).i64(bytes).i64(expectedBytes));
    }

    bool cancelled() const override { return m_acquisition.cancelled.load(); }

private:
    WorkerServer& m_server;
    Acquisition& m_acquisition;
};

// --- The server ---------------------------------------------------------------------------

WorkerServer::WorkerServer(int socket) : m_socket(socket) {}

WorkerServer::~WorkerServer() {
    shutdown();
}

void WorkerServer::send(const Encoder& message, int fd) {
    std::lock_guard<std::mutex> lock(m_sendMutex);
    if (m_sendFailed)
        return;
    // A component that stops reading is killing us anyway; a write that fails means it is
    // gone, and the read side will see the end.
    if (!sendMessage(m_socket, message.message(), fd))
        m_sendFailed = true;
}

void WorkerServer::reply(uint32_t id, const DeviceStatus& status) {
    send(Encoder(Kind::Reply, id).status(status));
}

int WorkerServer::run() {
    send(Encoder(Kind::Hello, 0).u32(kMagic).u32(kVersion).i32(int32_t(::getpid())));
    MessageStream stream(false);
    for (;;) {
        Message message;
        QString error;
        while (stream.next(message, error)) {
            dispatch(message);
            message = Message();
        }
        if (!error.isEmpty()) {
            std::fprintf(stderr, "scansione-sane-worker: %s\n", qPrintable(error));
            break;
        }
        if (stream.receive(m_socket, false) != MessageStream::Read::Data)
            break;
    }
    // The component closed its end (or broke the protocol): nobody is left to serve.
    ::alarm(kExitSeconds);
    shutdown();
    return 0;
}

WorkerServer::Device* WorkerServer::deviceFor(uint32_t id, uint32_t handle) {
    auto it = m_devices.find(handle);
    if (it == m_devices.end()) {
        reply(id,
              sanestatus::status(SANE_STATUS_INVAL, QStringLiteral("dispositivo %1").arg(handle)));
        return nullptr;
    }
    Device* device = it.value().get();
    if (const std::shared_ptr<Acquisition>& a = device->acquisition; a && !a->done) {
        std::lock_guard<std::mutex> lock(a->mutex);
        if (!a->waitingAnswer) {
            reply(id, componentError::status(componentError::Busy));
            return nullptr;
        }
    }
    return device;
}

void WorkerServer::dispatch(Message& message) {
    if (m_retiring)
        return;
    Decoder in(message.body);
    const uint32_t id = message.id;
    auto bad = [&] {
        reply(id, sanestatus::status(SANE_STATUS_INVAL, QStringLiteral("richiesta non valida")));
    };
    switch (message.kind) {
    case Kind::Start: {
        if (!in.finished())
            return bad();
        if (!m_layer)
            m_layer = std::make_unique<SaneLayer>();
        const DeviceStatus status = m_layer->start();
        const QVector<DeviceInfo> devices = m_layer->devices();
        Encoder out(Kind::Reply, id);
        out.status(status).u32(uint32_t(devices.size()));
        for (const DeviceInfo& d : devices)
            out.text(d.id).text(d.name);
        return send(out);
    }
    case Kind::Open: {
        const QString name = in.text();
        if (!in.finished())
            return bad();
        if (!m_layer)
            return reply(id, sanestatus::status(sanestatus::NotStarted));
        DeviceStatus status;
        auto device = std::make_shared<Device>();
        try {
            device->device = m_layer->openDevice(name);
        } catch (const ScanError& e) {
            status = {e.code() ? e.code() : int32_t(SANE_STATUS_INVAL), e.text()};
        }
        uint32_t handle = 0;
        if (status.ok()) {
            handle = ++m_lastHandle;
            m_devices.insert(handle, device);
        }
        return send(Encoder(Kind::Reply, id).status(status).u32(handle));
    }
    case Kind::Close: {
        const uint32_t handle = in.u32();
        if (!in.finished())
            return bad();
        auto it = m_devices.find(handle);
        if (it != m_devices.end()) {
            finishAcquisition(*it.value());
            m_devices.erase(it);
        }
        return reply(id, DeviceStatus());
    }
    case Kind::Cancel: {
        const uint32_t handle = in.u32();
        auto it = m_devices.find(handle);
        if (in.finished() && it != m_devices.end() && it.value()->acquisition) {
            it.value()->acquisition->cancelled = true;
            it.value()->device->cancel();
        }
        return; // no answer: the acquisition's End is the answer
    }
    case Kind::ImageAck: {
        const bool goOn = in.u8() != 0;
        if (!in.finished())
            return;
        for (const std::shared_ptr<Device>& d : std::as_const(m_devices)) {
            Acquisition* a = d->acquisition.get();
            if (!a || a->id != id)
                continue;
            {
                std::lock_guard<std::mutex> lock(a->mutex);
                a->answer = goOn;
            }
            a->answered.notify_all();
        }
        return;
    }
    case Kind::Acquire: {
        const uint32_t handle = in.u32();
        return startAcquisition(id, handle, in);
    }
    default:
        break;
    }

    // The calls on one device: capabilities, frame, options, limits.
    const uint32_t handle = in.u32();
    if (!in.ok())
        return bad();
    switch (message.kind) {
    case Kind::CapabilityIds: {
        if (!in.finished())
            return bad();
        Device* d = deviceFor(id, handle);
        if (!d)
            return;
        const QVector<uint16_t> ids = d->device->capabilityIds();
        Encoder out(Kind::Reply, id);
        out.status(DeviceStatus()).u32(uint32_t(ids.size()));
        for (uint16_t c : ids)
            out.u16(c);
        return send(out);
    }
    case Kind::GetCapability: {
        const uint16_t cap = in.u16();
        if (!in.finished())
            return bad();
        Device* d = deviceFor(id, handle);
        if (!d)
            return;
        const std::optional<Capability> c = d->device->capability(cap);
        Encoder out(Kind::Reply, id);
        out.status(DeviceStatus()).u8(c ? 1 : 0);
        if (c)
            out.capability(*c);
        return send(out);
    }
    case Kind::SetCapability: {
        const uint16_t cap = in.u16();
        const double value = in.f64();
        if (!in.finished())
            return bad();
        if (Device* d = deviceFor(id, handle))
            reply(id, d->device->setCapability(cap, value));
        return;
    }
    case Kind::SetImageLayout: {
        const double l = in.f64(), t = in.f64(), r = in.f64(), b = in.f64();
        if (!in.finished())
            return bad();
        if (Device* d = deviceFor(id, handle))
            reply(id, d->device->setImageLayout(l, t, r, b));
        return;
    }
    case Kind::Fault: {
        if (!in.finished())
            return bad();
        if (Device* d = deviceFor(id, handle))
            reply(id, d->device->fault());
        return;
    }
    case Kind::SetOption: {
        const QString name = in.text();
        const QString value = in.text();
        if (!in.finished())
            return bad();
        if (Device* d = deviceFor(id, handle))
            reply(id, d->device->setOption(name.toUtf8(), value));
        return;
    }
    case Kind::SetLimits: {
        const int32_t stall = in.i32(), lost = in.i32(), normal = in.i32();
        if (!in.finished() || stall <= 0 || lost <= 0 || normal <= 0)
            return bad();
        if (Device* d = deviceFor(id, handle)) {
            d->device->setLimits(stall, lost, normal);
            reply(id, DeviceStatus());
        }
        return;
    }
    default:
        return bad();
    }
}

void WorkerServer::startAcquisition(uint32_t id, uint32_t handle, Decoder& in) {
    AcquireRequest request;
    request.feeder = in.u8() != 0;
    request.duplex = in.u8() != 0;
    request.maxImages = in.i32();
    auto end = [&](const DeviceStatus& status) { send(Encoder(Kind::End, id).status(status)); };
    if (!in.finished())
        return end(sanestatus::status(SANE_STATUS_INVAL, QStringLiteral("richiesta non valida")));
    auto it = m_devices.find(handle);
    if (it == m_devices.end())
        return end(
            sanestatus::status(SANE_STATUS_INVAL, QStringLiteral("dispositivo %1").arg(handle)));
    Device& device = *it.value();
    if (device.acquisition && !device.acquisition->done)
        return end(componentError::status(componentError::Busy));
    finishAcquisition(device); // the last one's thread, if it is still winding down
    auto acquisition = std::make_shared<Acquisition>();
    acquisition->id = id;
    acquisition->request = request;
    device.acquisition = acquisition;
    device.device->setFrameMemory(&m_frameMemory);
    device.device->setPhaseListener([this, id](AcquirePhase phase, const DeviceStatus& s) {
        const Phase p = phase == AcquirePhase::Starting ? Phase::Starting : Phase::Ending;
        send(Encoder(Kind::Phase, id).u8(uint8_t(p)).status(s));
    });
    acquisition->thread = std::thread(&WorkerServer::acquire, this, acquisition, &device);
}

void WorkerServer::acquire(std::shared_ptr<Acquisition> acquisition, Device* device) {
    DeviceStatus status;
    {
        Sink sink(*this, *acquisition);
        status = device->device->acquire(acquisition->request, sink);
    }
    if (!acquisition->sinkFailure.ok())
        status = acquisition->sinkFailure;
    // Done before the End leaves: the component may send its next request at once.
    acquisition->done = true;
    const bool stuck = device->device->stuck();
    const bool cutShort = device->device->cutAFrameShort();
    if (stuck || cutShort)
        m_retiring = true;
    send(Encoder(Kind::End, acquisition->id).status(status));
    if (cutShort && !stuck) {
        // The backend's state after such a cancel cannot be trusted (see cutAFrameShort):
        // the component starts a fresh worker, with the device as it was set, at its next use.
        // Rare (a cancel, a jam or an error in the middle of a page), and cheaper than a scan
        // that waits for its bound.
        std::fflush(stderr);
        ::_exit(0);
    }
    if (stuck) {
        // The backend never returned from the cancel: its state is unknown and SANE's is
        // shared by the whole process. Ending it is the clean way out; the component starts
        // a fresh worker for the next scan.
        std::fprintf(stderr, "scansione-sane-worker: il dispositivo non ha concluso "
                             "l'annullamento; il processo termina perché la prossima "
                             "scansione riparta da capo\n");
        std::fflush(stderr);
        ::_exit(3);
    }
}

void WorkerServer::finishAcquisition(Device& device) {
    std::shared_ptr<Acquisition> a = device.acquisition;
    if (!a)
        return;
    if (!a->done) {
        a->close();
        device.device->cancel();
    }
    if (a->thread.joinable())
        a->thread.join();
}

void WorkerServer::shutdown() {
    for (const std::shared_ptr<Device>& d : std::as_const(m_devices))
        finishAcquisition(*d);
    m_devices.clear();
    m_layer.reset();
}
