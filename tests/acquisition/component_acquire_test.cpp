// The acquisition as the scan window relies on it: image events with the count already
// updated, one end event with the source closed, the limit, feeder batches and duplex.
#include "VirtualFixture.h"
#include <QImage>

using namespace twain;

namespace {

const QByteArray kFlatbed = R"("name":"Piano","pixelTypes":["BW","GRAY","RGB"],
    "resolutions":[75,100,150,300],"pageSizes":["A4","A5"],"units":["inches","centimeters"])";

const QByteArray kFeeder = R"("name":"ADF","pixelTypes":["GRAY","RGB"],
    "resolutions":[50,100],"defaultResolution":50,"pageSizes":["A4","A5"],
    "feeder":{"present":true,"paperDetectable":true,"sheets":3},"duplex":true)";

} // namespace

class ComponentAcquire : public VirtualFixture {};

TEST_F(ComponentAcquire, SinglePageCountsImageBeforeEventAndClosesSourceAtEnd) {
    openScanner(kFlatbed);
    m_scan->setResolution(75);
    const AcquireRun run = runAcquisition();
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.images, 1);
    EXPECT_EQ(run.countAtEvent, QVector<int>{1});
    EXPECT_EQ(run.openAtEvent, QVector<int>{1});
    EXPECT_EQ(run.endEvents, 1);
    EXPECT_EQ(run.openAtEnd, 0);
    EXPECT_EQ(run.codeAtEnd, 0);
    EXPECT_EQ(m_scan->ImageCount(), 1);
    EXPECT_FALSE(m_scan->ImagePicture(0).isNull());
    EXPECT_TRUE(m_scan->ImagePicture(1).isNull());
    EXPECT_TRUE(m_scan->ImagePicture(-1).isNull());
}

TEST_F(ComponentAcquire, SecondAcquisitionAppendsAtTheNextIndex) {
    openScanner(kFlatbed);
    m_scan->setResolution(75);
    ASSERT_TRUE(runAcquisition().ended);
    const QImage first = m_scan->ImagePicture(0);
    ASSERT_EQ(m_scan->OpenDataSource(), 1);
    m_scan->setResolution(75);
    const AcquireRun second = runAcquisition();
    EXPECT_EQ(second.countAtEvent, QVector<int>{2});
    EXPECT_EQ(m_scan->ImageCount(), 2);
    // Earlier indices keep pointing at the same images.
    EXPECT_EQ(m_scan->ImagePicture(0), first);
    EXPECT_NE(m_scan->ImagePicture(1), first);
}

TEST_F(ComponentAcquire, FeederBatchDeliversEverySheetThenEnds) {
    openScanner(kFeeder);
    m_scan->setFeederEnabled(1);
    ASSERT_EQ(m_scan->LastErrorCode(), 0);
    const AcquireRun run = runAcquisition();
    EXPECT_EQ(run.images, 3);
    EXPECT_EQ(run.countAtEvent, (QVector<int>{1, 2, 3}));
    EXPECT_EQ(run.openAtEvent, (QVector<int>{1, 1, 1}));
    EXPECT_EQ(run.openAtEnd, 0);
    EXPECT_EQ(run.codeAtEnd, 0);
}

TEST_F(ComponentAcquire, DuplexDeliversFrontThenBackOfEachSheet) {
    openScanner(kFeeder);
    m_scan->setImagePixelType(RGB);
    m_scan->setFeederEnabled(1);
    m_scan->setDuplexEnabled(-1); // the window writes its True
    ASSERT_EQ(m_scan->LastErrorCode(), 0);
    EXPECT_EQ(m_scan->DuplexEnabled(), 1);
    const AcquireRun run = runAcquisition();
    ASSERT_EQ(run.images, 6);
    // The header band is red on a front and green on a back.
    for (int i = 0; i < 6; ++i) {
        const QImage img = m_scan->ImagePicture(i).convertToFormat(QImage::Format_RGB32);
        const QColor band = img.pixelColor(img.width() / 2, int(img.height() * 0.05));
        if (i % 2 == 0)
            EXPECT_GT(band.red(), band.green() + 60) << "image " << i;
        else
            EXPECT_GT(band.green(), band.red() + 40) << "image " << i;
    }
}

TEST_F(ComponentAcquire, PixelTypeResolutionAndPageSizeShapeTheImage) {
    struct Case {
        int32_t pixelType;
        int32_t dpi;
        int32_t pageSize;
        QImage::Format format;
        QSize size;
    };
    const Case cases[] = {
        {BW, 100, A4, QImage::Format_Mono, {827, 1169}},
        {Gray, 75, A4, QImage::Format_Grayscale8, {620, 877}},
        {RGB, 150, A5, QImage::Format_RGB888, {874, 1240}},
    };
    openScanner(kFlatbed);
    int index = 0;
    for (const Case& c : cases) {
        ASSERT_EQ(m_scan->OpenDataSource(), 1);
        m_scan->setImagePixelType(c.pixelType);
        m_scan->setResolution(c.dpi);
        m_scan->setPageSize(c.pageSize);
        ASSERT_EQ(m_scan->LastErrorCode(), 0) << m_scan->LastErrorText().toStdString();
        ASSERT_EQ(runAcquisition().images, 1);
        // The full-resolution image is what SaveImage writes.
        const QString bmp = m_dir.filePath(QStringLiteral("p%1.bmp").arg(index));
        ASSERT_EQ(m_scan->SaveImage(index, bmp), 1);
        const QImage saved(bmp);
        EXPECT_EQ(saved.size(), c.size) << "case " << index;
        const QImage preview = m_scan->ImagePicture(index);
        EXPECT_LE(preview.width(), 1000);
        EXPECT_LE(preview.height(), 1400);
        if (c.pixelType == RGB)
            EXPECT_FALSE(preview.isGrayscale());
        else
            EXPECT_TRUE(preview.isGrayscale());
        (void)c.format;
        ++index;
    }
}

