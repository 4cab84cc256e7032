#include "sane_worker/WorkerServer.h"
#include "common/SystemErrorText.h"
#include "component_base/ComponentErrors.h"
#include "component_base/ScanError.h"
#include "sane_worker/SaneDevice.h"
#include "sane_worker/SaneLayer.h"
#include "sane_worker/WorkerDevice.h"
#include "worker_process/SaneMessages.h"
#include "worker_process/SaneStatus.h"
#include "worker_process/SealedMemory.h"
#include <QImage>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <optional>
#include <sane/sane.h>
#include <thread>
#include <unistd.h>

using namespace workerproto;

namespace {

// Once the component has gone, closing the devices and SANE may take this long; a backend that
// hangs there must not keep an orphaned process alive.
constexpr unsigned kExitSeconds = 5;

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
            fd = sealedMemoryFile("scansione-pagina", image.constBits(),
                                  size_t(image.sizeInBytes()));
        if (fd < 0) {
            // Stopping here without a word would end the batch as if it were complete.
            m_acquisition.sinkFailure =
                sanestatus::status(SANE_STATUS_NO_MEM, systemErrorText(errno));
            return false;
        }
        const sane::ImageEvent event{image.width(), image.height(), int32_t(image.bytesPerLine()),
                                     *pixelFormat(image.format()), image.colorTable()};
        {
            std::lock_guard<std::mutex> lock(m_acquisition.mutex);
            m_acquisition.waitingAnswer = true;
            m_acquisition.answer.reset();
        }
        m_server.send(sane::encode(event, m_acquisition.id), fd);
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
        m_server.send(sane::encode(sane::ProgressEvent{bytes, expectedBytes}, m_acquisition.id));
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
    send(sane::encode(sane::StatusReply{status}, id));
}

void WorkerServer::refuse(Kind request, uint32_t id, const DeviceStatus& status) {
    // A refusal has the shape of the request's own answer, so that the component reads the
    // status in it rather than taking the answer for garbage and killing us.
    switch (request) {
    case Kind::Start:
        return send(sane::encode(sane::StartReply{status, {}}, id));
    case Kind::Open:
        return send(sane::encode(sane::OpenReply{status, 0}, id));
    case Kind::CapabilityIds:
        return send(sane::encode(sane::CapabilityIdsReply{status, {}}, id));
    case Kind::GetCapability:
        return send(sane::encode(sane::GetCapabilityReply{status, std::nullopt}, id));
    case Kind::Acquire:
        return send(sane::encode(sane::EndEvent{status}, id));
    case Kind::Cancel:
    case Kind::ImageAck:
        return; // never answered
    default:
        return reply(id, status);
    }
}

