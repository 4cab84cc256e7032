// Injected faults reach the window's side as the contract says, and an acquisition can be
// cancelled, closed or have its component destroyed under it without a late event or a leak.
#include "VirtualFixture.h"
#include "support/HookedLayer.h"
#include <QDir>
#include <QPointer>
#include <QThread>
#include <QTimer>

using namespace twain;

namespace {

QByteArray feeder(int sheets, const QByteArray& extra = {}) {
    return R"("name":"ADF","pixelTypes":["GRAY"],"resolutions":[50],"pageSizes":["A5"],
        "feeder":{"present":true,"paperDetectable":true,"sheets":)" +
           QByteArray::number(sheets) + "}" + (extra.isEmpty() ? QByteArray() : "," + extra);
}

} // namespace

class ComponentFaults : public VirtualFixture {};

struct BatchFault {
    const char* name;
    QByteArray faults;
    int images;
    int32_t code;
    const char* text;
};

class ComponentBatchFaults : public VirtualFixture,
                             public ::testing::WithParamInterface<BatchFault> {};

TEST_P(ComponentBatchFaults, ImagesBeforeTheFaultStayAndTheEndCarriesItsError) {
    const BatchFault& f = GetParam();
    openScanner(feeder(5, "\"faults\":{" + f.faults + "}"));
    m_scan->setFeederEnabled(1);
    const AcquireRun run = runAcquisition();
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.images, f.images);
    EXPECT_EQ(run.endEvents, 1);
    EXPECT_EQ(run.openAtEnd, 0);
    EXPECT_EQ(run.codeAtEnd, f.code);
    EXPECT_EQ(run.textAtEnd, QString::fromUtf8(f.text));
    EXPECT_EQ(m_scan->ImageCount(), f.images);
    for (int i = 0; i < f.images; ++i)
        EXPECT_FALSE(m_scan->ImagePicture(i).isNull());
    // The window reads the error after the plain reads of its end handler.
    EXPECT_EQ(m_scan->LastErrorCode(), f.code);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ComponentBatchFaults,
    ::testing::Values(
        BatchFault{"ErrorAfterPage", R"("errorAfterPage":{"page":2,"code":5,"text":"Errore T"})", 2,
                   5, "Errore T"},
        BatchFault{"JamMidPage", R"("jamOnPage":{"page":3,"code":6,"text":"Inceppamento"})", 2, 6,
                   "Inceppamento"},
        BatchFault{"JamFirstPage", R"("jamOnPage":{"page":1})", 0, 6, "Carta inceppata"},
        BatchFault{"FeederEmpty", R"("feederEmpty":true)", 0, 7, "Alimentatore vuoto"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ComponentFaults, SourceThatFailsToOpenReportsItsCodeAndText) {
    makeComponent(
        oneScanner(R"("name":"Rotto","faults":{"openFails":{"code":11,"text":"Accesso negato"}})"));
    ASSERT_EQ(m_scan->OpenSourceManager(), 1);
    EXPECT_EQ(m_scan->OpenDataSource(), 0);
    EXPECT_EQ(m_scan->LastErrorCode(), 11);
    EXPECT_EQ(m_scan->LastErrorText(), QStringLiteral("Accesso negato"));
    EXPECT_EQ(m_scan->DataSourceOpen(), 0);
}

TEST_F(ComponentFaults, LayerThatFailsToStartMakesOpenSourceManagerFail) {
    makeComponent(R"({"faults":{"startFails":{"code":9,"text":"Gestore assente"}},
                      "scanners":[{"name":"A"}]})");
    EXPECT_EQ(m_scan->OpenSourceManager(), 0);
    EXPECT_EQ(m_scan->LastErrorCode(), 9);
    EXPECT_EQ(m_scan->LastErrorText(), QStringLiteral("Gestore assente"));
    EXPECT_EQ(m_scan->SourceCount(), 0);
    EXPECT_EQ(m_scan->OpenDataSource(), 0);
}

TEST_F(ComponentFaults, MalformedFileFailsTheLayerWithAMessageNamingTheField) {
    makeComponent(R"({"scanners":[{"name":"A","resolutions":"tante"}]})");
    EXPECT_EQ(m_scan->OpenSourceManager(), 0);
    EXPECT_TRUE(m_scan->LastErrorText().contains(QLatin1String("resolutions")))
        << m_scan->LastErrorText().toStdString();
}

