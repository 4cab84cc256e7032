// The capability report against the scripted component: the whole text of a known device,
// the message paths, and every way the report is abandoned.
#include "component_base/ScanError.h"
#include "component_base/TwainCodes.h"
#include "device_info/CapabilityReport.h"
#include "support/FakeScanComponent.h"

#include <QStringList>
#include <gtest/gtest.h>
#include <limits>

namespace {

const QString CRLF = QStringLiteral("\r\n");
const QString RULE = QStringLiteral("======================================");

QVariantList list(std::initializer_list<int> codes) {
    QVariantList out;
    for (int c : codes)
        out << c;
    return out;
}

FakeScanComponent::Cap cap(int container, double value = 0, QVector<double> items = {}) {
    FakeScanComponent::Cap c;
    c.container = container;
    c.value = value;
    c.items = std::move(items);
    return c;
}

FakeScanComponent::Cap rangeCap(double value, double def, double min, double max, double step) {
    return {.container = 3, .value = value, .def = def, .min = min, .max = max, .step = step};
}

class Report : public ::testing::Test {
protected:
    Report() {
        fake.sourceNames = {QStringLiteral("First"), QStringLiteral("Flatbed 2000")};
        fake.values["SourceIndex"] = 1;
        fake.values["Unit"] = 0;
        fake.values["SupportedUnits"] = list({0, 1});
        fake.values["ImagePixelType"] = 2;
        fake.values["SupportedPixelTypes"] = list({0, 1, 2, 12});
        fake.values["Resolution"] = 300;
        fake.values["PageSize"] = 8;
        fake.values["SupportedPageSizes"] = list({1, 3, 8, 17});
        fake.caps[twain::ICAP_XRESOLUTION] = rangeCap(300, 200, 75, 1200, 1);
    }

    void listCapabilities(QVector<double> ids) {
        fake.caps[twain::CAP_SUPPORTEDCAPS] = cap(4, 0, std::move(ids));
    }

    QString run() {
        return InfoDispositivo(fake, [this](const QString& prompt) { messages << prompt; });
    }

    /// The report's fixed head with the device name and the four sections as given.
    static QString head(const QString& sections) {
        return RULE + CRLF + CRLF + "Device name: Flatbed 2000" + CRLF + CRLF + sections + RULE +
               CRLF + CRLF + "Device capabilities:" + CRLF + CRLF;
    }

    static QString defaultSections() {
        return "Current unit of measure: inches" + CRLF +
               "Supported units of measure: inches centimeters " + CRLF + CRLF +
               "Current pixel type: RGB" + CRLF + "Supported pixel types: BW GRAY RGB  " + CRLF +
               CRLF + "Current resolution:  300 dpi" + CRLF +
               "Supported resolutions: min = 75 dpi, max = 1200 dpi, step size = 1 dpi" + CRLF +
               CRLF + "Current page size: Other" + CRLF +
               "Supported page sizes: A4LETTER USLETTER Other Other " + CRLF + CRLF;
    }

