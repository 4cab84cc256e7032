#include "acquisition/VstScan.h"
#include "acquisition/AcquisitionRunner.h"
#include "acquisition/ComponentDialogs.h"
#include "component_base/ScanError.h"
#include "component_base/TwainCodes.h"
#include <cmath>
#include <type_traits>

using namespace twain;
using componentError::status;

namespace {

int32_t asSwitch(double value) {
    return value != 0 ? 1 : 0;
}

// The window files image k as the page item "I" & k, a 16-bit number: an image beyond it
// could never be shown or saved, so no acquisition goes past it.
constexpr int kLastImageIndex = 32767;

} // namespace

VstScan::VstScan(std::vector<std::unique_ptr<DeviceLayer>> layers, const QString& cacheParent,
                 std::shared_ptr<ComponentDialogs> dialogs, QObject* parent)
    : ScanComponent(parent),
      m_dialogs(dialogs ? std::move(dialogs) : std::make_shared<ComponentDialogs>()),
      m_images(cacheParent), m_sources(std::move(layers)),
      m_runner(std::make_unique<AcquisitionRunner>(*m_dialogs)) {
    // What the component hears from its worker and its encoder waits for the operation under
    // way: the window must not see an image or an end in the middle of one of its own calls.
    connect(m_runner.get(), &AcquisitionRunner::imageStored, this, [this](const StoredPage& page) {
        m_events.deliver([this, page] {
            m_images.append(page);
            Q_EMIT PostScan(0);
        });
    });
    connect(m_runner.get(), &AcquisitionRunner::ended, this, &VstScan::onEnded);
    connect(m_runner.get(), &AcquisitionRunner::released, this, &VstScan::stopLayersWhenIdle);
    m_images.setPageFileHandler([this](const DeviceStatus& result) { onPageFile(result); });
    m_images.setTextReadyHandler(
        [this](int index) { m_events.post([this, index] { Q_EMIT ImageTextReady(index); }); });
}

VstScan::VstScan(std::vector<std::unique_ptr<DeviceLayer>> layers, const QString& cacheParent,
                 PageServices services, std::shared_ptr<ComponentDialogs> dialogs, QObject* parent)
    : VstScan(std::move(layers), cacheParent, std::move(dialogs), parent) {
    m_images.setTextReader(std::move(services.textReader));
}

VstScan::~VstScan() {
    // The members go in the order that is safe (see the header); the runner's signals must
    // not reach this half-destroyed object meanwhile.
    m_runner->disconnect(this);
}

// --- Status -------------------------------------------------------------------------------

template <typename T> T VstScan::fail(componentError::Code error, T result) {
    setStatus(status(error));
    return result;
}

bool VstScan::deviceReady() {
    if (!m_sources.device())
        return fail(componentError::SourceNotOpen, false);
    if (m_runner->running())
        return fail(componentError::Busy, false);
    return true;
}

// --- Device -------------------------------------------------------------------------------

int32_t VstScan::OpenSourceManager() {
    const HeldEvents::Call call(m_events);
    if (m_sources.isStarted()) {
        clearStatus();
        return 1;
    }
    // A previous manager whose layers are still waiting to stop (the worker held a device).
    if (m_sources.stopPending())
        return fail(componentError::Busy, 0);
    // A layer that failed while another started leaves its reason here, with the manager open.
    setStatus(m_sources.start(*m_dialogs));
    return m_sources.isStarted() ? 1 : 0;
}

QStringList VstScan::layerFailures() const {
    QStringList texts;
    for (const DeviceStatus& failure : m_sources.layerFailures())
        texts << (failure.text.isEmpty() ? QStringLiteral("codice %1").arg(failure.code)
                                         : failure.text);
    return texts;
}

void VstScan::CloseSourceManager() {
    const HeldEvents::Call call(m_events);
    if (m_sources.device())
        CloseDataSource();
    m_sources.close();
    stopLayersWhenIdle();
    clearStatus();
}

