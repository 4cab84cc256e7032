#include "sane_worker/SaneCapabilities.h"
#include "worker_process/SaneStatus.h"
#include "sane_worker/SaneMapping.h"
#include <algorithm>
#include <cmath>
#include <cstring>

using namespace twain;
using saneoption::numberText;
using saneoption::wordValue;

namespace {

// ---------------------------------------------------------------------------------------
// The mapping table: every TWAIN capability the layer offers, the SANE options behind it
// (the first active one wins) and the rule that turns them into a capability. Its order is
// the order capabilityIds() reports.
// ---------------------------------------------------------------------------------------
enum class Rule {
    Number,    // the option's value and constraint as they stand (range, list or one value)
    PixelType, // mode: Lineart/Binary/Halftone 0, Gray 1, Color 2 (BW also as Gray at depth 1)
    Units,     // the layer's own unit choice, offered when the device has a scan area
    Geometry,  // physical size and supported page sizes from the br-x/br-y ranges
    Source,    // the source list: feeder present/enabled, duplex
    Sensor,    // a paper sensor in the feeder: detectable, loaded
};

struct CapabilityRule {
    uint16_t cap;
    Rule rule;
    const char* options[4]; // null-terminated
};

constexpr CapabilityRule kRules[] = {
    {ICAP_PIXELTYPE, Rule::PixelType, {"mode"}},
    {ICAP_BITDEPTH, Rule::Number, {"depth"}},
    {ICAP_XRESOLUTION, Rule::Number, {"x-resolution", "resolution"}},
    {ICAP_YRESOLUTION, Rule::Number, {"y-resolution", "resolution"}},
    {ICAP_UNITS, Rule::Units, {"br-x"}},
    {ICAP_PHYSICALWIDTH, Rule::Geometry, {"br-x"}},
    {ICAP_PHYSICALHEIGHT, Rule::Geometry, {"br-y"}},
    {ICAP_SUPPORTEDSIZES, Rule::Geometry, {"br-x"}},
    {ICAP_BRIGHTNESS, Rule::Number, {"brightness"}},
    {ICAP_CONTRAST, Rule::Number, {"contrast"}},
    {ICAP_THRESHOLD, Rule::Number, {"threshold"}},
    {CUSTOM_FEEDERPRESENT, Rule::Source, {"source"}},
    {CAP_FEEDERENABLED, Rule::Source, {"source"}},
    {CAP_DUPLEX, Rule::Source, {"source"}},
    {CAP_DUPLEXENABLED, Rule::Source, {"source"}},
    {CAP_PAPERDETECTABLE, Rule::Sensor, {"adf-loaded", "page-loaded", "paper-loaded"}},
    {CAP_FEEDERLOADED, Rule::Sensor, {"adf-loaded", "page-loaded", "paper-loaded"}},
};

const CapabilityRule* ruleOf(uint16_t cap) {
    for (const CapabilityRule& r : kRules)
        if (r.cap == cap)
            return &r;
    return nullptr;
}

// The duplex switches that some backends keep apart from the source list.
constexpr const char* kDuplexSwitches[] = {"adf-mode", "adf_mode", "duplex"};

} // namespace

void SaneCapabilities::takeDefaults() {
    // Black and white made here starts at the device's own threshold when it has one.
    if (bwInSoftware()) {
        const SANE_Option_Descriptor* d = m_options.option("threshold");
        auto value = m_options.readNumber("threshold");
        if (d && value && d->constraint_type == SANE_CONSTRAINT_RANGE) {
            const double min = wordValue(d, d->constraint.range->min);
            const double max = wordValue(d, d->constraint.range->max);
            if (max > min)
                m_thresholdDefault = std::round((*value - min) / (max - min) * 255);
        }
        m_threshold = m_thresholdDefault;
    }
    // SANE has no notion of a default value: what the device had when opened stands for it.
    for (const CapabilityRule& r : kRules)
        if (auto c = capability(r.cap))
            m_defaults.insert(r.cap, c->current);
}

