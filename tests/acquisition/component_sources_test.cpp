// Sources as the session start uses them: listing in layer order, selection by index, and a
// component without dialogs, which shows nothing and leaves the choice as it is.
#include "VirtualFixture.h"
#include <QApplication>

namespace {

const QByteArray kThree = R"({"scanners":[{"name":"Primo"},{"name":"Secondo"},{"name":"Terzo"}]})";

// A layer of fixed devices for ordering tests, recording its start thread.
class ListLayer : public DeviceLayer {
public:
    explicit ListLayer(QStringList names, DeviceStatus result = {})
        : m_names(std::move(names)), m_result(std::move(result)) {}
    DeviceStatus start() override {
        startedOn = QThread::currentThread();
        return m_result;
    }
    void stop() override { ++stops; }
    QVector<DeviceInfo> devices() const override {
        QVector<DeviceInfo> out;
        for (const QString& n : m_names)
            out << DeviceInfo{n, n};
        return out;
    }
    std::unique_ptr<ScanDevice> open(const QString& id) override {
        throw ScanError(QStringLiteral("non apribile: ") + id, 42);
    }
    QThread* startedOn = nullptr;
    int stops = 0;

private:
    QStringList m_names;
    DeviceStatus m_result;
};

} // namespace

class ComponentSources : public VirtualFixture {};

TEST_F(ComponentSources, SourcesAreListedInLayerOrderFromZero) {
    std::vector<std::unique_ptr<DeviceLayer>> layers;
    auto first = std::make_unique<ListLayer>(
        QStringList{QStringLiteral("sane:a"), QStringLiteral("sane:b")});
    auto failing = std::make_unique<ListLayer>(QStringList{QStringLiteral("hidden")},
                                               DeviceStatus{3, QStringLiteral("occupato")});
    auto last = std::make_unique<ListLayer>(QStringList{QStringLiteral("virtuale")});
    ListLayer* firstRaw = first.get();
    layers.push_back(std::move(first));
    layers.push_back(std::move(failing));
    layers.push_back(std::move(last));
    ASSERT_TRUE(m_dir.isValid());
    m_scan = std::make_unique<VstScan>(std::move(layers), m_dir.path());

    ASSERT_EQ(m_scan->OpenSourceManager(), 1); // one failing layer does not fail the rest
    EXPECT_EQ(m_scan->LastErrorCode(), 3);     // but says why it is left out
    EXPECT_EQ(m_scan->LastErrorText(), QStringLiteral("occupato"));
    ASSERT_EQ(m_scan->SourceCount(), 3);
    EXPECT_EQ(m_scan->SourceName(0), QStringLiteral("sane:a"));
    EXPECT_EQ(m_scan->SourceName(1), QStringLiteral("sane:b"));
    EXPECT_EQ(m_scan->SourceName(2), QStringLiteral("virtuale"));
    EXPECT_EQ(m_scan->SourceIndex(), 0);
    // Layers start off the caller's thread.
    EXPECT_NE(firstRaw->startedOn, QThread::currentThread());
    EXPECT_NE(firstRaw->startedOn, nullptr);

    // An open failure of the device comes back as its code and text.
    m_scan->setSourceIndex(1);
    EXPECT_EQ(m_scan->OpenDataSource(), 0);
    EXPECT_EQ(m_scan->LastErrorCode(), 42);
    EXPECT_EQ(m_scan->LastErrorText(), QStringLiteral("non apribile: sane:b"));

    m_scan->CloseSourceManager();
    EXPECT_EQ(firstRaw->stops, 1);
    EXPECT_EQ(m_scan->SourceCount(), 0);
}

TEST_F(ComponentSources, IndexOutOfRangeThrowsAndKeepsTheSelection) {
    makeComponent(kThree);
    ASSERT_EQ(m_scan->OpenSourceManager(), 1);
    m_scan->setSourceIndex(2);
    for (int bad : {-1, 3, 100}) {
        EXPECT_THROW(m_scan->setSourceIndex(bad), ScanError) << bad;
        EXPECT_THROW((void)m_scan->SourceName(bad), ScanError) << bad;
        EXPECT_EQ(m_scan->SourceIndex(), 2);
    }
}

