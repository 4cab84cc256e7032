#pragma once
#include "sane_worker/SaneHandle.h"
#include <QString>
#include <memory>
#include <sys/socket.h>
#include <vector>

class SaneSession;

/// A SaneHandle that calls libsane. It keeps SANE alive (the session) for as long as the
/// device is open, and closes the device when destroyed, so that whoever holds it last (the
/// device, or a cancel still inside a backend) closes it.
class LibSaneHandle : public SaneHandle {
public:
    /// Takes the open handle of the device `name`.
    LibSaneHandle(std::shared_ptr<SaneSession> session, SANE_Handle handle, const QString& name);
    ~LibSaneHandle() override;
    LibSaneHandle(const LibSaneHandle&) = delete;
    LibSaneHandle& operator=(const LibSaneHandle&) = delete;

    const SANE_Option_Descriptor* optionDescriptor(SANE_Int option) override;
    SANE_Status controlOption(SANE_Int option, SANE_Action action, void* value,
                              SANE_Int* info) override;
    SANE_Status start() override;
    SANE_Status parameters(SANE_Parameters& parameters) override;
    SANE_Status read(SANE_Byte* data, SANE_Int maxLength, SANE_Int& length) override;
    void cancel() override;
    SANE_Status setIoMode(bool nonBlocking) override;
    SANE_Status selectFd(SANE_Int& fd) override;
    /// The saned host of a net device has closed the connection: SANE's net backend must not
    /// be called then.
    bool connectionClosed() const override;

private:
    std::shared_ptr<SaneSession> m_session; // released after the close
    SANE_Handle m_handle;
    std::vector<sockaddr_storage> m_netHost; // a net device's saned host, else empty
};
