#include "acquisition_sane/WorkerConnection.h"
#include "worker_process/SaneMessages.h"
#include "worker_process/SaneStatus.h"
#include <sane/sane.h>

using namespace workerproto;

namespace {

/// The SANE protocol as the worker-process machinery sees it.
WorkerProcess::Protocol saneProtocol() {
    WorkerProcess::Protocol p;
    p.magic = kMagic;
    p.version = kVersion;
    p.helloKind = uint8_t(Kind::Hello);
    p.isReply = [](uint8_t kind) { return kind == uint8_t(Kind::Reply); };
    p.answers = kFromWorker;
    p.streamEvent = [](uint8_t kind, const QByteArray& body,
                       const WorkerProcess::StreamBounds& bounds) -> WorkerProcess::EventBound {
        using Bound = WorkerProcess::EventBound;
        switch (Kind(kind)) {
        case Kind::Phase: {
            Decoder d(body);
            const uint8_t phase = d.u8();
            return {Bound::Wait, phase == uint8_t(Phase::Ending) ? bounds.cancelMs : bounds.startMs};
        }
        case Kind::Progress:
            return {Bound::Wait, bounds.readMs};
        case Kind::Image:
            return {Bound::Hold, 0}; // the worker waits for our answer
        default: // End
            return {Bound::Done, 0};
        }
    };
    p.programWords = QStringLiteral("il programma di scansione");
    p.notOurs = QStringLiteral("%1 non è il programma di scansione SANE");
    return p;
}

DeviceStatus statusOf(const WorkerProcess::Loss& loss) {
    if (!loss.lost)
        return DeviceStatus();
    return loss.expected
               ? sanestatus::status(SANE_STATUS_IO_ERROR,
                                    QStringLiteral("connessione con lo scanner chiusa"))
               : sanestatus::status(
                     SANE_STATUS_IO_ERROR,
                     QStringLiteral("connessione con lo scanner persa (%1)").arg(loss.detail));
}

} // namespace

WorkerConnection::WorkerConnection(std::unique_ptr<WorkerProcess> process,
                                   const WorkerBounds& bounds)
    : m_process(std::move(process)), m_bounds(bounds) {}

std::shared_ptr<WorkerConnection>
WorkerConnection::start(const QString& program, const WorkerBounds& bounds, DeviceStatus& status) {
    WorkerProcess::Options options;
    options.handshakeMs = bounds.handshakeMs;
    options.releaseMs = bounds.closeMs;
    QString why;
    std::unique_ptr<WorkerProcess> process =
        WorkerProcess::start(program, saneProtocol(), options, why);
    if (!process) {
        status = sanestatus::status(sanestatus::WorkerFailed, why);
        return nullptr;
    }
    status = DeviceStatus();
    return std::shared_ptr<WorkerConnection>(new WorkerConnection(std::move(process), bounds));
}

WorkerConnection::~WorkerConnection() = default;

pid_t WorkerConnection::pid() const {
    return m_process->pid();
}

bool WorkerConnection::alive() const {
    return m_process->alive();
}

DeviceStatus WorkerConnection::lost() const {
    return statusOf(m_process->loss());
}

uint32_t WorkerConnection::newId() {
    return m_process->newId();
}

std::optional<QByteArray> WorkerConnection::call(uint32_t id, const QByteArray& request,
                                                 int boundMs, DeviceStatus& status) {
    WorkerProcess::Loss loss;
    std::optional<Message> reply = m_process->call(id, request, boundMs, -1, &loss);
    // Only `loss` from here on: a nested event loop may have let go of this connection.
    if (!reply) {
        status = statusOf(loss);
        return std::nullopt;
    }
    status = DeviceStatus();
    return std::move(reply->body);
}

void WorkerConnection::post(uint32_t id, const QByteArray& request, int boundMs) {
    m_process->post(id, request, boundMs);
}

bool WorkerConnection::openStream(uint32_t id, const QByteArray& request,
                                  const StreamBounds& bounds) {
    return m_process->openStream(id, request, bounds);
}

WorkerConnection::Next WorkerConnection::nextEvent(uint32_t id, int waitMs, Message& out) {
    return m_process->nextEvent(id, waitMs, out);
}

void WorkerConnection::answerImage(uint32_t id, bool goOn) {
    m_process->resumeStream(id, sane::encode(sane::ImageAck{goOn}, id).message());
}

void WorkerConnection::cancelStream(uint32_t id, uint32_t handle) {
    m_process->limitStream(id, sane::encode(sane::Cancel{handle}, id).message());
}

void WorkerConnection::closeStream(uint32_t id) {
    m_process->closeStream(id);
}

void WorkerConnection::kill(const QString& reason) {
    m_process->kill(reason);
}
