#include "acquisition_sane/SaneMapping.h"
#include "acquisition/TwainCodes.h"
#include <algorithm>
#include <cmath>

namespace sanemap {

SourceKind classifySource(const QString& source) {
    const QString s = source.toLower();
    if (s.contains(QLatin1String("duplex")))
        return SourceKind::Duplex;
    const bool feeder = s.contains(QLatin1String("adf")) || s.contains(QLatin1String("feeder")) ||
                        s.contains(QLatin1String("automatic document"));
    return feeder ? SourceKind::Feeder : SourceKind::Flatbed;
}

QString chooseSource(const QStringList& sources, SourceKind want) {
    QString chosen;
    int best = -1;
    for (const QString& s : sources) {
        if (classifySource(s) != want)
            continue;
        const QString l = s.toLower();
        int score = 1;
        if (l.contains(QLatin1String("back")) || l.contains(QLatin1String("transparen")) ||
            l.contains(QLatin1String("negative")) || l.contains(QLatin1String("film")))
            score = 0;
        if (l.contains(QLatin1String("front")) || l.contains(QLatin1String("flatbed")))
            score = 2;
        if (score > best) {
            best = score;
            chosen = s;
        }
    }
    return chosen;
}

int pixelTypeOfMode(const QString& mode) {
    const QString m = mode.toLower();
    const bool colour = m.contains(QLatin1String("color")) || m.contains(QLatin1String("colour"));
    const bool binary = m.contains(QLatin1String("lineart")) ||
                        m.contains(QLatin1String("binary")) ||
                        m.contains(QLatin1String("halftone")) ||
                        m.contains(QLatin1String("black")) || m.contains(QLatin1String("thresh"));
    if (colour)
        return binary ? -1 : twain::RGB;
    if (binary)
        return twain::BW;
    if (m.contains(QLatin1String("gray")) || m.contains(QLatin1String("grey")))
        return twain::Gray;
    return -1;
}

namespace {
// TWAIN's size codes with ISO/JIS/US dimensions in millimetres (B5Letter is JIS B5).
constexpr PaperSize kSizes[] = {
    {twain::A4, 210, 297},
    {twain::B5Letter, 182, 257},
    {twain::USLetter, 215.9, 279.4},
    {twain::USLegal, 215.9, 355.6},
    {twain::A5, 148, 210},
    {twain::B4, 250, 353},
    {twain::B6, 125, 176},
    {twain::USLedger, 279.4, 431.8},
    {twain::USExecutive, 184.15, 266.7},
    {twain::A3, 297, 420},
    {twain::B3, 353, 500},
    {twain::A6, 105, 148},
    {twain::C4, 229, 324},
    {twain::C5, 162, 229},
    {twain::C6, 114, 162},
};
// An area announced as 215 mm still takes a 215.9 mm US Letter sheet in practice; a
// millimetre of slack avoids refusing sizes the device's own rounding shaved off.
constexpr double kFitSlackMm = 1.0;
} // namespace

std::optional<PaperSize> paperSize(int code) {
    for (const PaperSize& p : kSizes)
        if (p.code == code)
            return p;
    return std::nullopt;
}

QVector<double> sizesThatFit(double widthMm, double heightMm) {
    QVector<double> codes{twain::SizeNone};
    for (const PaperSize& p : kSizes)
        if (p.widthMm <= widthMm + kFitSlackMm && p.heightMm <= heightMm + kFitSlackMm)
            codes.append(p.code);
    return codes;
}

int sizeOfFrame(double widthMm, double heightMm, double toleranceMm) {
    for (const PaperSize& p : kSizes)
        if (std::abs(p.widthMm - widthMm) <= toleranceMm &&
            std::abs(p.heightMm - heightMm) <= toleranceMm)
            return p.code;
    return twain::SizeNone;
}

double unitsPerInch(int unit, double dpi) {
    switch (unit) {
    case twain::Inches:
        return 1;
    case twain::Centimeters:
        return 2.54;
    case twain::Picas:
        return 6;
    case twain::Points:
        return 72;
    case twain::Twips:
        return 1440;
    case twain::Pixels:
        return dpi > 0 ? dpi : 0;
    default:
        return 0;
    }
}

double snapToQuant(double value, double min, double max, double quant) {
    if (quant > 0)
        value = min + std::round((value - min) / quant) * quant;
    return std::clamp(value, min, max);
}

} // namespace sanemap
