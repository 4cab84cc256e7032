#include "acquisition/VstScan.h"
#include "acquisition/AcquireWorker.h"
#include "acquisition/ComponentErrors.h"
#include "acquisition/ImageBuffer.h"
#include "acquisition/ImageWriters.h"
#include "acquisition/RawImageFile.h"
#include "acquisition/ScanError.h"
#include "acquisition/SelectSourceDialog.h"
#include "acquisition/SessionCache.h"
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QProgressDialog>
#include <QTimer>
#include <QWidget>
#include <cmath>

using namespace twain;

namespace {

// A list the device offers as a range is handed out value by value up to this many values;
// beyond it only the two ends are listed (the range itself stays readable through CapMin/Max).
constexpr int kMaxListedRange = 10000;

bool haveWidgets() {
    return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
}

QString numberText(double v) {
    if (std::isfinite(v) && v == std::floor(v) && std::fabs(v) < 1e15)
        return QString::number(qint64(v));
    return QString::number(v, 'g', 7);
}

} // namespace

VstScan::VstScan(std::vector<std::unique_ptr<DeviceLayer>> layers, const QString& cacheParent,
                 QObject* parent)
    : ScanComponent(parent), m_layers(std::move(layers)), m_layerStarted(m_layers.size(), false),
      m_cache(std::make_unique<SessionCache>(cacheParent)),
      m_buffer(std::make_unique<ImageBuffer>()) {
    qRegisterMetaType<StoredPage>();
    qRegisterMetaType<AcquireOutcome>();
    if (!m_cache->isValid())
        qWarning("Scansione: no session cache (%s); pages are kept in memory",
                 qUtf8Printable(m_cache->error()));
    m_thread.setObjectName(QStringLiteral("acquisition"));
    m_worker = new AcquireWorker;
    m_worker->moveToThread(&m_thread);
    connect(m_worker, &AcquireWorker::imageStored, this, &VstScan::onImageStored,
            Qt::QueuedConnection);
    connect(m_worker, &AcquireWorker::progressed, this, &VstScan::onProgress, Qt::QueuedConnection);
    connect(m_worker, &AcquireWorker::finished, this, &VstScan::onFinished, Qt::QueuedConnection);
    m_thread.start();
}

VstScan::~VstScan() {
    // Nothing of a running acquisition may reach anyone after this point.
    m_activeJob = 0;
    if (m_cancel)
        m_cancel->store(true);
    if (m_device)
        m_device->cancel();
    disconnect(m_worker, nullptr, this, nullptr);
    closeProgress();
    m_thread.quit();
    m_thread.wait();
    delete m_worker; // also drops a job that never started, and with it its device reference
    m_device.reset();
    for (size_t i = 0; i < m_layers.size(); ++i) {
        if (m_layerStarted[i])
            m_layers[i]->stop();
    }
    m_buffer.reset();
    m_cache.reset();
}

QString VstScan::cacheFolder() const {
    return m_cache ? m_cache->path() : QString();
}

// --- Status -------------------------------------------------------------------------------

void VstScan::setStatus(const DeviceStatus& status) {
    m_status = status;
}

int32_t VstScan::LastErrorCode() const {
    return m_status.code;
}

QString VstScan::LastErrorText() const {
    return m_status.text;
}

bool VstScan::deviceReady() {
    if (!m_device) {
        setStatus(componentError::status(componentError::SourceNotOpen));
        return false;
    }
    if (m_activeJob != 0) {
        setStatus(componentError::status(componentError::Busy));
        return false;
    }
    return true;
}

// --- Device -------------------------------------------------------------------------------

