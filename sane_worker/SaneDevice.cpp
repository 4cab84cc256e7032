#include "sane_worker/SaneDevice.h"
#include "worker_process/SaneStatus.h"
#include "sane_worker/FrameAssembler.h"
#include "sane_worker/ImageConversion.h"
#include "sane_worker/NetConnection.h"
#include "sane_worker/SaneMapping.h"
#include "sane_worker/SaneSession.h"
#include "sane_worker/SigpipeGuard.h"
#include <QElapsedTimer>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <thread>

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
// A read that yields no bytes while the descriptor is at the end of its stream, this many
// times in a row, means the other side closed the connection: the net backend then answers
// "good, 0 bytes" for ever. (One such read can be a record header arriving in pieces.)
constexpr int kEndOfStreamReads = 3;
// Some backends keep their descriptor readable while they have nothing to give (sane-airscan
// between its network requests); after a few empty reads, each further one waits this long,
// so that waiting for the device costs no processor time.
constexpr int kEmptyReadsBeforePause = 10;
constexpr auto kEmptyReadPause = std::chrono::milliseconds(10);

// True when `fd` has reached the end of its stream: hung up, or a socket whose peer closed
// with nothing left to read.
bool endOfStream(int fd, short revents) {
    if (revents & (POLLHUP | POLLRDHUP | POLLERR))
        return true;
    char byte;
    return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

// The duplex switches that some backends keep apart from the source list.
constexpr const char* kDuplexSwitches[] = {"adf-mode", "adf_mode", "duplex"};

} // namespace

// --- Options -------------------------------------------------------------------------------

// A sane_cancel running on a thread of its own. The thread keeps SANE alive (the session) and
// the handle open until the backend returns; if the device is gone by then, it closes the
// handle itself, so that nobody waits on a backend that may never answer.
struct SaneDevice::CancelCall {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;          // guarded by mutex
    bool closeWhenDone = false; // guarded by mutex: the device is gone, the handle is ours
    SANE_Handle handle = nullptr;
    std::shared_ptr<SaneSession> session;

    static void run(std::shared_ptr<CancelCall> call) {
        SigpipeGuard noSigpipe;
        sane_cancel(call->handle);
        {
            std::lock_guard<std::mutex> lock(call->mutex);
            if (call->closeWhenDone)
                sane_close(call->handle);
            // Let go of SANE before saying done, so that whoever waits for this can start
            // SANE anew at once (sane_exit runs here if the device is gone).
            call->session.reset();
            call->done = true;
        }
        call->finished.notify_all();
    }

    bool waitDone(int ms) {
        std::unique_lock<std::mutex> lock(mutex);
        return finished.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done; });
    }
};

