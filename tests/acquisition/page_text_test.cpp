// The words of every image read in the background beside the encoder: for the image as it is
// turned now, in the languages asked, kept in the session cache with the image's other files;
// with no languages nothing is read at all, and closing never waits on a reading.
#include "VirtualFixture.h"
#include "acquisition/SessionImages.h"
#include "support/FakeTextReader.h"
#include <QDir>
#include <QImage>

using namespace twain;

namespace {

const QByteArray kFlatbed = R"("name":"Piano","pixelTypes":["BW","GRAY","RGB"],
    "resolutions":[50,60,75,100],"pageSizes":["A6"])";

/// The component's reading threads alive in this process.
int readingThreads() {
    int threads = 0;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task + QStringLiteral("/comm")));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "page-text")
            ++threads;
    }
    return threads;
}

class PageText : public VirtualFixture {
protected:
    void SetUp() override { m_services = fakeTextServices(m_script); }
    void TearDown() override { m_script->release(); }

    /// One image at each of `dpis`, in that order, the first in black and white.
    void acquireAt(const QVector<int>& dpis) {
        openScanner(kFlatbed);
        for (int dpi : dpis) {
            if (m_scan->DataSourceOpen() == 0) {
                ASSERT_EQ(m_scan->OpenDataSource(), 1);
            }
            m_scan->setImagePixelType(dpi == dpis.first() ? BW : Gray);
            m_scan->setResolution(dpi);
            ASSERT_EQ(runAcquisition().images, 1);
        }
    }

    /// Waits until image `index` is no longer waiting to be read; returns what it has.
    ImageText settledText(int index) {
        waitFor([&] { return m_scan->imageText(index).state != ImageText::State::Waiting; });
        return m_scan->imageText(index);
    }

    /// The size of image `index` at full resolution, as SaveImage writes it.
    QSize fullSize(int index) {
        const QString path = m_dir.filePath(QStringLiteral("full-%1.bmp").arg(index));
        m_scan->SaveImage(index, path);
        return QImage(path).size();
    }

    QStringList wordsFiles() const {
        return QDir(m_scan->cacheFolder()).entryList({QStringLiteral("words-*")}, QDir::Files);
    }

    std::shared_ptr<FakeTextScript> m_script = std::make_shared<FakeTextScript>();
};

TEST_F(PageText, EachImageIsReadFromItsOwnPixelsInTheLanguagesAsked) {
    acquireAt({50, 100});
    QSignalSpy ready(m_scan.get(), &ScanComponent::ImageTextReady);
    m_scan->setTextLanguages(QStringLiteral("ita"));
    EXPECT_EQ(m_scan->imageText(0).state, ImageText::State::Waiting);
    for (const QString& languages : {QStringLiteral("ita"), QStringLiteral("ita+eng")}) {
        m_scan->setTextLanguages(languages);
        for (int i = 0; i < 2; ++i) {
            const ImageText text = settledText(i);
            ASSERT_EQ(text.state, ImageText::State::Read) << text.error.toStdString();
            EXPECT_EQ(text.languages, languages);
            EXPECT_EQ(text.pixels, fullSize(i));
            ASSERT_EQ(text.words.size(), 1u);
            EXPECT_EQ(text.words[0].text,
                      FakeTextScript::wordFor(fullSize(i), i == 0 ? 50 : 100, languages));
            EXPECT_EQ(text.words[0].box, QRect(QPoint(0, 0), fullSize(i)));
        }
        EXPECT_EQ(wordsFiles().size(), 2) << wordsFiles().join(' ').toStdString();
    }
    const std::vector<FakeTextScript::Call> calls = m_script->snapshot();
    ASSERT_EQ(calls.size(), 4u);
    // The 1-bit image as the buffer holds it, not a grey copy.
    EXPECT_EQ(calls[0].format, QImage::Format_Mono);
    EXPECT_EQ(calls[2].languages, QStringLiteral("ita+eng"));
    QCoreApplication::processEvents();
    EXPECT_EQ(ready.count(), 4);
}

