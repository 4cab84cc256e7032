// The default wiring: SANE first unless SCANSIONE_SANE=0, then the virtual scanners, and a
// feeder batch from the test backend all the way through the component.
#include "acquisition_sane/SaneTestSupport.h"
#include "acquisition/ScanComponent.h"
#include "component_base/TwainCodes.h"
#include "default_wiring/DefaultComponent.h"
#include "worker_process/SaneStatus.h"
#include "acquisition_sane/SaneWorkerLayer.h"
#include <QEventLoop>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

/// Sets (or, for null, removes) an environment variable for one test.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value)
        : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name)) {
        if (value)
            qputenv(name, value);
        else
            qunsetenv(name);
    }
    ~ScopedEnv() {
        if (m_had)
            qputenv(m_name, m_old);
        else
            qunsetenv(m_name);
    }

private:
    const char* m_name;
    bool m_had;
    QByteArray m_old;
};

QStringList sources(ScanComponent& scan) {
    QStringList names;
    for (int i = 0; i < scan.SourceCount(); ++i)
        names << scan.SourceName(i);
    return names;
}

QString examplesFile() {
    return QStringLiteral(SCANSIONE_SOURCE_DIR "/examples/virtual-scanners.json");
}

class DefaultComponentTest : public ::testing::Test {
protected:
    QTemporaryDir m_cache;
    ScopedEnv m_noVirtual{"SCANSIONE_VIRTUAL_SCANNERS", nullptr};
};

TEST_F(DefaultComponentTest, SaneZeroLeavesSaneOut) {
    ScopedEnv sane("SCANSIONE_SANE", "0");
    auto scan = createDefaultComponent(m_cache.path());
    scan->OpenSourceManager();
    EXPECT_EQ(scan->SourceCount(), 0);
    scan->CloseSourceManager();
}

TEST_F(DefaultComponentTest, SaneListsTheTestBackendsDevices) {
    ScopedEnv sane("SCANSIONE_SANE", nullptr);
    auto scan = createDefaultComponent(m_cache.path());
    ASSERT_EQ(scan->OpenSourceManager(), 1) << scan->LastErrorText().toStdString();
    EXPECT_EQ(sources(*scan),
              (QStringList{"Noname frontend-tester (test:0)", "Noname frontend-tester (test:1)"}));
    scan->CloseSourceManager();
}

TEST_F(DefaultComponentTest, SaneSourcesComeBeforeTheVirtualOnes) {
    ScopedEnv sane("SCANSIONE_SANE", "1");
    const QByteArray file = examplesFile().toUtf8();
    ScopedEnv virtualScanners("SCANSIONE_VIRTUAL_SCANNERS", file.constData());
    auto scan = createDefaultComponent(m_cache.path());
    ASSERT_EQ(scan->OpenSourceManager(), 1) << scan->LastErrorText().toStdString();
    const QStringList names = sources(*scan);
    ASSERT_EQ(names.size(), 5);
    EXPECT_TRUE(names[0].endsWith("(test:0)"));
    EXPECT_TRUE(names[1].endsWith("(test:1)"));
    EXPECT_EQ(names[2], "Scanner piano virtuale");
    EXPECT_EQ(names[3], "Scanner ADF fronte retro virtuale");
    EXPECT_EQ(names[4], "Scanner ADF ufficio virtuale");
    scan->CloseSourceManager();
}

