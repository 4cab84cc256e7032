// The SANE layer against SANE's own test backend (tests/sane lists only it, two devices, an
// area of 450 mm), through the worker program as the component runs it. Options specific to
// the test backend are set through SaneWorkerDevice::setOption.
#include "SaneTestSupport.h"
#include "component_base/ScanError.h"
#include "worker_process/SaneStatus.h"
#include "acquisition_sane/SaneWorkerLayer.h"
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <cmath>
#include <future>
#include <gtest/gtest.h>
#include <thread>

using namespace twain;

namespace {

class SaneLayerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(qEnvironmentVariableIsSet("SANE_CONFIG_DIR"))
            << "the tests need SANE_CONFIG_DIR pointing at tests/sane";
        const DeviceStatus st = m_layer.start();
        ASSERT_TRUE(st.ok()) << st.text.toStdString();
    }

    /// Opens test:0 (or another) and returns it as the SANE device it is.
    SaneWorkerDevice& open(const QString& id = QStringLiteral("test:0")) {
        m_device = m_layer.open(id);
        auto* d = dynamic_cast<SaneWorkerDevice*>(m_device.get());
        EXPECT_NE(d, nullptr);
        return *d;
    }

    void set(SaneWorkerDevice& d, const char* name, const QString& value) {
        const DeviceStatus st = d.setOption(name, value);
        ASSERT_TRUE(st.ok()) << name << " = " << value.toStdString() << ": "
                             << st.text.toStdString();
    }

    /// One flatbed image with the device as it is set.
    QImage scanOne(SaneWorkerDevice& d) {
        RecordingSink sink;
        const DeviceStatus st = d.acquire(acquireRequest(), sink);
        EXPECT_TRUE(st.ok()) << st.text.toStdString();
        EXPECT_EQ(sink.images.size(), 1);
        return sink.images.value(0);
    }

    /// The colour test picture, read with the device's other options as they are set: the
    /// image an odd way of reading it must give again.
    QImage colourPattern(SaneWorkerDevice& d) {
        set(d, "mode", "Color");
        set(d, "test-picture", "Color pattern");
        return scanOne(d);
    }

    SaneWorkerLayer m_layer;
    std::unique_ptr<ScanDevice> m_device;
};

// --- Devices ------------------------------------------------------------------------------

TEST_F(SaneLayerTest, ListsBothTestDevicesTellingApartTheirSharedModel) {
    const QVector<DeviceInfo> devices = m_layer.devices();
    ASSERT_EQ(devices.size(), 2);
    EXPECT_EQ(devices[0].id, "test:0");
    EXPECT_EQ(devices[1].id, "test:1");
    EXPECT_EQ(devices[0].name, "Noname frontend-tester (test:0)");
    EXPECT_EQ(devices[1].name, "Noname frontend-tester (test:1)");
}

TEST_F(SaneLayerTest, EveryStartEnumeratesAfresh) {
    ASSERT_TRUE(m_layer.start().ok());
    EXPECT_EQ(m_layer.devices().size(), 2);
}

TEST_F(SaneLayerTest, OpeningAnUnknownDeviceThrows) {
    try {
        m_layer.open(QStringLiteral("nosuchbackend:0"));
        FAIL() << "no exception";
    } catch (const ScanError& e) {
        EXPECT_NE(e.code(), 0);
        EXPECT_FALSE(e.text().isEmpty());
    }
}

TEST_F(SaneLayerTest, BothDevicesOpenAtOnce) {
    auto first = m_layer.open(QStringLiteral("test:0"));
    auto second = m_layer.open(QStringLiteral("test:1"));
    EXPECT_TRUE(first->capability(ICAP_PIXELTYPE).has_value());
    EXPECT_TRUE(second->capability(ICAP_PIXELTYPE).has_value());
}

TEST(SaneLayerLifetime, EachLayerRunsAWorkerOfItsOwn) {
    SaneWorkerLayer first, second;
    ASSERT_TRUE(first.start().ok());
    ASSERT_TRUE(second.start().ok());
    EXPECT_NE(first.workerPid(), 0);
    EXPECT_NE(first.workerPid(), second.workerPid());
    EXPECT_EQ(second.devices().size(), 2);
}

