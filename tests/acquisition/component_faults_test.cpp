// Injected faults reach the window's side as the contract says, and an acquisition can be
// cancelled, closed or have its component destroyed under it without a late event or a leak.
#include "VirtualFixture.h"
#include <QApplication>
#include <QDir>
#include <QPointer>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>

using namespace twain;

namespace {

QByteArray feeder(int sheets, const QByteArray& extra = {}) {
    return R"("name":"ADF","pixelTypes":["GRAY"],"resolutions":[50],"pageSizes":["A5"],
        "feeder":{"present":true,"paperDetectable":true,"sheets":)" +
           QByteArray::number(sheets) + "}" + (extra.isEmpty() ? QByteArray() : "," + extra);
}

QProgressDialog* progressDialog() {
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->objectName() == QLatin1String("AcquisitionProgress") && w->isVisible())
            return qobject_cast<QProgressDialog*>(w);
    }
    return nullptr;
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

TEST_F(ComponentFaults, MissingFileFailsTheLayerNamingThePath) {
    std::vector<std::unique_ptr<DeviceLayer>> layers;
    const QString path = m_dir.filePath(QStringLiteral("nowhere.json"));
    layers.push_back(std::make_unique<VirtualScannerLayer>(path));
    m_scan = std::make_unique<VstScan>(std::move(layers), m_dir.path());
    EXPECT_EQ(m_scan->OpenSourceManager(), 0);
    EXPECT_TRUE(m_scan->LastErrorText().contains(path));
}

TEST_F(ComponentFaults, ProgressWindowShowsWithIndicatorsAndCancelKeepsDeliveredPages) {
    openScanner(feeder(20, "\"pageDelayMs\":60"));
    m_scan->setFeederEnabled(1);
    m_scan->setCapability(CAP_INDICATORS);
    m_scan->setCapContainer(OneValue);
    m_scan->setCapValue(1.0);
    ASSERT_EQ(m_scan->CapSet(), 1);

    AcquireRun run;
    QString labelSeen;
    QObject::connect(m_scan.get(), &ScanComponent::PostScan, m_scan.get(), [&](int32_t flag) {
        if (flag != 0) {
            run.ended = true;
            run.codeAtEnd = m_scan->LastErrorCode();
            run.openAtEnd = m_scan->DataSourceOpen();
            ++run.endEvents;
            return;
        }
        ++run.images;
        if (run.images == 2) {
            QProgressDialog* dialog = progressDialog();
            ASSERT_NE(dialog, nullptr);
            labelSeen = dialog->labelText();
            auto* cancel = dialog->findChild<QPushButton*>();
            ASSERT_NE(cancel, nullptr);
            EXPECT_EQ(cancel->text(), QStringLiteral("Annulla"));
            cancel->click();
        }
    });
    ASSERT_EQ(m_scan->Acquire(), 1);
    ASSERT_TRUE(waitFor([&] { return run.ended; }));
    EXPECT_TRUE(labelSeen.contains(QLatin1String("Pagine ricevute: 2"))) << labelSeen.toStdString();
    EXPECT_GE(run.images, 2);
    EXPECT_LE(run.images, 3); // one page may already be on its way
    EXPECT_EQ(m_scan->ImageCount(), run.images);
    EXPECT_EQ(run.codeAtEnd, 0);
    EXPECT_EQ(run.openAtEnd, 0);
    EXPECT_EQ(run.endEvents, 1);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(progressDialog(), nullptr);
}

TEST_F(ComponentFaults, NoProgressWindowWithIndicatorsOff) {
    openScanner(feeder(2));
    m_scan->setFeederEnabled(1);
    bool sawDialog = false;
    QObject::connect(m_scan.get(), &ScanComponent::PostScan, m_scan.get(),
                     [&] { sawDialog = sawDialog || progressDialog() != nullptr; });
    EXPECT_EQ(runAcquisition().images, 2);
    EXPECT_FALSE(sawDialog);
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
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(oneScanner(feeder(2)));
    f.close();
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
