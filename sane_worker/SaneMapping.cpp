#include "sane_worker/SaneMapping.h"
#include "component_base/TwainCodes.h"
#include <algorithm>
#include <cmath>

namespace sanemap {

namespace {

// Source names of Debian 12's sane-backends and sane-airscan, lower case. Names not listed
// here are judged by their words (classifyByWords), so a new backend's "ADF Front" or
// "Flatbed (Reflective)" still lands where it belongs.
struct NamedSource {
    const char* name;
    SourceKind kind;
};
constexpr NamedSource kSourceNames[] = {
    {"flatbed", SourceKind::Flatbed},        // most backends, sane-airscan
    {"normal", SourceKind::Flatbed},         // avision, hp, plustek
    {"opaque/normal", SourceKind::Flatbed},  // agfafocus, microtek
    {"reflective", SourceKind::Flatbed},     // hp3900, pieusb
    {"document table", SourceKind::Flatbed}, // Epson's own drivers
    {"platen", SourceKind::Flatbed},         // eSCL's own word
    {"fb", SourceKind::Flatbed},             // hs2p, kvs1025, kvs40xx
    {"adf", SourceKind::Feeder},             // sane-airscan, hp, hp5590, microtek2, xerox_mfp
    {"adf front", SourceKind::Feeder},       // avision, canon_dr, epjitsu, fujitsu, kodak
    {"automatic document feeder", SourceKind::Feeder}, // epson2, epsonds, pixma, umax, ...
    {"autofeeder", SourceKind::Feeder},                // microtek
    {"feeder", SourceKind::Feeder},                    // escl
    {"manual feed tray", SourceKind::Feeder},          // bh
    {"adf back", SourceKind::FeederBack},              // avision, canon_dr, epjitsu, fujitsu, kodak
    {"adf duplex", SourceKind::Duplex}, // sane-airscan, avision, pixma, hp5590, fujitsu, ...
    {"duplex", SourceKind::Duplex},     // hpaio
    {"transparency", SourceKind::Film}, // agfafocus, avision, microtek, plustek
    {"transparency adapter", SourceKind::Film},          // genesys, gt68xx, mustek, umax, ...
    {"transparency adapter infrared", SourceKind::Film}, // genesys
    {"transparency unit", SourceKind::Film},             // epson, epson2, pixma
    {"tpu8x10", SourceKind::Film},                       // epson2
    {"tma", SourceKind::Film},                           // microtek2
    {"tma slides", SourceKind::Film},                    // hp5590
    {"tma negatives", SourceKind::Film},                 // hp5590
    {"xpa", SourceKind::Film},                           // hp
    {"slide", SourceKind::Film},                         // coolscan, microtek2, hp3900
    {"filmstrip", SourceKind::Film},                     // microtek2
    {"negative", SourceKind::Film},                      // plustek, hp3900
    {"positive film", SourceKind::Film},                 // Epson's own drivers
    {"negative film", SourceKind::Film},                 // Epson's own drivers
    {"automatic slide feeder", SourceKind::Film},        // coolscan: slides, not documents
    {"auto", SourceKind::Other},                         // xerox_mfp: the device picks
    {"card front", SourceKind::Other},                   // canon_dr, fujitsu: a card slot
    {"card back", SourceKind::Other},
    {"card duplex", SourceKind::Other},
};

bool has(const QString& s, const char* word) {
    return s.contains(QLatin1String(word));
}

SourceKind classifyByWords(const QString& s) {
    if (has(s, "card"))
        return SourceKind::Other;
    // Before the feeder words: an "Automatic Slide Feeder" feeds film, not documents.
    for (const char* film : {"transparen", "film", "slide", "negative", "positive", "tpu", "tma"})
        if (has(s, film))
            return SourceKind::Film;
    if (has(s, "duplex"))
        return SourceKind::Duplex;
    const bool feeder = has(s, "adf") || has(s, "feed");
    if (feeder && has(s, "back"))
        return SourceKind::FeederBack;
    if (feeder)
        return SourceKind::Feeder;
    for (const char* glass : {"flatbed", "platen", "glass", "table", "reflective", "normal"})
        if (has(s, glass))
            return SourceKind::Flatbed;
    return SourceKind::Other;
}

} // namespace

SourceKind classifySource(const QString& source) {
    const QString s = source.trimmed().toLower();
    for (const NamedSource& n : kSourceNames)
        if (s == QLatin1String(n.name))
            return n.kind;
    return classifyByWords(s);
}

bool feeds(SourceKind kind) {
    return kind == SourceKind::Feeder || kind == SourceKind::FeederBack ||
           kind == SourceKind::Duplex;
}

QString chooseSource(const QStringList& sources, SourceKind want) {
    QString chosen;
    int best = -1;
    for (const QString& s : sources) {
        if (classifySource(s) != want)
            continue;
        const QString l = s.toLower();
        int score = 1;
        if (has(l, "manual"))
            score = 0; // a sheet at a time by hand: only when there is no real feeder
        if (has(l, "front") || has(l, "flatbed") || has(l, "adf"))
            score = 2;
        if (score > best) {
            best = score;
            chosen = s;
        }
    }
    return chosen;
}

std::optional<bool> duplexSwitchValue(const QString& value) {
    const QString v = value.toLower();
    if (has(v, "duplex"))
        return true;
    if (has(v, "simplex"))
        return false;
    return std::nullopt;
}

QString duplexSwitchEntry(const QStringList& values, bool on) {
    for (const QString& v : values)
        if (duplexSwitchValue(v) == on)
            return v;
    return QString();
}

SourceState sourceState(const SourceOptions& o) {
    SourceState st;
    bool duplexSource = false;
    for (const QString& s : o.sources) {
        const SourceKind k = classifySource(s);
        st.feederPresent = st.feederPresent || feeds(k);
        duplexSource = duplexSource || k == SourceKind::Duplex;
    }
    const SourceKind now = classifySource(o.current);
    st.feederEnabled = feeds(now);
    st.duplexSupported = duplexSource || (st.feederPresent && o.hasDuplexSwitch);
    if (duplexSource)
        st.duplexEnabled = now == SourceKind::Duplex;
    else
        st.duplexEnabled = st.duplexSupported && o.duplexSwitchOn;
    return st;
}

SourcePlan planSource(const SourceOptions& o, bool feeder, bool on) {
    SourcePlan plan;
    const SourceKind now = classifySource(o.current);
    const SourceState st = sourceState(o);
    auto switchTo = [&](SourceKind kind) {
        plan.source = chooseSource(o.sources, kind);
        plan.possible = !plan.source.isEmpty();
    };
    if (feeder) {
        if (on && !feeds(now))
            switchTo(SourceKind::Feeder);
        else if (!on && feeds(now))
            switchTo(SourceKind::Flatbed);
        // Film and Other stay as they are when the feeder is switched off: there is nothing
        // better to switch to for a document, and the user chose them.
        return plan;
    }
    const bool duplexSource = std::any_of(o.sources.begin(), o.sources.end(), [](const QString& s) {
        return classifySource(s) == SourceKind::Duplex;
    });
    if (on) {
        if (!st.duplexSupported)
            plan.possible = false;
        else if (duplexSource && now != SourceKind::Duplex)
            switchTo(SourceKind::Duplex);
        else if (!duplexSource && !o.duplexSwitchOn)
            plan.duplexSwitch = true;
    } else {
        if (now == SourceKind::Duplex)
            switchTo(SourceKind::Feeder);
        else if (!duplexSource && o.hasDuplexSwitch && o.duplexSwitchOn)
            plan.duplexSwitch = false;
    }
    return plan;
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

double snapToQuant(double value, double min, double max, double quant) {
    if (quant > 0)
        value = min + std::round((value - min) / quant) * quant;
    return std::clamp(value, min, max);
}

} // namespace sanemap