DeviceStatus SaneCapabilities::setOption(const QByteArray& name, const QString& value) {
    if (name == "mode")
        m_emulated = -1; // the caller picks the device's own mode
    return m_options.writeText(name, value);
}

bool SaneCapabilities::sourceFeeds() const {
    const std::optional<QString> source = m_options.readString("source");
    return !source || sanemap::feeds(sanemap::classifySource(*source));
}

QStringList SaneCapabilities::sourceList() const {
    return m_options.stringList("source");
}

// --- Capabilities --------------------------------------------------------------------------

QVector<uint16_t> SaneCapabilities::capabilityIds() const {
    QVector<uint16_t> ids;
    for (const CapabilityRule& r : kRules)
        if (capability(r.cap))
            ids.append(r.cap);
    return ids;
}

std::optional<Capability> SaneCapabilities::capability(uint16_t id) const {
    const CapabilityRule* rule = ruleOf(id);
    if (!rule)
        return std::nullopt;
    std::optional<Capability> c;
    switch (rule->rule) {
    case Rule::Number:
        if ((c = emulatedCapability(id)))
            break;
        if (const char* name = m_options.firstActive(rule->options))
            c = numberCapability(id, m_options.option(name));
        break;
    case Rule::PixelType:
        c = pixelTypeCapability();
        break;
    case Rule::Units:
    case Rule::Geometry:
        c = geometryCapability(id);
        break;
    case Rule::Source:
        c = sourceCapability(id);
        break;
    case Rule::Sensor:
        c = sensorCapability(id);
        break;
    }
    if (c) {
        c->id = id;
        auto def = m_defaults.constFind(id);
        if (def != m_defaults.constEnd())
            c->defaultValue = def.value();
        if (c->text.isEmpty())
            c->text = numberText(c->current);
    }
    return c;
}

std::optional<Capability>
SaneCapabilities::numberCapability(uint16_t id, const SANE_Option_Descriptor* d) const {
    auto current = m_options.readNumber(d->name);
    if (!current)
        return std::nullopt;
    Capability c;
    const bool readOnly = !SANE_OPTION_IS_SETTABLE(d->cap);
    if (d->constraint_type == SANE_CONSTRAINT_RANGE && d->constraint.range) {
        const SANE_Range* r = d->constraint.range;
        double step = wordValue(d, r->quant);
        if (step == 0 && d->type == SANE_TYPE_INT)
            step = 1;
        c = Capability::range(id, *current, *current, wordValue(d, r->min), wordValue(d, r->max),
                              step);
    } else if (d->constraint_type == SANE_CONSTRAINT_WORD_LIST && d->constraint.word_list) {
        QVector<double> items;
        const SANE_Word* list = d->constraint.word_list;
        for (SANE_Word i = 1; i <= list[0]; ++i)
            items.append(wordValue(d, list[i]));
        c = Capability::enumeration(id, *current, *current, items);
    } else {
        c = Capability::oneValue(id, *current);
    }
    c.readOnly = readOnly;
    return c;
}

bool SaneCapabilities::bwByDepth() const {
    // A device with no binary mode but 1-bit grey scans (the test backend, some sheet-fed
    // scanners) still gives black-and-white pages: Gray at depth 1.
    const SANE_Option_Descriptor* mode = m_options.option("mode");
    const SANE_Option_Descriptor* depth = m_options.option("depth");
    if (!mode || !depth || mode->constraint_type != SANE_CONSTRAINT_STRING_LIST ||
        depth->constraint_type != SANE_CONSTRAINT_WORD_LIST)
        return false;
    bool gray = false;
    for (const SANE_String_Const* s = mode->constraint.string_list; s && *s; ++s) {
        const int t = sanemap::pixelTypeOfMode(QString::fromUtf8(*s));
        if (t == BW)
            return false;
        gray = gray || t == Gray;
    }
    const SANE_Word* list = depth->constraint.word_list;
    for (SANE_Word i = 1; i <= list[0]; ++i)
        if (list[i] == 1)
            return gray;
    return false;
}