TEST(SaneLayerLifetime, ADeviceKeepsItsWorkerAfterItsLayerStops) {
    SaneWorkerLayer layer;
    ASSERT_TRUE(layer.start().ok());
    auto device = layer.open(QStringLiteral("test:0"));
    const pid_t pid = dynamic_cast<SaneWorkerDevice&>(*device).workerPid();
    layer.stop();
    EXPECT_EQ(layer.workerPid(), 0);
    RecordingSink sink;
    EXPECT_TRUE(device->acquire(acquireRequest(), sink).ok());
    EXPECT_EQ(sink.images.size(), 1);
    device.reset();
    EXPECT_TRUE(processGone(pid, 5000)); // let go, closed its device and SANE, and was reaped
}

// Each worker reads SANE's configuration as it starts.
TEST(SaneLayerLifetime, NoBackendMeansAnEmptyListAndAWorkingLayer) {
    QTemporaryDir config;
    QFile dll(config.filePath(QStringLiteral("dll.conf")));
    ASSERT_TRUE(dll.open(QIODevice::WriteOnly));
    dll.close();
    const QByteArray old = qgetenv("SANE_CONFIG_DIR");
    qputenv("SANE_CONFIG_DIR", config.path().toUtf8());
    SaneWorkerLayer layer;
    const DeviceStatus st = layer.start();
    qputenv("SANE_CONFIG_DIR", old);
    EXPECT_TRUE(st.ok()) << st.text.toStdString();
    EXPECT_TRUE(layer.devices().isEmpty());
    EXPECT_ANY_THROW(layer.open(QStringLiteral("nosuchbackend:0")));
}

// --- Options as capabilities --------------------------------------------------------------

TEST_F(SaneLayerTest, ReportsTheTestBackendsOptionsAsCapabilities) {
    SaneWorkerDevice& d = open();
    const QVector<uint16_t> ids = d.capabilityIds();
    for (uint16_t id : {ICAP_PIXELTYPE, ICAP_BITDEPTH, ICAP_XRESOLUTION, ICAP_YRESOLUTION,
                        ICAP_UNITS, ICAP_PHYSICALWIDTH, ICAP_PHYSICALHEIGHT, ICAP_SUPPORTEDSIZES,
                        CUSTOM_FEEDERPRESENT, CAP_FEEDERENABLED, CAP_DUPLEX, CAP_PAPERDETECTABLE})
        EXPECT_TRUE(ids.contains(id)) << std::hex << id;
    // No such options on the test backend: not supported, not invented.
    for (uint16_t id : {ICAP_BRIGHTNESS, ICAP_CONTRAST, ICAP_THRESHOLD, CAP_DUPLEXENABLED,
                        CAP_FEEDERLOADED, ICAP_JPEGQUALITY}) {
        EXPECT_FALSE(ids.contains(id)) << std::hex << id;
        EXPECT_FALSE(d.capability(id).has_value()) << std::hex << id;
        EXPECT_EQ(d.setCapability(id, 1).code, sanestatus::NotSupported) << std::hex << id;
    }

    const auto resolution = d.capability(ICAP_XRESOLUTION);
    ASSERT_TRUE(resolution);
    EXPECT_EQ(resolution->container, Range); // a range stays a range
    EXPECT_EQ(resolution->min, 1);
    EXPECT_EQ(resolution->max, 1200);
    EXPECT_EQ(resolution->step, 1);
    EXPECT_EQ(resolution->current, 50);

    const auto depth = d.capability(ICAP_BITDEPTH);
    ASSERT_TRUE(depth);
    EXPECT_EQ(depth->container, Enumeration); // a list stays a list
    EXPECT_EQ(depth->items, (QVector<double>{1, 8, 16}));
    EXPECT_EQ(depth->current, 8);

    const auto pixel = d.capability(ICAP_PIXELTYPE);
    ASSERT_TRUE(pixel);
    EXPECT_EQ(pixel->items, (QVector<double>{BW, Gray, RGB}));
    EXPECT_EQ(pixel->current, Gray);

    EXPECT_EQ(d.capability(CUSTOM_FEEDERPRESENT)->current, 1);
    EXPECT_EQ(d.capability(CAP_FEEDERENABLED)->current, 0);
    EXPECT_EQ(d.capability(CAP_DUPLEX)->current, 0);
    EXPECT_EQ(d.capability(CAP_PAPERDETECTABLE)->current, 0);
}