int32_t VstScan::OpenSourceManager() {
    if (m_managerOpen) {
        clearStatus();
        return 1;
    }
    if (m_layers.empty()) {
        setStatus(componentError::status(componentError::LayerFailed));
        return 0;
    }
    // A previous manager whose layers are still waiting to stop (the worker held a device).
    if (m_stopLayersPending) {
        setStatus(componentError::status(componentError::Busy));
        return 0;
    }
    std::vector<DeviceStatus> results(m_layers.size());
    // Layers may take seconds (SANE probes the network): start them off this thread and keep
    // this thread's event loop running, so the window repaints and the user sees why.
    QThread* starter = QThread::create([this, &results] {
        for (size_t i = 0; i < m_layers.size(); ++i) {
            try {
                results[i] = m_layers[i]->start();
            } catch (const ScanError& e) {
                results[i] = {e.code() ? e.code() : int32_t(componentError::LayerFailed), e.text()};
            } catch (const std::exception& e) {
                results[i] = componentError::status(componentError::LayerFailed,
                                                    QString::fromLocal8Bit(e.what()));
            }
        }
    });
    QEventLoop loop;
    connect(starter, &QThread::finished, &loop, &QEventLoop::quit);
    std::unique_ptr<QProgressDialog> searching;
    if (haveWidgets()) {
        searching = std::make_unique<QProgressDialog>(QApplication::activeWindow());
        searching->setObjectName(QStringLiteral("SearchingScanners"));
        searching->setWindowTitle(QStringLiteral("Scanner"));
        searching->setLabelText(QStringLiteral("Ricerca scanner in corso..."));
        searching->setCancelButton(nullptr);
        searching->setRange(0, 0);
        searching->setWindowModality(Qt::ApplicationModal);
        searching->hide();
        // Only a start that takes noticeably long is worth a window.
        QTimer::singleShot(300, searching.get(), &QWidget::show);
    }
    starter->start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    starter->wait();
    delete starter;
    searching.reset();

    DeviceStatus firstFailure;
    bool anyStarted = false;
    m_sources.clear();
    for (size_t i = 0; i < m_layers.size(); ++i) {
        m_layerStarted[i] = results[i].ok();
        if (!results[i].ok()) {
            if (firstFailure.ok())
                firstFailure = results[i];
            continue;
        }
        anyStarted = true;
        for (const DeviceInfo& info : m_layers[i]->devices())
            m_sources.append({int(i), info});
    }
    if (!anyStarted) {
        setStatus(firstFailure.ok() ? componentError::status(componentError::LayerFailed)
                                    : firstFailure);
        return 0;
    }
    m_managerOpen = true;
    m_sourceIndex = m_sources.isEmpty() ? -1 : 0;
    clearStatus();
    return 1;
}

void VstScan::CloseSourceManager() {
    if (m_device)
        CloseDataSource();
    if (m_managerOpen) {
        m_managerOpen = false;
        m_sources.clear();
        m_sourceIndex = -1;
        m_stopLayersPending = true;
        stopLayersWhenIdle();
    }
    clearStatus();
}

void VstScan::stopLayersWhenIdle() {
    // A layer must outlive the devices it opened; the worker may still hold one.
    if (!m_stopLayersPending || m_jobsInFlight > 0 || m_device)
        return;
    for (size_t i = 0; i < m_layers.size(); ++i) {
        if (m_layerStarted[i])
            m_layers[i]->stop();
        m_layerStarted[i] = false;
    }
    m_stopLayersPending = false;
}

int32_t VstScan::OpenDataSource() {
    if (m_device) {
        clearStatus();
        return 1;
    }
    if (!m_managerOpen) {
        setStatus(componentError::status(componentError::NoSourceManager));
        return 0;
    }
    if (m_sourceIndex < 0 || m_sourceIndex >= m_sources.size()) {
        setStatus(componentError::status(componentError::NoSource));
        return 0;
    }
    const Source& source = m_sources.at(m_sourceIndex);
    try {
        std::unique_ptr<ScanDevice> device = m_layers[source.layer]->open(source.info.id);
        if (!device) {
            setStatus(componentError::status(componentError::OpenFailed, source.info.name));
            return 0;
        }
        m_device = std::move(device);
    } catch (const ScanError& e) {
        setStatus({e.code() > 0 ? e.code() : int32_t(componentError::OpenFailed),
                   e.text().isEmpty() ? componentError::status(componentError::OpenFailed).text
                                      : e.text()});
        return 0;
    } catch (const std::exception& e) {
        setStatus(
            componentError::status(componentError::OpenFailed, QString::fromLocal8Bit(e.what())));
        return 0;
    }
    // A freshly opened device starts from its own defaults.
    m_feederEnabled = currentOf(CAP_FEEDERENABLED, 0) != 0 ? 1 : 0;
    m_autoFeed = currentOf(CAP_AUTOFEED, 0) != 0 ? 1 : 0;
    m_duplexEnabled = currentOf(CAP_DUPLEXENABLED, 0) != 0 ? 1 : 0;
    clearStatus();
    return 1;
}

