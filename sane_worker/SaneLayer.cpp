#include "sane_worker/SaneLayer.h"
#include "component_base/ScanError.h"
#include "worker_process/SaneStatus.h"
#include "sane_worker/LibSaneHandle.h"
#include "sane_worker/SaneDevice.h"
#include "sane_worker/SaneSession.h"
#include "sane_worker/SigpipeGuard.h"
#include <QHash>
#include <atomic>
#include <cstring>
#include <sane/sane.h>

namespace {

// sane_init's callback is the one piece of global state SANE forces on us. Scansione has no
// way to ask the user for a backend's credentials, so it answers with empty ones and the
// backend refuses access (reported as "Accesso negato").
void authorize(SANE_String_Const /*resource*/, SANE_Char* username, SANE_Char* password) {
    username[0] = '\0';
    password[0] = '\0';
}

std::atomic<bool> g_sessionAlive{false};

} // namespace

std::shared_ptr<SaneSession> SaneSession::create(DeviceStatus& status) {
    bool expected = false;
    if (!g_sessionAlive.compare_exchange_strong(expected, true)) {
        status = sanestatus::status(sanestatus::LayerInUse);
        return nullptr;
    }
    SANE_Int version = 0;
    // Threads a backend starts here (sane-airscan's event loop) inherit the blocked SIGPIPE.
    SigpipeGuard noSigpipe;
    const SANE_Status s = sane_init(&version, authorize);
    if (s != SANE_STATUS_GOOD) {
        g_sessionAlive = false;
        status = sanestatus::status(s, QStringLiteral("sane_init"));
        return nullptr;
    }
    status = DeviceStatus();
    return std::shared_ptr<SaneSession>(new SaneSession());
}

SaneSession::~SaneSession() {
    SigpipeGuard noSigpipe;
    sane_exit();
    g_sessionAlive = false;
}

SaneLayer::SaneLayer() = default;

SaneLayer::~SaneLayer() {
    stop();
}

DeviceStatus SaneLayer::start() {
    DeviceStatus status;
    if (!m_session) {
        m_session = SaneSession::create(status);
        if (!m_session)
            return status;
    }
    SigpipeGuard noSigpipe;
    const SANE_Device** list = nullptr;
    const SANE_Status s = sane_get_devices(&list, SANE_FALSE);
    m_devices.clear();
    if (s != SANE_STATUS_GOOD)
        return sanestatus::status(s, QStringLiteral("elenco dei dispositivi"));

    // The list belongs to SANE until the next call: copy what we show.
    struct Found {
        QString id, vendor, model;
    };
    QVector<Found> found;
    QHash<QString, int> sameModel;
    for (int i = 0; list && list[i]; ++i) {
        const SANE_Device* d = list[i];
        Found f{QString::fromUtf8(d->name), QString::fromUtf8(d->vendor ? d->vendor : ""),
                QString::fromUtf8(d->model ? d->model : "")};
        ++sameModel[f.vendor + QChar(0) + f.model];
        found.append(f);
    }
    for (const Found& f : found) {
        QString name = (f.vendor + QLatin1Char(' ') + f.model).trimmed();
        if (name.isEmpty())
            name = f.id;
        else if (sameModel.value(f.vendor + QChar(0) + f.model) > 1)
            name += QStringLiteral(" (%1)").arg(f.id);
        m_devices.append(DeviceInfo{f.id, name});
    }
    return DeviceStatus();
}

void SaneLayer::stop() {
    m_devices.clear();
    m_session.reset(); // sane_exit once the devices opened from it are closed too
}

QVector<DeviceInfo> SaneLayer::devices() const {
    return m_devices;
}

std::unique_ptr<ScanDevice> SaneLayer::open(const QString& id) {
    return openDevice(id);
}

std::unique_ptr<WorkerDevice> SaneLayer::openDevice(const QString& id) {
    if (!m_session)
        throw ScanError(sanestatus::text(sanestatus::NotStarted), sanestatus::NotStarted);
    SigpipeGuard noSigpipe;
    SANE_Handle handle = nullptr;
    const QByteArray name = id.toUtf8();
    const SANE_Status s = sane_open(name.constData(), &handle);
    if (s != SANE_STATUS_GOOD || !handle) {
        const DeviceStatus status =
            sanestatus::status(s == SANE_STATUS_GOOD ? SANE_STATUS_INVAL : s, id);
        throw ScanError(status.text, status.code);
    }
    auto device =
        std::make_unique<SaneDevice>(std::make_shared<LibSaneHandle>(m_session, handle, id));
    // A device whose options cannot be read would answer "not supported" to everything.
    if (const DeviceStatus fault = device->fault(); !fault.ok())
        throw ScanError(fault.text, fault.code);
    return device;
}
