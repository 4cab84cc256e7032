// The SANE layer against an eSCL (AirScan) network scanner: our emulator on loopback, reached
// through Debian's sane-airscan backend. Such devices offer grey and colour only, and feed
// both sides of a sheet through one "ADF Duplex" source.
#include "NetScan.h"
#include "SaneTestSupport.h"
#include "acquisition_sane/SaneWorkerLayer.h"
#include <QElapsedTimer>
#include <gtest/gtest.h>
#include <stdexcept>

using namespace twain;

namespace {

class SaneEsclTest : public ::testing::Test {
protected:
    void TearDown() override {
        m_device.reset();
        m_layer.stop();
    }

    /// Starts the emulator with `options` and opens it through sane-airscan; throws (a test
    /// failure) when any step fails.
    SaneWorkerDevice& open(const QStringList& options = {}) {
        m_server = std::make_unique<EsclServer>(options);
        if (!m_server->ok())
            throw std::runtime_error(m_server->error().toStdString());
        const DeviceStatus st = m_layer.start();
        if (!st.ok())
            throw std::runtime_error(st.text.toStdString());
        QString id;
        for (const DeviceInfo& info : m_layer.devices())
            if (info.name.contains(QLatin1String(EsclServer::kName)))
                id = info.id;
        if (id.isEmpty())
            throw std::runtime_error("sane-airscan does not list the emulator");
        m_device = m_layer.open(id);
        return dynamic_cast<SaneWorkerDevice&>(*m_device);
    }

    void set(SaneWorkerDevice& d, uint16_t cap, double value) {
        const DeviceStatus st = d.setCapability(cap, value);
        ASSERT_TRUE(st.ok()) << std::hex << cap << std::dec << " = " << value << ": "
                             << st.text.toStdString();
    }

    /// A feeder batch (both sides with `duplex`) at 75 dpi in grey.
    RecordingSink& feed(SaneWorkerDevice& d, bool duplex, DeviceStatus& end) {
        set(d, ICAP_PIXELTYPE, Gray);
        set(d, ICAP_XRESOLUTION, 75);
        set(d, ICAP_SUPPORTEDSIZES, A4);
        set(d, CAP_FEEDERENABLED, 1);
        set(d, CAP_DUPLEXENABLED, duplex ? 1 : 0);
        end = d.acquire(acquireRequest(true), m_sink);
        return m_sink;
    }

    static QVector<PageMark> marks(const RecordingSink& sink) {
        QVector<PageMark> found;
        for (const QImage& page : sink.images)
            found << readPageMark(page).value_or(PageMark{-1, false});
        return found;
    }

