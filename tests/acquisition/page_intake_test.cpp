// The component's intake of acquired images: blank sides of a feeder batch left out, pages
// straightened and turned by the page corrector, each told; images in order and the end
// after the last of them; nothing in between when clean-up is off.
#include "acquisition/AcquisitionRunner.h"
#include "acquisition/ComponentDialogs.h"
#include "acquisition/VstScan.h"
#include "support/FakeTextReader.h"
#include "support/FedPages.h"
#include "support/TestTools.h"
#include "virtual_scanner/VirtualScanner.h"
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPainter>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace {

template <typename F> bool waitFor(F done, int timeoutMs = 30000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < timeoutMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return done();
}

QImage atDpi(QImage image, int dpi) {
    image.setDotsPerMeterX(int(std::lround(dpi / 0.0254)));
    image.setDotsPerMeterY(int(std::lround(dpi / 0.0254)));
    return image;
}

/// A small page of its own, told apart from the others by `seed`.
QImage smallPage(int seed, QImage::Format format = QImage::Format_Grayscale8) {
    QImage image(320, 240, format);
    image.fill(Qt::white);
    QPainter(&image).fillRect(20 + seed * 10, 30, 60, 40, Qt::black);
    return atDpi(image, 100);
}

/// What the fake corrector does to a page it straightens: a dark corner, kept by the buffer.
QImage marked(QImage image) {
    QPainter(&image).fillRect(0, 0, 8, 8, Qt::black);
    return image;
}

QImage halfTurned(const QImage& image) {
    return image.mirrored(true, true);
}

/// How the fake corrector answers.
struct Answer {
    bool straighten = false;
    double skew = 0;
    bool turn = false;
    const char* error = nullptr; ///< the corrector's error, when it fails
    bool wrongShape = false;
    int delayMs = 0;
};

struct CorrectorLog {
    std::atomic<int> calls{0};
    std::atomic<bool> onOwnerThread{false};
    std::atomic<int> dpi{-1}; ///< the resolution the last page came with
    std::mutex mutex;
    QVector<QImage> pages; ///< the pages it was given
};

class FakeCorrector : public PageCorrector {
public:
    FakeCorrector(Answer answer, std::shared_ptr<CorrectorLog> log)
        : m_answer(std::move(answer)), m_log(std::move(log)) {}
    PageCorrection correct(const QImage& page, int dpi, bool straighten,
                           bool turnUpsideDown) override {
        ++m_log->calls;
        m_log->dpi = dpi;
        {
            const std::lock_guard lock(m_log->mutex);
            m_log->pages << page;
        }
        if (QThread::currentThread() == QCoreApplication::instance()->thread())
            m_log->onOwnerThread = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(m_answer.delayMs));
        PageCorrection c;
        c.error = QString::fromUtf8(m_answer.error);
        if (!c.ok())
            return c;
        QImage image = page;
        if (m_answer.turn && turnUpsideDown) {
            image = halfTurned(image);
            c.turned = true;
        }
        if (m_answer.straighten && straighten) {
            image = marked(image);
            c.straightened = true;
            c.skewDegrees = m_answer.skew;
        }
        if (m_answer.wrongShape)
            image = image.copy(0, 0, image.width() / 2, image.height());
        if (c.turned || c.straightened)
            c.image = image;
        return c;
    }

private:
    Answer m_answer;
    std::shared_ptr<CorrectorLog> m_log;
};

PageServices correctorServices(const Answer& answer, std::shared_ptr<CorrectorLog> log) {
    PageServices services;
    services.corrector = [answer, log]() -> std::unique_ptr<PageCorrector> {
        return std::make_unique<FakeCorrector>(answer, log);
    };
    return services;
}

/// A device that hands over the images it is given, one after another, waiting `gapMs`
/// between them as a feeder does.
class ListDevice : public ScanDevice {
public:
    ListDevice(QVector<QImage> images, int gapMs) : m_images(std::move(images)), m_gapMs(gapMs) {}
    QVector<uint16_t> capabilityIds() const override { return {}; }
    std::optional<Capability> capability(uint16_t) const override { return std::nullopt; }
    DeviceStatus setCapability(uint16_t, double) override { return {}; }
    DeviceStatus setImageLayout(double, double, double, double) override { return {}; }
    DeviceStatus acquire(const AcquireRequest&, AcquireSink& sink) override {
        for (const QImage& image : m_images) {
            if (!sink.image(image))
                return {};
            std::this_thread::sleep_for(std::chrono::milliseconds(m_gapMs));
        }
        sink.feederEmptied();
        return {};
    }
    void cancel() override {}

private:
    QVector<QImage> m_images;
    int m_gapMs;
};

