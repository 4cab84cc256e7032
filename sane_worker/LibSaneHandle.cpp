#include "sane_worker/LibSaneHandle.h"
#include "sane_worker/NetConnection.h"
#include "sane_worker/SaneSession.h"
#include "sane_worker/SigpipeGuard.h"

LibSaneHandle::LibSaneHandle(std::shared_ptr<SaneSession> session, SANE_Handle handle,
                             const QString& name)
    : m_session(std::move(session)), m_handle(handle),
      m_netHost(netconnection::hostAddresses(name)) {}

LibSaneHandle::~LibSaneHandle() {
    SigpipeGuard noSigpipe;
    sane_close(m_handle);
}

const SANE_Option_Descriptor* LibSaneHandle::optionDescriptor(SANE_Int option) {
    return sane_get_option_descriptor(m_handle, option);
}

SANE_Status LibSaneHandle::controlOption(SANE_Int option, SANE_Action action, void* value,
                                         SANE_Int* info) {
    return sane_control_option(m_handle, option, action, value, info);
}

SANE_Status LibSaneHandle::start() {
    return sane_start(m_handle);
}

SANE_Status LibSaneHandle::parameters(SANE_Parameters& parameters) {
    return sane_get_parameters(m_handle, &parameters);
}

SANE_Status LibSaneHandle::read(SANE_Byte* data, SANE_Int maxLength, SANE_Int& length) {
    return sane_read(m_handle, data, maxLength, &length);
}

void LibSaneHandle::cancel() {
    SigpipeGuard noSigpipe;
    sane_cancel(m_handle);
}

SANE_Status LibSaneHandle::setIoMode(bool nonBlocking) {
    return sane_set_io_mode(m_handle, nonBlocking ? SANE_TRUE : SANE_FALSE);
}

SANE_Status LibSaneHandle::selectFd(SANE_Int& fd) {
    return sane_get_select_fd(m_handle, &fd);
}

bool LibSaneHandle::connectionClosed() const {
    return !m_netHost.empty() && netconnection::closedByPeer(m_netHost);
}