int32_t VstScan::CloseDataSource() {
    if (!m_device) {
        clearStatus();
        return 0;
    }
    if (m_activeJob != 0) {
        cancelRunning(true);
        // The window still gets the end of the acquisition it started; queued, so that it
        // never runs inside the caller.
        QMetaObject::invokeMethod(
            this, [this] { Q_EMIT PostScan(1); }, Qt::QueuedConnection);
    }
    m_device.reset();
    stopLayersWhenIdle();
    clearStatus();
    return 1;
}

void VstScan::cancelRunning(bool dropEvents) {
    if (m_cancel)
        m_cancel->store(true);
    if (m_device)
        m_device->cancel();
    if (dropEvents) {
        m_activeJob = 0;
        closeProgress();
    }
}

int32_t VstScan::DataSourceOpen() const {
    return m_device ? 1 : 0;
}

int32_t VstScan::StartOptionA() const {
    return m_startOptionA;
}
void VstScan::setStartOptionA(int32_t value) {
    m_startOptionA = value;
    clearStatus();
}
int32_t VstScan::StartOptionB() const {
    return m_startOptionB;
}
void VstScan::setStartOptionB(int32_t value) {
    m_startOptionB = value;
    clearStatus();
}

// --- Sources ------------------------------------------------------------------------------

int32_t VstScan::SourceCount() const {
    return int32_t(m_sources.size());
}

QString VstScan::SourceName(int32_t index) const {
    if (index < 0 || index >= m_sources.size())
        throw ScanError(QStringLiteral("Indice sorgente non valido: %1").arg(index),
                        componentError::BadIndex);
    return m_sources.at(index).info.name;
}

int32_t VstScan::SourceIndex() const {
    return m_sourceIndex;
}

void VstScan::setSourceIndex(int32_t index) {
    if (index < 0 || index >= m_sources.size())
        throw ScanError(QStringLiteral("Indice sorgente non valido: %1").arg(index),
                        componentError::BadIndex);
    if (index == m_sourceIndex) {
        clearStatus();
        return;
    }
    if (m_activeJob != 0)
        throw ScanError(componentError::status(componentError::Busy).text, componentError::Busy);
    if (m_device)
        CloseDataSource();
    m_sourceIndex = index;
    clearStatus();
}

int32_t VstScan::SelectSource() {
    if (m_sources.isEmpty()) {
        setStatus(componentError::status(componentError::NoSource));
        return 0;
    }
    if (m_activeJob != 0) {
        setStatus(componentError::status(componentError::Busy));
        return 0;
    }
    if (!haveWidgets()) {
        setStatus(componentError::status(componentError::NotSupported,
                                         QStringLiteral("nessuna interfaccia grafica")));
        return 0;
    }
    QStringList names;
    for (const Source& s : m_sources)
        names << s.info.name;
    SelectSourceDialog dialog(names, m_sourceIndex, QApplication::activeWindow());
    if (dialog.exec() != QDialog::Accepted || dialog.chosen() < 0) {
        clearStatus();
        return 0;
    }
    setSourceIndex(dialog.chosen());
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
    if (!m_device || m_activeJob != 0)
        return std::nullopt;
    if (id == CAP_SUPPORTEDCAPS) {
        QVector<double> ids;
        for (uint16_t c : m_device->capabilityIds()) {
            if (c != CAP_INDICATORS && c != CAP_SUPPORTEDCAPS)
                ids << c;
        }
        ids << CAP_INDICATORS << CAP_SUPPORTEDCAPS;
        ::Capability c;
        c.id = CAP_SUPPORTEDCAPS;
        c.container = Array;
        c.items = ids;
        c.current = ids.isEmpty() ? 0 : ids.first();
        c.readOnly = true;
        return c;
    }
    return m_device->capability(id);
}

double VstScan::currentOf(uint16_t id, double fallback) const {
    const auto c = capabilityOf(id);
    return c ? c->current : fallback;
}

bool VstScan::setDeviceValue(uint16_t id, double value) {
    if (!deviceReady())
        return false;
    if (!m_device->capability(id)) {
        const DeviceStatus fault = m_device->fault();
        setStatus(fault.ok() ? componentError::status(componentError::NotSupported) : fault);
        return false;
    }
    const DeviceStatus s = m_device->setCapability(id, value);
    setStatus(s);
    return s.ok();
}

