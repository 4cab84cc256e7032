// The virtual scanner file format (what is accepted, what is refused and how the refusal
// reads) and the generated pages (format, size, pages a person tells apart).
#include "acquisition/PageRenderer.h"
#include "acquisition/ScanError.h"
#include "acquisition/TwainCodes.h"
#include "acquisition/VirtualScanner.h"
#include "acquisition/VirtualScannerConfig.h"
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace twain;

TEST(VirtualScannerFile, NamesAndCodesReadAlikeAndDefaultsFillTheRest) {
    const VirtualScannerFile f = parseVirtualScanners(R"({"scanners":[
        {"name":"  Uno  ","pixelTypes":["rgb",1],"units":["Centimeters",0],
         "pageSizes":["A3",5,"a4"],"resolutions":[300,100,300],
         "feeder":{"sheets":4},"duplex":true,
         "faults":{"errorAfterPage":{"page":2,"code":5,"text":"T"},"jamOnPage":{"page":3}}},
        {"name":"Due","resolutions":{"min":50,"max":600,"step":50,"default":150}}]})");
    ASSERT_EQ(f.scanners.size(), 2);
    const VirtualScannerSpec& a = f.scanners[0];
    EXPECT_EQ(a.name, QStringLiteral("Uno"));
    EXPECT_EQ(a.pixelTypes, (QVector<int32_t>{RGB, Gray}));
    EXPECT_EQ(a.units, (QVector<int32_t>{Centimeters, Inches}));
    EXPECT_EQ(a.pageSizes, (QVector<int32_t>{A3, A5, A4}));
    EXPECT_EQ(a.resolutions, (QVector<int32_t>{100, 300}));
    EXPECT_TRUE(a.feederPresent);
    EXPECT_TRUE(a.paperDetectable);
    EXPECT_EQ(a.sheets, 4);
    ASSERT_TRUE(a.errorAfterPage);
    EXPECT_EQ(a.errorAfterPage->page, 2);
    EXPECT_EQ(a.errorAfterPage->fault.code, 5);
    ASSERT_TRUE(a.jamOnPage);
    EXPECT_EQ(a.jamOnPage->fault.code, 6); // the default jam code and text
    EXPECT_FALSE(a.jamOnPage->fault.text.isEmpty());
    EXPECT_FALSE(a.openFault);

    const VirtualScannerSpec& b = f.scanners[1];
    EXPECT_TRUE(b.resolutionRange);
    EXPECT_EQ(b.resolutionMin, 50);
    EXPECT_EQ(b.resolutionMax, 600);
    EXPECT_EQ(b.resolutionStep, 50);
    EXPECT_FALSE(b.feederPresent);
    EXPECT_FALSE(b.duplex);
    EXPECT_EQ(b.pixelTypes, (QVector<int32_t>{BW, Gray, RGB}));
}

TEST(VirtualScannerFile, BadInputIsRefusedWithTheFieldNamed) {
    struct Case {
        const char* json;
        const char* mentions;
    };
    const Case cases[] = {
        {"{", "JSON"},
        {"[]", "scanners"},
        {R"({"scanners":{}})", "scanners"},
        {R"({"scanners":[3]})", "scanners"},
        {R"({"scanners":[{}]})", "name"},
        {R"({"scanners":[{"name":""}]})", "name"},
        {R"({"scanners":[{"name":"A"},{"name":"A"}]})", "A"},
        {R"({"scanners":[{"name":"A","pixelTypes":["CMYK"]}]})", "pixelTypes"},
        {R"({"scanners":[{"name":"A","pixelTypes":[]}]})", "pixelTypes"},
        {R"({"scanners":[{"name":"A","units":[9]}]})", "units"},
        {R"({"scanners":[{"name":"A","pageSizes":["A9"]}]})", "pageSizes"},
        {R"({"scanners":[{"name":"A","resolutions":[0]}]})", "resolutions"},
        {R"({"scanners":[{"name":"A","resolutions":[]}]})", "resolutions"},
        {R"({"scanners":[{"name":"A","resolutions":{"min":600,"max":100}}]})", "resolutions"},
        {R"({"scanners":[{"name":"A","brightness":{"min":0,"max":10,"step":0}}]})", "brightness"},
        {R"({"scanners":[{"name":"A","feeder":{"sheets":-1}}]})", "sheets"},
        {R"({"scanners":[{"name":"A","feeder":{"sheets":2.5}}]})", "sheets"},
        {R"({"scanners":[{"name":"A","duplex":"si"}]})", "duplex"},
        {R"({"scanners":[{"name":"A","faults":{"jamOnPage":{"page":0}}}]})", "jamOnPage"},
        {R"({"scanners":[{"name":"A","faults":{"errorAfterPage":{"page":1,"code":0}}}]})",
         "errorAfterPage"},
        {R"({"scanners":[{"name":"A","faults":{"openFails":"sempre"}}]})", "openFails"},
        {R"({"scanners":[{"name":"A","pageDelayMs":-5}]})", "pageDelayMs"},
        {R"({"startDelayMs":"tanto","scanners":[]})", "startDelayMs"},
    };
    for (const Case& c : cases) {
        try {
            parseVirtualScanners(QByteArray(c.json));
            ADD_FAILURE() << "accepted: " << c.json;
        } catch (const ScanError& e) {
            EXPECT_TRUE(e.text().contains(QLatin1String(c.mentions)))
                << c.json << " -> " << e.text().toStdString();
        }
    }
}