QString SaneCapabilities::modeFor(int type) const {
    for (const QString& m : m_options.stringList("mode"))
        if (sanemap::pixelTypeOfMode(m) == type)
            return m;
    return QString();
}

bool SaneCapabilities::bwInSoftware() const {
    // Devices with grey and colour only (eSCL scanners through sane-airscan, many network
    // devices): their black and white is thresholded here.
    return modeFor(BW).isEmpty() && !bwByDepth() &&
           (!modeFor(Gray).isEmpty() || !modeFor(RGB).isEmpty());
}

std::optional<Capability> SaneCapabilities::pixelTypeCapability() const {
    const SANE_Option_Descriptor* d = m_options.option("mode");
    auto mode = m_options.readString("mode");
    if (!d || !mode || d->constraint_type != SANE_CONSTRAINT_STRING_LIST)
        return std::nullopt;
    QVector<double> items;
    for (const QString& m : m_options.stringList("mode")) {
        const int t = sanemap::pixelTypeOfMode(m);
        if (t >= 0 && !items.contains(t))
            items.append(t);
    }
    // What the layer can make from the modes there are: grey from colour, black and white
    // from either (by depth 1 where the device has it, else thresholded here).
    if (items.contains(RGB) && !items.contains(Gray))
        items.append(Gray);
    if (!items.isEmpty() && !items.contains(BW))
        items.append(BW);
    if (items.isEmpty())
        return std::nullopt;
    std::sort(items.begin(), items.end());
    int current = sanemap::pixelTypeOfMode(*mode);
    if (m_emulated >= 0)
        current = m_emulated;
    else if (current == Gray && bwByDepth() && m_options.readNumber("depth").value_or(8) == 1)
        current = BW;
    Capability c = Capability::enumeration(ICAP_PIXELTYPE, current, current, items);
    c.text = *mode;
    c.readOnly = !SANE_OPTION_IS_SETTABLE(d->cap);
    return c;
}

DeviceStatus SaneCapabilities::setPixelType(int type) {
    const SANE_Option_Descriptor* d = m_options.option("mode");
    if (!d || d->constraint_type != SANE_CONSTRAINT_STRING_LIST)
        return sanestatus::status(sanestatus::NotSupported, QStringLiteral("mode"));
    if (type != BW && type != Gray && type != RGB)
        return sanestatus::status(sanestatus::ValueNotOffered,
                                  QStringLiteral("tipo di pixel %1").arg(type));
    const bool byDepth = bwByDepth();
    QString chosen = modeFor(type);
    if (chosen.isEmpty() && type == BW && byDepth)
        chosen = modeFor(Gray);
    if (!chosen.isEmpty()) {
        m_emulated = -1;
        DeviceStatus st = m_options.writeString("mode", chosen);
        if (!st.ok() || !byDepth)
            return st;
        // Gray at depth 1 stands for BW, so Gray itself must leave depth 1.
        if (type == BW)
            return m_options.writeNumber("depth", 1);
        if (m_options.readNumber("depth").value_or(8) == 1)
            return m_options.writeNumber("depth", 8);
        return st;
    }
    // No mode for it: scan in the nearest mode there is and convert each page.
    QString from = type == BW ? modeFor(Gray) : QString();
    if (from.isEmpty())
        from = modeFor(RGB);
    if (from.isEmpty())
        return sanestatus::status(sanestatus::ValueNotOffered,
                                  QStringLiteral("tipo di pixel %1").arg(type));
    DeviceStatus st = m_options.writeString("mode", from);
    if (!st.ok())
        return st;
    // Eight bits are all that grey or a threshold needs; the device's depth, if it has a
    // choice, is not the user's concern here.
    if (auto depth = m_options.readNumber("depth"); depth && *depth != 8)
        m_options.writeNumber("depth", 8);
    m_emulated = type;
    return DeviceStatus();
}

std::optional<Capability> SaneCapabilities::emulatedCapability(uint16_t id) const {
    if (id == ICAP_THRESHOLD && bwInSoftware())
        return Capability::range(id, m_threshold, m_thresholdDefault, 0, 255, 1);
    if (id == ICAP_BITDEPTH && m_emulated >= 0) {
        const double depth = m_emulated == BW ? 1 : 8;
        return Capability::enumeration(id, depth, depth, {depth});
    }
    return std::nullopt;
}