TEST_F(SaneLayerTest, PhysicalSizeAndPageSizesFollowTheArea) {
    SaneWorkerDevice& d = open();
    ASSERT_TRUE(d.setCapability(ICAP_UNITS, Centimeters).ok());
    EXPECT_NEAR(d.capability(ICAP_PHYSICALWIDTH)->current, 45.0, 1e-9);
    EXPECT_NEAR(d.capability(ICAP_PHYSICALHEIGHT)->current, 45.0, 1e-9);
    ASSERT_TRUE(d.setCapability(ICAP_UNITS, Inches).ok());
    EXPECT_NEAR(d.capability(ICAP_PHYSICALWIDTH)->current, 450 / 25.4, 1e-9);

    const auto sizes = d.capability(ICAP_SUPPORTEDSIZES);
    ASSERT_TRUE(sizes);
    EXPECT_TRUE(sizes->items.contains(SizeNone));
    EXPECT_TRUE(sizes->items.contains(A4));
    EXPECT_TRUE(sizes->items.contains(A3));       // 297 x 420 in 450 x 450
    EXPECT_TRUE(sizes->items.contains(USLedger)); // 279.4 x 431.8
    EXPECT_FALSE(sizes->items.contains(B3));      // 353 x 500 does not fit
    EXPECT_EQ(sizes->current, SizeNone);          // the default 80 x 100 mm frame
}

TEST_F(SaneLayerTest, PageSizeSetsTheFrameAndReadsBack) {
    SaneWorkerDevice& d = open();
    set(d, "resolution", "254"); // ten pixels per millimetre
    struct Case {
        int code;
        double widthMm, heightMm;
    };
    for (Case c : {Case{A4, 210, 297}, Case{A3, 297, 420}, Case{A5, 148, 210},
                   Case{USLetter, 215.9, 279.4}, Case{SizeNone, 450, 450}}) {
        SCOPED_TRACE(c.code);
        const DeviceStatus st = d.setCapability(ICAP_SUPPORTEDSIZES, c.code);
        ASSERT_TRUE(st.ok()) << st.text.toStdString();
        EXPECT_EQ(d.capability(ICAP_SUPPORTEDSIZES)->current, c.code);
        if (c.code == A3 || c.code == SizeNone)
            continue; // a 450 mm square at 254 dpi is 60 MB of grey: the size is enough
        const QImage image = scanOne(d);
        EXPECT_NEAR(image.width(), c.widthMm * 10, 10); // the backend's 1 mm step
        EXPECT_NEAR(image.height(), c.heightMm * 10, 10);
    }
}

TEST_F(SaneLayerTest, APageSizeThatDoesNotFitIsRefusedAndTheFrameStays) {
    SaneWorkerDevice& d = open();
    ASSERT_TRUE(d.setCapability(ICAP_SUPPORTEDSIZES, A4).ok());
    EXPECT_EQ(d.setCapability(ICAP_SUPPORTEDSIZES, B3).code, sanestatus::ValueNotOffered);
    EXPECT_EQ(d.setCapability(ICAP_SUPPORTEDSIZES, 999).code, sanestatus::ValueNotOffered);
    EXPECT_EQ(d.capability(ICAP_SUPPORTEDSIZES)->current, A4);
}

