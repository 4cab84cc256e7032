#include "virtual_scanner/VirtualScannerConfig.h"
#include "virtual_scanner/PageRenderer.h"
#include "component_base/ScanError.h"
#include "component_base/TwainCodes.h"
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSizeF>
#include <algorithm>
#include <climits>
#include <cmath>

namespace {

struct Named {
    const char* name;
    int32_t code;
};

// TWAIN carries range values as 16.16 fixed-point numbers: nothing finer than 1/65536 and
// nothing beyond 32767 can be offered. Within these bounds a walk from a range's minimum in
// steps always advances (a step below a value's own rounding unit would leave it standing),
// and no resolution can make a page whose pixel count wraps.
constexpr double kRangeLimit = 32767;
constexpr double kSmallestStep = 1.0 / 65536;
// A range is listed value by value; beyond this many steps it is not a scanner's range.
constexpr double kMostRangeSteps = 100000;
constexpr auto kMostResolution = int32_t(kMostPageDpi);
// A sheet skewed further than this would not go through a feeder at all.
constexpr int kMostSkew = 10;

const Named kPixelTypes[] = {{"BW", 0}, {"GRAY", 1}, {"RGB", 2}};
const Named kUnits[] = {{"inches", 0}, {"centimeters", 1}, {"picas", 2},
                        {"points", 3}, {"twips", 4},       {"pixels", 5}};
const Named kPageSizes[] = {{"A4", 1},       {"A4LETTER", 1},     {"B5LETTER", 2}, {"USLETTER", 3},
                            {"USLEGAL", 4},  {"A5", 5},           {"B4", 6},       {"B6", 7},
                            {"USLEDGER", 9}, {"USEXECUTIVE", 10}, {"A3", 11},      {"B3", 12},
                            {"A6", 13},      {"C4", 14},          {"C5", 15},      {"C6", 16}};

class Reader {
public:
    explicit Reader(QString where) : m_where(std::move(where)) {}

    [[noreturn]] void fail(const QString& field, const QString& what) const {
        throw ScanError(
            QStringLiteral("scanner virtuali: %1, campo \"%2\": %3").arg(m_where, field, what));
    }

    template <size_t N>
    QVector<int32_t> codes(const QJsonObject& o, const char* field, const Named (&names)[N],
                           const QVector<int32_t>& fallback) const {
        const QJsonValue v = o.value(QLatin1String(field));
        if (v.isUndefined())
            return fallback;
        if (!v.isArray() || v.toArray().isEmpty())
            fail(QLatin1String(field), QStringLiteral("serve un elenco non vuoto"));
        QVector<int32_t> out;
        for (const QJsonValue& item : v.toArray()) {
            int32_t code = -1;
            if (item.isDouble()) {
                code = item.toInt(-1);
            } else if (item.isString()) {
                for (const Named& n : names) {
                    if (item.toString().compare(QLatin1String(n.name), Qt::CaseInsensitive) == 0)
                        code = n.code;
                }
            }
            bool known = false;
            for (const Named& n : names)
                known = known || n.code == code;
            if (!known)
                fail(QLatin1String(field),
                     QStringLiteral("valore sconosciuto %1")
                         .arg(QString::fromUtf8(
                             QJsonDocument(QJsonArray{item}).toJson(QJsonDocument::Compact))));
            if (!out.contains(code))
                out << code;
        }
        return out;
    }

    double number(const QJsonObject& o, const char* field, double fallback) const {
        const QJsonValue v = o.value(QLatin1String(field));
        if (v.isUndefined())
            return fallback;
        if (!v.isDouble() || !std::isfinite(v.toDouble()))
            fail(QLatin1String(field), QStringLiteral("serve un numero"));
        return v.toDouble();
    }

    // A whole number from `lowest` to `highest`, checked before it is converted: a double
    // outside the integer's range converts to nothing defined.
    int32_t integer(const QJsonObject& o, const char* field, int32_t fallback, int32_t lowest,
                    int32_t highest, const QString& shown = QString()) const {
        const double v = number(o, field, fallback);
        if (v != std::floor(v) || v < lowest || v > highest)
            fail(shown.isEmpty() ? QLatin1String(field) : shown,
                 QStringLiteral("serve un intero tra %1 e %2").arg(lowest).arg(highest));
        return int32_t(v);
    }