class ProgressLog : public ComponentDialogs {
public:
    void progressChanged(const AcquisitionProgress& progress) override {
        leftOut = progress.leftOut;
    }
    int leftOut = 0;
};

/// What the runner told of one acquisition, in order: "image", "end", and each clean-up as
/// "operation: detail".
struct Told {
    QStringList events;
    QVector<QImage> images;
    bool ended = false;
    AcquireOutcome end;
};

class PageIntakeTest : public ::testing::Test {
protected:
    /// Runs an acquisition of `images` through a runner with `cleanup`; `onImage` is called
    /// on the owner's thread after each image told.
    Told acquire(AcquisitionRunner& runner, const QVector<QImage>& images, bool duplex,
                 const std::function<void(int)>& onImage = {}, int gapMs = 0) {
        Told told;
        QObject context;
        QObject::connect(&runner, &AcquisitionRunner::imageStored, &context,
                         [&](const StoredPage& page) {
                             told.events << QStringLiteral("image");
                             const auto image = page.image();
                             told.images << (image ? *image : QImage());
                             if (onImage)
                                 onImage(told.images.size());
                         });
        QObject::connect(&runner, &AcquisitionRunner::pageCleaned, &context,
                         [&](const QString& operation, const QString& detail) {
                             told.events << operation + QStringLiteral(": ") + detail;
                         });
        QObject::connect(&runner, &AcquisitionRunner::ended, &context,
                         [&](const AcquireOutcome& outcome) {
                             told.events << QStringLiteral("end");
                             told.ended = true;
                             told.end = outcome;
                         });
        start(runner, images, duplex, gapMs);
        waitFor([&] { return told.ended || !runner.running(); });
        QCoreApplication::processEvents();
        return told;
    }

    /// Starts a feeder batch of `images` (duplex: front and back of each sheet), given by the
    /// device `gapMs` apart, its page files in the test's folder.
    void start(AcquisitionRunner& runner, const QVector<QImage>& images, bool duplex = false,
               int gapMs = 0) {
        AcquireRequest request;
        request.feeder = true;
        request.duplex = duplex;
        request.maxImages = int(images.size());
        runner.start(std::make_shared<ListDevice>(images, gapMs), request, int(images.size()),
                     m_dir.path(), nullptr, true);
    }

    int pageFiles() const { return int(QDir(m_dir.path()).entryList(QDir::Files).size()); }

    QTemporaryDir m_dir;
    ProgressLog m_dialogs;
};

} // namespace