// A working layer beside a broken one (SANE beside a bad virtual-scanner file): the start
// succeeds, and the broken layer's reason is still there to be told.
TEST_F(ComponentFaults, LayerThatFailsBesideOneThatStartsKeepsItsReason) {
    const QString good = m_dir.filePath(QStringLiteral("good.json"));
    const QString bad = m_dir.filePath(QStringLiteral("bad.json"));
    for (const auto& [path, json] : {std::pair{good, oneScanner(R"("name":"A")")},
                                     std::pair{bad, QByteArray(R"({"scanners":[{"name":1}]})")}}) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(json);
    }
    std::vector<std::unique_ptr<DeviceLayer>> layers;
    layers.push_back(std::make_unique<VirtualScannerLayer>(good));
    layers.push_back(std::make_unique<VirtualScannerLayer>(bad));
    m_scan = std::make_unique<VstScan>(std::move(layers), m_dir.path());
    ASSERT_EQ(m_scan->OpenSourceManager(), 1);
    // The manager runs, and the layer left out is said, not hidden behind a success.
    EXPECT_NE(m_scan->LastErrorCode(), 0);
    EXPECT_TRUE(m_scan->LastErrorText().contains(bad)) << m_scan->LastErrorText().toStdString();
    EXPECT_EQ(m_scan->SourceCount(), 1);
    ASSERT_EQ(m_scan->layerFailures().size(), 1);
    EXPECT_TRUE(m_scan->layerFailures().constFirst().contains(bad))
        << m_scan->layerFailures().constFirst().toStdString();

    // Mended between sessions: the next start no longer reports it.
    QFile::remove(bad);
    QFile::copy(good, bad);
    m_scan->CloseSourceManager();
    ASSERT_EQ(m_scan->OpenSourceManager(), 1);
    EXPECT_TRUE(m_scan->layerFailures().isEmpty());
}

TEST_F(ComponentFaults, MissingFileFailsTheLayerNamingThePath) {
    std::vector<std::unique_ptr<DeviceLayer>> layers;
    const QString path = m_dir.filePath(QStringLiteral("nowhere.json"));
    layers.push_back(std::make_unique<VirtualScannerLayer>(path));
    m_scan = std::make_unique<VstScan>(std::move(layers), m_dir.path());
    EXPECT_EQ(m_scan->OpenSourceManager(), 0);
    EXPECT_TRUE(m_scan->LastErrorText().contains(path));
}

/// Presses the progress window's cancel twice at the first image, as an impatient user may.
class ImpatientDialogs : public ComponentDialogs {
public:
    void progressStarted(std::function<void()> cancel) override { m_cancel = std::move(cancel); }
    void progressChanged(const AcquisitionProgress& progress) override {
        if (progress.images >= 1 && m_cancel) {
            m_cancel();
            m_cancel();
        }
    }
    void progressEnded() override {
        m_cancel = nullptr;
        ++ended;
    }
    int ended = 0;

private:
    std::function<void()> m_cancel;
};

TEST_F(ComponentFaults, TheDeviceIsCancelledOnceHoweverOftenItIsAsked) {
    const QString path = m_dir.filePath(QStringLiteral("s.json"));
    ASSERT_TRUE(writeContents(path, oneScanner(feeder(20, "\"pageDelayMs\":40"))));
    std::atomic<int> cancels{0};
    const DeviceHooks hooks{nullptr, nullptr, [&cancels] { ++cancels; }};
    std::vector<std::unique_ptr<DeviceLayer>> layers;
    layers.push_back(
        std::make_unique<HookedLayer>(std::make_unique<VirtualScannerLayer>(path), hooks));
    auto dialogs = std::make_shared<ImpatientDialogs>();
    m_scan = std::make_unique<VstScan>(std::move(layers), m_dir.path(), dialogs);
    ASSERT_EQ(m_scan->OpenSourceManager(), 1);
    ASSERT_EQ(m_scan->OpenDataSource(), 1);
    m_scan->setFeederEnabled(1);
    m_scan->setCapability(CAP_INDICATORS);
    m_scan->setCapValue(1);
    ASSERT_EQ(m_scan->CapSet(), 1);
    int ends = 0;
    QObject::connect(m_scan.get(), &ScanComponent::PostScan, m_scan.get(), [&](int32_t flag) {
        if (flag == 0 && m_scan->DataSourceOpen() != 0)
            m_scan->CloseDataSource(); // and the window closes the source as well
        ends += flag != 0 ? 1 : 0;
    });
    ASSERT_EQ(m_scan->Acquire(), 1);
    ASSERT_TRUE(waitFor([&] { return ends > 0; }));
    m_scan.reset(); // the component going away asks once more
    EXPECT_EQ(cancels, 1);
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(dialogs->ended, 1);
}

