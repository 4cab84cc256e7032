// The pure parts of the SANE mapping: source and mode names, page sizes, units, status texts.
#include "SaneTestSupport.h"
#include "acquisition/TwainCodes.h"
#include "acquisition_sane/SaneMapping.h"
#include "acquisition_sane/SaneStatus.h"
#include <gtest/gtest.h>

using namespace sanemap;

namespace {

TEST(SaneMapping, ClassifiesTheSourceNamesBackendsUse) {
    struct Case {
        const char* name;
        SourceKind kind;
    };
    const Case cases[] = {
        {"Flatbed", SourceKind::Flatbed},
        {"FlatBed", SourceKind::Flatbed},
        {"Transparency Adapter", SourceKind::Flatbed},
        {"ADF", SourceKind::Feeder},
        {"Automatic Document Feeder", SourceKind::Feeder},
        {"ADF Front", SourceKind::Feeder},
        {"ADF Back", SourceKind::Feeder},
        {"adf", SourceKind::Feeder},
        {"Document Feeder", SourceKind::Feeder},
        {"ADF Duplex", SourceKind::Duplex},
        {"Duplex", SourceKind::Duplex},
        {"Automatic Document Feeder (duplex)", SourceKind::Duplex},
    };
    for (const Case& c : cases)
        EXPECT_EQ(classifySource(QString::fromLatin1(c.name)), c.kind) << c.name;
}

TEST(SaneMapping, ChoosesTheSourceToSwitchTo) {
    const QStringList scanner = {"Flatbed", "Transparency Adapter", "ADF Back", "ADF Front",
                                 "ADF Duplex"};
    EXPECT_EQ(chooseSource(scanner, SourceKind::Flatbed), "Flatbed");
    EXPECT_EQ(chooseSource(scanner, SourceKind::Feeder), "ADF Front");
    EXPECT_EQ(chooseSource(scanner, SourceKind::Duplex), "ADF Duplex");
    const QStringList film = {"Transparency Adapter", "Flatbed"};
    EXPECT_EQ(chooseSource(film, SourceKind::Flatbed), "Flatbed");
    const QStringList sheetFed = {"ADF", "Duplex"};
    EXPECT_EQ(chooseSource(sheetFed, SourceKind::Feeder), "ADF");
    EXPECT_EQ(chooseSource(sheetFed, SourceKind::Flatbed), ""); // nothing to switch to
    EXPECT_EQ(chooseSource({"Flatbed"}, SourceKind::Duplex), "");
    EXPECT_EQ(chooseSource({}, SourceKind::Feeder), "");
}

TEST(SaneMapping, MapsScanModesToPixelTypes) {
    struct Case {
        const char* mode;
        int type;
    };
    const Case cases[] = {
        {"Lineart", twain::BW},  {"Binary", twain::BW},
        {"Halftone", twain::BW}, {"Black & White", twain::BW},
        {"Gray", twain::Gray},   {"Grayscale", twain::Gray},
        {"Grey", twain::Gray},   {"Color", twain::RGB},
        {"Colour", twain::RGB},  {"24bit Color", twain::RGB},
        {"Color Lineart", -1},   {"Color Halftone", -1},
        {"Infrared", -1},        {"", -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(pixelTypeOfMode(QString::fromLatin1(c.mode)), c.type) << c.mode;
}

TEST(SaneMapping, OffersOnlyTheSizesThatFitTheArea) {
    // An A4 flatbed (216 x 297 mm): A4, Letter, A5, A6 and smaller; not Legal, not A3.
    const QVector<double> a4bed = sizesThatFit(216, 297);
    EXPECT_EQ(a4bed.first(), twain::SizeNone);
    for (int in : {twain::A4, twain::USLetter, twain::A5, twain::A6, twain::B5Letter,
                   twain::USExecutive, twain::C5, twain::C6, twain::B6})
        EXPECT_TRUE(a4bed.contains(in)) << in;
    for (int out : {twain::USLegal, twain::A3, twain::B4, twain::B3, twain::USLedger, twain::C4})
        EXPECT_FALSE(a4bed.contains(out)) << out;
    // A bed that is a millimetre short still takes the size its rounding shaved off.
    EXPECT_TRUE(sizesThatFit(215, 297).contains(twain::USLetter));
    EXPECT_FALSE(sizesThatFit(200, 280).contains(twain::A4));
    EXPECT_EQ(sizesThatFit(50, 50), QVector<double>{twain::SizeNone});
}

TEST(SaneMapping, NamesAFrameBySize) {
    EXPECT_EQ(sizeOfFrame(210, 297, 1), twain::A4);
    EXPECT_EQ(sizeOfFrame(216, 279, 1), twain::USLetter);
    EXPECT_EQ(sizeOfFrame(297, 420, 1), twain::A3);
    EXPECT_EQ(sizeOfFrame(297, 210, 1), twain::SizeNone); // landscape is not the portrait size
    EXPECT_EQ(sizeOfFrame(80, 100, 1), twain::SizeNone);
    ASSERT_TRUE(paperSize(twain::A5));
    EXPECT_EQ(paperSize(twain::A5)->widthMm, 148);
    EXPECT_FALSE(paperSize(twain::SizeNone));
    EXPECT_FALSE(paperSize(8)); // no size has code 8
}

TEST(SaneMapping, ConvertsUnitsThroughInches) {
    EXPECT_EQ(unitsPerInch(twain::Inches, 300), 1);
    EXPECT_EQ(unitsPerInch(twain::Centimeters, 300), 2.54);
    EXPECT_EQ(unitsPerInch(twain::Picas, 300), 6);
    EXPECT_EQ(unitsPerInch(twain::Points, 300), 72);
    EXPECT_EQ(unitsPerInch(twain::Twips, 300), 1440);
    EXPECT_EQ(unitsPerInch(twain::Pixels, 300), 300);
    EXPECT_EQ(unitsPerInch(twain::Pixels, 0), 0); // no resolution: pixels mean nothing
    EXPECT_EQ(unitsPerInch(6, 300), 0);
    EXPECT_EQ(unitsPerInch(-1, 300), 0);
}

TEST(SaneMapping, SnapsToTheDevicesStep) {
    EXPECT_DOUBLE_EQ(snapToQuant(215.9, 0, 450, 1), 216);
    EXPECT_DOUBLE_EQ(snapToQuant(10.2, 0.5, 450, 0.5), 10.0);
    EXPECT_DOUBLE_EQ(snapToQuant(450.4, 0, 450, 1), 450);
    EXPECT_DOUBLE_EQ(snapToQuant(12.34, 0, 450, 0), 12.34);
}

TEST(SaneStatusText, EachStatusHasItsOwnItalianText) {
    struct Case {
        int code;
        const char* text;
    };
    const Case cases[] = {
        {0, ""},
        {3, "Dispositivo occupato"},
        {6, "Carta inceppata nell'alimentatore"},
        {7, "Alimentatore vuoto"},
        {8, "Coperchio aperto"},
        {9, "Errore di ingresso/uscita"},
        {10, "Memoria insufficiente"},
        {11, "Accesso negato"},
        {sanestatus::DeviceSilent, "Il dispositivo non risponde"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(sanestatus::text(c.code), QString::fromUtf8(c.text)) << c.code;
    QStringList seen;
    for (int code = 1; code <= 13; ++code) {
        const QString t = sanestatus::text(code);
        EXPECT_FALSE(t.isEmpty()) << code;
        EXPECT_FALSE(seen.contains(t)) << code << " shares its text";
        seen << t;
    }
    EXPECT_TRUE(sanestatus::text(42).contains(QLatin1String("42")));
}

TEST(SaneStatusText, StatusCarriesCodeTextAndDetail) {
    const DeviceStatus jam = sanestatus::status(6, QStringLiteral("foglio 3"));
    EXPECT_EQ(jam.code, 6);
    EXPECT_EQ(jam.text, "Carta inceppata nell'alimentatore: foglio 3");
    EXPECT_FALSE(jam.ok());
    const DeviceStatus good = sanestatus::status(0, QStringLiteral("ignored"));
    EXPECT_TRUE(good.ok());
    EXPECT_TRUE(good.text.isEmpty());
}

} // namespace