TEST_F(PageIntakeTest, BlankSidesOfADuplexBatchAreLeftOutAndSaidSparseSidesStay) {
    const QVector<QImage> sides = {
        atDpi(sparseSide(SparseMark::Signature), 300),
        atDpi(scannedSide(Texture | Specks), 300),
        atDpi(sparseSide(SparseMark::PageNumber), 300),
        atDpi(scannedSide(EdgeShadows | Texture, 300, 3), 300),
        atDpi(scannedSide(ShowThrough | Texture, 300, 4), 300),
        atDpi(sparseSide(SparseMark::Stamp), 300),
    };
    auto log = std::make_shared<CorrectorLog>();
    AcquisitionRunner runner(m_dialogs,
                             correctorServices({.straighten = true, .skew = -1.44}, log));
    runner.setPageCleanup({.leaveOutBlankSides = true, .straighten = true});
    const Told told = acquire(runner, sides, true);
    ASSERT_TRUE(told.ended);
    // Pages are numbered as the window will have them: the left-out sides leave no gap.
    EXPECT_EQ(told.events,
              QStringList({"pagina raddrizzata: pagina 1 raddrizzata di 1,4°", "image",
                           "pagina bianca: foglio 1 retro",
                           "pagina raddrizzata: pagina 2 raddrizzata di 1,4°", "image",
                           "pagina bianca: foglio 2 retro", "pagina bianca: foglio 3 fronte",
                           "pagina raddrizzata: pagina 3 raddrizzata di 1,4°", "image", "end"}));
    ASSERT_EQ(told.images.size(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(told.images[i], marked(sides[i * 2 + (i == 2 ? 1 : 0)])) << "page " << i + 1;
    EXPECT_EQ(log->calls, 3) << "only the sides kept are corrected";
    EXPECT_FALSE(log->onOwnerThread);
    EXPECT_EQ(m_dialogs.leftOut, 3);
    EXPECT_EQ(pageFiles(), 3) << "a left-out side's page file is removed";
}

struct CorrectionCase {
    const char* name;
    PageCleanup cleanup;
    Answer answer;
    bool serviceMissing;
    QStringList said; ///< beside "image", for the one page
    std::function<QImage(const QImage&)> expected;
};

void PrintTo(const CorrectionCase& c, std::ostream* os) {
    *os << c.name;
}

class PageCorrections : public PageIntakeTest,
                        public ::testing::WithParamInterface<CorrectionCase> {};

TEST_P(PageCorrections, TheBufferGetsThePageAsCorrectedAndHearsWhy) {
    const CorrectionCase& c = GetParam();
    auto log = std::make_shared<CorrectorLog>();
    AcquisitionRunner runner(m_dialogs,
                             c.serviceMissing ? PageServices{} : correctorServices(c.answer, log));
    runner.setPageCleanup(c.cleanup);
    const QImage page = smallPage(1, QImage::Format_RGB888);
    const Told told = acquire(runner, {page}, false);
    ASSERT_TRUE(told.ended);
    EXPECT_EQ(told.events, c.said + QStringList({"image", "end"}));
    ASSERT_EQ(told.images.size(), 1);
    EXPECT_EQ(told.images[0], c.expected(page));
    EXPECT_EQ(told.images[0].dotsPerMeterX(), page.dotsPerMeterX());
}

INSTANTIATE_TEST_SUITE_P(
    Intake, PageCorrections,
    ::testing::Values(
        CorrectionCase{"turned",
                       {.turnUpsideDown = true},
                       {.turn = true},
                       false,
                       {"pagina girata: pagina 1 girata di 180°"},
                       halfTurned},
        CorrectionCase{"straightened",
                       {.straighten = true},
                       {.straighten = true, .skew = 0.55},
                       false,
                       {"pagina raddrizzata: pagina 1 raddrizzata di 0,6°"},
                       marked},
        CorrectionCase{"both",
                       {.turnUpsideDown = true, .straighten = true},
                       {.straighten = true, .skew = 2.0, .turn = true},
                       false,
                       {"pagina girata: pagina 1 girata di 180°",
                        "pagina raddrizzata: pagina 1 raddrizzata di 2,0°"},
                       [](const QImage& i) { return marked(halfTurned(i)); }},
        CorrectionCase{"straightNothingFound",
                       {.straighten = true},
                       {},
                       false,
                       {},
                       [](const QImage& i) { return i; }},
        CorrectionCase{"workerFailed",
                       {.straighten = true},
                       {.error = "il programma di riconoscimento si è fermato"},
                       false,
                       {"correzione non riuscita: pagina 1 lasciata com'era: il programma di "
                        "riconoscimento si è fermato"},
                       [](const QImage& i) { return i; }},
        CorrectionCase{"wrongShape",
                       {.turnUpsideDown = true},
                       {.turn = true, .wrongShape = true},
                       false,
                       {"correzione non riuscita: pagina 1 lasciata com'era: la pagina corretta "
                        "non ha la forma di quella acquisita"},
                       [](const QImage& i) { return i; }},
        CorrectionCase{"noCorrector",
                       {.turnUpsideDown = true},
                       {},
                       true,
                       {"correzione non riuscita: pagina 1 lasciata com'era: il servizio di "
                        "correzione delle pagine non è disponibile"},
                       [](const QImage& i) { return i; }}));

TEST_F(PageIntakeTest, WithCleanupOffImagesPassByteForByteWithNoIntake) {
    const QVector<QImage> pages = {smallPage(0), smallPage(1, QImage::Format_RGB888),
                                   atDpi(scannedSide(AllNoise, 100), 100)};
    auto log = std::make_shared<CorrectorLog>();
    AcquisitionRunner runner(m_dialogs, correctorServices({.straighten = true, .turn = true}, log));
    // Once with clean-up on, so that turning it off has an intake to take down.
    runner.setPageCleanup({.straighten = true});
    ASSERT_TRUE(acquire(runner, {smallPage(2)}, false).ended);
    ASSERT_TRUE(runner.intakeExists());
    runner.setPageCleanup({});
    bool intakeWhileRunning = true;
    const Told told =
        acquire(runner, pages, true, [&](int) { intakeWhileRunning = runner.intakeExists(); });
    ASSERT_TRUE(told.ended);
    EXPECT_FALSE(intakeWhileRunning);
    EXPECT_EQ(told.events, QStringList({"image", "image", "image", "end"}));
    ASSERT_EQ(told.images.size(), 3);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(told.images[i].format(), pages[i].format());
        ASSERT_EQ(told.images[i].size(), pages[i].size());
        for (int y = 0; y < pages[i].height(); ++y)
            ASSERT_EQ(std::memcmp(told.images[i].constScanLine(y), pages[i].constScanLine(y),
                                  size_t(pages[i].width() * pages[i].depth() + 7) / 8),
                      0)
                << "image " << i << " line " << y;
    }
    EXPECT_EQ(log->calls, 1);
}

TEST_F(PageIntakeTest, ACancelWhileCorrectingStillDeliversEveryImageOnceThenTheEnd) {
    auto log = std::make_shared<CorrectorLog>();
    AcquisitionRunner runner(
        m_dialogs, correctorServices({.straighten = true, .skew = 1, .delayMs = 200}, log));
    runner.setPageCleanup({.straighten = true});
    // Fed 60 ms apart: when the first page is out of the intake, a few more are in it and
    // the device is still feeding.
    QVector<QImage> pages;
    for (int i = 0; i < 12; ++i)
        pages << smallPage(i);
    const Told told = acquire(
        runner, pages, false,
        [&](int n) {
            if (n == 1)
                runner.cancel();
        },
        60);
    ASSERT_TRUE(told.ended);
    EXPECT_TRUE(told.end.cancelled);
    ASSERT_GT(told.end.delivered, 1) << "the cancel came while images were still at the intake";
    ASSERT_EQ(told.images.size(), told.end.delivered);
    for (int i = 0; i < told.images.size(); ++i)
        EXPECT_EQ(told.images[i], marked(pages[i])) << "image " << i;
    EXPECT_EQ(told.events.last(), QStringLiteral("end"));
    EXPECT_EQ(pageFiles(), told.images.size());
}

TEST_F(PageIntakeTest, AnAbandonedAcquisitionLeavesNoLateImageAndNoFileBehind) {
    auto log = std::make_shared<CorrectorLog>();
    auto runner = std::make_unique<AcquisitionRunner>(
        m_dialogs, correctorServices({.turn = true, .delayMs = 150}, log));
    runner->setPageCleanup({.turnUpsideDown = true});
    QVector<QImage> pages;
    for (int i = 0; i < 6; ++i)
        pages << smallPage(i);
    int images = 0;
    bool ended = false;
    QObject::connect(runner.get(), &AcquisitionRunner::imageStored, runner.get(),
                     [&](const StoredPage&) {
                         if (++images == 1)
                             runner->abandon();
                     });
    QObject::connect(runner.get(), &AcquisitionRunner::ended, runner.get(),
                     [&](const AcquireOutcome&) { ended = true; });
    start(*runner, pages);
    ASSERT_TRUE(waitFor([&] { return images == 1; }));
    // The images the intake still held or was correcting go, with their page files.
    EXPECT_TRUE(waitFor([&] { return runner->idle() && pageFiles() == 1; }));
    QCoreApplication::processEvents();
    EXPECT_EQ(images, 1);
    EXPECT_FALSE(ended);
    runner.reset();
    EXPECT_EQ(pageFiles(), 1);
}

TEST_F(PageIntakeTest, APageFileGoneBeforeItsTurnIsDeliveredAsItIsAndSaidSo) {
    auto log = std::make_shared<CorrectorLog>();
    AcquisitionRunner runner(
        m_dialogs, correctorServices({.straighten = true, .skew = 1, .delayMs = 300}, log));
    runner.setPageCleanup({.straighten = true});
    // While the first page is being corrected, the second one's page file goes.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const QStringList files = QDir(m_dir.path()).entryList({"page-*-1.raw"}, QDir::Files);
        if (log->calls >= 1 && !files.isEmpty()) {
            QFile::remove(m_dir.filePath(files.first()));
            poll.stop();
        }
    });
    poll.start(5);
    const Told told = acquire(runner, {smallPage(0), smallPage(1)}, false);
    ASSERT_TRUE(told.ended);
    ASSERT_EQ(told.events.size(), 5) << told.events.join(" | ").toStdString();
    EXPECT_EQ(told.events[0], "pagina raddrizzata: pagina 1 raddrizzata di 1,0°");
    EXPECT_TRUE(told.events[2].startsWith("pagina non esaminata: pagina 2: "))
        << told.events[2].toStdString();
    EXPECT_EQ(told.events.mid(3), QStringList({"image", "end"}));
    EXPECT_EQ(log->calls, 1);
}

