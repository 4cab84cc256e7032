#include "virtual_scanner/VirtualScanner.h"
#include "component_base/ComponentErrors.h"
#include "virtual_scanner/PageRenderer.h"
#include "component_base/ScanError.h"
#include "virtual_scanner/VirtualScannerConfig.h"
#include "common/RegularFile.h"
#include <QFile>
#include <QHash>
#include <QMap>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>

using namespace twain;

namespace {

// A scanner's paper and counters outlive each opened device: the component opens a new one
// for every acquisition, and the sheets a batch left in the feeder are still there next time.
struct ScannerState {
    std::mutex lock;
    int remainingSheets = 0;
    int sheetsFed = 0;
    int imagesMade = 0;
};

// Largest frame the scanner takes: its largest page size.
QSizeF maxFrame(const VirtualScannerSpec& layout) {
    QSizeF m;
    for (int32_t code : layout.pageSizes)
        m = m.expandedTo(pageSizeInches(code));
    return m.isEmpty() ? pageSizeInches(A4) : m;
}

constexpr qint64 kMaxPixels = 150'000'000;

class VirtualDevice : public ScanDevice {
public:
    VirtualDevice(const VirtualScannerSpec& layout, std::shared_ptr<ScannerState> state)
        : m_spec(layout), m_state(std::move(state)) {
        auto enumOf = [](uint16_t id, const QVector<int32_t>& codes, int32_t def) {
            QVector<double> items;
            for (int32_t c : codes)
                items << c;
            return ::Capability::enumeration(id, def, def, items);
        };
        const int32_t pixelDef = layout.pixelTypes.first();
        add(enumOf(ICAP_PIXELTYPE, layout.pixelTypes, pixelDef));
        add(::Capability::enumeration(ICAP_BITDEPTH, depthOf(pixelDef), depthOf(pixelDef),
                                      {double(depthOf(pixelDef))}));
        add(enumOf(ICAP_UNITS, layout.units,
                   layout.units.contains(Inches) ? Inches : layout.units.first()));
        add(enumOf(ICAP_SUPPORTEDSIZES, layout.pageSizes,
                   layout.pageSizes.contains(A4) ? int32_t(A4) : layout.pageSizes.first()));
        add(::Capability::enumeration(ICAP_XFERMECH, 0, 0, {0}));
        add(::Capability::enumeration(ICAP_COMPRESSION, 0, 0, {0}));
        for (uint16_t id : {ICAP_XRESOLUTION, ICAP_YRESOLUTION}) {
            if (layout.resolutionRange) {
                const double def =
                    std::clamp(layout.defaultResolution > 0 ? layout.defaultResolution : 300.0,
                               layout.resolutionMin, layout.resolutionMax);
                add(::Capability::range(id, def, def, layout.resolutionMin, layout.resolutionMax,
                                        layout.resolutionStep));
            } else {
                QVector<int32_t> list = layout.resolutions;
                const int32_t def = list.contains(layout.defaultResolution)
                                        ? layout.defaultResolution
                                    : list.contains(300) ? 300
                                                         : list.first();
                add(enumOf(id, list, def));
            }
        }
        add(::Capability::range(ICAP_BRIGHTNESS, layout.brightnessDefault, layout.brightnessDefault,
                                layout.brightnessMin, layout.brightnessMax, layout.brightnessStep));
        add(::Capability::range(ICAP_CONTRAST, layout.contrastDefault, layout.contrastDefault,
                                layout.contrastMin, layout.contrastMax, layout.contrastStep));
        add(::Capability::range(ICAP_THRESHOLD, 128, 128, 0, 255, 1));
        add(::Capability::oneValue(CAP_UICONTROLLABLE, 1, true));
        add(::Capability::oneValue(CAP_DEVICEONLINE, 1, true));
        add(::Capability::oneValue(CAP_DUPLEX, layout.duplex ? 1 : 0, true));
        if (layout.duplex)
            add(::Capability::oneValue(CAP_DUPLEXENABLED, 0));
        add(::Capability::oneValue(CUSTOM_FEEDERPRESENT, layout.feederPresent ? 1 : 0, true));
        if (layout.feederPresent) {
            add(::Capability::oneValue(CAP_FEEDERENABLED, 0));
            add(::Capability::oneValue(CAP_AUTOFEED, 0));
            add(::Capability::oneValue(CAP_FEEDERLOADED, 0, true));
            add(::Capability::oneValue(CAP_PAPERDETECTABLE, layout.paperDetectable ? 1 : 0, true));
        }
        add(::Capability::oneValue(ICAP_PHYSICALWIDTH, 0, true));
        add(::Capability::oneValue(ICAP_PHYSICALHEIGHT, 0, true));
        m_frame =
            QRectF(QPointF(0, 0), pageSizeInches(int32_t(m_caps[ICAP_SUPPORTEDSIZES].current)));
    }

