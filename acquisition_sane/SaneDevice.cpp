#include "acquisition_sane/SaneDevice.h"
#include "acquisition_sane/FrameAssembler.h"
#include "acquisition_sane/SaneMapping.h"
#include "acquisition_sane/SaneSession.h"
#include "acquisition_sane/SaneStatus.h"
#include <QElapsedTimer>
#include <QStringList>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <poll.h>

using namespace twain;

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

double wordValue(const SANE_Option_Descriptor* d, SANE_Word w) {
    return d->type == SANE_TYPE_FIXED ? SANE_UNFIX(w) : double(w);
}

SANE_Word toWord(const SANE_Option_Descriptor* d, double v) {
    if (d->type == SANE_TYPE_FIXED)
        return SANE_FIX(v);
    if (d->type == SANE_TYPE_BOOL)
        return v != 0 ? SANE_TRUE : SANE_FALSE;
    return SANE_Word(std::lround(v));
}

QString numberText(double v) {
    return QString::number(v, 'g', 10);
}

// Size of one read: large enough that a page of tens of megabytes costs few calls.
constexpr size_t kReadChunk = 256 * 1024;
constexpr int kPollMs = 50;
constexpr int kProgressEveryMs = 50;

} // namespace

// --- Options -------------------------------------------------------------------------------

SaneDevice::SaneDevice(std::shared_ptr<SaneSession> session, SANE_Handle handle)
    : m_session(std::move(session)), m_handle(handle) {
    loadOptions();
    // SANE has no notion of a default value: what the device had when opened stands for it.
    for (const CapabilityRule& r : kRules)
        if (auto c = capability(r.cap))
            m_defaults.insert(r.cap, c->current);
}

SaneDevice::~SaneDevice() {
    cancelOnce();
    sane_close(m_handle);
}

void SaneDevice::loadOptions() {
    m_options.clear();
    m_byName.clear();
    SANE_Int count = 0;
    // Option 0 always exists and holds the number of options.
    if (sane_control_option(m_handle, 0, SANE_ACTION_GET_VALUE, &count, nullptr) !=
        SANE_STATUS_GOOD)
        count = 0;
    for (SANE_Int i = 1; i < count; ++i) {
        const SANE_Option_Descriptor* d = sane_get_option_descriptor(m_handle, i);
        if (!d || !d->name || d->type == SANE_TYPE_GROUP)
            continue;
        m_byName.insert(QByteArray(d->name), int(m_options.size()));
        m_options.push_back(Option{i, d});
    }
}

int SaneDevice::optionIndex(const char* name) const {
    auto it = m_byName.constFind(QByteArray::fromRawData(name, int(std::strlen(name))));
    return it == m_byName.constEnd() ? -1 : it.value();
}

const SANE_Option_Descriptor* SaneDevice::option(const char* name) const {
    const int i = optionIndex(name);
    if (i < 0)
        return nullptr;
    const SANE_Option_Descriptor* d = m_options[size_t(i)].d;
    return SANE_OPTION_IS_ACTIVE(d->cap) ? d : nullptr;
}

const char* SaneDevice::firstActive(const char* const* names) const {
    for (int i = 0; i < 4 && names[i]; ++i)
        if (option(names[i]))
            return names[i];
    return nullptr;
}

std::optional<double> SaneDevice::readNumber(const char* name) const {
    const SANE_Option_Descriptor* d = option(name);
    if (!d || (d->type != SANE_TYPE_INT && d->type != SANE_TYPE_FIXED && d->type != SANE_TYPE_BOOL))
        return std::nullopt;
    // Array options (a value per channel) report their first element.
    std::vector<SANE_Word> words(std::max<size_t>(1, size_t(d->size) / sizeof(SANE_Word)));
    const int index = m_options[size_t(optionIndex(name))].index;
    if (sane_control_option(m_handle, index, SANE_ACTION_GET_VALUE, words.data(), nullptr) !=
        SANE_STATUS_GOOD)
        return std::nullopt;
    return wordValue(d, words[0]);
}

std::optional<QString> SaneDevice::readString(const char* name) const {
    const SANE_Option_Descriptor* d = option(name);
    if (!d || d->type != SANE_TYPE_STRING || d->size <= 0)
        return std::nullopt;
    QByteArray buffer(d->size + 1, '\0');
    const int index = m_options[size_t(optionIndex(name))].index;
    if (sane_control_option(m_handle, index, SANE_ACTION_GET_VALUE, buffer.data(), nullptr) !=
        SANE_STATUS_GOOD)
        return std::nullopt;
    return QString::fromUtf8(buffer.constData());
}

