// Sources as the session start uses them: listing in layer order, selection by index and by
// the component's own dialog, and a slow layer start that keeps the event loop running.
#include "VirtualFixture.h"
#include "support/ModalAnswer.h"
#include <QApplication>
#include <QDialog>
#include <QListWidget>
#include <QProgressDialog>
#include <QTimer>

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

TEST_F(ComponentSources, SelectSourcePicksTheChosenRow) {
    makeComponent(kThree);
    ASSERT_EQ(m_scan->OpenSourceManager(), 1);
    QStringList listed;
    answerNextModal([&listed](QWidget* w) {
        auto* list = w->findChild<QListWidget*>(QStringLiteral("sourceList"));
        ASSERT_NE(list, nullptr);
        for (int i = 0; i < list->count(); ++i)
            listed << list->item(i)->text();
        list->setCurrentRow(2);
        qobject_cast<QDialog*>(w)->accept();
    });
    EXPECT_EQ(m_scan->SelectSource(), 1);
    EXPECT_EQ(listed, (QStringList{QStringLiteral("Primo"), QStringLiteral("Secondo"),
                                   QStringLiteral("Terzo")}));
    EXPECT_EQ(m_scan->SourceIndex(), 2);
}

TEST_F(ComponentSources, SelectSourceCancelLeavesTheSelection) {
    makeComponent(kThree);
    ASSERT_EQ(m_scan->OpenSourceManager(), 1);
    m_scan->setSourceIndex(1);
    QString title;
    answerNextModal([&title](QWidget* w) {
        title = w->windowTitle();
        auto* list = w->findChild<QListWidget*>(QStringLiteral("sourceList"));
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(list->currentRow(), 1); // the current source is highlighted
        list->setCurrentRow(0);
        qobject_cast<QDialog*>(w)->reject();
    });
    EXPECT_EQ(m_scan->SelectSource(), 0);
    EXPECT_EQ(title, QStringLiteral("Seleziona sorgente"));
    EXPECT_EQ(m_scan->SourceIndex(), 1);
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

TEST_F(ComponentSources, SlowStartShowsTheSearchAndKeepsTheEventLoopRunning) {
    makeComponent(R"({"startDelayMs":900,"scanners":[{"name":"Lento"}]})");
    int ticks = 0;
    QString shown;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        ++ticks;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* d = qobject_cast<QProgressDialog*>(w); d && d->isVisible())
                shown = d->labelText();
        }
    });
    timer.start(20);
    EXPECT_EQ(m_scan->OpenSourceManager(), 1);
    timer.stop();
    EXPECT_GT(ticks, 10);
    EXPECT_EQ(shown, QStringLiteral("Ricerca scanner in corso..."));
    EXPECT_EQ(m_scan->SourceCount(), 1);
}

TEST_F(ComponentSources, WithoutLayersTheManagerDoesNotStart) {
    ASSERT_TRUE(m_dir.isValid());
    m_scan = std::make_unique<VstScan>(std::vector<std::unique_ptr<DeviceLayer>>{}, m_dir.path());
    EXPECT_EQ(m_scan->OpenSourceManager(), 0);
    EXPECT_EQ(m_scan->LastErrorCode(), componentError::LayerFailed);
    EXPECT_EQ(m_scan->OpenDataSource(), 0);
    EXPECT_EQ(m_scan->LastErrorCode(), componentError::NoSourceManager);
}

TEST_F(ComponentSources, FromEnvironmentFollowsTheVariable) {
    qunsetenv("SCANSIONE_VIRTUAL_SCANNERS");
    EXPECT_EQ(VirtualScannerLayer::fromEnvironment(), nullptr);
    const QString path = m_dir.filePath(QStringLiteral("env.json"));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(kThree);
    f.close();
    qputenv("SCANSIONE_VIRTUAL_SCANNERS", QFile::encodeName(path));
    auto layer = VirtualScannerLayer::fromEnvironment();
    qunsetenv("SCANSIONE_VIRTUAL_SCANNERS");
    ASSERT_NE(layer, nullptr);
    ASSERT_TRUE(layer->start().ok());
    EXPECT_EQ(layer->devices().size(), 3);
}
