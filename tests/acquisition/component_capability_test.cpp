// The named properties and the generic capability interface are two views of one state, and
// the error state follows the rule the window relies on: plain reads leave it alone.
#include "VirtualFixture.h"
#include <algorithm>

using namespace twain;

namespace {

const QByteArray kRangeScanner = R"("name":"Range","pixelTypes":["BW","GRAY","RGB"],
    "resolutions":{"min":75,"max":1200,"step":1},"defaultResolution":200,
    "units":["inches","centimeters"],"pageSizes":["A4","A5","A3"],
    "brightness":{"min":-100,"max":100,"step":1,"default":0},
    "feeder":{"present":true,"sheets":2},"duplex":true)";

const QByteArray kListScanner = R"("name":"List","pixelTypes":["GRAY","RGB"],
    "resolutions":[100,200,300],"units":["inches"],"pageSizes":["A4"])";

/// FeederPresent, PaperDetectable, FeederLoaded and DuplexSupported, in that order.
QVector<int32_t> feederReadings(ScanComponent& scan) {
    return {scan.FeederPresent(), scan.PaperDetectable(), scan.FeederLoaded(),
            scan.DuplexSupported()};
}

} // namespace

class ComponentCapabilities : public VirtualFixture {
protected:
    int32_t capGet(int32_t id, int32_t askFor = OneValue) {
        m_scan->setCapability(id);
        m_scan->setCapContainer(askFor);
        return m_scan->CapGet();
    }
    int32_t capSet(int32_t id, double value) {
        m_scan->setCapability(id);
        m_scan->setCapContainer(OneValue);
        m_scan->setCapValue(value);
        return m_scan->CapSet();
    }
};

TEST_F(ComponentCapabilities, SettingThroughEitherViewIsSeenByTheOther) {
    openScanner(kRangeScanner);
    // Generic -> named.
    ASSERT_EQ(capSet(ICAP_PIXELTYPE, Gray), 1);
    EXPECT_EQ(m_scan->ImagePixelType(), Gray);
    ASSERT_EQ(capSet(ICAP_XRESOLUTION, 450), 1);
    EXPECT_EQ(m_scan->Resolution(), 450);
    ASSERT_EQ(capSet(ICAP_UNITS, Centimeters), 1);
    EXPECT_EQ(m_scan->Unit(), Centimeters);
    ASSERT_EQ(capSet(ICAP_SUPPORTEDSIZES, A5), 1);
    EXPECT_EQ(m_scan->PageSize(), A5);
    ASSERT_EQ(capSet(CAP_FEEDERENABLED, 1), 1);
    EXPECT_EQ(m_scan->FeederEnabled(), 1);
    ASSERT_EQ(capSet(CAP_DUPLEXENABLED, 1), 1);
    EXPECT_EQ(m_scan->DuplexEnabled(), 1);
    ASSERT_EQ(capSet(ICAP_BRIGHTNESS, 40), 1);
    EXPECT_FLOAT_EQ(m_scan->Brightness(), 40);

    // Named -> generic.
    m_scan->setImagePixelType(RGB);
    ASSERT_EQ(capGet(ICAP_PIXELTYPE), 1);
    EXPECT_EQ(m_scan->CapValue(), RGB);
    m_scan->setResolution(300);
    ASSERT_EQ(capGet(ICAP_YRESOLUTION), 1);
    EXPECT_EQ(m_scan->CapValue(), 300); // both directions follow Resolution
    m_scan->setFeederEnabled(0);
    ASSERT_EQ(capGet(CAP_FEEDERENABLED), 1);
    EXPECT_EQ(m_scan->CapValue(), 0);
}

TEST_F(ComponentCapabilities, CapGetDeliversTheCapabilitysOwnKindWhateverWasAsked) {
    openScanner(kRangeScanner);
    struct Case {
        int32_t id;
        int32_t kind;
    };
    const Case cases[] = {{ICAP_XRESOLUTION, Range},     {ICAP_PIXELTYPE, Enumeration},
                          {CAP_FEEDERENABLED, OneValue}, {CAP_INDICATORS, OneValue},
                          {CAP_SUPPORTEDCAPS, Array},    {ICAP_BRIGHTNESS, Range}};
    for (const Case& c : cases) {
        for (int asked = 1; asked <= 4; ++asked) {
            ASSERT_EQ(capGet(c.id, asked), 1) << std::hex << c.id;
            EXPECT_EQ(m_scan->CapContainer(), c.kind) << std::hex << c.id << " asked " << asked;
        }
    }
    ASSERT_EQ(capGet(ICAP_XRESOLUTION), 1);
    EXPECT_EQ(m_scan->CapValue(), 200);
    EXPECT_EQ(m_scan->CapMin(), 75);
    EXPECT_EQ(m_scan->CapMax(), 1200);
    EXPECT_EQ(m_scan->CapStep(), 1);
    ASSERT_EQ(capGet(ICAP_PIXELTYPE), 1);
    EXPECT_EQ(m_scan->CapItems(), (QVector<double>{BW, Gray, RGB}));
    EXPECT_EQ(m_scan->CapItemCount(), 3);
}