TEST_F(PageText, TurnedImageIsReadAgainAndItsOldWordsAreNeverGiven) {
    m_script->held = 1;
    acquireAt({50});
    const QSize upright = fullSize(0), turned = upright.transposed();
    m_scan->setTextLanguages(QStringLiteral("ita"));
    ASSERT_TRUE(m_script->waitForCalls(1));
    // Turned while its reading is under way: that reading is for a page no longer there.
    ASSERT_EQ(m_scan->RotateImage(0, 90), 1);
    m_script->release();
    ImageText text = settledText(0);
    ASSERT_EQ(text.state, ImageText::State::Read);
    EXPECT_EQ(text.words.at(0).text, FakeTextScript::wordFor(turned, 50));
    EXPECT_EQ(text.pixels, turned);
    // Turned after it was read: waiting at once, never the old words.
    ASSERT_EQ(m_scan->RotateImage(0, -90), 1);
    EXPECT_EQ(m_scan->imageText(0).state, ImageText::State::Waiting);
    EXPECT_TRUE(m_scan->imageText(0).words.empty());
    text = settledText(0);
    ASSERT_EQ(text.state, ImageText::State::Read);
    EXPECT_EQ(text.words.at(0).text, FakeTextScript::wordFor(upright, 50));
    EXPECT_EQ(m_script->snapshot().size(), 3u);
    ASSERT_TRUE(waitFor([this] { return m_scan->textSettled(); }));
    EXPECT_EQ(wordsFiles().size(), 1) << wordsFiles().join(' ').toStdString();
}

TEST_F(PageText, ReadingInLanguagesChangedMeanwhileIsNeverGiven) {
    m_script->held = 1;
    acquireAt({50});
    m_scan->setTextLanguages(QStringLiteral("ita"));
    ASSERT_TRUE(m_script->waitForCalls(1));
    m_scan->setTextLanguages(QStringLiteral("deu"));
    m_script->release();
    const ImageText text = settledText(0);
    ASSERT_EQ(text.state, ImageText::State::Read);
    EXPECT_EQ(text.words.at(0).text, FakeTextScript::wordFor(fullSize(0), 50, "deu"));
    ASSERT_TRUE(waitFor([this] { return m_scan->textSettled(); }));
    EXPECT_EQ(m_scan->imageText(0).words.at(0).text,
              FakeTextScript::wordFor(fullSize(0), 50, "deu"));
    EXPECT_EQ(wordsFiles().size(), 1) << wordsFiles().join(' ').toStdString();
}

TEST_F(PageText, WordsFilesLeaveWithTheirImagesAndWithTheLanguages) {
    acquireAt({50, 60});
    m_scan->setTextLanguages(QStringLiteral("ita"));
    ASSERT_EQ(settledText(0).state, ImageText::State::Read);
    ASSERT_EQ(settledText(1).state, ImageText::State::Read);
    ASSERT_EQ(wordsFiles().size(), 2);
    m_scan->ReleaseImages({0});
    EXPECT_EQ(wordsFiles().size(), 1) << wordsFiles().join(' ').toStdString();
    EXPECT_EQ(m_scan->imageText(0).state, ImageText::State::None);
    EXPECT_EQ(m_scan->imageText(1).state, ImageText::State::Read);
    m_scan->setTextLanguages(QString());
    EXPECT_TRUE(wordsFiles().isEmpty());
    EXPECT_EQ(m_scan->imageText(1).state, ImageText::State::None);
}

TEST_F(PageText, ImageAskedForFirstIsReadNext) {
    m_script->held = 1;
    acquireAt({50, 60, 75, 100});
    m_scan->setTextLanguages(QStringLiteral("ita"));
    ASSERT_TRUE(m_script->waitForCalls(1));
    m_scan->readTextFirst(3);
    m_script->release();
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(settledText(i).state, ImageText::State::Read);
    QVector<int> order;
    for (const FakeTextScript::Call& call : m_script->snapshot())
        order << call.dpi;
    EXPECT_EQ(order, (QVector<int>{50, 100, 60, 75}));
}

struct FailedReading {
    const char* name;
    enum { NoReader, MakerGivesNone, ReaderError } kind;
    const char* error;
};

class PageTextFails : public PageText, public ::testing::WithParamInterface<FailedReading> {};