    QVector<uint16_t> capabilityIds() const override { return m_order; }

    std::optional<::Capability> capability(uint16_t id) const override {
        auto it = m_caps.constFind(id);
        if (it == m_caps.constEnd())
            return std::nullopt;
        ::Capability c = *it;
        // Live values: what the feeder holds and the size in the current unit.
        const double perInch =
            unitsPerInch(int32_t(m_caps[ICAP_UNITS].current), m_caps[ICAP_XRESOLUTION].current);
        if (id == CAP_FEEDERLOADED) {
            std::lock_guard guard(m_state->lock);
            c.current = c.defaultValue =
                (m_state->remainingSheets > 0 || m_spec.sheets > 0 || m_spec.feederEmpty) ? 1 : 0;
        } else if (id == ICAP_PHYSICALWIDTH) {
            c.current = c.defaultValue = maxFrame(m_spec).width() * perInch;
        } else if (id == ICAP_PHYSICALHEIGHT) {
            c.current = c.defaultValue = maxFrame(m_spec).height() * perInch;
        }
        return c;
    }

    DeviceStatus setCapability(uint16_t id, double value) override {
        auto it = m_caps.find(id);
        if (it == m_caps.end())
            return componentError::status(componentError::NotSupported);
        ::Capability& c = *it;
        if (c.readOnly)
            return componentError::status(componentError::BadValue,
                                          QStringLiteral("valore di sola lettura"));
        // A NaN passes every comparison below and would reach the page as its resolution.
        if (!std::isfinite(value))
            return componentError::status(componentError::BadValue, QString::number(value));
        switch (c.container) {
        case Enumeration:
        case Array:
            if (std::none_of(c.items.begin(), c.items.end(),
                             [value](double v) { return std::fabs(v - value) < 1e-6; }))
                return componentError::status(componentError::BadValue, QString::number(value));
            break;
        case Range: {
            const double k = (value - c.min) / c.step;
            if (value < c.min - 1e-6 || value > c.max + 1e-6 || std::fabs(k - std::round(k)) > 1e-6)
                return componentError::status(componentError::BadValue, QString::number(value));
            break;
        }
        case OneValue:
            value = value != 0 ? 1 : 0; // the settable one-values are all switches
            break;
        }
        c.current = value;
        if (id == ICAP_PIXELTYPE) {
            const int d = depthOf(int32_t(value));
            m_caps[ICAP_BITDEPTH] = ::Capability::enumeration(ICAP_BITDEPTH, d, d, {double(d)});
        } else if (id == ICAP_SUPPORTEDSIZES) {
            m_frame = QRectF(QPointF(0, 0), pageSizeInches(int32_t(value)));
        }
        return {};
    }

    DeviceStatus setImageLayout(double left, double top, double right, double bottom) override {
        const double perInch =
            unitsPerInch(int32_t(m_caps[ICAP_UNITS].current), m_caps[ICAP_XRESOLUTION].current);
        const QRectF frame(QPointF(left / perInch, top / perInch),
                           QPointF(right / perInch, bottom / perInch));
        const QSizeF max = maxFrame(m_spec);
        if (!(frame.width() > 0) || !(frame.height() > 0) || frame.left() < 0 || frame.top() < 0 ||
            frame.right() > max.width() + 1e-6 || frame.bottom() > max.height() + 1e-6)
            return componentError::status(componentError::BadValue,
                                          QStringLiteral("area fuori dai limiti dello scanner"));
        m_frame = frame;
        m_caps[ICAP_SUPPORTEDSIZES].current = SizeNone; // the frame no longer is a page size
        return {};
    }