TEST_F(ComponentCapabilities, SupportedCapsListsEveryIdTheSourceAnswersToIncludingIndicators) {
    openScanner(kRangeScanner);
    ASSERT_EQ(capGet(CAP_SUPPORTEDCAPS, Enumeration), 1);
    const QVector<double> ids = m_scan->CapItems();
    ASSERT_EQ(m_scan->CapItemCount(), ids.size());
    EXPECT_TRUE(ids.contains(CAP_INDICATORS));
    EXPECT_TRUE(ids.contains(ICAP_PIXELTYPE));
    EXPECT_TRUE(ids.contains(CAP_DUPLEXENABLED));
    for (double id : ids) {
        m_scan->setCapability(int32_t(id));
        EXPECT_EQ(m_scan->CapSupported(), 1) << std::hex << int(id);
        EXPECT_EQ(m_scan->CapGet(), 1) << std::hex << int(id);
    }
    // And an id the source does not list is not supported.
    m_scan->setCapability(0x1234);
    EXPECT_EQ(m_scan->CapSupported(), 0);
    EXPECT_EQ(m_scan->CapGet(), 0);
    EXPECT_EQ(m_scan->LastErrorCode(), componentError::NotSupported);
}

TEST_F(ComponentCapabilities, FlatbedHasNoFeederOrDuplexSwitches) {
    openScanner(kListScanner);
    EXPECT_EQ(feederReadings(*m_scan), (QVector<int32_t>{0, 0, 0, 0}));
    m_scan->setFeederEnabled(0);
    EXPECT_EQ(m_scan->LastErrorCode(), 0); // switching off what is not there is no error
    m_scan->setFeederEnabled(1);
    EXPECT_EQ(m_scan->LastErrorCode(), componentError::NotSupported);
    EXPECT_EQ(m_scan->FeederEnabled(), 0);
    m_scan->setDuplexEnabled(-1);
    EXPECT_EQ(m_scan->LastErrorCode(), componentError::NotSupported);
    EXPECT_EQ(m_scan->DuplexEnabled(), 0);
}

TEST_F(ComponentCapabilities, FeederScannerAnswersExactlyOne) {
    openScanner(kRangeScanner);
    EXPECT_EQ(feederReadings(*m_scan), (QVector<int32_t>{1, 1, 1, 1}));
}

TEST_F(ComponentCapabilities, SupportedListsSelectTheirCapabilityForTheCapReaders) {
    openScanner(kRangeScanner);
    const QVector<int32_t> res = m_scan->SupportedResolutions();
    EXPECT_EQ(m_scan->LastErrorCode(), 0);
    EXPECT_EQ(m_scan->CapContainer(), Range);
    EXPECT_EQ(m_scan->CapMin(), 75);
    EXPECT_EQ(m_scan->CapMax(), 1200);
    EXPECT_EQ(m_scan->CapStep(), 1);
    ASSERT_EQ(res.size(), 1126);
    EXPECT_EQ(res.first(), 75);
    EXPECT_EQ(res.last(), 1200);

    EXPECT_EQ(m_scan->SupportedUnits(), (QVector<int32_t>{Inches, Centimeters}));
    EXPECT_EQ(m_scan->CapContainer(), Enumeration);
    EXPECT_EQ(m_scan->SupportedPageSizes(), (QVector<int32_t>{A4, A5, A3}));
    EXPECT_EQ(m_scan->SupportedPixelTypes(), (QVector<int32_t>{BW, Gray, RGB}));

    makeComponent(oneScanner(kListScanner));
    ASSERT_EQ(m_scan->OpenSourceManager(), 1);
    ASSERT_EQ(m_scan->OpenDataSource(), 1);
    EXPECT_EQ(m_scan->SupportedResolutions(), (QVector<int32_t>{100, 200, 300}));
    EXPECT_EQ(m_scan->CapContainer(), Enumeration);
}