TEST_F(SaneLayerTest, ImageLayoutIsTakenInTheCurrentUnit) {
    SaneWorkerDevice& d = open();
    set(d, "resolution", "100");
    struct Case {
        int unit;
        double left, top, right, bottom;
        int widthPx, heightPx; // at 100 dpi
    };
    const Case cases[] = {
        {Inches, 0, 0, 2, 3, 200, 300},       {Centimeters, 1, 1, 6.08, 11.16, 200, 400},
        {Points, 0, 0, 144, 72, 200, 100},    {Twips, 0, 0, 1440, 2880, 100, 200},
        {Pixels, 10, 20, 210, 120, 200, 100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.unit);
        ASSERT_TRUE(d.setCapability(ICAP_UNITS, c.unit).ok());
        const DeviceStatus st = d.setImageLayout(c.left, c.top, c.right, c.bottom);
        ASSERT_TRUE(st.ok()) << st.text.toStdString();
        const QImage image = scanOne(d);
        EXPECT_NEAR(image.width(), c.widthPx, 4);
        EXPECT_NEAR(image.height(), c.heightPx, 4);
    }
}

TEST_F(SaneLayerTest, ABadLayoutIsRefusedWithoutTouchingTheFrame) {
    SaneWorkerDevice& d = open();
    ASSERT_TRUE(d.setCapability(ICAP_UNITS, Inches).ok());
    ASSERT_TRUE(d.setImageLayout(0, 0, 4, 5).ok());
    const QImage before = scanOne(d);
    // Empty, inverted, negative, beyond the 450 mm area (17.7 in), not a number.
    EXPECT_NE(d.setImageLayout(2, 2, 2, 4).code, 0);
    EXPECT_NE(d.setImageLayout(3, 0, 1, 4).code, 0);
    EXPECT_NE(d.setImageLayout(-1, 0, 1, 4).code, 0);
    EXPECT_EQ(d.setImageLayout(0, 0, 1, 20).code, sanestatus::ValueNotOffered);
    EXPECT_NE(d.setImageLayout(0, 0, std::nan(""), 4).code, 0);
    EXPECT_EQ(d.setCapability(ICAP_UNITS, 9).code, sanestatus::ValueNotOffered);
    EXPECT_EQ(d.capability(ICAP_UNITS)->current, Inches);
    EXPECT_EQ(scanOne(d).size(), before.size());
}

TEST_F(SaneLayerTest, ValuesTheDeviceAdjustsOrRefusesAreReportedAndReadBackAsTaken) {
    SaneWorkerDevice& d = open();
    ASSERT_TRUE(d.setCapability(ICAP_XRESOLUTION, 300).ok());
    EXPECT_EQ(d.capability(ICAP_XRESOLUTION)->current, 300);
    EXPECT_EQ(d.capability(ICAP_YRESOLUTION)->current, 300); // one option for both axes

    // Between steps: SANE rounds and says so.
    const DeviceStatus between = d.setCapability(ICAP_XRESOLUTION, 150.4);
    EXPECT_EQ(between.code, sanestatus::ValueAdjusted) << between.text.toStdString();
    EXPECT_EQ(d.capability(ICAP_XRESOLUTION)->current, 150);

    // Beyond the range: clamped, reported.
    EXPECT_EQ(d.setCapability(ICAP_XRESOLUTION, 5000).code, sanestatus::ValueAdjusted);
    EXPECT_EQ(d.capability(ICAP_XRESOLUTION)->current, 1200);

    // Not in the list of depths.
    const DeviceStatus depth = d.setCapability(ICAP_BITDEPTH, 12);
    EXPECT_NE(depth.code, 0);
    const double took = d.capability(ICAP_BITDEPTH)->current;
    EXPECT_TRUE(took == 1 || took == 8 || took == 16);

    // Read-only capabilities.
    EXPECT_EQ(d.setCapability(ICAP_PHYSICALWIDTH, 3).code, sanestatus::ReadOnly);
    EXPECT_EQ(d.setCapability(CAP_DUPLEX, 1).code, sanestatus::ReadOnly);
    EXPECT_NE(d.setCapability(ICAP_XRESOLUTION, std::nan("")).code, 0);
}