void VstScan::stopLayersWhenIdle() {
    m_sources.stopLayersIfIdle(!m_runner->idle());
}

int32_t VstScan::OpenDataSource() {
    const HeldEvents::Call call(m_events);
    if (!m_sources.device()) {
        setStatus(m_sources.openSelected());
        if (!m_status.ok())
            return 0;
        // A freshly opened device starts from its own defaults.
        m_feederEnabled = asSwitch(currentOf(CAP_FEEDERENABLED, 0));
        m_autoFeed = asSwitch(currentOf(CAP_AUTOFEED, 0));
        m_duplexEnabled = asSwitch(currentOf(CAP_DUPLEXENABLED, 0));
        m_layoutInches = QSizeF();
    }
    clearStatus();
    return 1;
}

int32_t VstScan::CloseDataSource() {
    const HeldEvents::Call call(m_events);
    clearStatus();
    if (!m_sources.device())
        return 0;
    if (m_runner->running()) {
        m_runner->abandon();
        // The window still gets the end of the acquisition it started; queued, so that it
        // never runs inside the caller.
        postEnd(std::nullopt);
    }
    m_sources.closeDevice();
    stopLayersWhenIdle();
    return 1;
}

// --- Sources ------------------------------------------------------------------------------

void VstScan::setSourceIndex(int32_t index) {
    const HeldEvents::Call call(m_events);
    m_sources.checkIndex(index);
    if (index != m_sources.selected()) {
        if (m_runner->running())
            throw ScanError(status(componentError::Busy).text, componentError::Busy);
        if (m_sources.device())
            CloseDataSource();
        m_sources.select(index);
    }
    clearStatus();
}

int32_t VstScan::SelectSource() {
    const HeldEvents::Call call(m_events);
    if (m_sources.count() == 0)
        return fail(componentError::NoSource, 0);
    if (m_runner->running())
        return fail(componentError::Busy, 0);
    const std::optional<int> chosen = m_dialogs->chooseSource(m_sources.names(), SourceIndex());
    if (!chosen || *chosen < 0) {
        clearStatus();
        return 0;
    }
    setSourceIndex(*chosen);
    return 1;
}

// --- Capabilities, shared by the named properties and the generic interface ----------------

std::optional<::Capability> VstScan::capabilityOf(uint16_t id) const {
    // The component's own: the progress window is ours, whatever the device.
    if (id == CAP_INDICATORS) {
        ::Capability c = ::Capability::oneValue(CAP_INDICATORS, m_indicators ? 1 : 0);
        c.defaultValue = 0;
        c.text = m_indicators ? QStringLiteral("TRUE") : QStringLiteral("FALSE");
        return c;
    }
    const std::shared_ptr<ScanDevice> device = m_sources.device();
    if (!device || m_runner->running())
        return std::nullopt;
    if (id == CAP_SUPPORTEDCAPS) {
        QVector<double> ids;
        for (uint16_t c : device->capabilityIds()) {
            if (c != CAP_INDICATORS && c != CAP_SUPPORTEDCAPS)
                ids << c;
        }
        ids << CAP_INDICATORS << CAP_SUPPORTEDCAPS;
        ::Capability c;
        c.id = CAP_SUPPORTEDCAPS;
        c.container = Array;
        c.items = ids;
        c.current = ids.first();
        c.readOnly = true;
        return c;
    }
    return device->capability(id);
}

double VstScan::currentOf(uint16_t id, double fallback) const {
    const auto c = capabilityOf(id);
    return c ? c->current : fallback;
}

template <typename T> T VstScan::readCurrent(uint16_t id, T fallback) {
    const HeldEvents::Call call(m_events);
    if (!deviceReady())
        return fallback;
    const auto c = capabilityOf(id);
    if (!c)
        return fail(componentError::NotSupported, fallback);
    clearStatus();
    if constexpr (std::is_integral_v<T>)
        return T(std::lround(c->current));
    else
        return T(c->current);
}