TEST_F(ComponentCapabilities, RefusedValuesReportAnErrorAndChangeNothing) {
    openScanner(kRangeScanner);
    struct Case {
        const char* what;
        std::function<void(VstScan&)> set;
        std::function<double(VstScan&)> get;
        double before;
    };
    const Case cases[] = {
        {"resolution -1", [](VstScan& s) { s.setResolution(-1); },
         [](VstScan& s) { return s.Resolution(); }, 200},
        {"resolution beyond range", [](VstScan& s) { s.setResolution(5000); },
         [](VstScan& s) { return s.Resolution(); }, 200},
        {"pixel type 5", [](VstScan& s) { s.setImagePixelType(5); },
         [](VstScan& s) { return s.ImagePixelType(); }, BW},
        {"unit pixels not offered", [](VstScan& s) { s.setUnit(Pixels); },
         [](VstScan& s) { return s.Unit(); }, Inches},
        {"page size B4 not offered", [](VstScan& s) { s.setPageSize(B4); },
         [](VstScan& s) { return s.PageSize(); }, A4},
        {"brightness over max", [](VstScan& s) { s.setBrightness(101); },
         [](VstScan& s) { return s.Brightness(); }, 0},
        {"jpeg quality 101", [](VstScan& s) { s.setJpegQuality(101); },
         [](VstScan& s) { return s.JpegQuality(); }, 75},
        {"tiff compression 3", [](VstScan& s) { s.setTiffCompression(3); },
         [](VstScan& s) { return s.TiffCompression(); }, 0},
        {"image limit -1", [](VstScan& s) { s.setImageLimit(-1); },
         [](VstScan& s) { return s.ImageLimit(); }, 99},
        {"transfer mode 1", [](VstScan& s) { s.setTransferMode(1); },
         [](VstScan& s) { return s.TransferMode(); }, 0},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(c.get(*m_scan), c.before) << c.what;
        c.set(*m_scan);
        EXPECT_NE(m_scan->LastErrorCode(), 0) << c.what;
        EXPECT_FALSE(m_scan->LastErrorText().isEmpty()) << c.what;
        EXPECT_EQ(c.get(*m_scan), c.before) << c.what;
    }
    // Read-only capabilities refuse CapSet.
    EXPECT_EQ(capSet(CAP_SUPPORTEDCAPS, 1), 0);
    EXPECT_EQ(capSet(CAP_FEEDERLOADED, 0), 0);
    EXPECT_NE(m_scan->LastErrorCode(), 0);
}

TEST_F(ComponentCapabilities, BrightnessRangeComesFromTheSource) {
    openScanner(kRangeScanner);
    EXPECT_FLOAT_EQ(m_scan->BrightnessMin(), -100);
    EXPECT_FLOAT_EQ(m_scan->BrightnessMax(), 100);
    m_scan->setBrightness(m_scan->BrightnessMax()); // the top end itself is accepted
    EXPECT_EQ(m_scan->LastErrorCode(), 0);
    EXPECT_FLOAT_EQ(m_scan->ContrastMin(), -1000);
    EXPECT_FLOAT_EQ(m_scan->ContrastMax(), 1000);
}

TEST_F(ComponentCapabilities, PlainReadsKeepTheErrorAndSuccessfulOperationsClearIt) {
    openScanner(kRangeScanner);
    m_scan->setResolution(-1);
    const int32_t code = m_scan->LastErrorCode();
    ASSERT_NE(code, 0);
    (void)m_scan->ImageCount();
    (void)m_scan->DataSourceOpen();
    (void)m_scan->ImagePicture(0);
    (void)m_scan->CapValue();
    (void)m_scan->CapItems();
    (void)m_scan->FeederEnabled();
    EXPECT_EQ(m_scan->LastErrorCode(), code);
    m_scan->setResolution(300);
    EXPECT_EQ(m_scan->LastErrorCode(), 0);
    EXPECT_EQ(m_scan->LastErrorText(), QString());
}

TEST_F(ComponentCapabilities, WithoutAnOpenSourceReadersReportFailureValues) {
    makeComponent(oneScanner(kRangeScanner));
    ASSERT_EQ(m_scan->OpenSourceManager(), 1);
    EXPECT_EQ(m_scan->DataSourceOpen(), 0);
    EXPECT_EQ(m_scan->Unit(), -1);
    EXPECT_EQ(m_scan->LastErrorCode(), componentError::SourceNotOpen);
    EXPECT_EQ(m_scan->ImagePixelType(), -1);
    EXPECT_EQ(m_scan->PageSize(), -1);
    EXPECT_EQ(m_scan->Resolution(), 0);
    EXPECT_TRUE(m_scan->SupportedUnits().isEmpty());
    EXPECT_EQ(m_scan->LastErrorCode(), componentError::SourceNotOpen);
    // The component's own progress switch works without a source.
    EXPECT_EQ(capSet(CAP_INDICATORS, 1), 1);
    ASSERT_EQ(capGet(CAP_INDICATORS), 1);
    EXPECT_EQ(m_scan->CapValue(), 1);
}