DeviceStatus SaneDevice::control(int index, void* value, const QString& asked) {
    SANE_Int info = 0;
    const SANE_Status s = sane_control_option(m_handle, index, SANE_ACTION_SET_VALUE, value, &info);
    if (info & SANE_INFO_RELOAD_OPTIONS)
        loadOptions(); // other options came and went (e.g. a mode change)
    if (s != SANE_STATUS_GOOD)
        return sanestatus::status(s, asked);
    if (info & SANE_INFO_INEXACT)
        return sanestatus::status(sanestatus::ValueAdjusted, asked);
    return DeviceStatus();
}

DeviceStatus SaneDevice::writeNumber(const char* name, double value) {
    const SANE_Option_Descriptor* d = option(name);
    if (!d)
        return sanestatus::status(sanestatus::NotSupported, QString::fromUtf8(name));
    if (!SANE_OPTION_IS_SETTABLE(d->cap))
        return sanestatus::status(sanestatus::ReadOnly, QString::fromUtf8(name));
    if (d->type != SANE_TYPE_INT && d->type != SANE_TYPE_FIXED && d->type != SANE_TYPE_BOOL)
        return sanestatus::status(sanestatus::NotSupported, QString::fromUtf8(name));
    const int index = m_options[size_t(optionIndex(name))].index;
    // An array option takes the value in every element.
    std::vector<SANE_Word> words(std::max<size_t>(1, size_t(d->size) / sizeof(SANE_Word)),
                                 toWord(d, value));
    DeviceStatus st =
        control(index, words.data(),
                QStringLiteral("%1 = %2").arg(QString::fromUtf8(name), numberText(value)));
    if (st.code == sanestatus::ValueAdjusted) {
        if (auto took = readNumber(name))
            st.text += QStringLiteral(" (impostato %1)").arg(numberText(*took));
    }
    return st;
}

DeviceStatus SaneDevice::writeString(const char* name, const QString& value) {
    const SANE_Option_Descriptor* d = option(name);
    if (!d || d->type != SANE_TYPE_STRING)
        return sanestatus::status(sanestatus::NotSupported, QString::fromUtf8(name));
    if (!SANE_OPTION_IS_SETTABLE(d->cap))
        return sanestatus::status(sanestatus::ReadOnly, QString::fromUtf8(name));
    QByteArray buffer = value.toUtf8();
    if (buffer.size() >= d->size)
        return sanestatus::status(SANE_STATUS_INVAL, value);
    buffer.resize(d->size, '\0');
    const int index = m_options[size_t(optionIndex(name))].index;
    return control(index, buffer.data(),
                   QStringLiteral("%1 = %2").arg(QString::fromUtf8(name), value));
}

DeviceStatus SaneDevice::setOption(const QByteArray& name, const QString& value) {
    const SANE_Option_Descriptor* d = option(name.constData());
    if (!d)
        return sanestatus::status(sanestatus::NotSupported, QString::fromUtf8(name));
    if (d->type == SANE_TYPE_STRING)
        return writeString(name.constData(), value);
    if (d->type == SANE_TYPE_BOOL) {
        const QString v = value.trimmed().toLower();
        if (v == QLatin1String("yes") || v == QLatin1String("true") || v == QLatin1String("1"))
            return writeNumber(name.constData(), 1);
        if (v == QLatin1String("no") || v == QLatin1String("false") || v == QLatin1String("0"))
            return writeNumber(name.constData(), 0);
        return sanestatus::status(SANE_STATUS_INVAL, value);
    }
    bool ok = false;
    const double number = value.trimmed().toDouble(&ok);
    if (!ok)
        return sanestatus::status(SANE_STATUS_INVAL, value);
    return writeNumber(name.constData(), number);
}

QStringList SaneDevice::sourceList() const {
    QStringList list;
    const SANE_Option_Descriptor* d = option("source");
    if (d && d->type == SANE_TYPE_STRING && d->constraint_type == SANE_CONSTRAINT_STRING_LIST)
        for (const SANE_String_Const* s = d->constraint.string_list; s && *s; ++s)
            list.append(QString::fromUtf8(*s));
    return list;
}

// --- Capabilities --------------------------------------------------------------------------

QVector<uint16_t> SaneDevice::capabilityIds() const {
    QVector<uint16_t> ids;
    for (const CapabilityRule& r : kRules)
        if (capability(r.cap))
            ids.append(r.cap);
    return ids;
}