TEST_F(ComponentSources, SelectingAnotherSourceClosesTheOpenOne) {
    makeComponent(kThree);
    ASSERT_EQ(m_scan->OpenSourceManager(), 1);
    ASSERT_EQ(m_scan->OpenDataSource(), 1);
    m_scan->setSourceIndex(1);
    EXPECT_EQ(m_scan->DataSourceOpen(), 0);
    EXPECT_EQ(m_scan->SourceIndex(), 1);
}

TEST_F(ComponentSources, WithoutDialogsNothingIsShownAndTheChoiceStays) {
    makeComponent(kThree);
    ASSERT_EQ(m_scan->OpenSourceManager(), 1);
    m_scan->setSourceIndex(1);
    EXPECT_EQ(m_scan->SelectSource(), 0);
    EXPECT_EQ(m_scan->LastErrorCode(), 0);
    EXPECT_EQ(m_scan->SourceIndex(), 1);
    // Progress asked for: an acquisition still runs, with no window of any kind.
    ASSERT_EQ(m_scan->OpenDataSource(), 1);
    m_scan->setCapability(twain::CAP_INDICATORS);
    m_scan->setCapValue(1);
    ASSERT_EQ(m_scan->CapSet(), 1);
    qsizetype windows = 0;
    QObject::connect(m_scan.get(), &ScanComponent::PostScan, m_scan.get(),
                     [&] { windows += QApplication::topLevelWidgets().size(); });
    EXPECT_EQ(runAcquisition().images, 1);
    EXPECT_EQ(windows, 0);
}

TEST_F(ComponentSources, SelectSourceWithoutSourcesFailsWithoutADialog) {
    makeComponent(R"({"scanners":[]})");
    ASSERT_EQ(m_scan->OpenSourceManager(), 1);
    EXPECT_EQ(m_scan->SourceCount(), 0);
    EXPECT_EQ(m_scan->SourceIndex(), -1);
    EXPECT_EQ(m_scan->SelectSource(), 0);
    EXPECT_EQ(m_scan->LastErrorCode(), componentError::NoSource);
    EXPECT_EQ(m_scan->OpenDataSource(), 0);
}

// No layer configured (SANE off, no virtual scanners): no scanner is installed, which the
// window reports as SCAN_NOT_AVAILABLE, not as a manager that failed to start.
TEST_F(ComponentSources, WithoutLayersTheManagerStartsWithNoSource) {
    ASSERT_TRUE(m_dir.isValid());
    m_scan = std::make_unique<VstScan>(std::vector<std::unique_ptr<DeviceLayer>>{}, m_dir.path());
    EXPECT_EQ(m_scan->OpenSourceManager(), 1);
    EXPECT_EQ(m_scan->LastErrorCode(), 0);
    EXPECT_EQ(m_scan->SourceCount(), 0);
    EXPECT_EQ(m_scan->OpenDataSource(), 0);
    EXPECT_EQ(m_scan->LastErrorCode(), componentError::NoSource);
}

TEST_F(ComponentSources, FromEnvironmentFollowsTheVariable) {
    qunsetenv("SCANSIONE_VIRTUAL_SCANNERS");
    EXPECT_EQ(VirtualScannerLayer::fromEnvironment(), nullptr);
    const QString path = m_dir.filePath(QStringLiteral("env.json"));
    ASSERT_TRUE(writeContents(path, kThree));
    qputenv("SCANSIONE_VIRTUAL_SCANNERS", QFile::encodeName(path));
    auto layer = VirtualScannerLayer::fromEnvironment();
    qunsetenv("SCANSIONE_VIRTUAL_SCANNERS");
    ASSERT_NE(layer, nullptr);
    ASSERT_TRUE(layer->start().ok());
    EXPECT_EQ(layer->devices().size(), 3);
}