    bool boolean(const QJsonObject& o, const char* field, bool fallback) const {
        const QJsonValue v = o.value(QLatin1String(field));
        if (v.isUndefined())
            return fallback;
        if (!v.isBool())
            fail(QLatin1String(field), QStringLiteral("serve true o false"));
        return v.toBool();
    }

    QJsonObject object(const QJsonObject& o, const char* field) const {
        const QJsonValue v = o.value(QLatin1String(field));
        if (v.isUndefined())
            return {};
        if (!v.isObject())
            fail(QLatin1String(field), QStringLiteral("serve un oggetto"));
        return v.toObject();
    }

    void range(const QJsonObject& o, const char* field, double* min, double* max, double* step,
               double* def) const {
        if (!o.contains(QLatin1String(field)))
            return;
        const QJsonObject r = object(o, field);
        *min = number(r, "min", *min);
        *max = number(r, "max", *max);
        *step = number(r, "step", *step);
        if (std::fabs(*min) > kRangeLimit || std::fabs(*max) > kRangeLimit ||
            std::fabs(*step) > kRangeLimit)
            fail(QLatin1String(field),
                 QStringLiteral("valori oltre %1 in valore assoluto").arg(kRangeLimit));
        if (*min > *max)
            fail(QLatin1String(field), QStringLiteral("intervallo non valido"));
        *def = number(r, "default", std::clamp(0.0, *min, *max));
        if (*def < *min || *def > *max)
            fail(QLatin1String(field), QStringLiteral("intervallo non valido"));
        if (!(*step >= kSmallestStep))
            fail(QLatin1String(field), QStringLiteral("passo minore di 1/65536"));
        if ((*max - *min) / *step > kMostRangeSteps)
            fail(QLatin1String(field),
                 QStringLiteral("troppi passi (oltre %1)").arg(kMostRangeSteps));
    }

    std::optional<VirtualFault> fault(const QJsonObject& o, const char* field, int32_t code,
                                      const QString& text) const {
        const QJsonValue v = o.value(QLatin1String(field));
        if (v.isUndefined() || (v.isBool() && !v.toBool()))
            return std::nullopt;
        VirtualFault f{code, text};
        if (v.isBool())
            return f;
        if (!v.isObject())
            fail(QLatin1String(field), QStringLiteral("serve true o un oggetto con code e text"));
        const QJsonObject fo = v.toObject();
        f.code = integer(fo, "code", code, INT32_MIN, INT32_MAX,
                         QLatin1String(field) + QStringLiteral(".code"));
        if (fo.contains(QLatin1String("text"))) {
            if (!fo.value(QLatin1String("text")).isString())
                fail(QLatin1String(field), QStringLiteral("\"text\" deve essere un testo"));
            f.text = fo.value(QLatin1String("text")).toString();
        }
        if (f.code == 0)
            fail(QLatin1String(field), QStringLiteral("il codice di un guasto non puo' essere 0"));
        return f;
    }

    std::optional<VirtualPageFault> pageFault(const QJsonObject& o, const char* field, int32_t code,
                                              const QString& text) const {
        const auto f = fault(o, field, code, text);
        if (!f)
            return std::nullopt;
        const QJsonObject fo = o.value(QLatin1String(field)).toObject();
        if (!fo.contains(QLatin1String("page")))
            fail(QLatin1String(field), QStringLiteral("\"page\" deve essere un intero da 1"));
        return VirtualPageFault{
            integer(fo, "page", 0, 1, INT32_MAX, QLatin1String(field) + QStringLiteral(".page")),
            *f};
    }

    // Sheets of the feeder's stack, from 1 to `sheets`: a list of whole numbers.
    QVector<int> sheetList(const QJsonObject& f, const char* field, int sheets) const {
        const QJsonValue v = f.value(QLatin1String(field));
        if (v.isUndefined())
            return {};
        const QString shown = QStringLiteral("feeder.") + QLatin1String(field);
        const QString want = QStringLiteral("serve un elenco di fogli, interi tra 1 e %1").arg(sheets);
        if (!v.isArray())
            fail(shown, want);
        QVector<int> out;
        for (const QJsonValue& item : v.toArray()) {
            const double n = item.toDouble(-1);
            if (!item.isDouble() || n != std::floor(n) || n < 1 || n > sheets)
                fail(shown, want);
            if (!out.contains(int(n)))
                out << int(n);
        }
        return out;
    }