double VstScan::readSensor(uint16_t id) {
    const HeldEvents::Call call(m_events);
    if (!deviceReady())
        return 0;
    clearStatus();
    return currentOf(id, 0);
}

bool VstScan::setDeviceValue(uint16_t id, double value) {
    const HeldEvents::Call call(m_events);
    if (!deviceReady())
        return false;
    // Held for the whole call: a device call may run the event loop while it waits on the
    // device, and the source may be closed meanwhile.
    const std::shared_ptr<ScanDevice> device = m_sources.device();
    if (!device->capability(id)) {
        // A device that lost its connection says so rather than "not supported".
        const DeviceStatus fault = device->fault();
        setStatus(fault.ok() ? status(componentError::NotSupported) : fault);
        return false;
    }
    setStatus(device->setCapability(id, value));
    return m_status.ok();
}

void VstScan::setSwitch(uint16_t id, int32_t value, int32_t& kept) {
    const HeldEvents::Call call(m_events);
    if (!deviceReady())
        return;
    const std::shared_ptr<ScanDevice> device = m_sources.device();
    if (!device->capability(id)) {
        // A flatbed has no feeder to switch off: only switching it on is an error.
        setStatus(value != 0 ? status(componentError::NotSupported) : DeviceStatus{});
        kept = 0;
        return;
    }
    if (setDeviceValue(id, asSwitch(value)))
        kept = asSwitch(value);
}

QVector<int32_t> VstScan::supportedList(uint16_t id) {
    const HeldEvents::Call call(m_events);
    m_cap.id = id;
    m_cap.read.reset();
    if (!deviceReady())
        return {};
    const auto c = capabilityOf(id);
    if (!c)
        return fail(componentError::NotSupported, QVector<int32_t>());
    m_cap.read = c;
    m_cap.container = c->container;
    m_cap.value = c->current;
    clearStatus();
    return listedValues(*c);
}

std::pair<float, float> VstScan::rangeOf(uint16_t id) {
    const HeldEvents::Call call(m_events);
    if (!deviceReady())
        return {0, 0};
    const auto c = capabilityOf(id);
    if (!c)
        return fail(componentError::NotSupported, std::pair<float, float>(0, 0));
    clearStatus();
    const auto [low, high] = valueRange(*c);
    return {float(low), float(high)};
}

// --- Acquisition switches ------------------------------------------------------------------

void VstScan::setTransferMode(int32_t mode) {
    const HeldEvents::Call call(m_events);
    if (mode != 0) {
        setStatus(status(componentError::BadValue,
                         QStringLiteral("modalità di trasferimento %1").arg(mode)));
        return;
    }
    const std::shared_ptr<ScanDevice> device = m_sources.device();
    if (device && !m_runner->running() && device->capability(ICAP_XFERMECH))
        return setStatus(device->setCapability(ICAP_XFERMECH, 0));
    clearStatus();
}

void VstScan::setImageLimit(int32_t limit) {
    if (limit < 0)
        return setStatus(
            status(componentError::BadValue, QStringLiteral("limite immagini %1").arg(limit)));
    m_imageLimit = limit;
    clearStatus();
}

int32_t VstScan::FeederPresent() {
    const HeldEvents::Call call(m_events);
    if (!deviceReady())
        return 0;
    clearStatus();
    if (const auto c = capabilityOf(CUSTOM_FEEDERPRESENT))
        return asSwitch(c->current);
    // A device that cannot say whether a feeder is fitted has one when it can switch it.
    return capabilityOf(CAP_FEEDERENABLED) ? 1 : 0;
}

int32_t VstScan::PaperDetectable() {
    return asSwitch(readSensor(CAP_PAPERDETECTABLE));
}

int32_t VstScan::FeederLoaded() {
    return asSwitch(readSensor(CAP_FEEDERLOADED));
}

