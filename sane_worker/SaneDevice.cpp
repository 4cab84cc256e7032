#include "sane_worker/SaneDevice.h"
#include "worker_process/SaneStatus.h"
#include "sane_worker/SigpipeGuard.h"

SaneDevice::SaneDevice(std::shared_ptr<SaneHandle> handle) : m_options(handle), m_loop(handle) {
    SigpipeGuard noSigpipe;
    if (m_options.load().ok())
        m_capabilities.takeDefaults();
}

SaneDevice::~SaneDevice() = default;

DeviceStatus SaneDevice::fault() const {
    if (stuck())
        return sanestatus::status(SANE_STATUS_IO_ERROR,
                                  QStringLiteral("il dispositivo non risponde"));
    if (m_options.connectionClosed())
        return sanestatus::status(SANE_STATUS_IO_ERROR, QStringLiteral("connessione chiusa"));
    return m_options.fault();
}

QVector<uint16_t> SaneDevice::capabilityIds() const {
    if (stuck())
        return {};
    SigpipeGuard noSigpipe;
    return m_capabilities.capabilityIds();
}

std::optional<Capability> SaneDevice::capability(uint16_t id) const {
    if (stuck())
        return std::nullopt;
    SigpipeGuard noSigpipe;
    return m_capabilities.capability(id);
}

DeviceStatus SaneDevice::setCapability(uint16_t id, double value) {
    if (const DeviceStatus f = fault(); !f.ok())
        return f;
    SigpipeGuard noSigpipe;
    return m_capabilities.setCapability(id, value);
}

DeviceStatus SaneDevice::setImageLayout(double left, double top, double right, double bottom) {
    if (const DeviceStatus f = fault(); !f.ok())
        return f;
    SigpipeGuard noSigpipe;
    return m_capabilities.setImageLayout(left, top, right, bottom);
}

DeviceStatus SaneDevice::setOption(const QByteArray& name, const QString& value) {
    if (const DeviceStatus f = fault(); !f.ok())
        return f;
    SigpipeGuard noSigpipe;
    return m_capabilities.setOption(name, value);
}

void SaneDevice::setLimits(int stallMs, int cancelWaitLostMs, int cancelWaitMs) {
    m_loop.setStallTimeoutMs(stallMs);
    m_loop.setCancelWaitMs(cancelWaitLostMs, cancelWaitMs);
}

void SaneDevice::cancel() {
    m_loop.cancel();
}

DeviceStatus SaneDevice::acquire(const AcquireRequest& request, AcquireSink& sink) {
    if (const DeviceStatus f = fault(); !f.ok())
        return f;
    SigpipeGuard noSigpipe;
    SaneScanLoop::Batch batch;
    // A batch needs a feeder under it: on a flatbed, which never runs out of "sheets", a
    // batch request would scan the same glass until the image limit.
    batch.feeder = request.feeder && m_capabilities.sourceFeeds();
    batch.maxImages = request.maxImages;
    batch.emulated = m_capabilities.emulatedPixelType();
    batch.threshold = m_capabilities.threshold();
    return m_loop.run(batch, sink);
}