    DeviceStatus acquire(const AcquireRequest& request, AcquireSink& sink) override {
        const bool feeder = request.feeder && m_spec.feederPresent;
        const bool duplex = feeder && m_spec.duplex && request.duplex;
        if (feeder && m_spec.feederEmpty)
            return {m_spec.feederEmpty->code, m_spec.feederEmpty->text};
        int sheets = 1;
        if (feeder) {
            std::lock_guard guard(m_state->lock);
            if (m_state->remainingSheets == 0)
                m_state->remainingSheets = m_spec.sheets; // the stack is put back once empty
            sheets = m_state->remainingSheets;
            if (sheets == 0)
                return {7, QStringLiteral("Alimentatore vuoto")};
        }

        PageSpec page;
        page.pixelType = int32_t(m_caps[ICAP_PIXELTYPE].current);
        page.dpiX = m_caps[ICAP_XRESOLUTION].current;
        page.dpiY = m_caps[ICAP_YRESOLUTION].current;
        page.sizeInches = m_frame.size();
        page.brightness = normalised(m_caps[ICAP_BRIGHTNESS]);
        page.contrast = normalised(m_caps[ICAP_CONTRAST]);
        page.threshold = int(m_caps[ICAP_THRESHOLD].current);
        page.scannerName = m_spec.name;
        const QSize px = pagePixels(page);
        if (qint64(px.width()) * px.height() > kMaxPixels)
            return {10, QStringLiteral("Memoria insufficiente per un'immagine di %1 x %2 punti")
                            .arg(px.width())
                            .arg(px.height())};
        const qint64 expected =
            qint64(px.height()) * ((qint64(px.width()) * (page.pixelType == 0   ? 1
                                                          : page.pixelType == 1 ? 8
                                                                                : 24) +
                                    7) /
                                   8);

        int delivered = 0;
        for (int s = 0; s < sheets; ++s) {
            for (int side = 0; side < (duplex ? 2 : 1); ++side) {
                if (stopping(sink) || delivered >= request.maxImages)
                    return {};
                const int number = delivered + 1;
                if (m_spec.jamOnPage && m_spec.jamOnPage->page == number) {
                    sink.progress(expected / 2, expected);
                    consumeSheet(feeder);
                    return {m_spec.jamOnPage->fault.code, m_spec.jamOnPage->fault.text};
                }
                if (!wait(sink))
                    return {};
                int stackSheet = 0; // the sheet's place in the feeder's stack, from 1
                {
                    std::lock_guard guard(m_state->lock);
                    if (side == 0)
                        ++m_state->sheetsFed;
                    page.sheet = m_state->sheetsFed;
                    page.image = ++m_state->imagesMade;
                    if (feeder)
                        stackSheet = m_spec.sheets - m_state->remainingSheets + 1;
                }
                page.back = side == 1;
                page.blank = page.back && m_spec.blankBacks.contains(stackSheet);
                page.upsideDown = m_spec.upsideDown.contains(stackSheet);
                page.skewDegrees = m_spec.skewDegrees.value(stackSheet, 0.0);
                sink.progress(expected / 2, expected);
                QImage image = renderPage(page, &m_canvas);
                if (image.isNull())
                    return {10, QStringLiteral("Memoria insufficiente")};
                sink.progress(expected, expected);
                const bool more = sink.image(std::move(image));
                ++delivered;
                if (side == (duplex ? 1 : 0))
                    consumeSheet(feeder);
                if (m_spec.errorAfterPage && m_spec.errorAfterPage->page == delivered)
                    return {m_spec.errorAfterPage->fault.code, m_spec.errorAfterPage->fault.text};
                if (!more)
                    return {};
            }
        }
        sink.feederEmptied(); // the glass, or the last sheet of the stack
        return {};
    }

    void cancel() override { m_cancelled.store(true); }

private:
    // A range's value as -1..1 around its middle, whatever scale the scanner uses.
    static double normalised(const ::Capability& c) {
        const double half = (c.max - c.min) / 2;
        return half > 0 ? std::clamp((c.current - (c.min + half)) / half, -1.0, 1.0) : 0.0;
    }

    static int depthOf(int32_t pixelType) { return pixelType == 0 ? 1 : pixelType == 1 ? 8 : 24; }