int32_t VstScan::DuplexSupported() {
    return int32_t(readSensor(CAP_DUPLEX));
}

// --- Acquisition ---------------------------------------------------------------------------

int32_t VstScan::Acquire() {
    const HeldEvents::Call call(m_events);
    if (!deviceReady())
        return 0;
    // The previous acquisition has not told its end yet (its page files are being written,
    // or the end waits for the operations under way): an end told later would be taken for
    // this one's.
    if (m_pendingEnd || m_endsOnTheirWay > 0)
        return fail(componentError::Busy, 0);
    const DeviceStatus ready = m_images.readyForPages(programmedPageBytes());
    if (!ready.ok()) {
        // Ends at once, as an acquisition the device refused would: the window hears of it
        // through the end event, and programs the source anew next time.
        m_sources.closeDevice();
        stopLayersWhenIdle();
        clearStatus();
        postEnd(ready);
        return 1;
    }
    AcquireRequest request;
    request.feeder = m_feederEnabled != 0;
    request.duplex = m_duplexEnabled != 0;
    // The device stops at the limit before it feeds another sheet, so that the sheets beyond
    // stay in the feeder for the next batch; the worker tells whether the limit ended it.
    int room = std::max(0, std::min(m_imageLimit, kLastImageIndex + 1 - m_images.count()));
    // Both sides of a sheet or neither: a back left unread would leave with its sheet.
    if (request.feeder && request.duplex && room > 1)
        room -= room % 2;
    request.maxImages = room;
    m_runner->start(m_sources.device(), request, room, cacheFolder(), m_images.memoryBudget(),
                    m_indicators, int(currentOf(ICAP_XRESOLUTION, 0)));
    clearStatus();
    return 1;
}

qint64 VstScan::programmedPageBytes() const {
    const double dpiX = currentOf(ICAP_XRESOLUTION, 300);
    const double dpiY = currentOf(ICAP_YRESOLUTION, dpiX);
    const double depth = currentOf(ICAP_BITDEPTH, 0);
    // As the cache holds them: 1-bit, 8- or 16-bit grey, 24-bit colour or 16 bits a sample
    // in 64-bit pixels.
    int bits = 24;
    switch (int32_t(currentOf(ICAP_PIXELTYPE, RGB))) {
    case BW:
        bits = 1;
        break;
    case Gray:
        bits = depth > 8 ? 16 : 8;
        break;
    default:
        bits = depth > 24 ? 64 : 24;
        break;
    }
    // The frame: the page size when the device names one, else the layout set last, else
    // the whole glass.
    QSizeF inches = pageSizeInches(int32_t(currentOf(ICAP_SUPPORTEDSIZES, SizeNone)));
    if (inches.isEmpty())
        inches = m_layoutInches;
    if (inches.isEmpty()) {
        const double perInch = unitsPerInch(int32_t(currentOf(ICAP_UNITS, Inches)), dpiX);
        inches = QSizeF(currentOf(ICAP_PHYSICALWIDTH, 0), currentOf(ICAP_PHYSICALHEIGHT, 0)) /
                 (perInch > 0 ? perInch : 1);
    }
    if (inches.isEmpty())
        inches = pageSizeInches(A4);
    const double width = std::ceil(inches.width() * dpiX);
    const double height = std::ceil(inches.height() * dpiY);
    return qint64(std::ceil(width * bits / 8)) * qint64(height);
}

void VstScan::onEnded(const AcquireOutcome& outcome) {
    DeviceStatus end = outcome.status;
    if (end.ok() && outcome.refused)
        end = status(componentError::ImageLimit, QString::number(m_imageLimit));
    // The source closes at the end of every acquisition: the window programs it anew. At once,
    // even inside an operation, so that the source never looks ready for another acquisition
    // while this one has not told its end.
    m_sources.closeDevice();
    m_pendingEnd = end;
    m_events.deliver([this] {
        stopLayersWhenIdle();
        endWhenStored();
    });
}

