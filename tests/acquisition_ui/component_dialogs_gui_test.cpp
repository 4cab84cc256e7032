// The component's dialogs as widgets, driven by the component: the source chooser, the
// search window of a slow start, and the progress window whose "Annulla" ends an acquisition
// keeping what was delivered.
#include "acquisition/VirtualFixture.h"
#include "acquisition_ui/WidgetComponentDialogs.h"
#include "support/ModalAnswer.h"
#include <QApplication>
#include <QDialog>
#include <QListWidget>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>

using namespace twain;

namespace {

const QByteArray kThree = R"({"scanners":[{"name":"Primo"},{"name":"Secondo"},{"name":"Terzo"}]})";

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

class ComponentDialogsTest : public VirtualFixture {
protected:
    static std::shared_ptr<ComponentDialogs> widgets() {
        return std::make_shared<WidgetComponentDialogs>();
    }
};

} // namespace

TEST_F(ComponentDialogsTest, SelectSourcePicksTheChosenRow) {
    makeComponent(kThree, widgets());
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

TEST_F(ComponentDialogsTest, SelectSourceCancelLeavesTheSelection) {
    makeComponent(kThree, widgets());
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

TEST_F(ComponentDialogsTest, SlowStartShowsTheSearchAndKeepsTheEventLoopRunning) {
    makeComponent(R"({"startDelayMs":900,"scanners":[{"name":"Lento"}]})", widgets());
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

TEST_F(ComponentDialogsTest, ProgressWindowShowsWithIndicatorsAndCancelKeepsDeliveredPages) {
    openScanner(feeder(20, "\"pageDelayMs\":300"), widgets());
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

TEST_F(ComponentDialogsTest, NoProgressWindowWithIndicatorsOff) {
    openScanner(feeder(2), widgets());
    m_scan->setFeederEnabled(1);
    bool sawDialog = false;
    QObject::connect(m_scan.get(), &ScanComponent::PostScan, m_scan.get(),
                     [&] { sawDialog = sawDialog || progressDialog() != nullptr; });
    EXPECT_EQ(runAcquisition().images, 2);
    EXPECT_FALSE(sawDialog);
}

TEST_F(ComponentDialogsTest, ProgressWindowCountsTheBlankSidesLeftOut) {
    WidgetComponentDialogs dialogs;
    dialogs.progressStarted([] {});
    QProgressDialog* dialog = progressDialog();
    ASSERT_NE(dialog, nullptr);
    dialogs.progressChanged({.images = 5, .bytes = 3072, .leftOut = 2});
    EXPECT_EQ(dialog->labelText(),
              QStringLiteral("Pagine ricevute: 5\nDati ricevuti: 3 KB\nPagine bianche escluse: 2"));
    // None left out: nothing said of them, as before there was anything to leave out.
    dialogs.progressChanged({.images = 6, .bytes = 4096});
    EXPECT_EQ(dialog->labelText(), QStringLiteral("Pagine ricevute: 6\nDati ricevuti: 4 KB"));
    dialogs.progressEnded();
}
