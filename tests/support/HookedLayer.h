#pragma once
// A device layer that hands everything to another one, with hooks on the way: tests script a
// fault into a real device or count its calls without writing a device of their own.
#include "component_base/DeviceLayer.h"
#include <functional>
#include <memory>

struct DeviceHooks {
    std::function<void()> afterStart;               ///< after the inner layer started
    std::function<void(ScanDevice&)> beforeAcquire; ///< on the worker, before acquiring
    std::function<void()> onCancel;                 ///< before the inner device's cancel
    /// On the worker, once the component took image n (from 1), before the device goes on.
    std::function<void(ScanDevice&, int)> afterImage = nullptr;
    /// On the worker, with each progress report: images taken so far, bytes of the next.
    std::function<void(ScanDevice&, int, int64_t)> onProgress = nullptr;
    /// On the calling thread, inside the layer's open and the device's capability reads and
    /// writes, before the inner call: where a SANE call waits and runs the event loop.
    std::function<void()> duringCall = nullptr;
};

/// Passes everything to the component's sink, calling the hooks on the way.
class HookedSink : public AcquireSink {
public:
    HookedSink(AcquireSink& inner, ScanDevice& device, const DeviceHooks& hooks)
        : m_inner(inner), m_device(device), m_hooks(hooks) {}
    bool image(QImage image) override {
        const bool goOn = m_inner.image(std::move(image));
        ++m_images;
        if (m_hooks.afterImage)
            m_hooks.afterImage(m_device, m_images);
        return goOn;
    }
    void progress(int64_t bytes, int64_t expected) override {
        m_inner.progress(bytes, expected);
        if (m_hooks.onProgress)
            m_hooks.onProgress(m_device, m_images, bytes);
    }
    bool cancelled() const override { return m_inner.cancelled(); }

private:
    AcquireSink& m_inner;
    ScanDevice& m_device;
    const DeviceHooks& m_hooks;
    int m_images = 0;
};

class HookedDevice : public ScanDevice {
public:
    HookedDevice(std::unique_ptr<ScanDevice> inner, const DeviceHooks& hooks)
        : m_inner(std::move(inner)), m_hooks(hooks) {}
    QVector<uint16_t> capabilityIds() const override { return m_inner->capabilityIds(); }
    std::optional<Capability> capability(uint16_t id) const override {
        during();
        return m_inner->capability(id);
    }
    DeviceStatus setCapability(uint16_t id, double value) override {
        during();
        return m_inner->setCapability(id, value);
    }
    DeviceStatus setImageLayout(double l, double t, double r, double b) override {
        return m_inner->setImageLayout(l, t, r, b);
    }
    DeviceStatus acquire(const AcquireRequest& request, AcquireSink& sink) override {
        if (m_hooks.beforeAcquire)
            m_hooks.beforeAcquire(*m_inner);
        HookedSink hooked(sink, *m_inner, m_hooks);
        return m_inner->acquire(request, hooked);
    }
    void cancel() override {
        if (m_hooks.onCancel)
            m_hooks.onCancel();
        m_inner->cancel();
    }
    DeviceStatus fault() const override { return m_inner->fault(); }

private:
    void during() const {
        if (m_hooks.duringCall)
            m_hooks.duringCall();
    }

    std::unique_ptr<ScanDevice> m_inner;
    const DeviceHooks& m_hooks;
};

/// Owns the inner layer; `hooks` must outlive it and every device it opens.
class HookedLayer : public DeviceLayer {
public:
    HookedLayer(std::unique_ptr<DeviceLayer> inner, const DeviceHooks& hooks)
        : m_inner(std::move(inner)), m_hooks(hooks) {}
    DeviceStatus start() override {
        const DeviceStatus status = m_inner->start();
        if (m_hooks.afterStart)
            m_hooks.afterStart();
        return status;
    }
    void stop() override { m_inner->stop(); }
    QVector<DeviceInfo> devices() const override { return m_inner->devices(); }
    std::unique_ptr<ScanDevice> open(const QString& id) override {
        if (m_hooks.duringCall)
            m_hooks.duringCall();
        return std::make_unique<HookedDevice>(m_inner->open(id), m_hooks);
    }

private:
    std::unique_ptr<DeviceLayer> m_inner;
    const DeviceHooks& m_hooks;
};