TEST_F(SaneLayerTest, PixelTypesMapOntoModeAndDepth) {
    SaneWorkerDevice& d = open();
    set(d, "test-picture", "Solid black");
    struct Case {
        int type;
        QImage::Format format;
    };
    for (Case c : {Case{RGB, QImage::Format_RGB888}, Case{BW, QImage::Format_Mono},
                   Case{Gray, QImage::Format_Grayscale8}, Case{BW, QImage::Format_Mono},
                   Case{RGB, QImage::Format_RGB888}}) {
        SCOPED_TRACE(c.type);
        const DeviceStatus st = d.setCapability(ICAP_PIXELTYPE, c.type);
        ASSERT_TRUE(st.ok()) << st.text.toStdString();
        EXPECT_EQ(d.capability(ICAP_PIXELTYPE)->current, c.type);
        EXPECT_EQ(scanOne(d).format(), c.format);
    }
    EXPECT_EQ(d.setCapability(ICAP_PIXELTYPE, 7).code, sanestatus::ValueNotOffered);
    EXPECT_EQ(d.capability(ICAP_PIXELTYPE)->current, RGB);
}

TEST_F(SaneLayerTest, FeederEnabledSwitchesTheSource) {
    SaneWorkerDevice& d = open();
    ASSERT_TRUE(d.setCapability(CAP_FEEDERENABLED, 1).ok());
    EXPECT_EQ(d.capability(CAP_FEEDERENABLED)->current, 1);
    EXPECT_EQ(d.capability(CAP_FEEDERENABLED)->text, "Automatic Document Feeder");
    ASSERT_TRUE(d.setCapability(CAP_FEEDERENABLED, 0).ok());
    EXPECT_EQ(d.capability(CAP_FEEDERENABLED)->text, "Flatbed");
}

// --- Acquisition --------------------------------------------------------------------------

TEST_F(SaneLayerTest, AFeederBatchTakesTheTenSheetsThenEndsCleanly) {
    SaneWorkerDevice& d = open();
    ASSERT_TRUE(d.setCapability(CAP_FEEDERENABLED, 1).ok());
    RecordingSink sink;
    AcquireRequest request = acquireRequest(true);
    const DeviceStatus st = d.acquire(request, sink);
    EXPECT_TRUE(st.ok()) << st.text.toStdString();
    ASSERT_EQ(sink.images.size(), 10);
    for (const QImage& image : sink.images)
        EXPECT_EQ(image.size(), sink.images[0].size());
    EXPECT_GT(sink.progressCalls, 0);
}

TEST_F(SaneLayerTest, AnEmptyFeederEndsABatchNormallyOnlyAfterAPage) {
    SaneWorkerDevice& d = open();
    ASSERT_TRUE(d.setCapability(CAP_FEEDERENABLED, 1).ok());
    AcquireRequest request = acquireRequest(true);

    // Empty at once: the error of its own.
    set(d, "read-return-value", "SANE_STATUS_NO_DOCS");
    RecordingSink none;
    const DeviceStatus empty = d.acquire(request, none);
    EXPECT_EQ(empty.code, 7);
    EXPECT_EQ(empty.text, "Alimentatore vuoto");
    EXPECT_TRUE(none.images.isEmpty());

    // Empty after four sheets: a normal end with the four.
    set(d, "read-return-value", "Default");
    RecordingSink four;
    four.onImage = [&d](int n) {
        if (n == 4)
            d.setOption("read-return-value", QStringLiteral("SANE_STATUS_NO_DOCS"));
        return true;
    };
    const DeviceStatus st = d.acquire(request, four);
    EXPECT_TRUE(st.ok()) << st.text.toStdString();
    EXPECT_EQ(four.images.size(), 4);
}