DeviceStatus SaneCapabilities::setEmulated(uint16_t id, double value) {
    if (id == ICAP_THRESHOLD) {
        const double v = std::clamp(std::round(value), 0.0, 255.0);
        m_threshold = v;
        if (v != value)
            return sanestatus::status(
                sanestatus::ValueAdjusted,
                QStringLiteral("soglia %1 (impostato %2)").arg(numberText(value), numberText(v)));
        return DeviceStatus();
    }
    // ICAP_BITDEPTH of a converted pixel type: one depth only.
    const double depth = m_emulated == BW ? 1 : 8;
    if (value != depth)
        return sanestatus::status(sanestatus::ValueNotOffered,
                                  QStringLiteral("profondità %1").arg(numberText(value)));
    return DeviceStatus();
}

const char* SaneCapabilities::duplexSwitch() const {
    for (const char* name : kDuplexSwitches) {
        const SANE_Option_Descriptor* d = m_options.option(name);
        // A hardware switch the user flips on the device (fujitsu's "duplex") is not ours.
        if (!d || !SANE_OPTION_IS_SETTABLE(d->cap))
            continue;
        if (d->type == SANE_TYPE_BOOL)
            return name;
        if (!sanemap::duplexSwitchEntry(m_options.stringList(name), true).isEmpty() &&
            !sanemap::duplexSwitchEntry(m_options.stringList(name), false).isEmpty())
            return name;
    }
    return nullptr;
}

sanemap::SourceOptions SaneCapabilities::sourceOptions() const {
    sanemap::SourceOptions o;
    o.sources = sourceList();
    o.current = m_options.readString("source").value_or(QString());
    if (const char* name = duplexSwitch()) {
        o.hasDuplexSwitch = true;
        if (m_options.option(name)->type == SANE_TYPE_BOOL)
            o.duplexSwitchOn = m_options.readNumber(name).value_or(0) != 0;
        else
            o.duplexSwitchOn =
                sanemap::duplexSwitchValue(m_options.readString(name).value_or(QString()))
                    .value_or(false);
    }
    return o;
}

std::optional<Capability> SaneCapabilities::sourceCapability(uint16_t id) const {
    const sanemap::SourceOptions o = sourceOptions();
    if (o.sources.isEmpty() || !m_options.readString("source"))
        return std::nullopt;
    const sanemap::SourceState st = sanemap::sourceState(o);
    const bool settable = SANE_OPTION_IS_SETTABLE(m_options.option("source")->cap);
    // Each switch: whether it is shown, its value, and whether it is read-only.
    struct Switch {
        uint16_t id;
        bool shown;
        bool on;
        bool readOnly;
    };
    const Switch switches[] = {
        {CUSTOM_FEEDERPRESENT, true, st.feederPresent, true},
        {CAP_FEEDERENABLED, st.feederPresent, st.feederEnabled, !settable},
        // TWAIN: 0 none, 1 one-pass duplex; a backend's duplex source scans both sides per sheet.
        {CAP_DUPLEX, true, st.duplexSupported, true},
        {CAP_DUPLEXENABLED, st.duplexSupported, st.duplexEnabled, !settable && !o.hasDuplexSwitch}};
    for (const Switch& sw : switches) {
        if (sw.id != id)
            continue;
        if (!sw.shown)
            return std::nullopt;
        Capability c = Capability::oneValue(id, sw.on ? 1 : 0, sw.readOnly);
        c.text = o.current;
        return c;
    }
    return std::nullopt;
}