    FakeScanComponent fake;
    QStringList messages;
};

TEST_F(Report, WholeTextOfAKnownDevice) {
    fake.caps[twain::ICAP_PIXELTYPE] = cap(4, 2, {0, 1, 2}); // enumeration
    fake.caps[5] = cap(1, 7);                                // one value, custom id
    fake.caps[5].text = QStringLiteral("seven");
    fake.caps[0x1006] = cap(2, 0, {-1, 0.5});    // array
    fake.caps[twain::ICAP_CONTRAST] = cap(0, 0); // delivers no kind asked for
    fake.caps[twain::CAP_FEEDERENABLED] = cap(1, 1);
    fake.caps[twain::CAP_FEEDERENABLED].supported = false; // listed, not supported
    fake.caps[twain::ICAP_BRIGHTNESS] = rangeCap(-0.5, 0, -1000, 1000, 0.25); // fractional range
    listCapabilities({twain::ICAP_PIXELTYPE, 5, twain::ICAP_XRESOLUTION, 0x1006,
                      twain::ICAP_CONTRAST, twain::CAP_FEEDERENABLED, 0x9999,
                      twain::ICAP_BRIGHTNESS});

    const QString expected = head(defaultSections()) + "ICAP_PIXELTYPE\t E \t 2\t 3 0  1  2 " +
                             CRLF + CRLF + "Custom capability ( 5)\t O \t 7\t'seven'" + CRLF +
                             CRLF + "ICAP_XRESOLUTION\t R \t 300\t 200\t 75\t 1200\t 1\t" + CRLF +
                             CRLF + "CAP_EXTENDEDCAPS\t A \t 0\t 2-1  .5 " + CRLF + CRLF + CRLF +
                             "ICAP_BRIGHTNESS\t R \t-.5\t 0\t-1000\t 1000\t .25\t" + CRLF + CRLF;
    EXPECT_EQ(run(), expected);
    EXPECT_TRUE(messages.isEmpty());
    // The source was closed, opened by the report and closed again at its end.
    EXPECT_EQ(fake.calls.first(), "DataSourceOpen");
    EXPECT_EQ(fake.calls.at(1), "OpenDataSource");
    EXPECT_EQ(fake.callsNamed("CloseDataSource").size(), 1);
    EXPECT_EQ(fake.calls.last(), "CloseDataSource");
    EXPECT_EQ(fake.values["DataSourceOpen"].toInt(), 0);
}

TEST_F(Report, ResolutionListInsteadOfRange) {
    fake.caps[twain::ICAP_XRESOLUTION] = cap(4, 300, {100, 200, 300});
    fake.values["SupportedResolutions"] = list({100, 200, 300});
    const QString text = run();
    EXPECT_TRUE(text.contains(CRLF + "Supported resolutions:  100  200  300 dpi" + CRLF + CRLF))
        << text.toStdString();
}

TEST_F(Report, CurrentValuesThatCannotBeReadGiveTheirMessages) {
    fake.values["Unit"] = -1;
    fake.errors["Unit"] = {9, QStringLiteral("unit unreadable")};
    fake.values["ImagePixelType"] = -1;
    fake.errors["ImagePixelType"] = {9, QStringLiteral("type unreadable")};
    fake.values["Resolution"] = 0;
    fake.errors["Resolution"] = {9, QStringLiteral("no dpi")};
    fake.values["PageSize"] = -1;
    fake.errors["PageSize"] = {9, QStringLiteral("no size")};

    EXPECT_EQ(run(), head(QString()));
    EXPECT_EQ(messages,
              QStringList({"Can't get current unit of measure: unit unreadable",
                           "Can't get current pixel type: type unreadable",
                           "Can't get resolution: no dpi", "Can't get page size: no size"}));
    // Nothing was listed for the items that failed.
    for (const char* reader :
         {"SupportedUnits", "SupportedPixelTypes", "SupportedResolutions", "SupportedPageSizes"})
        EXPECT_TRUE(fake.callsNamed(reader).isEmpty()) << reader;
}

TEST_F(Report, ListsThatFailKeepOnlyTheirLabel) {
    fake.errors["SupportedUnits"] = {3, QStringLiteral("busy")};
    fake.errors["SupportedPixelTypes"] = {3, QStringLiteral("busy")};
    fake.errors["SupportedResolutions"] = {3, QStringLiteral("busy")};
    fake.errors["SupportedPageSizes"] = {3, QStringLiteral("busy")};
    const QString sections =
        "Current unit of measure: inches" + CRLF + "Supported units of measure: " + CRLF + CRLF +
        "Current pixel type: RGB" + CRLF + "Supported pixel types: " + CRLF + CRLF +
        "Current resolution:  300 dpi" + CRLF + "Supported resolutions: " + CRLF + CRLF +
        "Current page size: Other" + CRLF + "Supported page sizes: " + CRLF + CRLF;
    EXPECT_EQ(run(), head(sections));
    EXPECT_TRUE(messages.isEmpty());
}

TEST_F(Report, UnknownCurrentCodesGiveEmptyNames) {
    fake.values["Unit"] = 17;
    fake.values["ImagePixelType"] = 40;
    fake.values["PageSize"] = 17;
    const QString text = run();
    EXPECT_TRUE(text.contains(CRLF + "Current unit of measure: " + CRLF));
    EXPECT_TRUE(text.contains(CRLF + "Current pixel type: " + CRLF));
    EXPECT_TRUE(text.contains(CRLF + "Current page size: Other" + CRLF));
}

TEST_F(Report, WithoutReadableCapabilityListTheReportEndsAfterItsHeading) {
    // No CAP_SUPPORTEDCAPS at all: CapGet does not return 1.
    EXPECT_EQ(run(), head(defaultSections()));
    EXPECT_EQ(fake.calls.last(), "CloseDataSource");

    // A readable but empty list.
    FakeScanComponent::Cap empty = cap(4);
    fake.caps[twain::CAP_SUPPORTEDCAPS] = empty;
    fake.calls.clear();
    EXPECT_EQ(run(), head(defaultSections()));
    EXPECT_EQ(fake.calls.last(), "CloseDataSource");
}

TEST_F(Report, AnOpenSourceGivesAnEmptyReportAndIsLeftAlone) {
    fake.values["DataSourceOpen"] = 1;
    EXPECT_EQ(run(), QString());
    EXPECT_EQ(fake.calls, QStringList{"DataSourceOpen"});
    EXPECT_TRUE(messages.isEmpty());
    EXPECT_EQ(fake.values["DataSourceOpen"].toInt(), 1);
}

TEST_F(Report, TheIdTableHoldsExactly201Ids) {
    QVector<double> ids;
    for (int i = 0; i < kCapabilityIdSlots; ++i)
        ids << 0x9000 + i; // none supported: no lines, but each one asked
    listCapabilities(ids);
    EXPECT_EQ(run(), head(defaultSections()));
    EXPECT_EQ(fake.callsNamed("CapSupported").size(), kCapabilityIdSlots);
    EXPECT_TRUE(fake.calls.contains(QStringLiteral("Capability=%1").arg(0x9000 + 200)));
}

// A component that says it holds more items than it hands over.
class ShortListFake : public FakeScanComponent {
public:
    int32_t extraItems = 1;
    int32_t CapItemCount() const override { return FakeScanComponent::CapItemCount() + extraItems; }
};

// Every fault on the way abandons the report: no text, and the source it opened stays open.
class AbandonedReport : public Report {
protected:
    void expectAbandoned(ScanComponent& component) {
        EXPECT_THROW(InfoDispositivo(component, [this](const QString& p) { messages << p; }),
                     ScanError);
    }
    void expectAbandoned() {
        expectAbandoned(fake);
        EXPECT_TRUE(fake.callsNamed("CloseDataSource").isEmpty());
        EXPECT_EQ(fake.values["DataSourceOpen"].toInt(), 1);
    }
};

TEST_F(AbandonedReport, MoreIdsThanTheTableHolds) {
    QVector<double> ids;
    for (int i = 0; i < kCapabilityIdSlots + 1; ++i)
        ids << 0x1000 + i;
    listCapabilities(ids);
    fake.caps[0x1000] = cap(1, 1);
    expectAbandoned();
    // Abandoned as a whole: no capability of the list was questioned.
    EXPECT_FALSE(fake.calls.contains("Capability=4096"));
}

TEST_F(AbandonedReport, IdsThatAreNotWhole32BitNumbers) {
    for (double bad :
         {2.5, 4294967296.0, -2147483649.0, std::numeric_limits<double>::quiet_NaN()}) {
        fake.calls.clear();
        fake.values["DataSourceOpen"] = 0;
        listCapabilities({twain::ICAP_PIXELTYPE, bad});
        expectAbandoned();
    }
}

TEST_F(AbandonedReport, CurrentValuesOutside16Bits) {
    for (const char* key : {"Unit", "ImagePixelType", "Resolution", "PageSize"}) {
        FakeScanComponent f;
        f.values["Unit"] = 0;
        f.values["ImagePixelType"] = 0;
        f.values["Resolution"] = 300;
        f.values["PageSize"] = 1;
        f.values[key] = 70000;
        EXPECT_THROW(InfoDispositivo(f, [](const QString&) {}), ScanError) << key;
        EXPECT_TRUE(f.callsNamed("CloseDataSource").isEmpty()) << key;
    }
}

TEST_F(AbandonedReport, ACountThatPromisesMoreIdsThanListed) {
    ShortListFake f;
    f.caps[twain::CAP_SUPPORTEDCAPS] = cap(4, 0, {twain::ICAP_PIXELTYPE, twain::ICAP_UNITS});
    f.caps[twain::ICAP_PIXELTYPE] = cap(1, 2);
    f.values["Resolution"] = 300;
    expectAbandoned(f);
    EXPECT_TRUE(f.callsNamed("CloseDataSource").isEmpty());
}

TEST_F(AbandonedReport, ACountThatPromisesMoreItemsThanACapabilityHas) {
    ShortListFake f;
    f.extraItems = 0;
    f.caps[twain::CAP_SUPPORTEDCAPS] = cap(4, 0, {twain::ICAP_PIXELTYPE});
    f.caps[twain::ICAP_PIXELTYPE] = cap(4, 2, {0, 1, 2});
    f.values["Resolution"] = 300;
    // The id list is read whole; the lie starts with the capability's own items.
    f.onCall = [&f](const QString& call) {
        if (call == "Capability=257")
            f.extraItems = 1;
    };
    expectAbandoned(f);
    EXPECT_TRUE(f.callsNamed("CloseDataSource").isEmpty());
}

TEST_F(AbandonedReport, ComponentCallsThatFailOutright) {
    fake.caps[twain::ICAP_PIXELTYPE] = cap(1, 2);
    listCapabilities({twain::ICAP_PIXELTYPE});
    for (const char* call :
         {"OpenDataSource", "SourceIndex", "SourceName", "Unit", "SupportedUnits", "Resolution",
          "SupportedResolutions", "CapGet", "CapSupported", "CapValue", "CapText"}) {
        fake.calls.clear();
        fake.values["DataSourceOpen"] = 0;
        fake.throwing = {QString::fromLatin1(call)};
        EXPECT_THROW(run(), ScanError) << call;
        EXPECT_TRUE(fake.callsNamed("CloseDataSource").isEmpty()) << call;
    }
    EXPECT_TRUE(messages.isEmpty());
}

} // namespace