QVector<int32_t> VstScan::supportedList(uint16_t id) {
    m_capId = id;
    m_capRead.reset();
    if (!deviceReady())
        return {};
    const auto c = capabilityOf(id);
    if (!c) {
        setStatus(componentError::status(componentError::NotSupported));
        return {};
    }
    m_capRead = c;
    m_capContainer = c->container;
    m_capValue = c->current;
    QVector<int32_t> list;
    switch (c->container) {
    case Range:
        if (c->step > 0 && (c->max - c->min) / c->step < kMaxListedRange) {
            for (double v = c->min; v <= c->max + 1e-9; v += c->step)
                list << int32_t(std::lround(v));
        } else {
            list << int32_t(std::lround(c->min)) << int32_t(std::lround(c->max));
        }
        break;
    case Array:
    case Enumeration:
        for (double v : c->items)
            list << int32_t(std::lround(v));
        break;
    case OneValue:
        list << int32_t(std::lround(c->current));
        break;
    }
    clearStatus();
    return list;
}

void VstScan::rangeOf(uint16_t id, float* min, float* max) {
    *min = *max = 0;
    if (!deviceReady())
        return;
    const auto c = capabilityOf(id);
    if (!c) {
        setStatus(componentError::status(componentError::NotSupported));
        return;
    }
    if (c->container == Range) {
        *min = float(c->min);
        *max = float(c->max);
    } else if (!c->items.isEmpty()) {
        *min = float(*std::min_element(c->items.begin(), c->items.end()));
        *max = float(*std::max_element(c->items.begin(), c->items.end()));
    } else {
        *min = *max = float(c->current);
    }
    clearStatus();
}

// --- Acquisition switches ------------------------------------------------------------------

int32_t VstScan::TransferMode() const {
    return 0;
}

void VstScan::setTransferMode(int32_t mode) {
    if (mode != 0) {
        setStatus(componentError::status(componentError::BadValue,
                                         QStringLiteral("modalità di trasferimento %1").arg(mode)));
        return;
    }
    if (m_device && m_activeJob == 0 && m_device->capability(ICAP_XFERMECH)) {
        setStatus(m_device->setCapability(ICAP_XFERMECH, 0));
        return;
    }
    clearStatus();
}

int32_t VstScan::ImageLimit() const {
    return m_imageLimit;
}

void VstScan::setImageLimit(int32_t limit) {
    if (limit < 0) {
        setStatus(componentError::status(componentError::BadValue,
                                         QStringLiteral("limite immagini %1").arg(limit)));
        return;
    }
    m_imageLimit = limit;
    clearStatus();
}

int32_t VstScan::FeederEnabled() const {
    return m_feederEnabled;
}

void VstScan::setFeederEnabled(int32_t value) {
    if (!deviceReady())
        return;
    if (!m_device->capability(CAP_FEEDERENABLED)) {
        // A flatbed has no feeder to switch off: only switching it on is an error.
        if (value != 0)
            setStatus(componentError::status(componentError::NotSupported));
        else
            clearStatus();
        m_feederEnabled = 0;
        return;
    }
    if (setDeviceValue(CAP_FEEDERENABLED, value != 0 ? 1 : 0))
        m_feederEnabled = value != 0 ? 1 : 0;
}

int32_t VstScan::AutoFeed() const {
    return m_autoFeed;
}

void VstScan::setAutoFeed(int32_t value) {
    if (!deviceReady())
        return;
    if (!m_device->capability(CAP_AUTOFEED)) {
        if (value != 0)
            setStatus(componentError::status(componentError::NotSupported));
        else
            clearStatus();
        m_autoFeed = 0;
        return;
    }
    if (setDeviceValue(CAP_AUTOFEED, value != 0 ? 1 : 0))
        m_autoFeed = value != 0 ? 1 : 0;
}

int32_t VstScan::FeederPresent() {
    if (!deviceReady())
        return 0;
    clearStatus();
    if (const auto c = capabilityOf(CUSTOM_FEEDERPRESENT))
        return c->current != 0 ? 1 : 0;
    return capabilityOf(CAP_FEEDERENABLED) ? 1 : 0;
}

int32_t VstScan::PaperDetectable() {
    if (!deviceReady())
        return 0;
    clearStatus();
    return currentOf(CAP_PAPERDETECTABLE, 0) != 0 ? 1 : 0;
}

int32_t VstScan::FeederLoaded() {
    if (!deviceReady())
        return 0;
    clearStatus();
    return currentOf(CAP_FEEDERLOADED, 0) != 0 ? 1 : 0;
}