TEST_F(SaneLayerTest, AFeederBatchStopsAtTheImageLimitAndWhenTheSinkSaysSo) {
    SaneWorkerDevice& d = open();
    ASSERT_TRUE(d.setCapability(CAP_FEEDERENABLED, 1).ok());
    RecordingSink limited;
    AcquireRequest request = acquireRequest(true);
    request.maxImages = 3;
    EXPECT_TRUE(d.acquire(request, limited).ok());
    EXPECT_EQ(limited.images.size(), 3);

    RecordingSink stopping;
    stopping.onImage = [](int n) { return n < 2; };
    request.maxImages = 99;
    EXPECT_TRUE(d.acquire(request, stopping).ok());
    EXPECT_EQ(stopping.images.size(), 2);

    RecordingSink full; // no room left at all: the device is not even started
    request.maxImages = 0;
    EXPECT_TRUE(d.acquire(request, full).ok());
    EXPECT_TRUE(full.images.isEmpty());
    EXPECT_EQ(full.progressCalls, 0);
}

TEST_F(SaneLayerTest, ABatchRequestOnTheFlatbedGivesOnePage) {
    SaneWorkerDevice& d = open();
    RecordingSink sink;
    AcquireRequest request =
        acquireRequest(true); // the flatbed never runs empty: the batch must not loop on it
    EXPECT_TRUE(d.acquire(request, sink).ok());
    EXPECT_EQ(sink.images.size(), 1);
}

// Each status the test backend can make sane_read return, with the text the user reads.
struct StatusCase {
    const char* option;
    int code;
    const char* text;
};

class SaneStatusMatrix : public SaneLayerTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(SaneStatusMatrix, EndsTheAcquisitionWithTheTranslatedStatusAndRecovers) {
    const StatusCase c = GetParam();
    SaneWorkerDevice& d = open();
    // A frame of a few bytes: the test backend's reader thread then finishes before the error
    // makes us cancel. Cancelled mid-frame, that thread is killed asynchronously and can die
    // holding the C library's heap lock, which hangs the cancel (seen in about half the runs).
    set(d, "resolution", "1");
    set(d, "read-return-value", QString::fromLatin1(c.option));
    RecordingSink sink;
    const DeviceStatus st = d.acquire(acquireRequest(), sink);
    EXPECT_EQ(st.code, c.code);
    EXPECT_TRUE(st.text.startsWith(QString::fromUtf8(c.text))) << st.text.toStdString();
    EXPECT_TRUE(sink.images.isEmpty()); // a page cut short is not delivered

    // The next acquisition works without reopening anything.
    set(d, "read-return-value", "Default");
    EXPECT_FALSE(scanOne(d).isNull());
}

INSTANTIATE_TEST_SUITE_P(
    ReadReturnValue, SaneStatusMatrix,
    ::testing::Values(StatusCase{"SANE_STATUS_JAMMED", 6, "Carta inceppata nell'alimentatore"},
                      StatusCase{"SANE_STATUS_NO_DOCS", 7, "Alimentatore vuoto"},
                      StatusCase{"SANE_STATUS_COVER_OPEN", 8, "Coperchio aperto"},
                      StatusCase{"SANE_STATUS_DEVICE_BUSY", 3, "Dispositivo occupato"},
                      StatusCase{"SANE_STATUS_IO_ERROR", 9, "Errore di ingresso/uscita"},
                      StatusCase{"SANE_STATUS_NO_MEM", 10, "Memoria insufficiente"},
                      StatusCase{"SANE_STATUS_ACCESS_DENIED", 11, "Accesso negato"},
                      StatusCase{"SANE_STATUS_INVAL", 4, "Parametro non valido"},
                      StatusCase{"SANE_STATUS_CANCELLED", 2, "Operazione annullata"},
                      StatusCase{"SANE_STATUS_EOF", 5, "Pagina incompleta"},
                      StatusCase{"SANE_STATUS_UNSUPPORTED", 1, "Operazione non supportata"}),
    [](const ::testing::TestParamInfo<StatusCase>& info) {
        return std::string(info.param.option).substr(12);
    });

