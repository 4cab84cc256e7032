#pragma once
// A device layer that hands everything to another one, with hooks on the way: tests script a
// fault into a real device or count its calls without writing a device of their own.
#include "acquisition/DeviceLayer.h"
#include <functional>
#include <memory>

struct DeviceHooks {
    std::function<void()> afterStart;               ///< after the inner layer started
    std::function<void(ScanDevice&)> beforeAcquire; ///< on the worker, before acquiring
    std::function<void()> onCancel;                 ///< before the inner device's cancel
};

class HookedDevice : public ScanDevice {
public:
    HookedDevice(std::unique_ptr<ScanDevice> inner, const DeviceHooks& hooks)
        : m_inner(std::move(inner)), m_hooks(hooks) {}
    QVector<uint16_t> capabilityIds() const override { return m_inner->capabilityIds(); }
    std::optional<Capability> capability(uint16_t id) const override {
        return m_inner->capability(id);
    }
    DeviceStatus setCapability(uint16_t id, double value) override {
        return m_inner->setCapability(id, value);
    }
    DeviceStatus setImageLayout(double l, double t, double r, double b) override {
        return m_inner->setImageLayout(l, t, r, b);
    }
    DeviceStatus acquire(const AcquireRequest& request, AcquireSink& sink) override {
        if (m_hooks.beforeAcquire)
            m_hooks.beforeAcquire(*m_inner);
        return m_inner->acquire(request, sink);
    }
    void cancel() override {
        if (m_hooks.onCancel)
            m_hooks.onCancel();
        m_inner->cancel();
    }

private:
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
        return std::make_unique<HookedDevice>(m_inner->open(id), m_hooks);
    }

private:
    std::unique_ptr<DeviceLayer> m_inner;
    const DeviceHooks& m_hooks;
};
