#pragma once
#include <cstdint>

/// 16-bit Booleans as the scan window exchanges them with hosts and the component: True is -1
/// (all bits set), False 0. Hosts compare with these (`settings.settingsAvailable == VbTrue`,
/// the `VediRisultato` of FormScansione::EseguiScansione); a value other than -1 is not
/// True. Convert at the boundaries only: inside our code a bool is a bool.
inline constexpr int16_t VbTrue = -1;
inline constexpr int16_t VbFalse = 0;

/// The 16-bit Boolean of a C++ bool.
constexpr int16_t toVbBool(bool value) { return value ? VbTrue : VbFalse; }