TEST_F(DefaultComponentTest, AFeederBatchFromTheTestBackendReachesTheBuffer) {
    ScopedEnv sane("SCANSIONE_SANE", nullptr);
    auto scan = createDefaultComponent(m_cache.path());
    ASSERT_EQ(scan->OpenSourceManager(), 1);
    scan->setSourceIndex(0);
    scan->setImageLimit(99);
    ASSERT_EQ(scan->OpenDataSource(), 1) << scan->LastErrorText().toStdString();
    scan->setFeederEnabled(1);
    EXPECT_EQ(scan->FeederPresent(), 1);
    EXPECT_EQ(scan->DuplexSupported(), 0);
    scan->setImagePixelType(twain::RGB);
    scan->setResolution(75);
    scan->setPageSize(twain::A4);
    EXPECT_EQ(scan->LastErrorCode(), 0) << scan->LastErrorText().toStdString();

    QSignalSpy spy(scan.get(), &ScanComponent::PostScan);
    QEventLoop loop;
    QObject::connect(scan.get(), &ScanComponent::PostScan, &loop, [&](int32_t flag) {
        if (flag != 0)
            loop.quit();
    });
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    ASSERT_EQ(scan->Acquire(), 1) << scan->LastErrorText().toStdString();
    loop.exec();
    ASSERT_FALSE(spy.isEmpty());
    EXPECT_NE(spy.last().at(0).toInt(), 0); // the end came
    EXPECT_EQ(spy.size(), 11);              // ten images and the end
    EXPECT_EQ(scan->ImageCount(), 10);
    EXPECT_EQ(scan->LastErrorCode(), 0) << scan->LastErrorText().toStdString();
    const QImage first = scan->ImagePicture(0);
    EXPECT_FALSE(first.isNull());
    // A4 portrait at 75 dpi (the preview may be scaled, the proportion stays).
    EXPECT_NEAR(double(first.height()) / first.width(), 297.0 / 210.0, 0.02);
    scan->CloseDataSource();
    scan->CloseSourceManager();
}

// The worker program is not there (a broken install): SANE is left out with the reason, the
// virtual scanners still list and scan; with nothing but SANE configured, the manager fails.
TEST_F(DefaultComponentTest, AWorkerThatCannotStartLeavesSaneOutWithTheReason) {
    ScopedEnv sane("SCANSIONE_SANE", nullptr);
    ScopedEnv worker("SCANSIONE_SANE_WORKER", "/nonexistent/scansione-sane-worker");
    const QString reason = QStringLiteral("Programma di scansione SANE non avviato: "
                                          "/nonexistent/scansione-sane-worker: file o cartella "
                                          "inesistente");
    {
        auto scan = createDefaultComponent(m_cache.path());
        EXPECT_EQ(scan->OpenSourceManager(), 0); // SCAN_DEVICE_NOT_STARTED for the window
        EXPECT_EQ(scan->LastErrorText(), reason);
    }
    const QByteArray file = examplesFile().toUtf8();
    ScopedEnv virtualScanners("SCANSIONE_VIRTUAL_SCANNERS", file.constData());
    auto scan = createDefaultComponent(m_cache.path());
    ASSERT_EQ(scan->OpenSourceManager(), 1);
    EXPECT_EQ(scan->LastErrorCode(), sanestatus::WorkerFailed);
    EXPECT_EQ(scan->LastErrorText(), reason);
    EXPECT_EQ(sources(*scan),
              (QStringList{"Scanner piano virtuale", "Scanner ADF fronte retro virtuale",
                           "Scanner ADF ufficio virtuale"}));
    scan->setSourceIndex(0);
    ASSERT_EQ(scan->OpenDataSource(), 1) << scan->LastErrorText().toStdString();
    QSignalSpy spy(scan.get(), &ScanComponent::PostScan);
    ASSERT_EQ(scan->Acquire(), 1);
    ASSERT_TRUE(spy.wait(10000));
    EXPECT_EQ(scan->ImageCount(), 1);
    scan->CloseSourceManager();
}

// In a build tree the component runs the worker built beside it; otherwise the installed one.
TEST_F(DefaultComponentTest, TheWorkerIsTheOneOfThisBuild) {
    ScopedEnv worker("SCANSIONE_SANE_WORKER", nullptr);
    EXPECT_TRUE(SaneWorkerLayer::workerProgram().endsWith("/sane_worker/scansione-sane-worker"))
        << SaneWorkerLayer::workerProgram().toStdString();
    EXPECT_TRUE(QFileInfo(SaneWorkerLayer::workerProgram()).isExecutable());
}

} // namespace