TEST_F(SaneLayerTest, AnErrorInTheMiddleOfABatchKeepsThePagesBeforeIt) {
    SaneWorkerDevice& d = open();
    ASSERT_TRUE(d.setCapability(CAP_FEEDERENABLED, 1).ok());
    RecordingSink sink;
    // After the third sheet the "device" jams (the test backend reads the option per read).
    sink.onImage = [&d](int n) {
        if (n == 3)
            d.setOption("read-return-value", QStringLiteral("SANE_STATUS_JAMMED"));
        return true;
    };
    AcquireRequest request = acquireRequest(true);
    const DeviceStatus st = d.acquire(request, sink);
    EXPECT_EQ(st.code, 6);
    EXPECT_EQ(sink.images.size(), 3);
}

TEST_F(SaneLayerTest, HandScannerHeightComesFromTheBytes) {
    SaneWorkerDevice& d = open();
    set(d, "resolution", "100");
    set(d, "hand-scanner", "yes");
    RecordingSink sink;
    ASSERT_TRUE(d.acquire(acquireRequest(), sink).ok());
    ASSERT_EQ(sink.images.size(), 1);
    const QImage hand = sink.images[0];
    EXPECT_NEAR(hand.width(), 110 / 25.4 * 100, 2); // the test backend's fixed 11 cm
    EXPECT_GT(hand.height(), 0);
    EXPECT_EQ(sink.lastExpected, 0); // no size to announce
    EXPECT_EQ(sink.lastBytes, int64_t(hand.width()) * hand.height());
}

TEST_F(SaneLayerTest, LinesLongerThanTheirPixelsAreCutToThePixels) {
    SaneWorkerDevice& d = open();
    const QImage normal = colourPattern(d);
    set(d, "ppl-loss", "7");
    const QImage lossy = scanOne(d);
    ASSERT_FALSE(lossy.isNull());
    EXPECT_EQ(lossy.width(), normal.width() - 7);
    EXPECT_EQ(lossy.height(), normal.height());
}

TEST_F(SaneLayerTest, DepthsOneAndSixteenGiveTheRightSamples) {
    SaneWorkerDevice& d = open();
    struct Case {
        const char* mode;
        const char* depth;
        const char* picture;
        QImage::Format format;
        QRgb pixel;
    };
    const Case cases[] = {
        {"Gray", "1", "Solid black", QImage::Format_Mono, qRgb(0, 0, 0)},
        {"Gray", "1", "Solid white", QImage::Format_Mono, qRgb(255, 255, 255)},
        {"Gray", "16", "Solid white", QImage::Format_Grayscale16, qRgb(255, 255, 255)},
        {"Gray", "16", "Solid black", QImage::Format_Grayscale16, qRgb(0, 0, 0)},
        {"Color", "16", "Solid white", QImage::Format_RGBX64, qRgb(255, 255, 255)},
        {"Color", "8", "Solid white", QImage::Format_RGB888, qRgb(255, 255, 255)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.mode) + " " + c.depth + " " + c.picture);
        set(d, "mode", c.mode);
        set(d, "depth", c.depth);
        set(d, "test-picture", c.picture);
        const QImage image = scanOne(d);
        ASSERT_EQ(image.format(), c.format);
        for (QPoint p : {QPoint(0, 0), QPoint(image.width() - 1, image.height() - 1),
                         QPoint(image.width() / 2, image.height() / 3)})
            EXPECT_EQ(image.pixel(p), c.pixel) << p.x() << "," << p.y();
    }
}

TEST_F(SaneLayerTest, SixteenBitGreyKeepsItsFullRange) {
    SaneWorkerDevice& d = open();
    set(d, "depth", "16");
    set(d, "test-picture", "Solid white");
    const QImage image = scanOne(d);
    ASSERT_EQ(image.format(), QImage::Format_Grayscale16);
    EXPECT_EQ(reinterpret_cast<const quint16*>(image.constScanLine(0))[0], 0xffff);
}