DeviceStatus SaneCapabilities::setSource(uint16_t id, bool on) {
    const sanemap::SourceOptions o = sourceOptions();
    if (o.sources.isEmpty() || !m_options.readString("source"))
        return sanestatus::status(sanestatus::NotSupported, QStringLiteral("source"));
    const sanemap::SourcePlan plan = sanemap::planSource(o, id == CAP_FEEDERENABLED, on);
    if (!plan.possible)
        return sanestatus::status(sanestatus::ValueNotOffered,
                                  on ? QStringLiteral("1") : QStringLiteral("0"));
    if (!plan.source.isEmpty() && plan.source != o.current) {
        const DeviceStatus st = m_options.writeString("source", plan.source);
        if (!st.ok())
            return st;
    }
    if (!plan.duplexSwitch)
        return DeviceStatus();
    // Looked up again: the source change may have reloaded the options.
    const char* name = duplexSwitch();
    if (!name)
        return sanestatus::status(sanestatus::NotSupported, QStringLiteral("duplex"));
    if (m_options.option(name)->type == SANE_TYPE_BOOL)
        return m_options.writeNumber(name, *plan.duplexSwitch ? 1 : 0);
    return m_options.writeString(
        name, sanemap::duplexSwitchEntry(m_options.stringList(name), *plan.duplexSwitch));
}

std::optional<Capability> SaneCapabilities::sensorCapability(uint16_t id) const {
    const char* sensor = m_options.firstActive(ruleOf(id)->options);
    if (id == CAP_PAPERDETECTABLE) {
        if (!sensor && !sourceCapability(CUSTOM_FEEDERPRESENT).value_or(Capability()).current)
            return std::nullopt; // neither a feeder nor a sensor: nothing to detect
        return Capability::oneValue(id, sensor ? 1 : 0, true);
    }
    if (!sensor)
        return std::nullopt;
    auto loaded = m_options.readNumber(sensor);
    if (!loaded)
        return std::nullopt;
    return Capability::oneValue(id, *loaded != 0 ? 1 : 0, true);
}

// --- Geometry ------------------------------------------------------------------------------
// --- Geometry ------------------------------------------------------------------------------

double SaneCapabilities::resolution(bool y) const {
    const char* xNames[] = {"x-resolution", "resolution", nullptr};
    const char* yNames[] = {"y-resolution", "resolution", nullptr};
    const char* name = m_options.firstActive(y ? yNames : xNames);
    return name ? m_options.readNumber(name).value_or(0) : 0;
}

std::optional<double> SaneCapabilities::toMm(const char* name, double value) const {
    const SANE_Option_Descriptor* d = m_options.option(name);
    if (!d)
        return std::nullopt;
    if (d->unit == SANE_UNIT_MM)
        return value;
    if (d->unit == SANE_UNIT_PIXEL) {
        const double dpi = resolution(name[std::strlen(name) - 1] == 'y');
        if (dpi <= 0)
            return std::nullopt;
        return value / dpi * 25.4;
    }
    return std::nullopt;
}

double SaneCapabilities::fromMm(const char* name, double mm) const {
    const SANE_Option_Descriptor* d = m_options.option(name);
    if (d && d->unit == SANE_UNIT_PIXEL) {
        const double dpi = resolution(name[std::strlen(name) - 1] == 'y');
        return mm / 25.4 * dpi;
    }
    return mm;
}