    void add(const ::Capability& c) {
        if (!m_caps.contains(c.id))
            m_order << c.id;
        m_caps[c.id] = c;
    }

    bool stopping(const AcquireSink& sink) const { return m_cancelled.load() || sink.cancelled(); }

    // The scan time of one image, in short steps so that a cancel is felt at once.
    bool wait(const AcquireSink& sink) const {
        for (int waited = 0; waited < m_spec.pageDelayMs; waited += 10) {
            if (stopping(sink))
                return false;
            QThread::msleep(std::min(10, m_spec.pageDelayMs - waited));
        }
        return !stopping(sink);
    }

    void consumeSheet(bool feeder) {
        if (!feeder)
            return;
        std::lock_guard guard(m_state->lock);
        if (m_state->remainingSheets > 0)
            --m_state->remainingSheets;
    }

    VirtualScannerSpec m_spec;
    std::shared_ptr<ScannerState> m_state;
    QHash<uint16_t, ::Capability> m_caps;
    QVector<uint16_t> m_order;
    QRectF m_frame;
    QImage m_canvas; // the page buffer painted on, kept from page to page (worker thread)
    std::atomic<bool> m_cancelled{false};
};

class Layer : public DeviceLayer {
public:
    explicit Layer(QString path) : m_path(std::move(path)) {}

    DeviceStatus start() override {
        const RegularFile file = readRegularFile(m_path, kVirtualScannerFileMaxBytes);
        if (file.status != FileReadStatus::Loaded)
            return componentError::status(
                componentError::LayerFailed,
                QStringLiteral("scanner virtuali: %1: %2")
                    .arg(m_path, readFailureText(file, kVirtualScannerFileMaxBytes)));
        try {
            m_file = parseVirtualScanners(file.bytes);
        } catch (const ScanError& e) {
            return componentError::status(componentError::LayerFailed,
                                          m_path + QStringLiteral(": ") + e.text());
        }
        if (m_file.startDelayMs > 0)
            QThread::msleep(m_file.startDelayMs);
        if (m_file.startFault) {
            m_file.scanners.clear();
            return {m_file.startFault->code, m_file.startFault->text};
        }
        for (const VirtualScannerSpec& s : m_file.scanners) {
            if (!m_states.contains(s.name)) {
                auto state = std::make_shared<ScannerState>();
                state->remainingSheets = s.sheets;
                m_states.insert(s.name, state);
            }
        }
        return {};
    }

    void stop() override {}

    QVector<DeviceInfo> devices() const override {
        QVector<DeviceInfo> out;
        for (const VirtualScannerSpec& s : m_file.scanners)
            out << DeviceInfo{s.name, s.name};
        return out;
    }

    std::unique_ptr<ScanDevice> open(const QString& id) override {
        for (const VirtualScannerSpec& s : m_file.scanners) {
            if (s.name != id)
                continue;
            if (s.openFault)
                throw ScanError(s.openFault->text, s.openFault->code);
            return std::make_unique<VirtualDevice>(s, m_states.value(s.name));
        }
        throw ScanError(QStringLiteral("Scanner virtuale sconosciuto: ") + id,
                        componentError::OpenFailed);
    }

private:
    QString m_path;
    VirtualScannerFile m_file;
    QMap<QString, std::shared_ptr<ScannerState>> m_states;
};

} // namespace

VirtualScannerLayer::VirtualScannerLayer(const QString& jsonPath)
    : m_impl(std::make_unique<Layer>(jsonPath)) {}

VirtualScannerLayer::~VirtualScannerLayer() = default;

DeviceStatus VirtualScannerLayer::start() {
    return m_impl->start();
}
void VirtualScannerLayer::stop() {
    m_impl->stop();
}
QVector<DeviceInfo> VirtualScannerLayer::devices() const {
    return m_impl->devices();
}
std::unique_ptr<ScanDevice> VirtualScannerLayer::open(const QString& id) {
    return m_impl->open(id);
}

std::unique_ptr<DeviceLayer> VirtualScannerLayer::fromEnvironment() {
    const QByteArray path = qgetenv("SCANSIONE_VIRTUAL_SCANNERS");
    if (path.isEmpty())
        return nullptr;
    return std::make_unique<VirtualScannerLayer>(QFile::decodeName(path));
}