int32_t VstScan::DuplexSupported() {
    if (!deviceReady())
        return 0;
    clearStatus();
    return int32_t(currentOf(CAP_DUPLEX, 0));
}

int32_t VstScan::DuplexEnabled() const {
    return m_duplexEnabled;
}

void VstScan::setDuplexEnabled(int32_t value) {
    if (!deviceReady())
        return;
    if (!m_device->capability(CAP_DUPLEXENABLED)) {
        if (value != 0)
            setStatus(componentError::status(componentError::NotSupported));
        else
            clearStatus();
        m_duplexEnabled = 0;
        return;
    }
    if (setDeviceValue(CAP_DUPLEXENABLED, value != 0 ? 1 : 0))
        m_duplexEnabled = value != 0 ? 1 : 0;
}

// --- Acquisition ---------------------------------------------------------------------------

int32_t VstScan::Acquire() {
    if (!deviceReady())
        return 0;
    AcquireJob job;
    job.id = ++m_lastJob;
    job.device = m_device;
    job.request.feeder = m_feederEnabled != 0;
    job.request.duplex = m_duplexEnabled != 0;
    // The device may deliver one image more than the buffer takes: that one shows that the
    // limit cut the acquisition short, and is refused with an error instead of vanishing.
    job.room = std::max(0, m_imageLimit - m_buffer->count());
    job.request.maxImages = job.room + 1;
    job.cacheFolder = cacheFolder();
    m_request = job.request;
    m_cancel = job.cancel;
    m_activeJob = job.id;
    m_imagesThisJob = 0;
    m_bytesThisJob = 0;
    ++m_jobsInFlight;
    if (m_indicators)
        showProgress();
    AcquireWorker* worker = m_worker;
    QMetaObject::invokeMethod(
        worker, [worker, job = std::move(job)]() mutable { worker->run(std::move(job)); },
        Qt::QueuedConnection);
    clearStatus();
    return 1;
}

void VstScan::onImageStored(quint64 jobId, const StoredPage& page) {
    if (jobId != m_activeJob || jobId == 0) {
        // A cancelled acquisition's page: nobody will ever reference it.
        if (!page.cachePath.isEmpty())
            QFile::remove(page.cachePath);
        return;
    }
    m_buffer->append(page);
    ++m_imagesThisJob;
    m_bytesThisJob += page.bytes;
    if (m_progress)
        onProgress(jobId, m_imagesThisJob, 0, 0);
    Q_EMIT PostScan(0);
}

void VstScan::onProgress(quint64 jobId, int /*images*/, qint64 bytes, qint64 expected) {
    if (jobId != m_activeJob || !m_progress)
        return;
    const qint64 total = m_bytesThisJob + bytes;
    m_progress->setLabelText(QStringLiteral("Pagine ricevute: %1\nDati ricevuti: %2 KB")
                                 .arg(m_imagesThisJob)
                                 .arg(total / 1024));
    if (expected > 0 && bytes < expected) {
        m_progress->setRange(0, 1000);
        m_progress->setValue(int(bytes * 1000 / expected));
    } else {
        m_progress->setRange(0, 0);
    }
}

void VstScan::onFinished(quint64 jobId, const AcquireOutcome& outcome) {
    --m_jobsInFlight;
    if (jobId != m_activeJob || jobId == 0) {
        stopLayersWhenIdle();
        return;
    }
    DeviceStatus end = outcome.status;
    if (end.ok() && outcome.refused)
        end = componentError::status(componentError::ImageLimit, QString::number(m_imageLimit));
    m_activeJob = 0;
    m_cancel.reset();
    closeProgress();
    // The source closes at the end of every acquisition: the window programs it anew.
    m_device.reset();
    stopLayersWhenIdle();
    setStatus(end);
    Q_EMIT PostScan(1);
}

void VstScan::showProgress() {
    if (!haveWidgets())
        return;
    closeProgress();
    QWidget* owner = QApplication::activeWindow();
    auto* dialog = new QProgressDialog(owner);
    dialog->setObjectName(QStringLiteral("AcquisitionProgress"));
    dialog->setAttribute(Qt::WA_DeleteOnClose, false);
    dialog->setWindowTitle(QStringLiteral("Acquisizione"));
    dialog->setLabelText(QStringLiteral("Pagine ricevute: 0\nDati ricevuti: 0 KB"));
    dialog->setCancelButtonText(QStringLiteral("Annulla"));
    dialog->setAutoClose(false);
    dialog->setAutoReset(false);
    dialog->setRange(0, 0);
    dialog->setMinimumDuration(0);
    if (owner)
        dialog->setWindowModality(Qt::WindowModal);
    // Cancel ends the acquisition but keeps what was delivered: the end event still comes.
    connect(dialog, &QProgressDialog::canceled, this, [this, dialog] {
        dialog->setLabelText(QStringLiteral("Annullamento in corso..."));
        cancelRunning(false);
    });
    m_progress = dialog;
    dialog->show();
}