std::optional<Capability> SaneCapabilities::geometryCapability(uint16_t id) const {
    const char* names[] = {"tl-x", "tl-y", "br-x", "br-y"};
    const SANE_Option_Descriptor* d[4];
    for (int i = 0; i < 4; ++i) {
        d[i] = m_options.option(names[i]);
        if (!d[i] || d[i]->constraint_type != SANE_CONSTRAINT_RANGE ||
            (d[i]->unit != SANE_UNIT_MM && d[i]->unit != SANE_UNIT_PIXEL))
            return std::nullopt;
    }
    if (id == ICAP_UNITS) {
        Capability c = Capability::enumeration(ICAP_UNITS, m_unit, Inches,
                                               {Inches, Centimeters, Picas, Points, Twips, Pixels});
        return c;
    }
    auto rangeMm = [&](int i, bool max) {
        const SANE_Range* r = d[i]->constraint.range;
        return toMm(names[i], wordValue(d[i], max ? r->max : r->min));
    };
    auto widthMm = rangeMm(2, true), heightMm = rangeMm(3, true);
    auto leftMm = rangeMm(0, false), topMm = rangeMm(1, false);
    if (!widthMm || !heightMm || !leftMm || !topMm)
        return std::nullopt;
    const double areaW = *widthMm - *leftMm, areaH = *heightMm - *topMm;
    const double perInch = sanemap::unitsPerInch(m_unit, resolution(false));
    if (id == ICAP_PHYSICALWIDTH || id == ICAP_PHYSICALHEIGHT) {
        const double mm = id == ICAP_PHYSICALWIDTH ? areaW : areaH;
        return Capability::oneValue(id, mm / 25.4 * perInch, true);
    }
    // ICAP_SUPPORTEDSIZES: the current frame named when it matches a size from the corner.
    double frame[4];
    for (int i = 0; i < 4; ++i) {
        auto v = m_options.readNumber(names[i]);
        auto mm = v ? toMm(names[i], *v) : std::nullopt;
        if (!mm)
            return std::nullopt;
        frame[i] = *mm;
    }
    const double quantMm =
        std::max(1.0, toMm("br-x", wordValue(d[2], d[2]->constraint.range->quant)).value_or(0));
    int current = SizeNone;
    if (std::abs(frame[0] - *leftMm) < 0.01 && std::abs(frame[1] - *topMm) < 0.01)
        current = sanemap::sizeOfFrame(frame[2] - frame[0], frame[3] - frame[1], quantMm);
    Capability c = Capability::enumeration(ICAP_SUPPORTEDSIZES, current, SizeNone,
                                           sanemap::sizesThatFit(areaW, areaH));
    return c;
}

DeviceStatus SaneCapabilities::setFrameMm(double left, double top, double right, double bottom) {
    const char* names[] = {"tl-x", "tl-y", "br-x", "br-y"};
    const double mm[] = {left, top, right, bottom};
    double values[4];
    // Check all four first, so that a frame the device cannot take leaves the old one whole.
    for (int i = 0; i < 4; ++i) {
        const SANE_Option_Descriptor* d = m_options.option(names[i]);
        if (!d || d->constraint_type != SANE_CONSTRAINT_RANGE)
            return sanestatus::status(sanestatus::NotSupported, QString::fromUtf8(names[i]));
        if (!SANE_OPTION_IS_SETTABLE(d->cap))
            return sanestatus::status(sanestatus::ReadOnly, QString::fromUtf8(names[i]));
        const SANE_Range* r = d->constraint.range;
        const double min = wordValue(d, r->min), max = wordValue(d, r->max);
        const double quant = wordValue(d, r->quant);
        const double v = fromMm(names[i], mm[i]);
        const double slack = std::max(quant / 2, 1e-6 * std::max(1.0, std::abs(max)));
        if (!std::isfinite(v) || v < min - slack || v > max + slack)
            return sanestatus::status(sanestatus::ValueNotOffered,
                                      QStringLiteral("%1 = %2 (%3..%4)")
                                          .arg(QString::fromUtf8(names[i]), numberText(v),
                                               numberText(min), numberText(max)));
        // Snapped here so that SANE's own rounding to its step is not mistaken for a refusal.
        values[i] = sanemap::snapToQuant(v, min, max, quant);
    }
    if (values[2] <= values[0] || values[3] <= values[1])
        return sanestatus::status(SANE_STATUS_INVAL, QStringLiteral("area vuota"));
    DeviceStatus first;
    for (int i = 0; i < 4; ++i) {
        DeviceStatus st = m_options.writeNumber(names[i], values[i]);
        if (!st.ok() && first.ok())
            first = st;
        if (!st.ok() && st.code != sanestatus::ValueAdjusted)
            return st;
    }
    return first;
}

