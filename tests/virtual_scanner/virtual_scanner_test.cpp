// The virtual scanner file format (what is accepted, what is refused and how the refusal
// reads) and the generated pages (format, size, pages a person tells apart).
#include "virtual_scanner/PageRenderer.h"
#include "component_base/ScanError.h"
#include "component_base/TwainCodes.h"
#include "virtual_scanner/VirtualScanner.h"
#include "virtual_scanner/VirtualScannerConfig.h"
#include "support/PixelTypes.h"
#include "support/Promptly.h"
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <cmath>
#include <gtest/gtest.h>
#include <sys/stat.h>

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
        // The parser's reason in our words, not Qt's English ("illegal value").
        {R"({"scanners": [tru]})", "JSON non valido alla posizione 18: valore non valido"},
        {R"({"scanners": ["A)", "testo tra virgolette non chiuso"},
        {R"({"scanners": []} x)", "posizione 17: testo in pi"},
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
        // Numbers that would wrap, loop or convert to nothing defined.
        {R"({"scanners":[{"name":"A","resolutions":[300000000]}]})", "resolutions"},
        {R"({"scanners":[{"name":"A","resolutions":{"min":75,"max":3e8}}]})", "resolutions"},
        {R"({"scanners":[{"name":"A","resolutions":{"min":300,"max":300,"step":1e-300}}]})",
         "resolutions"},
        {R"({"scanners":[{"name":"A","brightness":{"min":0,"max":1000,"step":0.001}}]})",
         "brightness"},
        {R"({"scanners":[{"name":"A","contrast":{"min":-1e300,"max":1e300,"step":1e298}}]})",
         "contrast"},
        {R"({"scanners":[{"name":"A","defaultResolution":1e300}]})", "defaultResolution"},
        {R"({"scanners":[{"name":"A","defaultResolution":-300}]})", "defaultResolution"},
        {R"({"scanners":[{"name":"A","faults":{"openFails":{"code":1e10}}}]})", "openFails"},
        {R"({"scanners":[{"name":"A","faults":{"openFails":{"code":2.5}}}]})", "openFails"},
        {R"({"scanners":[{"name":"A","faults":{"jamOnPage":{"page":1e300}}}]})", "jamOnPage"},
        {R"({"scanners":[{"name":"A","pageDelayMs":10.5}]})", "pageDelayMs"},
        // The sheets of an office's stack name sheets that are there.
        {R"({"scanners":[{"name":"A","duplex":true,"feeder":{"sheets":5,"blankBacks":[0]}}]})",
         "campo \"feeder.blankBacks\": serve un elenco di fogli, interi tra 1 e 5"},
        {R"({"scanners":[{"name":"A","duplex":true,"feeder":{"sheets":5,"blankBacks":[6]}}]})",
         "feeder.blankBacks"},
        {R"({"scanners":[{"name":"A","duplex":true,"feeder":{"sheets":5,"blankBacks":2}}]})",
         "feeder.blankBacks"},
        {R"({"scanners":[{"name":"A","feeder":{"sheets":5,"blankBacks":[2]}}]})",
         "feeder.blankBacks\": i retri si leggono solo con \"duplex\": true"},
        {R"({"scanners":[{"name":"A","feeder":{"sheets":5,"upsideDown":[1.5]}}]})",
         "feeder.upsideDown"},
        {R"({"scanners":[{"name":"A","feeder":{"sheets":5,"upsideDown":["3"]}}]})",
         "feeder.upsideDown"},
        {R"({"scanners":[{"name":"A","feeder":{"sheets":5,"skewDegrees":[1.5]}}]})",
         "campo \"feeder.skewDegrees\": serve un oggetto"},
        {R"({"scanners":[{"name":"A","feeder":{"sheets":5,"skewDegrees":{"quinto":1}}}]})",
         "\"quinto\" non e' un foglio tra 1 e 5"},
        {R"({"scanners":[{"name":"A","feeder":{"sheets":5,"skewDegrees":{"9":1}}}]})",
         "feeder.skewDegrees"},
        {R"({"scanners":[{"name":"A","feeder":{"sheets":5,"skewDegrees":{"5":45}}}]})",
         "foglio 5: serve un angolo tra -10 e 10 gradi"},
        {R"({"scanners":[{"name":"A","feeder":{"sheets":5,"skewDegrees":{"5":"poco"}}}]})",
         "feeder.skewDegrees"},
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