void VstScan::closeProgress() {
    if (QProgressDialog* dialog = m_progress) {
        m_progress = nullptr;
        dialog->disconnect(this);
        dialog->hide();
        dialog->deleteLater();
    }
}

// --- Settings ------------------------------------------------------------------------------

int32_t VstScan::ImagePixelType() {
    if (!deviceReady())
        return -1;
    const auto c = capabilityOf(ICAP_PIXELTYPE);
    if (!c) {
        setStatus(componentError::status(componentError::NotSupported));
        return -1;
    }
    clearStatus();
    return int32_t(c->current);
}

void VstScan::setImagePixelType(int32_t type) {
    setDeviceValue(ICAP_PIXELTYPE, type);
}

int32_t VstScan::Resolution() {
    if (!deviceReady())
        return 0;
    const auto c = capabilityOf(ICAP_XRESOLUTION);
    if (!c) {
        setStatus(componentError::status(componentError::NotSupported));
        return 0;
    }
    clearStatus();
    return int32_t(std::lround(c->current));
}

void VstScan::setResolution(int32_t dpi) {
    if (!setDeviceValue(ICAP_XRESOLUTION, dpi))
        return;
    if (m_device->capability(ICAP_YRESOLUTION))
        setDeviceValue(ICAP_YRESOLUTION, dpi);
}

int32_t VstScan::Unit() {
    if (!deviceReady())
        return -1;
    const auto c = capabilityOf(ICAP_UNITS);
    if (!c) {
        setStatus(componentError::status(componentError::NotSupported));
        return -1;
    }
    clearStatus();
    return int32_t(c->current);
}

void VstScan::setUnit(int32_t unit) {
    setDeviceValue(ICAP_UNITS, unit);
}

int32_t VstScan::PageSize() {
    if (!deviceReady())
        return -1;
    const auto c = capabilityOf(ICAP_SUPPORTEDSIZES);
    if (!c) {
        setStatus(componentError::status(componentError::NotSupported));
        return -1;
    }
    clearStatus();
    return int32_t(c->current);
}

void VstScan::setPageSize(int32_t size) {
    setDeviceValue(ICAP_SUPPORTEDSIZES, size);
}

int32_t VstScan::JpegQuality() const {
    return m_jpegQuality;
}

void VstScan::setJpegQuality(int32_t quality) {
    if (quality < 0 || quality > 100) {
        setStatus(componentError::status(componentError::BadValue,
                                         QStringLiteral("qualità JPEG %1").arg(quality)));
        return;
    }
    m_jpegQuality = quality;
    clearStatus();
}

int32_t VstScan::TiffCompression() const {
    return m_tiffCompression;
}

void VstScan::setTiffCompression(int32_t compression) {
    switch (compression) {
    case 0:
    case 1:
    case 4:
    case 5:
    case 7:
    case 8:
        m_tiffCompression = compression;
        clearStatus();
        return;
    default:
        setStatus(componentError::status(componentError::BadValue,
                                         QStringLiteral("compressione TIFF %1").arg(compression)));
    }
}

float VstScan::Brightness() {
    if (!deviceReady())
        return 0;
    const auto c = capabilityOf(ICAP_BRIGHTNESS);
    if (!c) {
        setStatus(componentError::status(componentError::NotSupported));
        return 0;
    }
    clearStatus();
    return float(c->current);
}

void VstScan::setBrightness(float value) {
    setDeviceValue(ICAP_BRIGHTNESS, value);
}

float VstScan::BrightnessMin() {
    float min = 0, max = 0;
    rangeOf(ICAP_BRIGHTNESS, &min, &max);
    return min;
}

float VstScan::BrightnessMax() {
    float min = 0, max = 0;
    rangeOf(ICAP_BRIGHTNESS, &min, &max);
    return max;
}