TEST(VirtualScannerFile, ShippedExampleDescribesTheTwoScanners) {
    QFile f(QStringLiteral(SCANSIONE_SOURCE_DIR "/examples/virtual-scanners.json"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const VirtualScannerFile file = parseVirtualScanners(f.readAll());
    ASSERT_EQ(file.scanners.size(), 2);
    EXPECT_EQ(file.scanners[0].name, QStringLiteral("Scanner piano virtuale"));
    EXPECT_FALSE(file.scanners[0].feederPresent);
    EXPECT_EQ(file.scanners[1].name, QStringLiteral("Scanner ADF fronte retro virtuale"));
    EXPECT_TRUE(file.scanners[1].feederPresent);
    EXPECT_TRUE(file.scanners[1].duplex);
}

TEST(PageRendering, FormatSizeAndResolutionFollowTheRequest) {
    struct Case {
        int32_t pixelType;
        double dpi;
        QImage::Format format;
    };
    for (const Case& c :
         {Case{BW, 200, QImage::Format_Mono}, Case{Gray, 150, QImage::Format_Grayscale8},
          Case{RGB, 100, QImage::Format_RGB888}}) {
        PageSpec layout;
        layout.pixelType = c.pixelType;
        layout.dpiX = layout.dpiY = c.dpi;
        layout.sizeInches = QSizeF(210 / 25.4, 297 / 25.4);
        const QImage img = renderPage(layout);
        ASSERT_FALSE(img.isNull());
        EXPECT_EQ(img.format(), c.format);
        EXPECT_EQ(img.size(),
                  QSize(int(std::lround(8.2677 * c.dpi)), int(std::lround(11.6929 * c.dpi))));
        EXPECT_NEAR(img.dotsPerMeterX() * 0.0254, c.dpi, 0.05);
        if (c.format == QImage::Format_Mono) {
            // Mostly paper, some ink: index 0 is white.
            EXPECT_EQ(img.color(0), qRgb(255, 255, 255));
            EXPECT_EQ(img.color(1), qRgb(0, 0, 0));
            int black = 0;
            for (int y = 0; y < img.height(); y += 7)
                for (int x = 0; x < img.width(); x += 7)
                    black += img.pixelIndex(x, y);
            const int samples = (img.height() / 7 + 1) * (img.width() / 7 + 1);
            EXPECT_GT(black, samples / 100);
            EXPECT_LT(black, samples / 2);
        }
    }
}

TEST(PageRendering, PagesDifferAndAReusedCanvasLeavesEarlierPagesIntact) {
    PageSpec layout;
    layout.pixelType = RGB;
    layout.dpiX = layout.dpiY = 100;
    QImage canvas;
    layout.image = 1;
    const QImage first = renderPage(layout, &canvas);
    const QImage firstCopy = first.copy();
    layout.image = 2;
    layout.back = true;
    const QImage second = renderPage(layout, &canvas);
    EXPECT_NE(first, second);
    EXPECT_EQ(first, firstCopy); // still held by its receiver: painted over would be data loss
    layout.image = 1;
    layout.back = false;
    EXPECT_EQ(renderPage(layout), firstCopy); // the same request gives the same page
}

TEST(PageRendering, ColourA4At300DpiIsQuick) {
    PageSpec layout;
    layout.pixelType = RGB;
    QImage canvas;
    renderPage(layout, &canvas); // first use allocates
    QElapsedTimer t;
    t.start();
    const int pages = 3;
    for (int i = 0; i < pages; ++i) {
        layout.image = i + 2;
        ASSERT_FALSE(renderPage(layout, &canvas).isNull());
    }
    // Far looser than the figure the benchmark reports; catches an accidental slow path.
    EXPECT_LT(t.elapsed() / pages, 1000);
}

TEST(VirtualLayer, FeederKeepsItsSheetsAcrossOpensAndRefillsWhenEmpty) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("s.json"));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(R"({"scanners":[{"name":"F","pixelTypes":["GRAY"],"resolutions":[20],
                "feeder":{"sheets":3}}]})");
    f.close();
    VirtualScannerLayer layer(path);
    ASSERT_TRUE(layer.start().ok());

    struct Sink : AcquireSink {
        int accept = 1000;
        QVector<QImage> images;
        bool image(QImage img) override {
            images << img;
            return int(images.size()) < accept;
        }
        void progress(int64_t, int64_t) override {}
        bool cancelled() const override { return false; }
    };
    AcquireRequest batch;
    batch.feeder = true;
    batch.maxImages = 100;
    {
        auto device = layer.open(QStringLiteral("F"));
        ASSERT_TRUE(device->setCapability(CAP_FEEDERENABLED, 1).ok());
        Sink sink;
        sink.accept = 2; // the receiver stops the batch after two sheets
        EXPECT_TRUE(device->acquire(batch, sink).ok());
        EXPECT_EQ(sink.images.size(), 2);
    }
    {
        auto device = layer.open(QStringLiteral("F"));
        EXPECT_EQ(device->capability(CAP_FEEDERLOADED)->current, 1);
        Sink sink;
        EXPECT_TRUE(device->acquire(batch, sink).ok());
        EXPECT_EQ(sink.images.size(), 1); // the one sheet left in the feeder
        Sink again;
        EXPECT_TRUE(device->acquire(batch, again).ok());
        EXPECT_EQ(again.images.size(), 3); // the stack put back
    }
    EXPECT_THROW(layer.open(QStringLiteral("nessuno")), ScanError);
}
