#include "acquisition/SourceManager.h"
#include "acquisition/ComponentDialogs.h"
#include "component_base/ComponentErrors.h"
#include "component_base/ScanError.h"
#include <QEventLoop>
#include <QThread>

namespace {

/// A layer's start as a status: a throwing layer counts as one that failed.
DeviceStatus startLayer(DeviceLayer& layer) {
    try {
        return layer.start();
    } catch (const ScanError& e) {
        return {e.code() ? e.code() : int32_t(componentError::LayerFailed), e.text()};
    } catch (const std::exception& e) {
        return componentError::status(componentError::LayerFailed,
                                      QString::fromLocal8Bit(e.what()));
    }
}

} // namespace

SourceManager::SourceManager(std::vector<std::unique_ptr<DeviceLayer>> layers)
    : m_layers(std::move(layers)), m_layerStarted(m_layers.size(), false) {}

SourceManager::~SourceManager() {
    m_device.reset();
    stopLayers();
}

DeviceStatus SourceManager::start(ComponentDialogs& dialogs) {
    m_layerFailures.clear();
    std::vector<DeviceStatus> results(m_layers.size());
    // Layers may take seconds (SANE probes the network): start them off this thread and keep
    // this thread's event loop running, so the window repaints and the user sees why.
    QThread* starter = QThread::create([this, &results] {
        for (size_t i = 0; i < m_layers.size(); ++i)
            results[i] = startLayer(*m_layers[i]);
    });
    QEventLoop loop;
    QObject::connect(starter, &QThread::finished, &loop, &QEventLoop::quit);
    dialogs.searchStarted();
    starter->start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    starter->wait();
    delete starter;
    dialogs.searchEnded();

    m_sources.clear();
    // No layer at all is a manager without scanners, not one that failed to start.
    m_started = m_layers.empty();
    for (size_t i = 0; i < m_layers.size(); ++i) {
        m_layerStarted[i] = results[i].ok();
        if (!results[i].ok()) {
            m_layerFailures.append(results[i]);
            continue;
        }
        m_started = true;
        for (const DeviceInfo& info : m_layers[i]->devices())
            m_sources.append({int(i), info});
    }
    if (!m_started)
        return m_layerFailures.value(0, componentError::status(componentError::LayerFailed));
    m_selected = m_sources.isEmpty() ? -1 : 0;
    // A layer left out while others run is said (LastErrorText), not fatal.
    return m_layerFailures.value(0, DeviceStatus{});
}

void SourceManager::close() {
    if (!m_started)
        return;
    m_started = false;
    m_sources.clear();
    m_selected = -1;
    m_stopPending = true;
}

void SourceManager::stopLayersIfIdle(bool deviceHeldElsewhere) {
    if (!m_stopPending || deviceHeldElsewhere || m_device)
        return;
    stopLayers();
    m_stopPending = false;
}

void SourceManager::stopLayers() {
    for (size_t i = 0; i < m_layers.size(); ++i) {
        if (m_layerStarted[i])
            m_layers[i]->stop();
        m_layerStarted[i] = false;
    }
}

QStringList SourceManager::names() const {
    QStringList out;
    for (const Source& s : m_sources)
        out << s.info.name;
    return out;
}

void SourceManager::checkIndex(int index) const {
    if (index < 0 || index >= m_sources.size())
        throw ScanError(QStringLiteral("Indice sorgente non valido: %1").arg(index),
                        componentError::BadIndex);
}

QString SourceManager::name(int index) const {
    checkIndex(index);
    return m_sources.at(index).info.name;
}

DeviceStatus SourceManager::openSelected() {
    if (!m_started)
        return componentError::status(componentError::NoSourceManager);
    if (m_selected < 0 || m_selected >= m_sources.size())
        return componentError::status(componentError::NoSource);
    const Source& source = m_sources.at(m_selected);
    try {
        std::unique_ptr<ScanDevice> device = m_layers[source.layer]->open(source.info.id);
        if (!device)
            return componentError::status(componentError::OpenFailed, source.info.name);
        m_device = std::move(device);
        return {};
    } catch (const ScanError& e) {
        return {e.code() > 0 ? e.code() : int32_t(componentError::OpenFailed),
                e.text().isEmpty() ? componentError::status(componentError::OpenFailed).text
                                   : e.text()};
    } catch (const std::exception& e) {
        return componentError::status(componentError::OpenFailed, QString::fromLocal8Bit(e.what()));
    }
}