SaneDevice::SaneDevice(std::shared_ptr<SaneSession> session, SANE_Handle handle,
                       const QString& name)
    : m_session(std::move(session)), m_handle(handle),
      m_netHost(netconnection::hostAddresses(name)) {
    SigpipeGuard noSigpipe;
    if (!loadOptions().ok())
        return;
    // Black and white made here starts at the device's own threshold when it has one.
    if (bwInSoftware()) {
        const SANE_Option_Descriptor* d = option("threshold");
        auto value = readNumber("threshold");
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

SaneDevice::~SaneDevice() {
    std::shared_ptr<CancelCall> call;
    {
        std::lock_guard<std::mutex> lock(m_cancelMutex);
        call = m_cancelCall;
    }
    if (call) {
        std::lock_guard<std::mutex> lock(call->mutex);
        if (!call->done) {
            call->closeWhenDone = true; // its thread closes the handle when the backend lets go
            return;
        }
    }
    SigpipeGuard noSigpipe;
    sane_close(m_handle);
}

DeviceStatus SaneDevice::loadOptions() {
    m_options.clear();
    m_byName.clear();
    // Descriptor 0 comes first: a backend whose options changed (the net backend after
    // SANE_INFO_RELOAD_OPTIONS) fetches them anew here, and refuses any control call until it
    // has. Option 0 then holds the number of options.
    SANE_Int count = 0;
    SANE_Status s = SANE_STATUS_IO_ERROR;
    if (sane_get_option_descriptor(m_handle, 0))
        s = sane_control_option(m_handle, 0, SANE_ACTION_GET_VALUE, &count, nullptr);
    if (s == SANE_STATUS_GOOD && count < 1)
        s = SANE_STATUS_IO_ERROR;
    if (s != SANE_STATUS_GOOD) {
        m_optionsFault = sanestatus::status(s, QStringLiteral("elenco delle opzioni"));
        return m_optionsFault;
    }
    for (SANE_Int i = 1; i < count; ++i) {
        const SANE_Option_Descriptor* d = sane_get_option_descriptor(m_handle, i);
        if (!d || !d->name || d->type == SANE_TYPE_GROUP)
            continue;
        m_byName.insert(QByteArray(d->name), int(m_options.size()));
        m_options.push_back(Option{i, d});
    }
    m_optionsFault = DeviceStatus();
    return DeviceStatus();
}

DeviceStatus SaneDevice::fault() const {
    if (stuck())
        return sanestatus::status(SANE_STATUS_IO_ERROR,
                                  QStringLiteral("il dispositivo non risponde"));
    if (netClosed())
        return sanestatus::status(SANE_STATUS_IO_ERROR, QStringLiteral("connessione chiusa"));
    return m_optionsFault;
}

bool SaneDevice::netClosed() const {
    return !m_netHost.empty() && netconnection::closedByPeer(m_netHost);
}

bool SaneDevice::stuck() const {
    std::shared_ptr<CancelCall> call;
    {
        std::lock_guard<std::mutex> lock(m_cancelMutex);
        if (m_acquiring)
            return false; // the acquisition itself waits for its cancel
        call = m_cancelCall;
    }
    if (!call)
        return false;
    std::lock_guard<std::mutex> lock(call->mutex);
    return !call->done;
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
    if (netClosed())
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
    if (netClosed())
        return std::nullopt;
    QByteArray buffer(d->size + 1, '\0');
    const int index = m_options[size_t(optionIndex(name))].index;
    if (sane_control_option(m_handle, index, SANE_ACTION_GET_VALUE, buffer.data(), nullptr) !=
        SANE_STATUS_GOOD)
        return std::nullopt;
    return QString::fromUtf8(buffer.constData());
}

DeviceStatus SaneDevice::control(int index, void* value, const QString& asked) {
    if (netClosed())
        return sanestatus::status(SANE_STATUS_IO_ERROR, QStringLiteral("connessione chiusa"));
    SANE_Int info = 0;
    const SANE_Status s = sane_control_option(m_handle, index, SANE_ACTION_SET_VALUE, value, &info);
    if (info & SANE_INFO_RELOAD_OPTIONS) {
        // Other options came and went (a mode or source change). Until they are read again the
        // old descriptors may be freed memory and the backend may refuse every call.
        const DeviceStatus reloaded = loadOptions();
        if (!reloaded.ok())
            return reloaded;
    }
    // SANE_INFO_RELOAD_PARAMS needs nothing here: frame parameters are read after each
    // sane_start, where SANE guarantees them, and never kept from before.
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
    if (const DeviceStatus f = fault(); !f.ok())
        return f;
    SigpipeGuard noSigpipe;
    if (name == "mode")
        m_emulated = -1; // the caller picks the device's own mode
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

QStringList SaneDevice::stringList(const char* name) const {
    QStringList list;
    const SANE_Option_Descriptor* d = option(name);
    if (d && d->type == SANE_TYPE_STRING && d->constraint_type == SANE_CONSTRAINT_STRING_LIST)
        for (const SANE_String_Const* s = d->constraint.string_list; s && *s; ++s)
            list.append(QString::fromUtf8(*s));
    return list;
}

QStringList SaneDevice::sourceList() const {
    return stringList("source");
}

// --- Capabilities --------------------------------------------------------------------------

QVector<uint16_t> SaneDevice::capabilityIds() const {
    SigpipeGuard noSigpipe;
    QVector<uint16_t> ids;
    for (const CapabilityRule& r : kRules)
        if (capability(r.cap))
            ids.append(r.cap);
    return ids;
}

std::optional<Capability> SaneDevice::capability(uint16_t id) const {
    const CapabilityRule* rule = ruleOf(id);
    if (!rule || stuck())
        return std::nullopt;
    SigpipeGuard noSigpipe;
    std::optional<Capability> c;
    switch (rule->rule) {
    case Rule::Number:
        if ((c = emulatedCapability(id)))
            break;
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

QString SaneDevice::modeFor(int type) const {
    for (const QString& m : stringList("mode"))
        if (sanemap::pixelTypeOfMode(m) == type)
            return m;
    return QString();
}

bool SaneDevice::bwInSoftware() const {
    // Devices with grey and colour only (eSCL scanners through sane-airscan, many network
    // devices): their black and white is thresholded here.
    return modeFor(BW).isEmpty() && !bwByDepth() &&
           (!modeFor(Gray).isEmpty() || !modeFor(RGB).isEmpty());
}

std::optional<Capability> SaneDevice::pixelTypeCapability() const {
    const SANE_Option_Descriptor* d = option("mode");
    auto mode = readString("mode");
    if (!d || !mode || d->constraint_type != SANE_CONSTRAINT_STRING_LIST)
        return std::nullopt;
    QVector<double> items;
    for (const QString& m : stringList("mode")) {
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
    else if (current == Gray && bwByDepth() && readNumber("depth").value_or(8) == 1)
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
    if (type != BW && type != Gray && type != RGB)
        return sanestatus::status(sanestatus::ValueNotOffered,
                                  QStringLiteral("tipo di pixel %1").arg(type));
    const bool byDepth = bwByDepth();
    QString chosen = modeFor(type);
    if (chosen.isEmpty() && type == BW && byDepth)
        chosen = modeFor(Gray);
    if (!chosen.isEmpty()) {
        m_emulated = -1;
        DeviceStatus st = writeString("mode", chosen);
        if (!st.ok() || !byDepth)
            return st;
        // Gray at depth 1 stands for BW, so Gray itself must leave depth 1.
        if (type == BW)
            return writeNumber("depth", 1);
        if (readNumber("depth").value_or(8) == 1)
            return writeNumber("depth", 8);
        return st;
    }
    // No mode for it: scan in the nearest mode there is and convert each page.
    QString from = type == BW ? modeFor(Gray) : QString();
    if (from.isEmpty())
        from = modeFor(RGB);
    if (from.isEmpty())
        return sanestatus::status(sanestatus::ValueNotOffered,
                                  QStringLiteral("tipo di pixel %1").arg(type));
    DeviceStatus st = writeString("mode", from);
    if (!st.ok())
        return st;
    // Eight bits are all that grey or a threshold needs; the device's depth, if it has a
    // choice, is not the user's concern here.
    if (auto depth = readNumber("depth"); depth && *depth != 8)
        writeNumber("depth", 8);
    m_emulated = type;
    return DeviceStatus();
}

std::optional<Capability> SaneDevice::emulatedCapability(uint16_t id) const {
    if (id == ICAP_THRESHOLD && bwInSoftware())
        return Capability::range(id, m_threshold, m_thresholdDefault, 0, 255, 1);
    if (id == ICAP_BITDEPTH && m_emulated >= 0) {
        const double depth = m_emulated == BW ? 1 : 8;
        return Capability::enumeration(id, depth, depth, {depth});
    }
    return std::nullopt;
}

DeviceStatus SaneDevice::setEmulated(uint16_t id, double value) {
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

const char* SaneDevice::duplexSwitch() const {
    for (const char* name : kDuplexSwitches) {
        const SANE_Option_Descriptor* d = option(name);
        // A hardware switch the user flips on the device (fujitsu's "duplex") is not ours.
        if (!d || !SANE_OPTION_IS_SETTABLE(d->cap))
            continue;
        if (d->type == SANE_TYPE_BOOL)
            return name;
        if (!sanemap::duplexSwitchEntry(stringList(name), true).isEmpty() &&
            !sanemap::duplexSwitchEntry(stringList(name), false).isEmpty())
            return name;
    }
    return nullptr;
}

sanemap::SourceOptions SaneDevice::sourceOptions() const {
    sanemap::SourceOptions o;
    o.sources = sourceList();
    o.current = readString("source").value_or(QString());
    if (const char* name = duplexSwitch()) {
        o.hasDuplexSwitch = true;
        if (option(name)->type == SANE_TYPE_BOOL)
            o.duplexSwitchOn = readNumber(name).value_or(0) != 0;
        else
            o.duplexSwitchOn =
                sanemap::duplexSwitchValue(readString(name).value_or(QString())).value_or(false);
    }
    return o;
}

std::optional<Capability> SaneDevice::sourceCapability(uint16_t id) const {
    const sanemap::SourceOptions o = sourceOptions();
    if (o.sources.isEmpty() || !readString("source"))
        return std::nullopt;
    const sanemap::SourceState st = sanemap::sourceState(o);
    const bool settable = SANE_OPTION_IS_SETTABLE(option("source")->cap);
    Capability c;
    switch (id) {
    case CUSTOM_FEEDERPRESENT:
        c = Capability::oneValue(id, st.feederPresent ? 1 : 0, true);
        break;
    case CAP_FEEDERENABLED:
        if (!st.feederPresent)
            return std::nullopt;
        c = Capability::oneValue(id, st.feederEnabled ? 1 : 0, !settable);
        break;
    case CAP_DUPLEX:
        // TWAIN: 0 none, 1 one-pass duplex; a backend's duplex source scans both sides per sheet.
        c = Capability::oneValue(id, st.duplexSupported ? 1 : 0, true);
        break;
    case CAP_DUPLEXENABLED:
        if (!st.duplexSupported)
            return std::nullopt;
        c = Capability::oneValue(id, st.duplexEnabled ? 1 : 0, !settable && !o.hasDuplexSwitch);
        break;
    default:
        return std::nullopt;
    }
    c.text = o.current;
    return c;
}

DeviceStatus SaneDevice::setSource(uint16_t id, bool on) {
    const sanemap::SourceOptions o = sourceOptions();
    if (o.sources.isEmpty() || !readString("source"))
        return sanestatus::status(sanestatus::NotSupported, QStringLiteral("source"));
    const sanemap::SourcePlan plan = sanemap::planSource(o, id == CAP_FEEDERENABLED, on);
    if (!plan.possible)
        return sanestatus::status(sanestatus::ValueNotOffered,
                                  on ? QStringLiteral("1") : QStringLiteral("0"));
    if (!plan.source.isEmpty() && plan.source != o.current) {
        const DeviceStatus st = writeString("source", plan.source);
        if (!st.ok())
            return st;
    }
    if (!plan.duplexSwitch)
        return DeviceStatus();
    // Looked up again: the source change may have reloaded the options.
    const char* name = duplexSwitch();
    if (!name)
        return sanestatus::status(sanestatus::NotSupported, QStringLiteral("duplex"));
    if (option(name)->type == SANE_TYPE_BOOL)
        return writeNumber(name, *plan.duplexSwitch ? 1 : 0);
    return writeString(name, sanemap::duplexSwitchEntry(stringList(name), *plan.duplexSwitch));
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
    if (const DeviceStatus f = fault(); !f.ok())
        return f;
    SigpipeGuard noSigpipe;
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
    if (const DeviceStatus f = fault(); !f.ok())
        return f;
    SigpipeGuard noSigpipe;
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

void SaneDevice::startCancelLocked() {
    if (m_cancelCall)
        return;
    m_cancelCall = std::make_shared<CancelCall>();
    m_cancelCall->handle = m_handle;
    m_cancelCall->session = m_session;
    // SANE allows sane_cancel from another thread while the acquiring one waits in the
    // backend; on a thread of its own it cannot block the caller when the backend does.
    std::thread(&CancelCall::run, m_cancelCall).detach();
}

void SaneDevice::cancel() {
    m_cancelRequested = true;
    std::lock_guard<std::mutex> lock(m_cancelMutex);
    if (m_acquiring)
        startCancelLocked();
}

DeviceStatus SaneDevice::acquire(const AcquireRequest& request, AcquireSink& sink) {
    if (const DeviceStatus f = fault(); !f.ok())
        return f;
    SigpipeGuard noSigpipe;
    {
        std::lock_guard<std::mutex> lock(m_cancelMutex);
        m_acquiring = true;
        m_cancelCall.reset(); // the last one is done: fault() said so
        m_cancelRequested = false;
    }
    m_frameOpen = m_cutAFrameShort = false;
    // A batch needs a feeder under it: on a flatbed, which never runs out of "sheets", a
    // batch request would scan the same glass until the image limit.
    const std::optional<QString> source = readString("source");
    const bool batch =
        request.feeder && (!source || sanemap::feeds(sanemap::classifySource(*source)));
    const int emulated = m_emulated;
    const int threshold = int(m_threshold);
    FrameAssembler frames(m_frameMemory);
    DeviceStatus result;
    bool lost = false;
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
            lost = page.code == SANE_STATUS_IO_ERROR;
            break;
        }
        QImage image = frames.takeImage();
        if (emulated == BW)
            image = imageconv::toBlackAndWhite(image, threshold);
        else if (emulated == Gray)
            image = imageconv::toGray8(image);
        ++delivered;
        if (!sink.image(std::move(image)))
            break;
        if (!batch)
            break;
    }
    // The cancel ends the batch, so that the next acquire starts afresh. A device whose
    // connection is gone gets little time for it: its backend may wait on the network for
    // ever, and then the device stays unusable (fault()) while the acquisition ends.
    phase(Phase::Ending, result);
    m_cutAFrameShort = m_frameOpen;
    std::shared_ptr<CancelCall> call;
    {
        std::lock_guard<std::mutex> lock(m_cancelMutex);
        startCancelLocked();
        call = m_cancelCall;
    }
    const bool done = call->waitDone(lost ? m_cancelWaitLostMs : m_cancelWaitMs);
    {
        std::lock_guard<std::mutex> lock(m_cancelMutex);
        m_acquiring = false;
    }
    if (!done && result.ok())
        result =
            sanestatus::status(SANE_STATUS_IO_ERROR, QStringLiteral("il dispositivo non risponde"));
    return result;
}

DeviceStatus SaneDevice::acquirePage(FrameAssembler& frames, AcquireSink& sink, bool& noDocs) {
    frames.reset();
    int64_t pageBytes = 0;
    bool firstFrame = true;
    for (;;) {
        if (netClosed())
            return sanestatus::status(SANE_STATUS_IO_ERROR, QStringLiteral("connessione chiusa"));
        phase(Phase::Starting);
        const SANE_Status started = sane_start(m_handle);
        if (started == SANE_STATUS_NO_DOCS && firstFrame) {
            noDocs = true;
            return DeviceStatus();
        }
        if (started != SANE_STATUS_GOOD)
            return sanestatus::status(started);
        m_frameOpen = true;
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
        m_frameOpen = false; // the backend said the frame's end itself
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
    const DeviceStatus silent =
        sanestatus::status(SANE_STATUS_IO_ERROR, QStringLiteral("il dispositivo non risponde"));
    QElapsedTimer sinceData, sinceProgress;
    sinceData.start();
    sinceProgress.start();
    sink.progress(pageBytesBefore, pageExpected);
    int emptyReads = 0, endReads = 0;
    for (;;) {
        if (m_cancelRequested || sink.cancelled())
            return sanestatus::status(SANE_STATUS_CANCELLED);
        short revents = 0;
        if (fd >= 0) {
            // Wait for data before reading: a silent device is noticed here and a cancel is
            // seen within one poll interval.
            pollfd pfd{fd, POLLIN | POLLRDHUP, 0};
            const int ready = ::poll(&pfd, 1, kPollMs);
            if (ready == 0) {
                if (sinceData.elapsed() > m_stallTimeoutMs)
                    return silent;
                continue;
            }
            revents = pfd.revents;
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
            emptyReads = endReads = 0;
            sinceData.restart();
            if (sinceProgress.elapsed() >= kProgressEveryMs) {
                sinceProgress.restart();
                sink.progress(pageBytesBefore + frames.receivedBytes(), pageExpected);
            }
            continue;
        }
        if (fd >= 0 && endOfStream(fd, revents)) {
            if (++endReads >= kEndOfStreamReads)
                return sanestatus::status(SANE_STATUS_IO_ERROR,
                                          QStringLiteral("connessione chiusa"));
            continue;
        }
        endReads = 0;
        if (++emptyReads > kEmptyReadsBeforePause)
            std::this_thread::sleep_for(kEmptyReadPause);
        if (sinceData.elapsed() > m_stallTimeoutMs)
            return silent;
    }
    sink.progress(pageBytesBefore + frames.receivedBytes(), pageExpected);
    return DeviceStatus();
}