DeviceStatus SaneCapabilities::setImageLayout(double left, double top, double right,
                                              double bottom) {
    const double perInch = sanemap::unitsPerInch(m_unit, resolution(false));
    if (perInch <= 0)
        return sanestatus::status(SANE_STATUS_INVAL, QStringLiteral("unità %1").arg(m_unit));
    if (!(left >= 0 && top >= 0 && right > left && bottom > top))
        return sanestatus::status(
            SANE_STATUS_INVAL,
            QStringLiteral("area %1, %2, %3, %4")
                .arg(numberText(left), numberText(top), numberText(right), numberText(bottom)));
    auto mm = [perInch](double v) { return v / perInch * 25.4; };
    // The frame is given from the area's corner; the device's area may not start at 0.
    const SANE_Option_Descriptor* tlx = m_options.option("tl-x");
    const SANE_Option_Descriptor* tly = m_options.option("tl-y");
    if (!tlx || !tly || tlx->constraint_type != SANE_CONSTRAINT_RANGE ||
        tly->constraint_type != SANE_CONSTRAINT_RANGE)
        return sanestatus::status(sanestatus::NotSupported, QStringLiteral("tl-x"));
    const double x0 = toMm("tl-x", wordValue(tlx, tlx->constraint.range->min)).value_or(0);
    const double y0 = toMm("tl-y", wordValue(tly, tly->constraint.range->min)).value_or(0);
    return setFrameMm(x0 + mm(left), y0 + mm(top), x0 + mm(right), y0 + mm(bottom));
}

DeviceStatus SaneCapabilities::setPageSize(int code) {
    auto caps = capability(ICAP_SUPPORTEDSIZES);
    if (!caps)
        return sanestatus::status(sanestatus::NotSupported, QStringLiteral("formato pagina"));
    if (!caps->items.contains(code))
        return sanestatus::status(sanestatus::ValueNotOffered,
                                  QStringLiteral("formato pagina %1").arg(code));
    const SANE_Option_Descriptor* d[4] = {m_options.option("tl-x"), m_options.option("tl-y"),
                                          m_options.option("br-x"), m_options.option("br-y")};
    const char* names[] = {"tl-x", "tl-y", "br-x", "br-y"};
    double edge[4];
    for (int i = 0; i < 4; ++i) {
        const SANE_Range* r = d[i]->constraint.range;
        edge[i] = toMm(names[i], wordValue(d[i], i < 2 ? r->min : r->max)).value_or(0);
    }
    double right = edge[2], bottom = edge[3]; // SizeNone: the whole area
    if (auto size = sanemap::paperSize(code)) {
        // A size that fits only thanks to the slack is cut to the area.
        right = std::min(edge[0] + size->widthMm, edge[2]);
        bottom = std::min(edge[1] + size->heightMm, edge[3]);
    }
    return setFrameMm(edge[0], edge[1], right, bottom);
}

DeviceStatus SaneCapabilities::setCapability(uint16_t id, double value) {
    const CapabilityRule* rule = ruleOf(id);
    auto current = capability(id);
    if (!rule || !current)
        return sanestatus::status(sanestatus::NotSupported,
                                  QStringLiteral("0x%1").arg(id, 4, 16, QLatin1Char('0')));
    if (current->readOnly)
        return sanestatus::status(sanestatus::ReadOnly,
                                  QStringLiteral("0x%1").arg(id, 4, 16, QLatin1Char('0')));
    if (!std::isfinite(value))
        return sanestatus::status(SANE_STATUS_INVAL, numberText(value));
    switch (rule->rule) {
    case Rule::Number:
        if (emulatedCapability(id))
            return setEmulated(id, value);
        return m_options.writeNumber(m_options.firstActive(rule->options), value);
    case Rule::PixelType:
        return setPixelType(int(value));
    case Rule::Units:
        if (value != std::floor(value) || !current->items.contains(value))
            return sanestatus::status(sanestatus::ValueNotOffered,
                                      QStringLiteral("unità %1").arg(numberText(value)));
        m_unit = int(value);
        return DeviceStatus();
    case Rule::Geometry:
        return setPageSize(int(value));
    case Rule::Source:
        return setSource(id, value != 0);
    case Rule::Sensor:
        break;
    }
    return sanestatus::status(sanestatus::ReadOnly, numberText(value));
}