void VstScan::onPageFile(const DeviceStatus& result) {
    if (!result.ok()) {
        // The cache cannot take the pages: the acquisition stops rather than carry on into
        // memory, and says why even when the device had already finished.
        if (m_runner && m_runner->running())
            m_runner->stopWith(result);
        else if (m_pendingEnd)
            m_pendingEnd = result;
    }
    m_events.deliver([this] { endWhenStored(); });
}

void VstScan::postEnd(const std::optional<DeviceStatus>& status) {
    ++m_endsOnTheirWay;
    m_events.post([this, status] {
        --m_endsOnTheirWay;
        if (status)
            setStatus(*status);
        Q_EMIT PostScan(1);
    });
}

void VstScan::endWhenStored() {
    // The page files wait in memory for the encoder within its allowance, so this is a short
    // wait; only then is it known whether the cache took them.
    if (!m_pendingEnd || m_images.storingPageFiles())
        return;
    setStatus(*m_pendingEnd);
    m_pendingEnd.reset();
    Q_EMIT PostScan(1);
}

// --- Settings ------------------------------------------------------------------------------

int32_t VstScan::ImagePixelType() {
    return readCurrent<int32_t>(ICAP_PIXELTYPE, -1);
}

int32_t VstScan::Resolution() {
    return readCurrent<int32_t>(ICAP_XRESOLUTION, 0);
}
void VstScan::setResolution(int32_t dpi) {
    const HeldEvents::Call call(m_events);
    const std::shared_ptr<ScanDevice> device = m_sources.device();
    if (setDeviceValue(ICAP_XRESOLUTION, dpi) && device && device->capability(ICAP_YRESOLUTION))
        setDeviceValue(ICAP_YRESOLUTION, dpi);
}

int32_t VstScan::Unit() {
    return readCurrent<int32_t>(ICAP_UNITS, -1);
}

int32_t VstScan::PageSize() {
    return readCurrent<int32_t>(ICAP_SUPPORTEDSIZES, -1);
}

void VstScan::setPageSize(int32_t size) {
    const HeldEvents::Call call(m_events);
    if (setDeviceValue(ICAP_SUPPORTEDSIZES, size))
        m_layoutInches = QSizeF();
}

void VstScan::setJpegQuality(int32_t quality) {
    if (quality < 0 || quality > 100)
        return setStatus(
            status(componentError::BadValue, QStringLiteral("qualità JPEG %1").arg(quality)));
    ImageWriteOptions options = m_images.writeOptions();
    options.jpegQuality = quality;
    m_images.setWriteOptions(options);
    clearStatus();
}

void VstScan::setTiffCompression(int32_t compression) {
    switch (compression) {
    case 0:
    case 1:
    case 4:
    case 5:
    case 7:
    case 8:
        break;
    default:
        return setStatus(status(componentError::BadValue,
                                QStringLiteral("compressione TIFF %1").arg(compression)));
    }
    ImageWriteOptions options = m_images.writeOptions();
    options.tiffCompression = compression;
    m_images.setWriteOptions(options);
    clearStatus();
}

float VstScan::Brightness() {
    return readCurrent<float>(ICAP_BRIGHTNESS, 0);
}

float VstScan::Contrast() {
    return readCurrent<float>(ICAP_CONTRAST, 0);
}

int32_t VstScan::SetImageLayout(float left, float top, float right, float bottom) {
    const HeldEvents::Call call(m_events);
    if (!deviceReady())
        return 0;
    if (!(right > left) || !(bottom > top) || left < 0 || top < 0) {
        setStatus(
            status(componentError::BadValue,
                   QStringLiteral("area %1,%2,%3,%4").arg(left).arg(top).arg(right).arg(bottom)));
        return 0;
    }
    const std::shared_ptr<ScanDevice> device = m_sources.device();
    setStatus(device->setImageLayout(left, top, right, bottom));
    if (!m_status.ok())
        return 0;
    const double perInch =
        unitsPerInch(int32_t(currentOf(ICAP_UNITS, Inches)), currentOf(ICAP_XRESOLUTION, 300));
    m_layoutInches = QSizeF(right - left, bottom - top) / (perInch > 0 ? perInch : 1);
    return 1;
}

