#pragma once
#include "component_base/DeviceLayer.h"
#include <QString>
#include <cstdint>

// The component's own error codes, reported through LastErrorCode. Device layers report their
// own codes (SANE status, a virtual scanner's injected fault), which pass through unchanged;
// ours sit in a block of their own so that the two never read alike.
namespace componentError {

enum Code : int32_t {
    None = 0,
    NoSourceManager = 1001, ///< OpenSourceManager has not started any layer
    NoSource = 1002,        ///< no source is listed or selected
    SourceNotOpen = 1003,   ///< the call needs an open source
    Busy = 1004,            ///< an acquisition is running
    NotSupported = 1005,    ///< the source does not have this capability
    BadValue = 1006,        ///< a value out of range or not among those offered
    ImageLimit = 1007,      ///< an image beyond ImageLimit was refused
    BadIndex = 1008,        ///< an image index out of range
    WriteFailed = 1009,     ///< a file could not be written
    ReadFailed = 1010,      ///< a cached page could not be read back
    OpenFailed = 1011,      ///< the device could not be opened
    LayerFailed = 1012,     ///< a device layer could not be started
    DiskFull = 1013,        ///< a file could not be written: no space left (or over quota)
    FileTooLarge = 1014,    ///< a file could not be written: larger than the system allows
    AccessDenied = 1015,    ///< a file could not be written: no permission, or read-only disk
};

/// The status of one of our codes, with its Italian text (shown to the user by the window).
DeviceStatus status(Code code, const QString& detail = QString());

/// The code of a write that failed with the system error `err`: DiskFull, FileTooLarge,
/// AccessDenied, or WriteFailed for any other error. Thread-safe.
Code writeFailure(int err);

/// Whether `code` is one of the codes of a write that failed (WriteFailed and the codes
/// writeFailure gives). Thread-safe.
bool isWriteFailure(int32_t code);

} // namespace componentError
