#pragma once
#include <QString>
#include <cstdint>
#include <functional>
#include <span>

class ScanComponent;

/// Shows one modal message (OK only) with the given prompt during the report.
using ReportMessage = std::function<void(const QString& prompt)>;

/// The plain-text capability report of the selected source: its name, units, pixel types,
/// resolutions and page sizes, then every capability it declares with its values.
/// Returns "" at once when the source is already open. Any component failure on the way, or
/// more capability ids than the report's table holds, throws ScanError (no report); the
/// source is then left open, as the report closes it on its normal path only. Call on the
/// component's thread; `message` is shown modally and the report waits for it.
QString InfoDispositivo(ScanComponent& VSTSCAN, const ReportMessage& message);

/// TWAIN unit code to name ("inches", "centimeters", ...); "" for unknown codes.
QString NomeUnitaMisura(int64_t code);
/// TWAIN pixel type code to name ("BW", "GRAY", "RGB", ...); "" for unknown codes.
QString NomeTipoPixel(int64_t code);
/// TWAIN supported-size code to name ("A4LETTER", "A5", ...); "Other" for unknown codes.
QString NomeFormatoPagina(int64_t code);
/// TWAIN capability id to its constant name, or "Custom capability ( <id>)".
QString NomeCapacita(int64_t id);

/// One row of the capability name table: a TWAIN capability id and its constant name.
struct CapabilityName {
    int32_t id;
    const char* name;
};

/// The rows NomeCapacita searches, in search order (rising ids).
std::span<const CapabilityName> capabilityNames();

/// Places in the report's table of listed capability ids; a source listing more abandons
/// the report.
inline constexpr int kCapabilityIdSlots = 201;