TEST_F(ComponentAcquire, ImageLayoutInCentimetresSetsTheFrame) {
    openScanner(kFlatbed);
    m_scan->setResolution(100);
    m_scan->setUnit(Centimeters);
    ASSERT_EQ(m_scan->SetImageLayout(0, 0, 10.16f, 5.08f), 1);
    ASSERT_EQ(runAcquisition().images, 1);
    const QString bmp = m_dir.filePath(QStringLiteral("frame.bmp"));
    m_scan->SaveImage(0, bmp);
    EXPECT_EQ(QImage(bmp).size(), QSize(400, 200));
}

TEST_F(ComponentAcquire, LayoutBeyondTheGlassIsRefusedAndKeepsTheFrame) {
    openScanner(kFlatbed);
    m_scan->setUnit(Centimeters);
    EXPECT_EQ(m_scan->SetImageLayout(0, 0, 40, 50), 0);
    EXPECT_NE(m_scan->LastErrorCode(), 0);
    EXPECT_EQ(m_scan->SetImageLayout(5, 0, 2, 10), 0); // right before left
    EXPECT_EQ(m_scan->LastErrorCode(), componentError::BadValue);
    EXPECT_EQ(m_scan->PageSize(), A4);
}

TEST_F(ComponentAcquire, ImageLimitEndsWithAnErrorBeforeTheNextSheet) {
    openScanner(kFeeder);
    m_scan->setImageLimit(2);
    m_scan->setFeederEnabled(1);
    const AcquireRun run = runAcquisition();
    EXPECT_EQ(run.images, 2);
    EXPECT_EQ(run.codeAtEnd, componentError::ImageLimit);
    EXPECT_FALSE(run.textAtEnd.isEmpty());
    EXPECT_EQ(m_scan->ImageCount(), 2);

    // The limit bounds one acquisition, not the session, and no sheet is fed past it: the
    // next batch takes the third sheet, left in the feeder, at the next index.
    ASSERT_EQ(m_scan->OpenDataSource(), 1);
    m_scan->setFeederEnabled(1);
    const AcquireRun next = runAcquisition();
    EXPECT_EQ(next.countAtEvent, QVector<int>{3});
    EXPECT_EQ(next.codeAtEnd, 0);
}

TEST_F(ComponentAcquire, DuplexImageLimitTakesWholeSheets) {
    openScanner(kFeeder);
    m_scan->setImageLimit(3);
    m_scan->setFeederEnabled(1);
    m_scan->setDuplexEnabled(1);
    const AcquireRun run = runAcquisition();
    EXPECT_EQ(run.images, 2); // the second sheet is not fed for its front alone
    EXPECT_EQ(run.codeAtEnd, componentError::ImageLimit);

    ASSERT_EQ(m_scan->OpenDataSource(), 1);
    m_scan->setImageLimit(kSessionImageLimit);
    m_scan->setFeederEnabled(1);
    m_scan->setDuplexEnabled(1);
    const AcquireRun next = runAcquisition();
    EXPECT_EQ(next.images, 4); // both sides of the two sheets left
    EXPECT_EQ(next.codeAtEnd, 0);
}

TEST_F(ComponentAcquire, AcquireNeedsAnOpenSourceAndOnlyOneAtATime) {
    openScanner(kFlatbed);
    ASSERT_EQ(m_scan->CloseDataSource(), 1);
    EXPECT_EQ(m_scan->Acquire(), 0);
    EXPECT_EQ(m_scan->LastErrorCode(), componentError::SourceNotOpen);

    ASSERT_EQ(m_scan->OpenDataSource(), 1);
    m_scan->setResolution(75);
    QSignalSpy spy(m_scan.get(), &ScanComponent::PostScan);
    ASSERT_EQ(m_scan->Acquire(), 1);
    EXPECT_EQ(m_scan->Acquire(), 0);
    EXPECT_EQ(m_scan->LastErrorCode(), componentError::Busy);
    // Settings cannot change under a running acquisition.
    m_scan->setResolution(150);
    EXPECT_EQ(m_scan->LastErrorCode(), componentError::Busy);
    ASSERT_TRUE(waitFor([&] { return !spy.isEmpty() && spy.last().at(0).toInt() != 0; }));
    EXPECT_EQ(m_scan->ImageCount(), 1);
}

struct ImageCountCase {
    const char* name;
    int32_t feeder, duplex, limit;
    int images;
};

class ComponentImageCount : public VirtualFixture,
                            public ::testing::WithParamInterface<ImageCountCase> {};

TEST_P(ComponentImageCount, DeliversWhatTheRequestAsksWithoutAnError) {
    const ImageCountCase& c = GetParam();
    openScanner(kFeeder);
    m_scan->setImageLimit(c.limit);
    m_scan->setFeederEnabled(c.feeder);
    m_scan->setDuplexEnabled(c.duplex);
    const AcquireRun run = runAcquisition();
    EXPECT_EQ(run.images, c.images);
    EXPECT_EQ(run.codeAtEnd, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ComponentImageCount,
    ::testing::Values(
        // Duplex applies to the feeder only: a single page from the glass is one image.
        ImageCountCase{"SinglePageOnFeederScannerDeliversOneImage", 0, 1, kSessionImageLimit, 1},
        ImageCountCase{"BatchThatFitsTheLimitExactlyIsNoError", 1, 0, 3, 3}),
    [](const auto& info) { return std::string(info.param.name); });