TEST_F(ComponentFaults, CloseDataSourceMidBatchDropsLateImagesAndSendsOneEnd) {
    openScanner(feeder(20, "\"pageDelayMs\":40"));
    m_scan->setFeederEnabled(1);
    int images = 0, ends = 0;
    QObject::connect(m_scan.get(), &ScanComponent::PostScan, m_scan.get(), [&](int32_t flag) {
        if (flag == 0 && ++images == 2) {
            EXPECT_EQ(m_scan->CloseDataSource(), 1);
        }
        if (flag != 0)
            ++ends;
    });
    ASSERT_EQ(m_scan->Acquire(), 1);
    ASSERT_TRUE(waitFor([&] { return ends > 0; }));
    EXPECT_EQ(m_scan->DataSourceOpen(), 0);
    // Give a late page every chance to arrive: it must not.
    waitFor([] { return false; }, 300);
    EXPECT_EQ(images, 2);
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(m_scan->ImageCount(), 2);
    // The source opens again for the next acquisition.
    ASSERT_EQ(m_scan->OpenDataSource(), 1);
    m_scan->setFeederEnabled(0);
    EXPECT_EQ(runAcquisition().images, 1);
    EXPECT_EQ(m_scan->ImageCount(), 3);
}

TEST_F(ComponentFaults, ReleasedMidAcquisitionSendsNothingAndRemovesItsCache) {
    openScanner(feeder(50, "\"pageDelayMs\":30"));
    m_scan->setFeederEnabled(1);
    const QString cache = m_scan->cacheFolder();
    ASSERT_FALSE(cache.isEmpty());
    ASSERT_TRUE(QDir(cache).exists());

    // The window: an object that must hear nothing once the component is gone.
    auto window = std::make_unique<QObject>();
    int events = 0;
    bool released = false;
    int afterRelease = 0;
    QObject::connect(m_scan.get(), &ScanComponent::PostScan, window.get(), [&](int32_t flag) {
        ++events;
        if (released)
            ++afterRelease;
        if (flag == 0 && events == 2) {
            // Released from inside its own event, as a closing window may do.
            QTimer::singleShot(0, window.get(), [&] {
                released = true;
                m_scan.reset();
            });
        }
    });
    ASSERT_EQ(m_scan->Acquire(), 1);
    ASSERT_TRUE(waitFor([&] { return released; }));
    waitFor([] { return false; }, 300);
    EXPECT_EQ(afterRelease, 0);
    EXPECT_FALSE(QDir(cache).exists());
}

TEST_F(ComponentFaults, CloseSourceManagerDuringAnAcquisitionIsSafe) {
    openScanner(feeder(30, "\"pageDelayMs\":30"));
    m_scan->setFeederEnabled(1);
    ASSERT_EQ(m_scan->Acquire(), 1);
    waitFor([&] { return m_scan->ImageCount() >= 1; });
    m_scan->setImageLimit(1);
    m_scan->CloseSourceManager();
    EXPECT_EQ(m_scan->CloseDataSource(), 0);
    EXPECT_EQ(m_scan->DataSourceOpen(), 0);
    EXPECT_EQ(m_scan->SourceCount(), 0);
    const int count = m_scan->ImageCount();
    waitFor([] { return false; }, 200);
    EXPECT_EQ(m_scan->ImageCount(), count);
    // The manager starts again afterwards.
    EXPECT_EQ(m_scan->OpenSourceManager(), 1);
    EXPECT_EQ(m_scan->SourceCount(), 1);
}