int WorkerServer::run() {
    send(Encoder(Kind::Hello, 0).u32(kMagic).u32(kVersion).i32(int32_t(::getpid())));
    MessageStream stream(kToWorker);
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

WorkerServer::Device* WorkerServer::deviceFor(Kind request, uint32_t id, uint32_t handle) {
    auto it = m_devices.find(handle);
    if (it == m_devices.end()) {
        refuse(request, id,
               sanestatus::status(SANE_STATUS_INVAL, QStringLiteral("dispositivo %1").arg(handle)));
        return nullptr;
    }
    Device* device = it.value().get();
    if (const std::shared_ptr<Acquisition>& a = device->acquisition; a && !a->done) {
        std::lock_guard<std::mutex> lock(a->mutex);
        if (!a->waitingAnswer) {
            refuse(request, id, componentError::status(componentError::Busy));
            return nullptr;
        }
    }
    return device;
}

void WorkerServer::dispatch(Message& message) {
    if (m_retiring)
        return;
    const uint32_t id = message.id;
    const Kind kind = message.kind;
    const QByteArray& body = message.body;
    auto bad = [&] {
        refuse(kind, id,
               sanestatus::status(SANE_STATUS_INVAL, QStringLiteral("richiesta non valida")));
    };
    // A call on one open device: a request that does not decode is refused, as is one for a
    // device that is not open or is busy; else `call` answers it.
    auto onDevice = [&](const auto& request, auto call) {
        if (!request)
            return bad();
        if (Device* d = deviceFor(kind, id, request->handle))
            call(*d->device, *request);
    };
    switch (kind) {
    case Kind::Start: {
        if (!sane::decode<sane::Start>(body))
            return bad();
        if (!m_layer)
            m_layer = std::make_unique<SaneLayer>();
        const DeviceStatus status = m_layer->start();
        return send(sane::encode(sane::StartReply{status, m_layer->devices()}, id));
    }
    case Kind::Open: {
        const auto r = sane::decode<sane::Open>(body);
        if (!r)
            return bad();
        if (!m_layer)
            return refuse(kind, id, sanestatus::status(sanestatus::NotStarted));
        DeviceStatus status;
        auto device = std::make_shared<Device>();
        try {
            device->device = m_layer->openDevice(r->device);
        } catch (const ScanError& e) {
            status = {e.code() ? e.code() : int32_t(SANE_STATUS_INVAL), e.text()};
        }
        uint32_t handle = 0;
        if (status.ok()) {
            handle = ++m_lastHandle;
            m_devices.insert(handle, device);
        }
        return send(sane::encode(sane::OpenReply{status, handle}, id));
    }
    case Kind::Close: {
        const auto r = sane::decode<sane::Close>(body);
        if (!r)
            return bad();
        auto it = m_devices.find(r->handle);
        if (it != m_devices.end()) {
            finishAcquisition(*it.value());
            m_devices.erase(it);
        }
        return reply(id, DeviceStatus());
    }
    case Kind::Cancel: {
        const auto r = sane::decode<sane::Cancel>(body);
        auto it = r ? m_devices.find(r->handle) : m_devices.end();
        if (it != m_devices.end() && it.value()->acquisition) {
            it.value()->acquisition->cancelled = true;
            it.value()->device->cancel();
        }
        return; // no answer: the acquisition's End is the answer
    }
    case Kind::ImageAck: {
        const auto r = sane::decode<sane::ImageAck>(body);
        if (!r)
            return;
        for (const std::shared_ptr<Device>& d : std::as_const(m_devices)) {
            Acquisition* a = d->acquisition.get();
            if (!a || a->id != id)
                continue;
            {
                std::lock_guard<std::mutex> lock(a->mutex);
                a->answer = r->goOn;
            }
            a->answered.notify_all();
        }
        return;
    }
    case Kind::Acquire: {
        const auto r = sane::decode<sane::Acquire>(body);
        if (!r)
            return bad();
        return startAcquisition(id, *r);
    }
    // The calls on one device: capabilities, frame, options, limits.
    case Kind::CapabilityIds:
        return onDevice(sane::decode<sane::CapabilityIds>(body), [&](auto& device, const auto&) {
            send(
                sane::encode(sane::CapabilityIdsReply{DeviceStatus(), device.capabilityIds()}, id));
        });
    case Kind::GetCapability:
        return onDevice(sane::decode<sane::GetCapability>(body), [&](auto& device, const auto& r) {
            send(sane::encode(sane::GetCapabilityReply{DeviceStatus(), device.capability(r.id)},
                              id));
        });
    case Kind::SetCapability:
        return onDevice(sane::decode<sane::SetCapability>(body), [&](auto& device, const auto& r) {
            reply(id, device.setCapability(r.id, r.value));
        });
    case Kind::SetImageLayout:
        return onDevice(sane::decode<sane::SetImageLayout>(body), [&](auto& device, const auto& r) {
            reply(id, device.setImageLayout(r.left, r.top, r.right, r.bottom));
        });
    case Kind::Fault:
        return onDevice(sane::decode<sane::Fault>(body),
                        [&](auto& device, const auto&) { reply(id, device.fault()); });
    case Kind::SetOption:
        return onDevice(sane::decode<sane::SetOption>(body), [&](auto& device, const auto& r) {
            reply(id, device.setOption(r.name.toUtf8(), r.value));
        });
    case Kind::SetLimits: {
        const auto r = sane::decode<sane::SetLimits>(body);
        if (!r || r->stallMs <= 0 || r->cancelLostMs <= 0 || r->cancelMs <= 0)
            return bad();
        if (Device* d = deviceFor(kind, id, r->handle)) {
            d->device->setLimits(r->stallMs, r->cancelLostMs, r->cancelMs);
            reply(id, DeviceStatus());
        }
        return;
    }
    default:
        return bad();
    }
}

void WorkerServer::startAcquisition(uint32_t id, const sane::Acquire& start) {
    auto end = [&](const DeviceStatus& status) { refuse(Kind::Acquire, id, status); };
    auto it = m_devices.find(start.handle);
    if (it == m_devices.end())
        return end(sanestatus::status(SANE_STATUS_INVAL,
                                      QStringLiteral("dispositivo %1").arg(start.handle)));
    Device& device = *it.value();
    if (device.acquisition && !device.acquisition->done)
        return end(componentError::status(componentError::Busy));
    finishAcquisition(device); // the last one's thread, if it is still winding down
    auto acquisition = std::make_shared<Acquisition>();
    acquisition->id = id;
    acquisition->request = start.request;
    device.acquisition = acquisition;
    device.device->setFrameMemory(&m_frameMemory);
    device.device->setPhaseListener([this, id](AcquirePhase phase, const DeviceStatus& s) {
        const Phase p = phase == AcquirePhase::Starting ? Phase::Starting : Phase::Ending;
        send(sane::encode(sane::PhaseEvent{p, s}, id));
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
    send(sane::encode(sane::EndEvent{status}, acquisition->id));
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
