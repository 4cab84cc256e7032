#pragma once
#include "component_base/TwainCodes.h"
#include <QString>
#include <QStringList>
#include <QVector>
#include <cstdint>
#include <optional>

// The pure half of the SANE-to-TWAIN mapping: how option values that backends spell in many
// ways (scan modes, source names) and the geometry read in TWAIN's terms. No SANE calls here.

namespace sanemap {

/// What a SANE "source" entry scans from.
enum class SourceKind {
    Flatbed,    ///< the glass: "Flatbed", "Normal", "Document Table", "fb", ...
    Feeder,     ///< one side of each sheet from the feeder: "ADF", "ADF Front", ...
    FeederBack, ///< only the back of each sheet: "ADF Back"
    Duplex,     ///< both sides of each sheet: "ADF Duplex", "Duplex"
    Film,       ///< transparencies, slides, negatives: never used for documents
    Other,      ///< anything else ("Auto", card slots): neither glass nor document feeder
};

/// Classifies a backend's source name. The names of Debian's sane-backends and sane-airscan
/// are listed in the tests; unknown names fall back on their words (adf, feeder, duplex,
/// flatbed, film, ...) and otherwise count as Other.
SourceKind classifySource(const QString& source);

/// True for the kinds that feed sheets (Feeder, FeederBack, Duplex).
bool feeds(SourceKind kind);

/// The entry of `sources` to switch to for `want`: among several of that kind the plain or
/// front one ("ADF", "ADF Front") before a manual feed, and "Flatbed" before other glass
/// names. Empty when the list has none of that kind.
QString chooseSource(const QStringList& sources, SourceKind want);

/// A separate duplex switch's value as a Boolean: "Duplex" on, "Simplex" off (the adf-mode
/// options of several backends). nullopt for a value that is neither.
std::optional<bool> duplexSwitchValue(const QString& value);

/// The entry of a switch's value list that means `on` ("Duplex") or off ("Simplex"); empty
/// when the list has none.
QString duplexSwitchEntry(const QStringList& values, bool on);

/// How a device chooses between glass, feeder and both sides: its source list and, where the
/// backend has one, a separate duplex switch (adf-mode "Simplex"/"Duplex" or a duplex Boolean).
struct SourceOptions {
    QStringList sources;          ///< the "source" option's entries; empty without one
    QString current;              ///< the current source
    bool hasDuplexSwitch = false; ///< a settable duplex switch exists
    bool duplexSwitchOn = false;  ///< its value
};

/// The feeder and duplex state that SourceOptions stand for, in TWAIN's terms.
struct SourceState {
    bool feederPresent = false;
    bool feederEnabled = false;
    bool duplexSupported = false;
    bool duplexEnabled = false;
};
SourceState sourceState(const SourceOptions& options);

/// What to write so that the feeder (feeder true) or the duplex mode (feeder false) is
/// switched `on` or off: a source entry (empty: keep the current one) and a duplex switch
/// value (nullopt: leave it). `possible` is false when the device cannot do it.
struct SourcePlan {
    bool possible = true;
    QString source;
    std::optional<bool> duplexSwitch;
};
SourcePlan planSource(const SourceOptions& options, bool feeder, bool on);

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

using twain::unitsPerInch;

/// `value` snapped to the grid min + k*quant (quant 0: unchanged), kept inside [min, max].
double snapToQuant(double value, double min, double max, double quant);

} // namespace sanemap
