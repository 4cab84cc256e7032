#pragma once
#include "component_base/DeviceLayer.h"
#include "sane_worker/WorkerDevice.h"
#include <memory>

class SaneSession;

/// The SANE device layer: lists what sane_get_devices finds and opens those devices as
/// ScanDevices whose capabilities are mapped from the backends' options.
///
/// One layer at a time can run SANE in a process (sane_init/sane_exit are process-wide): a
/// second layer's start() fails while another one is started. sane_exit runs when the layer
/// is stopped or destroyed and the last device it opened has been closed.
class SaneLayer : public DeviceLayer {
public:
    SaneLayer();
    ~SaneLayer() override;

    /// sane_init (once while the layer runs) and one sane_get_devices. Slow on networks:
    /// call it off the window's thread.
    DeviceStatus start() override;
    /// Releases SANE (after the layer's devices are gone).
    void stop() override;
    /// The devices of the last start(), named "vendor model", with " (device name)" added
    /// when two of them share vendor and model.
    QVector<DeviceInfo> devices() const override;
    /// Opens the SANE device `id`; throws ScanError with the translated status on failure.
    std::unique_ptr<ScanDevice> open(const QString& id) override;
    /// open() with what the worker's server needs of the device besides.
    std::unique_ptr<WorkerDevice> openDevice(const QString& id);

private:
    std::shared_ptr<SaneSession> m_session;
    QVector<DeviceInfo> m_devices;
};