std::optional<Capability> SaneDevice::capability(uint16_t id) const {
    const CapabilityRule* rule = ruleOf(id);
    if (!rule)
        return std::nullopt;
    std::optional<Capability> c;
    switch (rule->rule) {
    case Rule::Number:
        if (const char* name = firstActive(rule->options))
            c = numberCapability(id, option(name));
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

std::optional<Capability> SaneDevice::numberCapability(uint16_t id,
                                                       const SANE_Option_Descriptor* d) const {
    auto current = readNumber(d->name);
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

bool SaneDevice::bwByDepth() const {
    // A device with no binary mode but 1-bit grey scans (the test backend, some sheet-fed
    // scanners) still gives black-and-white pages: Gray at depth 1.
    const SANE_Option_Descriptor* mode = option("mode");
    const SANE_Option_Descriptor* depth = option("depth");
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

std::optional<Capability> SaneDevice::pixelTypeCapability() const {
    const SANE_Option_Descriptor* d = option("mode");
    auto mode = readString("mode");
    if (!d || !mode || d->constraint_type != SANE_CONSTRAINT_STRING_LIST)
        return std::nullopt;
    QVector<double> items;
    for (const SANE_String_Const* s = d->constraint.string_list; s && *s; ++s) {
        const int t = sanemap::pixelTypeOfMode(QString::fromUtf8(*s));
        if (t >= 0 && !items.contains(t))
            items.append(t);
    }
    const bool emulated = bwByDepth();
    if (emulated && !items.contains(BW))
        items.append(BW);
    if (items.isEmpty())
        return std::nullopt;
    std::sort(items.begin(), items.end());
    int current = sanemap::pixelTypeOfMode(*mode);
    if (current == Gray && emulated && readNumber("depth").value_or(8) == 1)
        current = BW;
    Capability c = Capability::enumeration(ICAP_PIXELTYPE, current, current, items);
    c.text = *mode;
    c.readOnly = !SANE_OPTION_IS_SETTABLE(d->cap);
    return c;
}

DeviceStatus SaneDevice::setPixelType(int type) {
    const SANE_Option_Descriptor* d = option("mode");
    if (!d || d->constraint_type != SANE_CONSTRAINT_STRING_LIST)
        return sanestatus::status(sanestatus::NotSupported, QStringLiteral("mode"));
    QString chosen;
    for (const SANE_String_Const* s = d->constraint.string_list; s && *s; ++s) {
        const QString m = QString::fromUtf8(*s);
        if (sanemap::pixelTypeOfMode(m) == type) {
            chosen = m;
            break;
        }
    }
    const bool emulated = bwByDepth();
    if (chosen.isEmpty() && type == BW && emulated) {
        for (const SANE_String_Const* s = d->constraint.string_list; s && *s; ++s)
            if (sanemap::pixelTypeOfMode(QString::fromUtf8(*s)) == Gray) {
                chosen = QString::fromUtf8(*s);
                break;
            }
    }
    if (chosen.isEmpty())
        return sanestatus::status(sanestatus::ValueNotOffered,
                                  QStringLiteral("tipo di pixel %1").arg(type));
    DeviceStatus st = writeString("mode", chosen);
    if (!st.ok() || !emulated)
        return st;
    // Gray at depth 1 stands for BW, so Gray itself must leave depth 1.
    if (type == BW)
        return writeNumber("depth", 1);
    if (readNumber("depth").value_or(8) == 1)
        return writeNumber("depth", 8);
    return st;
}

std::optional<Capability> SaneDevice::sourceCapability(uint16_t id) const {
    const QStringList sources = sourceList();
    auto current = readString("source");
    if (sources.isEmpty() || !current)
        return std::nullopt;
    bool feeder = false, duplex = false;
    for (const QString& s : sources) {
        const sanemap::SourceKind k = sanemap::classifySource(s);
        feeder = feeder || k != sanemap::SourceKind::Flatbed;
        duplex = duplex || k == sanemap::SourceKind::Duplex;
    }
    const sanemap::SourceKind now = sanemap::classifySource(*current);
    const bool settable = SANE_OPTION_IS_SETTABLE(option("source")->cap);
    Capability c;
    switch (id) {
    case CUSTOM_FEEDERPRESENT:
        c = Capability::oneValue(id, feeder ? 1 : 0, true);
        break;
    case CAP_FEEDERENABLED:
        if (!feeder)
            return std::nullopt;
        c = Capability::oneValue(id, now != sanemap::SourceKind::Flatbed ? 1 : 0, !settable);
        break;
    case CAP_DUPLEX:
        // TWAIN: 0 none, 1 one-pass duplex; a backend's duplex source scans both sides per sheet.
        c = Capability::oneValue(id, duplex ? 1 : 0, true);
        break;
    case CAP_DUPLEXENABLED:
        if (!duplex)
            return std::nullopt;
        c = Capability::oneValue(id, now == sanemap::SourceKind::Duplex ? 1 : 0, !settable);
        break;
    default:
        return std::nullopt;
    }
    c.text = *current;
    return c;
}

DeviceStatus SaneDevice::setSource(uint16_t id, bool on) {
    const QStringList sources = sourceList();
    auto current = readString("source");
    if (sources.isEmpty() || !current)
        return sanestatus::status(sanestatus::NotSupported, QStringLiteral("source"));
    using sanemap::SourceKind;
    const SourceKind now = sanemap::classifySource(*current);
    // What the source must become; the current one is kept when it already fits.
    SourceKind want = now;
    if (id == CAP_FEEDERENABLED)
        want = !on ? SourceKind::Flatbed : (now == SourceKind::Flatbed ? SourceKind::Feeder : now);
    else if (on)
        want = SourceKind::Duplex;
    else if (now == SourceKind::Duplex)
        want = SourceKind::Feeder;
    if (want == now)
        return DeviceStatus();
    const QString chosen = sanemap::chooseSource(sources, want);
    if (chosen.isEmpty())
        return sanestatus::status(sanestatus::ValueNotOffered,
                                  on ? QStringLiteral("1") : QStringLiteral("0"));
    return writeString("source", chosen);
}

std::optional<Capability> SaneDevice::sensorCapability(uint16_t id) const {
    const char* sensor = firstActive(ruleOf(id)->options);
    if (id == CAP_PAPERDETECTABLE) {
        if (!sensor && !sourceCapability(CUSTOM_FEEDERPRESENT).value_or(Capability()).current)
            return std::nullopt; // neither a feeder nor a sensor: nothing to detect
        return Capability::oneValue(id, sensor ? 1 : 0, true);
    }
    if (!sensor)
        return std::nullopt;
    auto loaded = readNumber(sensor);
    if (!loaded)
        return std::nullopt;
    return Capability::oneValue(id, *loaded != 0 ? 1 : 0, true);
}

// --- Geometry ------------------------------------------------------------------------------

bool SaneDevice::geometryInPixels() const {
    const SANE_Option_Descriptor* d = option("br-x");
    return d && d->unit == SANE_UNIT_PIXEL;
}

double SaneDevice::resolution(bool y) const {
    const char* xNames[] = {"x-resolution", "resolution", nullptr};
    const char* yNames[] = {"y-resolution", "resolution", nullptr};
    const char* name = firstActive(y ? yNames : xNames);
    return name ? readNumber(name).value_or(0) : 0;
}

std::optional<double> SaneDevice::toMm(const char* name, double value) const {
    const SANE_Option_Descriptor* d = option(name);
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

double SaneDevice::fromMm(const char* name, double mm) const {
    const SANE_Option_Descriptor* d = option(name);
    if (d && d->unit == SANE_UNIT_PIXEL) {
        const double dpi = resolution(name[std::strlen(name) - 1] == 'y');
        return mm / 25.4 * dpi;
    }
    return mm;
}

std::optional<Capability> SaneDevice::geometryCapability(uint16_t id) const {
    const char* names[] = {"tl-x", "tl-y", "br-x", "br-y"};
    const SANE_Option_Descriptor* d[4];
    for (int i = 0; i < 4; ++i) {
        d[i] = option(names[i]);
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
        auto v = readNumber(names[i]);
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

DeviceStatus SaneDevice::setFrameMm(double left, double top, double right, double bottom) {
    const char* names[] = {"tl-x", "tl-y", "br-x", "br-y"};
    const double mm[] = {left, top, right, bottom};
    double values[4];
    // Check all four first, so that a frame the device cannot take leaves the old one whole.
    for (int i = 0; i < 4; ++i) {
        const SANE_Option_Descriptor* d = option(names[i]);
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
        DeviceStatus st = writeNumber(names[i], values[i]);
        if (!st.ok() && first.ok())
            first = st;
        if (!st.ok() && st.code != sanestatus::ValueAdjusted)
            return st;
    }
    return first;
}

DeviceStatus SaneDevice::setImageLayout(double left, double top, double right, double bottom) {
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
    const SANE_Option_Descriptor* tlx = option("tl-x");
    const SANE_Option_Descriptor* tly = option("tl-y");
    if (!tlx || !tly || tlx->constraint_type != SANE_CONSTRAINT_RANGE ||
        tly->constraint_type != SANE_CONSTRAINT_RANGE)
        return sanestatus::status(sanestatus::NotSupported, QStringLiteral("tl-x"));
    const double x0 = toMm("tl-x", wordValue(tlx, tlx->constraint.range->min)).value_or(0);
    const double y0 = toMm("tl-y", wordValue(tly, tly->constraint.range->min)).value_or(0);
    return setFrameMm(x0 + mm(left), y0 + mm(top), x0 + mm(right), y0 + mm(bottom));
}

DeviceStatus SaneDevice::setPageSize(int code) {
    auto caps = capability(ICAP_SUPPORTEDSIZES);
    if (!caps)
        return sanestatus::status(sanestatus::NotSupported, QStringLiteral("formato pagina"));
    if (!caps->items.contains(code))
        return sanestatus::status(sanestatus::ValueNotOffered,
                                  QStringLiteral("formato pagina %1").arg(code));
    const SANE_Option_Descriptor* d[4] = {option("tl-x"), option("tl-y"), option("br-x"),
                                          option("br-y")};
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

DeviceStatus SaneDevice::setCapability(uint16_t id, double value) {
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
        return writeNumber(firstActive(rule->options), value);
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

// --- Acquisition ---------------------------------------------------------------------------

void SaneDevice::cancel() {
    m_cancelRequested = true;
    std::lock_guard<std::mutex> lock(m_cancelMutex);
    if (m_acquiring && !m_saneCancelled) {
        m_saneCancelled = true;
        sane_cancel(m_handle); // SANE allows this from another thread while sane_read waits
    }
}

void SaneDevice::cancelOnce() {
    std::lock_guard<std::mutex> lock(m_cancelMutex);
    if (m_acquiring && !m_saneCancelled) {
        m_saneCancelled = true;
        sane_cancel(m_handle);
    }
}

DeviceStatus SaneDevice::acquire(const AcquireRequest& request, AcquireSink& sink) {
    {
        std::lock_guard<std::mutex> lock(m_cancelMutex);
        m_acquiring = true;
        m_saneCancelled = false;
        m_cancelRequested = false;
    }
    // A batch needs a feeder under it: on a flatbed, which never runs out of "sheets", a
    // batch request would scan the same glass until the image limit.
    const std::optional<QString> source = readString("source");
    const bool batch = request.feeder && (!source || sanemap::classifySource(*source) !=
                                                         sanemap::SourceKind::Flatbed);
    FrameAssembler frames;
    DeviceStatus result;
    int delivered = 0;
    for (;;) {
        if (m_cancelRequested || sink.cancelled())
            break;
        if (delivered >= request.maxImages)
            break;
        bool noDocs = false;
        const DeviceStatus page = acquirePage(frames, sink, noDocs);
        if (m_cancelRequested || sink.cancelled())
            break; // whatever the device said after a cancel, the user asked for the stop
        if (noDocs) {
            // An empty feeder ends a batch that delivered pages; before the first it is an error.
            if (delivered == 0)
                result = sanestatus::status(SANE_STATUS_NO_DOCS);
            break;
        }
        if (!page.ok()) {
            result = page;
            break;
        }
        QImage image = frames.takeImage();
        ++delivered;
        if (!sink.image(std::move(image)))
            break;
        if (!batch)
            break;
    }
    {
        std::lock_guard<std::mutex> lock(m_cancelMutex);
        if (!m_saneCancelled)
            sane_cancel(m_handle); // ends the batch: the next acquire starts afresh
        m_saneCancelled = true;
        m_acquiring = false;
    }
    return result;
}

DeviceStatus SaneDevice::acquirePage(FrameAssembler& frames, AcquireSink& sink, bool& noDocs) {
    frames.reset();
    int64_t pageBytes = 0;
    bool firstFrame = true;
    for (;;) {
        const SANE_Status started = sane_start(m_handle);
        if (started == SANE_STATUS_NO_DOCS && firstFrame) {
            noDocs = true;
            return DeviceStatus();
        }
        if (started != SANE_STATUS_GOOD)
            return sanestatus::status(started);
        firstFrame = false;
        SANE_Parameters p;
        const SANE_Status got = sane_get_parameters(m_handle, &p);
        if (got != SANE_STATUS_GOOD)
            return sanestatus::status(got);
        FrameParameters fp;
        switch (p.format) {
        case SANE_FRAME_GRAY:
            fp.format = FrameParameters::Gray;
            break;
        case SANE_FRAME_RGB:
            fp.format = FrameParameters::RGB;
            break;
        case SANE_FRAME_RED:
            fp.format = FrameParameters::Red;
            break;
        case SANE_FRAME_GREEN:
            fp.format = FrameParameters::Green;
            break;
        case SANE_FRAME_BLUE:
            fp.format = FrameParameters::Blue;
            break;
        default:
            return sanestatus::status(sanestatus::BadFrame,
                                      QStringLiteral("formato %1").arg(int(p.format)));
        }
        fp.lastFrame = p.last_frame;
        fp.bytesPerLine = p.bytes_per_line;
        fp.pixelsPerLine = p.pixels_per_line;
        fp.lines = p.lines;
        fp.depth = p.depth;
        if (!frames.beginFrame(fp))
            return sanestatus::status(sanestatus::BadFrame, frames.error());
        // Three passes report progress over the whole page.
        const bool threePass =
            fp.format != FrameParameters::Gray && fp.format != FrameParameters::RGB;
        const int64_t pageExpected = frames.expectedBytes() * (threePass ? 3 : 1);
        DeviceStatus read = readFrame(frames, sink, pageBytes, pageExpected);
        if (read.code == SANE_STATUS_NO_DOCS && pageBytes == 0 && frames.receivedBytes() == 0) {
            // Some backends find the feeder empty only at the first read of a sheet.
            noDocs = true;
            return DeviceStatus();
        }
        if (!read.ok())
            return read;
        pageBytes += frames.receivedBytes();
        if (!frames.endFrame())
            return sanestatus::status(SANE_STATUS_EOF, frames.error());
        if (frames.pageComplete())
            return DeviceStatus();
    }
}

DeviceStatus SaneDevice::readFrame(FrameAssembler& frames, AcquireSink& sink,
                                   int64_t pageBytesBefore, int64_t pageExpected) {
    // Non-blocking reads polled on the backend's select descriptor let a silent device be
    // noticed and a cancel be seen without waiting on the device. Without a descriptor there
    // is nothing to wait on but a busy loop (and some backends then mistake "no data yet" for
    // the end of the frame), so such a backend reads blocking and relies on sane_cancel,
    // which SANE allows from another thread.
    SANE_Int fd = -1;
    if (sane_get_select_fd(m_handle, &fd) != SANE_STATUS_GOOD || fd < 0 ||
        sane_set_io_mode(m_handle, SANE_TRUE) != SANE_STATUS_GOOD)
        fd = -1;
    const bool nonBlocking = fd >= 0;
    QElapsedTimer sinceData, sinceProgress;
    sinceData.start();
    sinceProgress.start();
    sink.progress(pageBytesBefore, pageExpected);
    for (;;) {
        if (m_cancelRequested || sink.cancelled())
            return sanestatus::status(SANE_STATUS_CANCELLED);
        if (fd >= 0) {
            // Wait for data before reading: a silent device is noticed here and a cancel is
            // seen within one poll interval.
            pollfd pfd{fd, POLLIN, 0};
            const int ready = ::poll(&pfd, 1, kPollMs);
            if (ready == 0) {
                if (sinceData.elapsed() > m_stallTimeoutMs)
                    return sanestatus::status(sanestatus::DeviceSilent);
                continue;
            }
        }
        auto [where, room] = frames.writable(kReadChunk);
        if (!where)
            return sanestatus::status(SANE_STATUS_NO_MEM);
        SANE_Int len = 0;
        const SANE_Status s =
            sane_read(m_handle, where, SANE_Int(std::min<size_t>(room, INT32_MAX)), &len);
        if (s == SANE_STATUS_EOF)
            break;
        if (s != SANE_STATUS_GOOD)
            return sanestatus::status(s);
        frames.commit(size_t(std::max<SANE_Int>(len, 0)));
        if (len > 0) {
            sinceData.restart();
            if (sinceProgress.elapsed() >= kProgressEveryMs) {
                sinceProgress.restart();
                sink.progress(pageBytesBefore + frames.receivedBytes(), pageExpected);
            }
            continue;
        }
        if (nonBlocking && sinceData.elapsed() > m_stallTimeoutMs)
            return sanestatus::status(sanestatus::DeviceSilent);
    }
    sink.progress(pageBytesBefore + frames.receivedBytes(), pageExpected);
    return DeviceStatus();
}