float VstScan::Contrast() {
    if (!deviceReady())
        return 0;
    const auto c = capabilityOf(ICAP_CONTRAST);
    if (!c) {
        setStatus(componentError::status(componentError::NotSupported));
        return 0;
    }
    clearStatus();
    return float(c->current);
}

void VstScan::setContrast(float value) {
    setDeviceValue(ICAP_CONTRAST, value);
}

float VstScan::ContrastMin() {
    float min = 0, max = 0;
    rangeOf(ICAP_CONTRAST, &min, &max);
    return min;
}

float VstScan::ContrastMax() {
    float min = 0, max = 0;
    rangeOf(ICAP_CONTRAST, &min, &max);
    return max;
}

int32_t VstScan::ScanOptionA() const {
    return m_scanOptionA;
}
void VstScan::setScanOptionA(int32_t value) {
    m_scanOptionA = value;
    clearStatus();
}
int32_t VstScan::ScanOptionB() const {
    return m_scanOptionB;
}
void VstScan::setScanOptionB(int32_t value) {
    m_scanOptionB = value;
    clearStatus();
}
int32_t VstScan::ScanOptionC() const {
    return m_scanOptionC;
}
void VstScan::setScanOptionC(int32_t value) {
    m_scanOptionC = value;
    clearStatus();
}

QVector<int32_t> VstScan::SupportedResolutions() {
    return supportedList(ICAP_XRESOLUTION);
}
QVector<int32_t> VstScan::SupportedUnits() {
    return supportedList(ICAP_UNITS);
}
QVector<int32_t> VstScan::SupportedPixelTypes() {
    return supportedList(ICAP_PIXELTYPE);
}
QVector<int32_t> VstScan::SupportedPageSizes() {
    return supportedList(ICAP_SUPPORTEDSIZES);
}

int32_t VstScan::SetImageLayout(float left, float top, float right, float bottom) {
    if (!deviceReady())
        return 0;
    if (!(right > left) || !(bottom > top) || left < 0 || top < 0) {
        setStatus(componentError::status(
            componentError::BadValue,
            QStringLiteral("area %1,%2,%3,%4").arg(left).arg(top).arg(right).arg(bottom)));
        return 0;
    }
    const DeviceStatus s = m_device->setImageLayout(left, top, right, bottom);
    setStatus(s);
    return s.ok() ? 1 : 0;
}

// --- Generic capability interface ------------------------------------------------------------

int32_t VstScan::Capability() const {
    return m_capId;
}

void VstScan::setCapability(int32_t id) {
    m_capId = id;
    m_capRead.reset();
    clearStatus();
}

int32_t VstScan::CapSupported() {
    if (m_capId < 0 || m_capId > 0xFFFF) {
        setStatus(componentError::status(componentError::NotSupported));
        return 0;
    }
    if (capabilityOf(uint16_t(m_capId))) {
        clearStatus();
        return 1;
    }
    if (!m_device)
        setStatus(componentError::status(componentError::SourceNotOpen));
    else if (m_activeJob != 0)
        setStatus(componentError::status(componentError::Busy));
    else
        setStatus(componentError::status(componentError::NotSupported));
    return 0;
}

int32_t VstScan::CapContainer() const {
    return m_capContainer;
}
void VstScan::setCapContainer(int32_t kind) {
    m_capContainer = kind;
}
double VstScan::CapValue() const {
    return m_capValue;
}
void VstScan::setCapValue(double value) {
    m_capValue = value;
}

QString VstScan::CapText() const {
    if (!m_capRead)
        return {};
    return m_capRead->text.isEmpty() ? numberText(m_capRead->current) : m_capRead->text;
}

double VstScan::CapDefault() const {
    return m_capRead ? m_capRead->defaultValue : 0;
}
double VstScan::CapMin() const {
    return m_capRead ? m_capRead->min : 0;
}
double VstScan::CapMax() const {
    return m_capRead ? m_capRead->max : 0;
}
double VstScan::CapStep() const {
    return m_capRead ? m_capRead->step : 0;
}
int32_t VstScan::CapItemCount() const {
    return m_capRead ? int32_t(m_capRead->items.size()) : 0;
}
QVector<double> VstScan::CapItems() const {
    return m_capRead ? m_capRead->items : QVector<double>();
}