TEST(VirtualScannerFile, ShippedExampleDescribesTheThreeScanners) {
    QFile f(QStringLiteral(SCANSIONE_SOURCE_DIR "/examples/virtual-scanners.json"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const VirtualScannerFile file = parseVirtualScanners(f.readAll());
    ASSERT_EQ(file.scanners.size(), 3);
    EXPECT_EQ(file.scanners[0].name, QStringLiteral("Scanner piano virtuale"));
    EXPECT_FALSE(file.scanners[0].feederPresent);
    EXPECT_EQ(file.scanners[1].name, QStringLiteral("Scanner ADF fronte retro virtuale"));
    EXPECT_TRUE(file.scanners[1].feederPresent);
    EXPECT_TRUE(file.scanners[1].duplex);
    EXPECT_TRUE(file.scanners[1].blankBacks.isEmpty());
    const VirtualScannerSpec& office = file.scanners[2];
    EXPECT_EQ(office.name, QStringLiteral("Scanner ADF ufficio virtuale"));
    EXPECT_EQ(office.sheets, 5);
    EXPECT_EQ(office.blankBacks, (QVector<int>{2, 4}));
    EXPECT_EQ(office.upsideDown, (QVector<int>{3}));
    EXPECT_EQ(office.skewDegrees, (QMap<int, double>{{5, 1.5}}));
}

// Share of a grey page's pixels darker than `level`.
static double darkShare(const QImage& grey, int level) {
    qint64 dark = 0;
    for (int y = 0; y < grey.height(); ++y) {
        const uchar* line = grey.constScanLine(y);
        for (int x = 0; x < grey.width(); ++x)
            dark += line[x] < level;
    }
    return double(dark) / (qint64(grey.width()) * grey.height());
}

TEST(PageRendering, SheetsFedAsAnOfficeFeedsThem) {
    PageSpec layout;
    layout.pixelType = Gray;
    layout.dpiX = layout.dpiY = 100;
    layout.image = 4;
    layout.sheet = 2;
    layout.back = true;
    const QImage straight = renderPage(layout);
    ASSERT_FALSE(straight.isNull());

    PageSpec turned = layout;
    turned.upsideDown = true;
    EXPECT_EQ(renderPage(turned), straight.mirrored(true, true));

    // Askew: the corner mark has left the corner, which is the scanner's white, and the paper
    // inside is the page turned, not the page.
    PageSpec askew = layout;
    askew.skewDegrees = 1.5;
    const QImage skewed = renderPage(askew);
    ASSERT_EQ(skewed.size(), straight.size());
    EXPECT_EQ(qGray(straight.pixel(2, 2)), 20);
    EXPECT_EQ(qGray(skewed.pixel(2, 2)), 255);
    EXPECT_NE(skewed, straight);
    EXPECT_NEAR(darkShare(skewed, 128), darkShare(straight, 128), 0.01);

    // A blank back: next to no ink, but the front's print showing through faintly.
    PageSpec blank = layout;
    blank.blank = true;
    const QImage back = renderPage(blank);
    ASSERT_EQ(back.size(), straight.size());
    EXPECT_GT(darkShare(straight, 128), 0.02);
    EXPECT_LT(darkShare(back, 128), 0.002);
    EXPECT_GT(darkShare(back, 250) - darkShare(back, 128), 0.01); // show-through
    EXPECT_EQ(renderPage(blank), back);                            // the same every time
}

TEST(PageRendering, FormatSizeAndResolutionFollowTheRequest) {
    struct Case {
        int32_t pixelType;
        double dpi;
    };
    for (const Case& c : {Case{BW, 200}, Case{Gray, 150}, Case{RGB, 100}}) {
        PageSpec layout;
        layout.pixelType = c.pixelType;
        layout.dpiX = layout.dpiY = c.dpi;
        layout.sizeInches = QSizeF(210 / 25.4, 297 / 25.4);
        const QImage img = renderPage(layout);
        ASSERT_FALSE(img.isNull());
        const QImage::Format format = pageFormatOf(c.pixelType);
        EXPECT_EQ(img.format(), format);
        EXPECT_EQ(img.size(),
                  QSize(int(std::lround(8.2677 * c.dpi)), int(std::lround(11.6929 * c.dpi))));
        EXPECT_NEAR(img.dotsPerMeterX() * 0.0254, c.dpi, 0.05);
        if (format == QImage::Format_Mono) {
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

TEST(PageRendering, AbsurdResolutionGivesNoPageRatherThanAWrappedOne) {
    for (const double dpi : {3e8, 1e20, std::nan("")}) {
        PageSpec layout; // an A4 page
        layout.dpiX = layout.dpiY = dpi;
        const QSize px = pagePixels(layout);
        EXPECT_GT(qint64(px.width()) * px.height(), qint64(1) << 40) << dpi;
        EXPECT_TRUE(renderPage(layout).isNull()) << dpi;
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
    // The speed is the benchmark's to show; this bound, far above a sanitizer build's figure
    // on a busy machine, only catches a path gone pathologically slow.
    EXPECT_LT(t.elapsed() / pages, 5000);
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

namespace {

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes) {
    const QString path = dir.filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        ADD_FAILURE() << "cannot write " << path.toStdString();
    return path;
}

} // namespace

// Whatever stands at the file's path, the layer answers at once: a FIFO is not waited on, a
// device or a huge file is not read, and the refusal names the file and the reason.
TEST(VirtualLayer, OnlyARegularFileWithinTheBoundIsRead) {
    QTemporaryDir dir;
    const QByteArray valid = R"({"scanners":[{"name":"A"}]})";
    const QString fifo = dir.filePath(QStringLiteral("fifo.json"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString zeroLink = dir.filePath(QStringLiteral("zero.json"));
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/zero"), zeroLink));
    const QString huge = writeFile(dir, QStringLiteral("huge.json"), valid);
    ASSERT_TRUE(QFile(huge).resize(qint64(4) << 30)); // sparse: takes no disk
    const QString atBound =
        writeFile(dir, QStringLiteral("bound.json"),
                  valid + QByteArray(kVirtualScannerFileMaxBytes - valid.size(), ' '));
    const QString overBound =
        writeFile(dir, QStringLiteral("over.json"),
                  valid + QByteArray(kVirtualScannerFileMaxBytes - valid.size() + 1, ' '));
    const QString link = dir.filePath(QStringLiteral("link.json"));
    ASSERT_TRUE(QFile::link(atBound, link));

    struct Case {
        QString path;
        const char* reason; ///< nullptr: the file loads
    };
    const Case cases[] = {
        {fifo, "non e' un file normale"},
        {QStringLiteral("/dev/zero"), "non e' un file normale"},
        {zeroLink, "non e' un file normale"},
        {dir.path(), "non e' un file normale"},
        {huge, "piu' grande di 1048576 byte"},
        {overBound, "piu' grande di 1048576 byte"},
        {dir.filePath(QStringLiteral("missing.json")), ""},
        {atBound, nullptr},
        {link, nullptr},
    };
    for (const Case& c : cases) {
        DeviceStatus status;
        ASSERT_TRUE(finishesWithin(
            10, [&] { status = VirtualScannerLayer(c.path).start(); }, QFile::encodeName(fifo)))
            << "blocked on " << c.path.toStdString();
        if (!c.reason) {
            EXPECT_TRUE(status.ok()) << c.path.toStdString() << ": " << status.text.toStdString();
            continue;
        }
        EXPECT_FALSE(status.ok()) << c.path.toStdString();
        EXPECT_TRUE(status.text.contains(QStringLiteral("scanner virtuali: ") + c.path + u':'))
            << status.text.toStdString();
        EXPECT_TRUE(status.text.contains(QLatin1String(c.reason))) << status.text.toStdString();
    }
    struct stat info {};
    ASSERT_EQ(::lstat(QFile::encodeName(fifo).constData(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

// A value no comparison can place (NaN) would reach the page as its resolution.
TEST(VirtualLayer, NotANumberIsRefusedForARange) {
    QTemporaryDir dir;
    VirtualScannerLayer layer(
        writeFile(dir, QStringLiteral("s.json"),
                  R"({"scanners":[{"name":"R","resolutions":{"min":75,"max":1200,"step":1}}]})"));
    ASSERT_TRUE(layer.start().ok());
    auto device = layer.open(QStringLiteral("R"));
    for (const uint16_t id : {ICAP_XRESOLUTION, ICAP_BRIGHTNESS, ICAP_THRESHOLD}) {
        const double before = device->capability(id)->current;
        EXPECT_FALSE(device->setCapability(id, std::nan("")).ok()) << id;
        EXPECT_EQ(device->capability(id)->current, before) << id;
    }
}
