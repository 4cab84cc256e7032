#pragma once
#include "component_base/DeviceLayer.h"
#include <memory>

/// SANE's process-wide state for as long as a layer or one of its devices needs it: sane_init
/// when created, sane_exit when the last owner lets go. Only one exists at a time.
class SaneSession {
public:
    /// A new session, or null with `status` set when another one is alive or sane_init fails.
    static std::shared_ptr<SaneSession> create(DeviceStatus& status);
    ~SaneSession();
    SaneSession(const SaneSession&) = delete;
    SaneSession& operator=(const SaneSession&) = delete;

private:
    SaneSession() = default;
};