// --- Generic capability interface ------------------------------------------------------------

void VstScan::setCapability(int32_t id) {
    m_cap.id = id;
    m_cap.read.reset();
    clearStatus();
}

int32_t VstScan::CapSupported() {
    const HeldEvents::Call call(m_events);
    if (m_cap.id < 0 || m_cap.id > 0xFFFF)
        return fail(componentError::NotSupported, 0);
    if (capabilityOf(uint16_t(m_cap.id))) {
        clearStatus();
        return 1;
    }
    if (!m_sources.device())
        return fail(componentError::SourceNotOpen, 0);
    return fail(m_runner->running() ? componentError::Busy : componentError::NotSupported, 0);
}

QString VstScan::CapText() const {
    return m_cap.read ? currentText(*m_cap.read) : QString();
}

int32_t VstScan::CapGet() {
    const HeldEvents::Call call(m_events);
    m_cap.read.reset();
    if (CapSupported() != 1)
        return 0;
    // Each capability comes in its own container kind, whatever was asked for: the caller
    // reads CapContainer to learn which.
    m_cap.read = capabilityOf(uint16_t(m_cap.id));
    m_cap.container = m_cap.read->container;
    m_cap.value = m_cap.read->current;
    clearStatus();
    return 1;
}

int32_t VstScan::CapSet() {
    const HeldEvents::Call call(m_events);
    if (m_cap.id == CAP_INDICATORS) {
        m_indicators = m_cap.value != 0;
        clearStatus();
        return 1;
    }
    if (m_cap.id == CAP_SUPPORTEDCAPS) {
        setStatus(status(componentError::BadValue, QStringLiteral("capacità di sola lettura")));
        return 0;
    }
    if (m_cap.id < 0 || m_cap.id > 0xFFFF)
        return fail(componentError::NotSupported, 0);
    const auto id = uint16_t(m_cap.id);
    if (!setDeviceValue(id, m_cap.value))
        return 0;
    // Keep the named switches in step with the device: both are views of one state.
    if (id == CAP_FEEDERENABLED)
        m_feederEnabled = asSwitch(currentOf(id, 0));
    else if (id == CAP_AUTOFEED)
        m_autoFeed = asSwitch(currentOf(id, 0));
    else if (id == CAP_DUPLEXENABLED)
        m_duplexEnabled = asSwitch(currentOf(id, 0));
    return 1;
}

// --- Images --------------------------------------------------------------------------------

int32_t VstScan::RotateImage(int32_t index, int32_t degrees) {
    const HeldEvents::Call call(m_events);
    setStatus(m_images.rotate(index, degrees));
    if (!m_status.ok())
        return 0;
    m_recovery.imagesChanged();
    return 1;
}

void VstScan::setDocumentFormat(const QString& format) {
    const HeldEvents::Call call(m_events);
    if (format == QLatin1String("JPEG"))
        m_images.setPreparedKind(ImageFileKind::Jpeg);
    else if (format == QLatin1String("TIFF"))
        m_images.setPreparedKind(ImageFileKind::Tiff);
    else if (format == QLatin1String("PDF"))
        m_images.setPreparedKind(ImageFileKind::PdfImage);
    else
        m_images.setPreparedKind(std::nullopt);
}

int32_t VstScan::SaveImage(int32_t index, const QString& path) {
    const HeldEvents::Call call(m_events);
    setStatus(m_images.save(index, path, m_tiffMultiPage == 1));
    if (!m_status.ok())
        throw ScanError(m_status.text, m_status.code);
    return 1;
}
