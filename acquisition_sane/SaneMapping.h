#pragma once
#include <QString>
#include <QStringList>
#include <QVector>
#include <cstdint>
#include <optional>

// The pure half of the SANE-to-TWAIN mapping: how option values that backends spell in many
// ways (scan modes, source names) and the geometry read in TWAIN's terms. No SANE calls here.

namespace sanemap {

/// What a SANE "source" entry feeds from.
enum class SourceKind { Flatbed, Feeder, Duplex };

/// Classifies a backend's source name ("Flatbed", "ADF", "Automatic Document Feeder",
/// "ADF Front", "ADF Back", "ADF Duplex", "Duplex", ...).
SourceKind classifySource(const QString& source);

/// The entry of `sources` to switch to for `want`: among several of that kind the plain or
/// front one ("ADF", "ADF Front") before "ADF Back", and "Flatbed" before a transparency or
/// film unit. Empty when the list has none of that kind.
QString chooseSource(const QStringList& sources, SourceKind want);

/// The TWAIN pixel type of a SANE scan mode ("Lineart", "Binary", "Halftone" -> BW, "Gray" ->
/// Gray, "Color" -> RGB), or -1 for a mode with no TWAIN counterpart ("Color Lineart").
int pixelTypeOfMode(const QString& mode);

/// A TWAIN supported-size code with its portrait dimensions.
struct PaperSize {
    int code;
    double widthMm;
    double heightMm;
};

/// The dimensions of a TWAIN size code (not SizeNone), or nullopt for an unknown code.
std::optional<PaperSize> paperSize(int code);

/// SizeNone followed by every TWAIN size that fits an area of the given size.
QVector<double> sizesThatFit(double widthMm, double heightMm);

/// The size code whose dimensions match a frame within `toleranceMm`, else SizeNone.
int sizeOfFrame(double widthMm, double heightMm, double toleranceMm);

/// How many of a TWAIN unit make one inch; Pixels use `dpi`. 0 for an unknown unit.
double unitsPerInch(int unit, double dpi);

/// `value` snapped to the grid min + k*quant (quant 0: unchanged), kept inside [min, max].
double snapToQuant(double value, double min, double max, double quant);

} // namespace sanemap