    // Sheet numbers (as the object's names) to angles in degrees.
    QMap<int, double> sheetAngles(const QJsonObject& f, const char* field, int sheets) const {
        const QString shown = QStringLiteral("feeder.") + QLatin1String(field);
        if (!f.contains(QLatin1String(field)))
            return {};
        if (!f.value(QLatin1String(field)).isObject())
            fail(shown, QStringLiteral("serve un oggetto da foglio a gradi, come {\"5\": 1.5}"));
        const QJsonObject o = f.value(QLatin1String(field)).toObject();
        QMap<int, double> out;
        for (auto it = o.begin(); it != o.end(); ++it) {
            bool whole = false;
            const int sheet = it.key().toInt(&whole);
            if (!whole || sheet < 1 || sheet > sheets)
                fail(shown, QStringLiteral("\"%1\" non e' un foglio tra 1 e %2").arg(it.key()).arg(sheets));
            const double degrees = it.value().toDouble(kMostSkew + 1);
            if (!it.value().isDouble() || !(std::fabs(degrees) <= kMostSkew))
                fail(shown, QStringLiteral("foglio %1: serve un angolo tra -%2 e %2 gradi")
                                .arg(sheet)
                                .arg(kMostSkew));
            if (degrees != 0)
                out.insert(sheet, degrees);
        }
        return out;
    }

private:
    QString m_where;
};

VirtualScannerSpec parseScanner(const QJsonObject& o, int index) {
    VirtualScannerSpec s;
    const QJsonValue name = o.value(QLatin1String("name"));
    if (!name.isString() || name.toString().trimmed().isEmpty())
        Reader(QStringLiteral("scanner %1").arg(index + 1))
            .fail(QStringLiteral("name"), QStringLiteral("manca il nome"));
    s.name = name.toString().trimmed();
    const Reader r(QStringLiteral("\"%1\"").arg(s.name));

    s.pixelTypes = r.codes(o, "pixelTypes", kPixelTypes, s.pixelTypes);
    s.units = r.codes(o, "units", kUnits, s.units);
    s.pageSizes = r.codes(o, "pageSizes", kPageSizes, s.pageSizes);

    const QJsonValue res = o.value(QLatin1String("resolutions"));
    if (res.isArray()) {
        s.resolutions.clear();
        for (const QJsonValue& v : res.toArray()) {
            const double dpi = v.toDouble(-1);
            if (!v.isDouble() || dpi != std::floor(dpi) || dpi < 1 || dpi > kMostResolution)
                r.fail(QStringLiteral("resolutions"),
                       QStringLiteral("risoluzioni intere tra 1 e %1 dpi").arg(kMostResolution));
            if (!s.resolutions.contains(int32_t(dpi)))
                s.resolutions << int32_t(dpi);
        }
        if (s.resolutions.isEmpty())
            r.fail(QStringLiteral("resolutions"), QStringLiteral("elenco vuoto"));
        std::sort(s.resolutions.begin(), s.resolutions.end());
    } else if (res.isObject()) {
        s.resolutionRange = true;
        double def = 0;
        s.resolutionMin = 75;
        s.resolutionMax = 1200;
        r.range(o, "resolutions", &s.resolutionMin, &s.resolutionMax, &s.resolutionStep, &def);
        if (s.resolutionMin <= 0 || s.resolutionMax > kMostResolution)
            r.fail(QStringLiteral("resolutions"),
                   QStringLiteral("risoluzioni tra 1 e %1 dpi").arg(kMostResolution));
    } else if (!res.isUndefined()) {
        r.fail(QStringLiteral("resolutions"), QStringLiteral("serve un elenco o un intervallo"));
    }
    s.defaultResolution = r.integer(o, "defaultResolution", 0, 0, kMostResolution);

    r.range(o, "brightness", &s.brightnessMin, &s.brightnessMax, &s.brightnessStep,
            &s.brightnessDefault);
    r.range(o, "contrast", &s.contrastMin, &s.contrastMax, &s.contrastStep, &s.contrastDefault);

    if (o.contains(QLatin1String("feeder"))) {
        const QJsonObject f = r.object(o, "feeder");
        s.feederPresent = r.boolean(f, "present", true);
        s.paperDetectable = r.boolean(f, "paperDetectable", s.feederPresent);
        s.sheets = r.integer(f, "sheets", s.feederPresent ? 1 : 0, 0, 100000,
                             QStringLiteral("feeder.sheets"));
        s.blankBacks = r.sheetList(f, "blankBacks", s.sheets);
        s.upsideDown = r.sheetList(f, "upsideDown", s.sheets);
        s.skewDegrees = r.sheetAngles(f, "skewDegrees", s.sheets);
    }
    s.duplex = r.boolean(o, "duplex", false);
    if (!s.blankBacks.isEmpty() && !s.duplex)
        r.fail(QStringLiteral("feeder.blankBacks"),
               QStringLiteral("i retri si leggono solo con \"duplex\": true"));
    s.pageDelayMs = r.integer(o, "pageDelayMs", 0, 0, 60000);

    const QJsonObject faults = r.object(o, "faults");
    s.openFault = r.fault(faults, "openFails", 11, QStringLiteral("Accesso allo scanner negato"));
    s.errorAfterPage =
        r.pageFault(faults, "errorAfterPage", 9, QStringLiteral("Errore di comunicazione"));
    s.jamOnPage = r.pageFault(faults, "jamOnPage", 6, QStringLiteral("Carta inceppata"));
    s.feederEmpty = r.fault(faults, "feederEmpty", 7, QStringLiteral("Alimentatore vuoto"));
    return s;
}

// The parser's reason in Italian: Qt's own texts are English.
QString jsonErrorText(QJsonParseError::ParseError error) {
    switch (error) {
    case QJsonParseError::NoError:
        return QStringLiteral("nessun errore");
    case QJsonParseError::UnterminatedObject:
        return QStringLiteral("oggetto non chiuso da \"}\"");
    case QJsonParseError::MissingNameSeparator:
        return QStringLiteral("manca \":\" dopo un nome");
    case QJsonParseError::UnterminatedArray:
        return QStringLiteral("elenco non chiuso da \"]\"");
    case QJsonParseError::MissingValueSeparator:
        return QStringLiteral("manca \",\" tra due valori");
    case QJsonParseError::IllegalValue:
        return QStringLiteral("valore non valido");
    case QJsonParseError::TerminationByNumber:
        return QStringLiteral("il testo finisce dentro un numero");
    case QJsonParseError::IllegalNumber:
        return QStringLiteral("numero non valido");
    case QJsonParseError::IllegalEscapeSequence:
        return QStringLiteral("sequenza di escape non valida");
    case QJsonParseError::IllegalUTF8String:
        return QStringLiteral("testo non in UTF-8 valido");
    case QJsonParseError::UnterminatedString:
        return QStringLiteral("testo tra virgolette non chiuso");
    case QJsonParseError::MissingObject:
        return QStringLiteral("manca un oggetto");
    case QJsonParseError::DeepNesting:
        return QStringLiteral("annidamento troppo profondo");
    case QJsonParseError::DocumentTooLarge:
        return QStringLiteral("documento troppo grande");
    case QJsonParseError::GarbageAtEnd:
        return QStringLiteral("testo in più dopo la fine del documento");
    }
    return QStringLiteral("errore %1").arg(int(error));
}

} // namespace