    std::unique_ptr<EsclServer> m_server;
    SaneWorkerLayer m_layer;
    std::unique_ptr<ScanDevice> m_device;
    RecordingSink m_sink;
};

TEST_F(SaneEsclTest, OffersEveryPixelTypeAndBothSidesOfTheFeeder) {
    SaneWorkerDevice& d = open();
    const auto types = d.capability(ICAP_PIXELTYPE);
    ASSERT_TRUE(types);
    EXPECT_EQ(types->items, (QVector<double>{BW, Gray, RGB})); // BW made here from grey
    const auto threshold = d.capability(ICAP_THRESHOLD);
    ASSERT_TRUE(threshold);
    EXPECT_EQ(threshold->container, Range);
    EXPECT_EQ(threshold->min, 0);
    EXPECT_EQ(threshold->max, 255);
    EXPECT_EQ(threshold->defaultValue, 128);
    EXPECT_EQ(d.capability(ICAP_XRESOLUTION)->items,
              (QVector<double>{75, 100, 150, 200, 300, 600}));
    EXPECT_TRUE(d.capability(ICAP_SUPPORTEDSIZES)->items.contains(A4));
    EXPECT_EQ(d.capability(CUSTOM_FEEDERPRESENT)->current, 1);
    EXPECT_EQ(d.capability(CAP_DUPLEX)->current, 1);
    set(d, CAP_FEEDERENABLED, 1);
    set(d, CAP_DUPLEXENABLED, 1);
    EXPECT_EQ(d.capability(CAP_DUPLEXENABLED)->text, "ADF Duplex");
    set(d, CAP_DUPLEXENABLED, 0);
    EXPECT_EQ(d.capability(CAP_FEEDERENABLED)->text, "ADF");
    set(d, CAP_FEEDERENABLED, 0);
    EXPECT_EQ(d.capability(CAP_FEEDERENABLED)->text, "Flatbed");
}

struct TypeCase {
    int type;
    int dpi;
    const char* format; // the emulator's page encoding
    QImage::Format expected;
};

class SaneEsclTypes : public SaneEsclTest, public ::testing::WithParamInterface<TypeCase> {};

TEST_P(SaneEsclTypes, AFlatbedPageComesInThePixelTypeAsked) {
    const TypeCase c = GetParam();
    SaneWorkerDevice& d = open({QStringLiteral("--format"), QString::fromLatin1(c.format)});
    // The backend fetches and decodes the whole page before its first byte: at 300 dpi that
    // takes seconds, many more in a sanitizer build on a busy machine, so the stall bound
    // this case waits under is its own, not the product's 25 s.
    ASSERT_TRUE(d.setStallTimeoutMs(150000).ok());
    set(d, ICAP_SUPPORTEDSIZES, A4);
    set(d, ICAP_PIXELTYPE, c.type);
    set(d, ICAP_XRESOLUTION, c.dpi);
    EXPECT_EQ(d.capability(ICAP_PIXELTYPE)->current, c.type);
    AcquireRequest one;
    one.maxImages = 1;
    const DeviceStatus st = d.acquire(one, m_sink);
    ASSERT_TRUE(st.ok()) << st.text.toStdString();
    ASSERT_EQ(m_sink.images.size(), 1);
    const QImage page = m_sink.images[0];
    EXPECT_EQ(page.format(), c.expected);
    EXPECT_NEAR(page.width(), 210 / 25.4 * c.dpi, 2);
    EXPECT_NEAR(page.height(), 297 / 25.4 * c.dpi, 2);
    EXPECT_EQ(readPageMark(page), (PageMark{1, false}));
    // The red band of a front page: red in colour, mid grey, black in black and white.
    const QRgb band = page.pixel(page.width() / 2, int(page.height() * 0.14));
    if (c.type == RGB) {
        EXPECT_GT(qRed(band), 150);
    }
    if (c.type == BW) {
        EXPECT_EQ(band, qRgb(0, 0, 0));
    } else {
        EXPECT_LT(qGreen(band), 120);
    }
}

INSTANTIATE_TEST_SUITE_P(ColourGreyBlackAndWhite, SaneEsclTypes,
                         ::testing::Values(TypeCase{RGB, 100, "jpeg", QImage::Format_RGB888},
                                           TypeCase{RGB, 300, "png", QImage::Format_RGB888},
                                           TypeCase{Gray, 100, "png", QImage::Format_Grayscale8},
                                           TypeCase{Gray, 300, "jpeg", QImage::Format_Grayscale8},
                                           TypeCase{BW, 100, "jpeg", QImage::Format_Mono},
                                           TypeCase{BW, 300, "png", QImage::Format_Mono}),
                         [](const ::testing::TestParamInfo<TypeCase>& info) {
                             return QStringLiteral("Type%1At%2%3")
                                 .arg(info.param.type)
                                 .arg(info.param.dpi)
                                 .arg(QString::fromLatin1(info.param.format))
                                 .toStdString();
                         });

// The threshold decides what turns black: the front's red band is a grey of about 80.
TEST_F(SaneEsclTest, BlackAndWhiteFollowsTheThreshold) {
    SaneWorkerDevice& d = open();
    set(d, ICAP_PIXELTYPE, BW);
    set(d, ICAP_XRESOLUTION, 75);
    for (auto [threshold, black] : {std::pair{60, false}, std::pair{110, true}}) {
        SCOPED_TRACE(threshold);
        set(d, ICAP_THRESHOLD, threshold);
        RecordingSink sink;
        AcquireRequest one;
        one.maxImages = 1;
        const DeviceStatus st = d.acquire(one, sink);
        ASSERT_TRUE(st.ok()) << st.text.toStdString();
        ASSERT_EQ(sink.images.size(), 1);
        const QImage& page = sink.images[0];
        EXPECT_EQ(page.pixel(page.width() / 2, int(page.height() * 0.14)) == qRgb(0, 0, 0), black);
    }
    EXPECT_EQ(d.setCapability(ICAP_THRESHOLD, 300).code, 100); // adjusted to 255
    EXPECT_EQ(d.capability(ICAP_THRESHOLD)->current, 255);
}

TEST_F(SaneEsclTest, AFeederBatchDeliversTheSheetsInOrder) {
    SaneWorkerDevice& d = open({QStringLiteral("--sheets"), QStringLiteral("4")});
    DeviceStatus end;
    feed(d, false, end);
    EXPECT_TRUE(end.ok()) << end.text.toStdString();
    EXPECT_EQ(marks(m_sink), (QVector<PageMark>{{1, false}, {2, false}, {3, false}, {4, false}}));
}

TEST_F(SaneEsclTest, ATwoSidedBatchGivesEachFrontThenItsBack) {
    SaneWorkerDevice& d = open({QStringLiteral("--sheets"), QStringLiteral("3")});
    DeviceStatus end;
    feed(d, true, end);
    EXPECT_TRUE(end.ok()) << end.text.toStdString();
    EXPECT_EQ(
        marks(m_sink),
        (QVector<PageMark>{{1, false}, {1, true}, {2, false}, {2, true}, {3, false}, {3, true}}));
}

TEST_F(SaneEsclTest, AnEmptyFeederIsReported) {
    SaneWorkerDevice& d = open({QStringLiteral("--sheets"), QStringLiteral("0")});
    DeviceStatus end;
    feed(d, false, end);
    EXPECT_EQ(end.code, 7) << end.text.toStdString();
    EXPECT_TRUE(m_sink.images.isEmpty());
}

TEST_F(SaneEsclTest, AJamMidBatchKeepsTheEarlierPages) {
    SaneWorkerDevice& d = open({QStringLiteral("--sheets"), QStringLiteral("5"),
                                QStringLiteral("--jam-after"), QStringLiteral("2")});
    DeviceStatus end;
    feed(d, false, end);
    EXPECT_EQ(end.code, 6) << end.text.toStdString();
    EXPECT_EQ(marks(m_sink), (QVector<PageMark>{{1, false}, {2, false}}));
}

// The scanner switched off while it sends a page, or between two sheets.
struct StopCase {
    const char* option;
    int images;
};

class SaneEsclStops : public SaneEsclTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(SaneEsclStops, AScannerGoneMidBatchEndsItKeepingEarlierPages) {
    SaneWorkerDevice& d = open({QStringLiteral("--sheets"), QStringLiteral("5"),
                                QString::fromLatin1(GetParam().option), QStringLiteral("3")});
    QElapsedTimer timer;
    timer.start();
    DeviceStatus end;
    feed(d, false, end);
    EXPECT_EQ(end.code, 9) << end.text.toStdString();
    EXPECT_EQ(m_sink.images.size(), GetParam().images);
    EXPECT_LT(timer.elapsed(), 30000);
}

INSTANTIATE_TEST_SUITE_P(Stops, SaneEsclStops,
                         ::testing::Values(StopCase{"--stop-mid-page", 2},
                                           StopCase{"--stop-after", 3}),
                         [](const ::testing::TestParamInfo<StopCase>& info) {
                             return info.param.images == 2 ? "MidPage" : "BetweenSheets";
                         });

} // namespace