int32_t VstScan::CapGet() {
    m_capRead.reset();
    if (CapSupported() != 1)
        return 0;
    // Each capability comes in its own container kind, whatever was asked for: the caller
    // reads CapContainer to learn which.
    m_capRead = capabilityOf(uint16_t(m_capId));
    m_capContainer = m_capRead->container;
    m_capValue = m_capRead->current;
    clearStatus();
    return 1;
}

int32_t VstScan::CapSet() {
    if (m_capId == CAP_INDICATORS) {
        m_indicators = m_capValue != 0;
        clearStatus();
        return 1;
    }
    if (m_capId == CAP_SUPPORTEDCAPS) {
        setStatus(componentError::status(componentError::BadValue,
                                         QStringLiteral("capacità di sola lettura")));
        return 0;
    }
    if (m_capId < 0 || m_capId > 0xFFFF) {
        setStatus(componentError::status(componentError::NotSupported));
        return 0;
    }
    const auto id = uint16_t(m_capId);
    if (!setDeviceValue(id, m_capValue))
        return 0;
    // Keep the named switches in step with the device: both are views of one state.
    if (id == CAP_FEEDERENABLED)
        m_feederEnabled = currentOf(id, 0) != 0 ? 1 : 0;
    else if (id == CAP_AUTOFEED)
        m_autoFeed = currentOf(id, 0) != 0 ? 1 : 0;
    else if (id == CAP_DUPLEXENABLED)
        m_duplexEnabled = currentOf(id, 0) != 0 ? 1 : 0;
    return 1;
}

// --- Images --------------------------------------------------------------------------------

int32_t VstScan::ImageCount() const {
    return m_buffer->count();
}

QImage VstScan::ImagePicture(int32_t index) const {
    return m_buffer->preview(index);
}

int32_t VstScan::RotateImage(int32_t index, int32_t degrees) {
    if (index < 0 || index >= m_buffer->count()) {
        setStatus(componentError::status(componentError::BadIndex, QString::number(index)));
        return 0;
    }
    if (degrees % 90 != 0) {
        setStatus(componentError::status(componentError::BadValue,
                                         QStringLiteral("rotazione di %1 gradi").arg(degrees)));
        return 0;
    }
    if (degrees % 360 == 0) {
        clearStatus();
        return 1;
    }
    QString error;
    const QImage full = m_buffer->full(index, &error);
    if (full.isNull()) {
        setStatus(componentError::status(componentError::ReadFailed, error));
        return 0;
    }
    const QImage turned = rawImage::rotated(full, degrees);
    if (turned.isNull()) {
        setStatus(componentError::status(componentError::ReadFailed,
                                         QStringLiteral("memoria insufficiente")));
        return 0;
    }
    const QString path =
        cacheFolder().isEmpty()
            ? QString()
            : QDir(cacheFolder())
                  .filePath(QStringLiteral("turned-%1-%2.raw").arg(index).arg(++m_rotations));
    m_buffer->replace(index, storePage(turned, path));
    clearStatus();
    return 1;
}

int32_t VstScan::SaveImage(int32_t index, const QString& path) {
    if (index < 0 || index >= m_buffer->count()) {
        setStatus(componentError::status(componentError::BadIndex, QString::number(index)));
        throw ScanError(m_status.text, m_status.code);
    }
    QString error;
    const QImage image = m_buffer->full(index, &error);
    if (image.isNull()) {
        setStatus(componentError::status(componentError::ReadFailed, error));
        throw ScanError(m_status.text, m_status.code);
    }
    const QString key = QFileInfo(path).absoluteFilePath();
    const bool tiff = path.endsWith(QLatin1String(".tif"), Qt::CaseInsensitive) ||
                      path.endsWith(QLatin1String(".tiff"), Qt::CaseInsensitive);
    ImageWriteOptions options;
    options.jpegQuality = m_jpegQuality;
    options.tiffCompression = m_tiffCompression;
    options.tiffAppend = tiff && m_tiffMultiPage == 1 && m_writtenPaths.contains(key);
    try {
        writeImageFile(image, path, options);
    } catch (const ScanError& e) {
        setStatus(componentError::status(componentError::WriteFailed, e.text()));
        throw ScanError(m_status.text, m_status.code);
    }
    m_writtenPaths.insert(key);
    clearStatus();
    return 1;
}

int32_t VstScan::TiffMultiPage() const {
    return m_tiffMultiPage;
}

void VstScan::setTiffMultiPage(int32_t value) {
    m_tiffMultiPage = value;
    clearStatus();
}