TEST_F(PageIntakeTest, DestroyedWhileCorrectingItWaitsOnlyForThePageUnderWay) {
    auto log = std::make_shared<CorrectorLog>();
    auto runner = std::make_unique<AcquisitionRunner>(
        m_dialogs, correctorServices({.straighten = true, .skew = 1, .delayMs = 400}, log));
    runner->setPageCleanup({.straighten = true});
    QVector<QImage> pages;
    for (int i = 0; i < 6; ++i)
        pages << smallPage(i);
    start(*runner, pages);
    ASSERT_TRUE(waitFor([&] { return log->calls >= 1; }));
    runner.reset();
    // The pages still queued were never looked at.
    EXPECT_LE(log->calls, 2);
}

// The component tells what its intake did before the image's PostScan, and the buffer holds
// (and writes) the corrected page.
TEST(PageIntakeComponent, PageCleanedComesBeforeEachPostScanAndTheSavedPageIsCorrected) {
    QTemporaryDir dir;
    const QString json = dir.filePath(QStringLiteral("scanners.json"));
    ASSERT_TRUE(writeContents(json, R"({"scanners":[{"name":"ADF","pixelTypes":["GRAY"],
        "resolutions":[50],"pageSizes":["A5"],
        "feeder":{"present":true,"paperDetectable":true,"sheets":2},"duplex":true}]})"));
    std::vector<std::unique_ptr<DeviceLayer>> layers;
    layers.push_back(std::make_unique<VirtualScannerLayer>(json));
    auto log = std::make_shared<CorrectorLog>();
    // Pages read for their words after they are turned, as the document will have them.
    auto script = std::make_shared<FakeTextScript>();
    PageServices services = correctorServices({.turn = true}, log);
    services.textReader = fakeTextServices(script).textReader;
    VstScan scan(std::move(layers), dir.path(), std::move(services));
    scan.setTextLanguages(QStringLiteral("ita"));
    ASSERT_EQ(scan.OpenSourceManager(), 1);
    ASSERT_EQ(scan.OpenDataSource(), 1);
    scan.setFeederEnabled(1);
    scan.setDuplexEnabled(1);
    scan.setPageCleanup({.turnUpsideDown = true});
    QStringList events;
    QObject::connect(&scan, &ScanComponent::PageCleaned, &scan,
                     [&](const QString& operation, const QString& detail) {
                         events << operation + QStringLiteral(": ") + detail;
                     });
    QObject::connect(&scan, &ScanComponent::PostScan, &scan, [&](int32_t flag) {
        events << (flag == 0 ? QStringLiteral("image %1").arg(scan.ImageCount())
                             : QStringLiteral("end"));
    });
    ASSERT_EQ(scan.Acquire(), 1);
    ASSERT_TRUE(waitFor([&] { return events.contains(QStringLiteral("end")); }));
    EXPECT_EQ(events, QStringList({"pagina girata: pagina 1 girata di 180°", "image 1",
                                   "pagina girata: pagina 2 girata di 180°", "image 2",
                                   "pagina girata: pagina 3 girata di 180°", "image 3",
                                   "pagina girata: pagina 4 girata di 180°", "image 4", "end"}));
    for (int i = 0; i < 4; ++i) {
        const QString path = dir.filePath(QStringLiteral("p%1.bmp").arg(i));
        ASSERT_EQ(scan.SaveImage(i, path), 1);
        const QImage saved = QImage(path).convertToFormat(QImage::Format_Grayscale8);
        const std::lock_guard lock(log->mutex);
        ASSERT_EQ(log->pages.size(), 4);
        EXPECT_EQ(saved, halfTurned(log->pages[i])) << "page " << i + 1;
        EXPECT_NE(saved, log->pages[i]) << "page " << i + 1;
    }
    EXPECT_EQ(log->dpi, 50);
    ASSERT_TRUE(waitFor([&] { return scan.textSettled(); }));
    for (int i = 0; i < 4; ++i) {
        const ImageText text = scan.imageText(i);
        ASSERT_EQ(text.words.size(), 1u) << "page " << i + 1;
        EXPECT_EQ(text.words[0].text, FakeTextScript::wordFor(log->pages[i].size(), 50))
            << "the turned page keeps its resolution, page " << i + 1;
    }
}