VirtualScannerFile parseVirtualScanners(const QByteArray& json) {
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        throw ScanError(QStringLiteral("scanner virtuali: JSON non valido alla posizione %1: %2")
                            .arg(error.offset)
                            .arg(jsonErrorText(error.error)));
    if (!doc.isObject())
        throw ScanError(QStringLiteral("scanner virtuali: serve un oggetto con \"scanners\""));
    const QJsonObject root = doc.object();
    const Reader r(QStringLiteral("file"));
    VirtualScannerFile file;
    const QJsonValue list = root.value(QLatin1String("scanners"));
    if (!list.isArray())
        r.fail(QStringLiteral("scanners"), QStringLiteral("serve un elenco di scanner"));
    int index = 0;
    for (const QJsonValue& v : list.toArray()) {
        if (!v.isObject())
            r.fail(QStringLiteral("scanners"),
                   QStringLiteral("l'elemento %1 non e' un oggetto").arg(index + 1));
        VirtualScannerSpec layout = parseScanner(v.toObject(), index++);
        for (const VirtualScannerSpec& other : file.scanners) {
            if (other.name == layout.name)
                r.fail(QStringLiteral("scanners"),
                       QStringLiteral("nome ripetuto \"%1\"").arg(layout.name));
        }
        file.scanners << layout;
    }
    const QJsonObject faults = r.object(root, "faults");
    file.startFault = r.fault(faults, "startFails", 9,
                              QStringLiteral("Gestore scanner virtuali non disponibile"));
    file.startDelayMs = r.integer(root, "startDelayMs", 0, 0, 60000);
    return file;
}
