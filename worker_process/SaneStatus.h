#pragma once
#include "component_base/DeviceLayer.h"
#include <cstdint>

// Every status the SANE layer reports goes through this one translation, so that a SANE
// status always reads the same to the user whichever call produced it.

namespace sanestatus {

/// Codes of the layer's own outcomes, outside SANE's status numbers (0..13).
enum LayerCode : int32_t {
    ValueAdjusted = 100,   ///< the device took a different value than the one asked for
    ValueNotOffered = 101, ///< the value is not among those the device offers
    NotSupported = 102,    ///< the device has no option behind this capability
    ReadOnly = 103,        ///< the capability can only be read
    LayerInUse = 105,      ///< another SANE layer is already running in this process
    NotStarted = 106,      ///< the layer was used before start()
    BadFrame = 107,        ///< the device announced a frame the layer cannot assemble
    WorkerFailed = 108,    ///< the SANE worker program could not be started
};

/// Whether `code` is a SANE status number (0..13) or a LayerCode.
bool isKnown(int32_t code);

/// The Italian text of a SANE status number or a LayerCode; "" for 0 (success).
QString text(int32_t code);

/// A DeviceStatus with `code` and its text; `detail`, when given, is appended after ": ".
/// A code that is neither a SANE status nor a LayerCode is no answer of a working backend:
/// SANE's network client hands on whatever its broken connection left in the reply, so such
/// a code is the lost connection, the I/O error "connessione chiusa", and `detail` is
/// dropped with it.
DeviceStatus status(int32_t code, const QString& detail = QString());

} // namespace sanestatus
