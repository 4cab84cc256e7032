#pragma once
#include <sane/sane.h>

/// One opened SANE device as the calls SANE has for it, and nothing more: what the option
/// table, the capability mapping and the scan loop above it ask of a backend. LibSaneHandle
/// makes the calls into libsane; a test plays a script instead, so that the loop meets odd
/// devices (an empty feeder, a silent one, frames of the wrong size) without a backend.
///
/// SANE's own rules hold: cancel() may come from another thread while start() or read() waits
/// in the backend; every other call comes from one thread at a time. Destroying the handle
/// closes the device.
class SaneHandle {
public:
    virtual ~SaneHandle() = default;

    /// sane_get_option_descriptor: null past the last option. The descriptor stays valid
    /// until a control call reports SANE_INFO_RELOAD_OPTIONS.
    virtual const SANE_Option_Descriptor* optionDescriptor(SANE_Int option) = 0;
    /// sane_control_option.
    virtual SANE_Status controlOption(SANE_Int option, SANE_Action action, void* value,
                                      SANE_Int* info) = 0;
    /// sane_start: the next frame.
    virtual SANE_Status start() = 0;
    /// sane_get_parameters of the frame just started.
    virtual SANE_Status parameters(SANE_Parameters& parameters) = 0;
    /// sane_read: up to `maxLength` bytes into `data`, their number in `length`.
    virtual SANE_Status read(SANE_Byte* data, SANE_Int maxLength, SANE_Int& length) = 0;
    /// sane_cancel. Any thread.
    virtual void cancel() = 0;
    /// sane_set_io_mode.
    virtual SANE_Status setIoMode(bool nonBlocking) = 0;
    /// sane_get_select_fd.
    virtual SANE_Status selectFd(SANE_Int& fd) = 0;
    /// True when the connection to the device is known to be closed by its other end, so that
    /// no call may be made on it (see NetConnection.h). No waiting.
    virtual bool connectionClosed() const { return false; }
};