TEST_F(ComponentFaults, WithoutACacheFolderPagesStayInMemoryAndNothingIsLost) {
    ASSERT_TRUE(m_dir.isValid());
    const QString path = m_dir.filePath(QStringLiteral("s.json"));
    ASSERT_TRUE(writeContents(path, oneScanner(feeder(2))));
    std::vector<std::unique_ptr<DeviceLayer>> layers;
    layers.push_back(std::make_unique<VirtualScannerLayer>(path));
    m_scan = std::make_unique<VstScan>(std::move(layers), m_dir.filePath(QStringLiteral("gone")));
    EXPECT_TRUE(m_scan->cacheFolder().isEmpty());
    ASSERT_EQ(m_scan->OpenSourceManager(), 1);
    ASSERT_EQ(m_scan->OpenDataSource(), 1);
    m_scan->setFeederEnabled(1);
    const AcquireRun run = runAcquisition();
    EXPECT_EQ(run.images, 2);
    EXPECT_EQ(run.codeAtEnd, 0);
    ASSERT_EQ(m_scan->RotateImage(1, 90), 1);
    const QString bmp = m_dir.filePath(QStringLiteral("p.bmp"));
    ASSERT_EQ(m_scan->SaveImage(1, bmp), 1);
    EXPECT_EQ(QImage(bmp).size(), QSize(413, 291)); // A5 at 50 dpi, turned
}

// A device call that waits runs the event loop, as a SANE call does so that the window
// repaints. The end of an acquisition the window has just closed is on its way meanwhile: it
// must not reach the window in the middle of its next OpenDataSource or capability call, but
// after it, once.
TEST_F(ComponentFaults, NoEventReachesTheWindowInsideADeviceCall) {
    bool waits = false; // the next device call waits
    int inCall = 0;
    DeviceHooks hooks;
    hooks.duringCall = [&] {
        if (QThread::currentThread() != qApp->thread() || !waits)
            return;
        ++inCall;
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
        --inCall;
    };
    makeComponent(oneScanner(feeder(20, "\"pageDelayMs\":40")), {}, {}, &hooks);
    ASSERT_EQ(m_scan->OpenSourceManager(), 1);
    ASSERT_EQ(m_scan->OpenDataSource(), 1);
    int images = 0, ends = 0;
    QStringList inside;
    QObject::connect(m_scan.get(), &ScanComponent::PostScan, m_scan.get(), [&](int32_t flag) {
        if (inCall > 0)
            inside << QStringLiteral("PostScan(%1)").arg(flag);
        ++(flag == 0 ? images : ends);
    });

    struct Case {
        const char* call;
        std::function<void(VstScan&)> run;
    };
    const Case cases[] = {
        {"OpenDataSource",
         [&](VstScan& scan) {
             waits = true;
             EXPECT_EQ(scan.OpenDataSource(), 1);
             waits = false;
         }},
        {"setResolution",
         [&](VstScan& scan) {
             EXPECT_EQ(scan.OpenDataSource(), 1);
             waits = true;
             scan.setResolution(50);
             waits = false;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        const int endsBefore = ends;
        m_scan->setFeederEnabled(1);
        ASSERT_EQ(m_scan->Acquire(), 1);
        const int imagesBefore = images;
        ASSERT_TRUE(waitFor([&] { return images > imagesBefore; }));
        ASSERT_EQ(m_scan->CloseDataSource(), 1); // its end is on its way now
        bool otherEventsRan = false;             // the window repaints during the wait
        QTimer::singleShot(0, m_scan.get(), [&] { otherEventsRan = inCall > 0; });
        c.run(*m_scan);
        EXPECT_TRUE(otherEventsRan);
        EXPECT_EQ(ends, endsBefore);
        ASSERT_TRUE(waitFor([&] { return ends > endsBefore; }));
        waitFor([] { return false; }, 100);
        EXPECT_EQ(ends, endsBefore + 1);
    }
    EXPECT_TRUE(inside.isEmpty()) << inside.join(' ').toStdString();
    m_scan.reset(); // before the hooks go
}
