#pragma once
// Shared set-up of the component tests: a virtual scanner file in a temporary folder, the
// component over it, and helpers that drive an acquisition to its end.
#include "acquisition/ComponentDialogs.h"
#include "component_base/ComponentErrors.h"
#include "component_base/ScanError.h"
#include "component_base/TwainCodes.h"
#include "virtual_scanner/VirtualScanner.h"
#include "acquisition/VstScan.h"
#include "support/HookedLayer.h"
#include "support/TestTools.h"
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

/// What one acquisition produced, seen from the window's side.
struct AcquireRun {
    bool ended = false;
    int images = 0;            ///< PostScan(0) events
    QVector<int> countAtEvent; ///< ImageCount at each PostScan(0)
    QVector<int> openAtEvent;  ///< DataSourceOpen at each PostScan(0)
    int endEvents = 0;
    int openAtEnd = -1;
    int32_t codeAtEnd = 0;
    QString textAtEnd;
};

class VirtualFixture : public ::testing::Test {
protected:
    /// A file with one scanner described by `scanner` (a JSON object's members).
    static QByteArray oneScanner(const QByteArray& scanner) {
        return "{\"scanners\":[{" + scanner + "}]}";
    }

    /// The component over a virtual scanner file `json`, showing `dialogs` (null: headless),
    /// with its session cache under `cacheParent` (empty: the test's folder), and with
    /// `hooks` (which must outlive the component) on the way to the scanner when given.
    void makeComponent(const QByteArray& json, std::shared_ptr<ComponentDialogs> dialogs = {},
                       const QString& cacheParent = {}, const DeviceHooks* hooks = nullptr) {
        ASSERT_TRUE(m_dir.isValid());
        const QString path = m_dir.filePath(QStringLiteral("scanners.json"));
        ASSERT_TRUE(writeContents(path, json));
        std::vector<std::unique_ptr<DeviceLayer>> layers;
        std::unique_ptr<DeviceLayer> layer = std::make_unique<VirtualScannerLayer>(path);
        if (hooks)
            layer = std::make_unique<HookedLayer>(std::move(layer), *hooks);
        layers.push_back(std::move(layer));
        m_scan = std::make_unique<VstScan>(std::move(layers),
                                           cacheParent.isEmpty() ? m_dir.path() : cacheParent,
                                           m_services, std::move(dialogs));
    }

    /// Makes the component, opens the manager and the first source.
    void openScanner(const QByteArray& scannerMembers,
                     std::shared_ptr<ComponentDialogs> dialogs = {}) {
        makeComponent(oneScanner(scannerMembers), std::move(dialogs));
        ASSERT_EQ(m_scan->OpenSourceManager(), 1) << m_scan->LastErrorText().toStdString();
        ASSERT_EQ(m_scan->OpenDataSource(), 1) << m_scan->LastErrorText().toStdString();
    }

    /// Starts an acquisition and records what the window would see until its end.
    AcquireRun runAcquisition(int timeoutMs = 20000) {
        AcquireRun run;
        VstScan* scan = m_scan.get();
        auto c = QObject::connect(scan, &ScanComponent::PostScan, scan, [&run, scan](int32_t flag) {
            if (flag == 0) {
                ++run.images;
                run.countAtEvent << scan->ImageCount();
                run.openAtEvent << scan->DataSourceOpen();
            } else {
                ++run.endEvents;
                run.ended = true;
                run.openAtEnd = scan->DataSourceOpen();
                run.codeAtEnd = scan->LastErrorCode();
                run.textAtEnd = scan->LastErrorText();
            }
        });
        if (scan->Acquire() == 1)
            waitFor([&run] { return run.ended; }, timeoutMs);
        // Anything late would show up here.
        QCoreApplication::processEvents();
        QObject::disconnect(c);
        return run;
    }

    /// Runs the event loop until `done` or the timeout; returns `done()`.
    template <typename F> static bool waitFor(F done, int timeoutMs = 20000) {
        QElapsedTimer t;
        t.start();
        while (!done() && t.elapsed() < timeoutMs)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        return done();
    }

    /// Waits until the component's encoder has written every page file and encoded file it
    /// was given; returns whether it got there.
    bool settle(int timeoutMs = 20000) {
        return waitFor([this] { return m_scan->imagesSettled(); }, timeoutMs);
    }

    QTemporaryDir m_dir;
    PageServices m_services; ///< what the component is made with (none by default)
    std::unique_ptr<VstScan> m_scan;
};