TEST_F(SaneLayerTest, ThreePassColourIsTheSameImageAsOnePass) {
    SaneWorkerDevice& d = open();
    const QImage single = colourPattern(d);
    for (const char* order : {"RGB", "BRG", "GBR"}) {
        SCOPED_TRACE(order);
        set(d, "three-pass", "yes");
        set(d, "three-pass-order", order);
        const QImage three = scanOne(d);
        ASSERT_EQ(three.format(), QImage::Format_RGB888);
        EXPECT_EQ(three, single);
    }
}

TEST_F(SaneLayerTest, OneByteReadsGiveTheSameImageAsADefaultRead) {
    SaneWorkerDevice& d = open();
    set(d, "resolution", "30");
    const QImage normal = colourPattern(d);
    set(d, "read-limit", "yes");
    set(d, "read-limit-size", "1");
    EXPECT_EQ(scanOne(d), normal);
}

TEST_F(SaneLayerTest, NonBlockingReadsWithAndWithoutSelectFdGiveTheSameImage) {
    SaneWorkerDevice& d = open();
    const QImage normal = colourPattern(d);
    set(d, "non-blocking", "yes");
    EXPECT_EQ(scanOne(d), normal);
    set(d, "select-fd", "yes");
    EXPECT_EQ(scanOne(d), normal);
}

TEST_F(SaneLayerTest, ASilentDeviceEndsThePageInsteadOfHanging) {
    SaneWorkerDevice& d = open();
    set(d, "non-blocking", "yes");
    set(d, "select-fd", "yes");
    // 3 MB written 64 KB at a time with 200 ms between: the device goes quiet after each.
    set(d, "mode", "Color");
    set(d, "resolution", "300");
    set(d, "read-delay", "yes");
    set(d, "read-delay-duration", "200000");
    d.setStallTimeoutMs(60);
    RecordingSink sink;
    QElapsedTimer timer;
    timer.start();
    const DeviceStatus st = d.acquire(acquireRequest(), sink);
    EXPECT_EQ(st.code, 9); // as any device that stops delivering
    EXPECT_EQ(st.text, "Errore di ingresso/uscita: il dispositivo non risponde");
    EXPECT_TRUE(sink.images.isEmpty());
    EXPECT_LT(timer.elapsed(), 20000); // ended at the test's own bound, not the 25 s default
}

// Cancel from another thread while the worker waits on a slow device, in both read modes.
class SaneCancel : public SaneLayerTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SaneCancel, CancelEndsASlowReadAndTheNextAcquisitionWorks) {
    SaneWorkerDevice& d = open();
    set(d, "non-blocking", GetParam() ? "yes" : "no");
    set(d, "select-fd", GetParam() ? "yes" : "no");
    set(d, "mode", "Color");
    set(d, "resolution", "300");
    set(d, "read-delay", "yes");
    set(d, "read-delay-duration", "200000"); // 3 MB in 64 KB steps: ten seconds
    RecordingSink sink;
    QElapsedTimer timer;
    timer.start();
    auto running =
        std::async(std::launch::async, [&] { return d.acquire(acquireRequest(), sink); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    d.cancel();
    d.cancel(); // a second request changes nothing
    ASSERT_EQ(running.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    const DeviceStatus st = running.get();
    EXPECT_TRUE(st.ok()) << st.text.toStdString(); // a cancel is a normal end
    EXPECT_TRUE(sink.images.isEmpty());
    EXPECT_LT(timer.elapsed(), 8000); // the page alone takes ten seconds

    set(d, "read-delay", "no");
    EXPECT_FALSE(scanOne(d).isNull());
}

INSTANTIATE_TEST_SUITE_P(ReadMode, SaneCancel, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "NonBlocking" : "Blocking";
                         });

TEST_F(SaneLayerTest, TheSinksCancelIsHonouredBeforeTheFirstPage) {
    SaneWorkerDevice& d = open();
    RecordingSink sink;
    sink.stop = true;
    EXPECT_TRUE(d.acquire(acquireRequest(), sink).ok());
    EXPECT_TRUE(sink.images.isEmpty());
    EXPECT_FALSE(scanOne(d).isNull());
}

} // namespace