TEST_P(PageTextFails, ImageFailsWithWhy) {
    const FailedReading c = GetParam();
    if (c.kind == FailedReading::NoReader)
        m_services = {};
    m_script->makeNone = c.kind == FailedReading::MakerGivesNone;
    if (c.kind == FailedReading::ReaderError)
        m_script->error = QString::fromUtf8(c.error);
    acquireAt({50});
    QSignalSpy ready(m_scan.get(), &ScanComponent::ImageTextReady);
    m_scan->setTextLanguages(QStringLiteral("ita"));
    // Told from the event loop, never inside the call, even when it fails at once.
    EXPECT_EQ(ready.count(), 0);
    const ImageText text = settledText(0);
    EXPECT_EQ(text.state, ImageText::State::Failed);
    EXPECT_EQ(text.error, QString::fromUtf8(c.error));
    EXPECT_TRUE(text.words.empty());
    ASSERT_TRUE(waitFor([&ready] { return ready.count() > 0; }));
    EXPECT_EQ(ready.at(0).at(0).toInt(), 0);
    EXPECT_TRUE(wordsFiles().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PageTextFails,
    ::testing::Values(
        FailedReading{"NoReader", FailedReading::NoReader,
                      "riconoscimento del testo non disponibile"},
        FailedReading{"MakerGivesNone", FailedReading::MakerGivesNone,
                      "riconoscimento del testo non disponibile"},
        FailedReading{"ReaderError", FailedReading::ReaderError,
                      "lingua \"xyz\" non installata: installare il pacchetto tesseract-ocr-xyz"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PageText, NoLanguagesNoThreadNoFile) {
    // Readings of earlier cases end once their components are gone.
    ASSERT_TRUE(waitFor([] { return readingThreads() == 0; }, 10000));
    acquireAt({50, 60});
    ASSERT_EQ(m_scan->RotateImage(1, 90), 1);
    ASSERT_TRUE(settle());
    EXPECT_EQ(readingThreads(), 0);
    EXPECT_EQ(m_script->readersMade(), 0);
    EXPECT_TRUE(wordsFiles().isEmpty());
    EXPECT_EQ(m_scan->imageText(0).state, ImageText::State::None);
}

TEST_F(PageText, ClosingDoesNotWaitForTheReadingUnderWay) {
    m_script->held = 1;
    acquireAt({50, 60});
    m_scan->setTextLanguages(QStringLiteral("ita"));
    ASSERT_TRUE(m_script->waitForCalls(1));
    QElapsedTimer closing;
    closing.start();
    m_scan.reset();
    // The reading holds for 30 s; the close takes milliseconds.
    EXPECT_LT(closing.elapsed(), 5000);
    // Once that reading ends its thread ends too, and its reader with it.
    m_script->release();
    EXPECT_TRUE(waitFor([this] { return m_script->readersAlive() == 0; }, 10000));
    EXPECT_EQ(m_script->snapshot().size(), 1u);
}

TEST_F(PageText, PagesWaitingToBeReadHoldNoPixelsOnceInTheirFiles) {
    const std::shared_ptr<FakeTextScript>& script = m_script;
    script->held = 1;
    {
        SessionImages images(m_dir.path());
        images.setTextReader(m_services.textReader);
        images.setTextLanguages(QStringLiteral("ita"));
        QImage page(400, 300, QImage::Format_Grayscale8);
        page.fill(200);
        for (int i = 0; i < 3; ++i)
            images.append(storePage(page, m_dir.filePath(QStringLiteral("p%1.raw").arg(i)),
                                    images.memoryBudget().get()));
        ASSERT_TRUE(script->waitForCalls(1));
        ASSERT_TRUE(waitFor([&] { return images.settled() && images.bytesInMemory() == 0; }));
        // Only the page being read keeps its pixels (and their share of the budget); the
        // pages queued behind it read theirs from the cache.
        EXPECT_EQ(images.memoryBudget()->used(), qint64(page.bytesPerLine()) * page.height());
        script->release();
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(
                waitFor([&] { return images.imageText(i).state == ImageText::State::Read; }));
        EXPECT_EQ(images.memoryBudget()->used(), 0);
    }
}

} // namespace
