// The pure parts of the SANE mapping: source and mode names, page sizes, units, status texts.
#include "component_base/TwainCodes.h"
#include "worker_process/SaneStatus.h"
#include "acquisition_sane/SaneTestSupport.h"
#include "sane_worker/SaneMapping.h"
#include <gtest/gtest.h>

using namespace sanemap;

namespace {

// The source names of Debian 12's sane-backends and of sane-airscan, with the backends that
// use them, and a few spellings of other backends that only the words give away.
TEST(SaneMapping, ClassifiesTheSourceNamesBackendsUse) {
    struct Case {
        const char* name;
        SourceKind kind;
    };
    const Case cases[] = {
        {"Flatbed", SourceKind::Flatbed},                  // most, sane-airscan
        {"FlatBed", SourceKind::Flatbed},                  // brscan
        {"Normal", SourceKind::Flatbed},                   // avision, hp, plustek
        {"Opaque/Normal", SourceKind::Flatbed},            // agfafocus, microtek
        {"Reflective", SourceKind::Flatbed},               // hp3900
        {"Document Table", SourceKind::Flatbed},           // Epson's own drivers
        {"fb", SourceKind::Flatbed},                       // kvs1025, kvs40xx
        {"FB", SourceKind::Flatbed},                       // hs2p
        {"Flatbed (Reflective)", SourceKind::Flatbed},     // by its words
        {"ADF", SourceKind::Feeder},                       // sane-airscan, hp, hp5590, xerox_mfp
        {"adf", SourceKind::Feeder},                       // kvs1025, kvs40xx
        {"ADF Front", SourceKind::Feeder},                 // avision, canon_dr, fujitsu, kodak
        {"Automatic Document Feeder", SourceKind::Feeder}, // epson2, epsonds, pixma, umax
        {"AutoFeeder", SourceKind::Feeder},                // microtek
        {"Feeder", SourceKind::Feeder},                    // escl
        {"Manual Feed Tray", SourceKind::Feeder},          // bh
        {"Automatic Document Feeder(left aligned)", SourceKind::Feeder}, // brscan, by its words
        {"ADF Back", SourceKind::FeederBack}, // avision, canon_dr, fujitsu, kodak
        {"ADF Duplex", SourceKind::Duplex},   // sane-airscan, avision, pixma, hp5590
        {"Duplex", SourceKind::Duplex},       // hpaio
        {"Automatic Document Feeder (duplex)", SourceKind::Duplex},
        {"Transparency", SourceKind::Film},                  // agfafocus, avision, plustek
        {"Transparency Adapter", SourceKind::Film},          // genesys, gt68xx, mustek, umax
        {"Transparency Adapter Infrared", SourceKind::Film}, // genesys
        {"Transparency Unit", SourceKind::Film},             // epson, epson2, pixma
        {"TPU8x10", SourceKind::Film},                       // epson2
        {"TMA", SourceKind::Film},                           // microtek2
        {"TMA Slides", SourceKind::Film},                    // hp5590
        {"TMA Negatives", SourceKind::Film},                 // hp5590
        {"XPA", SourceKind::Film},                           // hp
        {"Slide", SourceKind::Film},                         // coolscan, microtek2
        {"Filmstrip", SourceKind::Film},                     // microtek2
        {"Negative", SourceKind::Film},                      // plustek, hp3900
        {"Positive Film", SourceKind::Film},                 // Epson's own drivers
        {"Negative Film", SourceKind::Film},                 // Epson's own drivers
        {"Automatic Slide Feeder", SourceKind::Film},        // coolscan: slides, not sheets
        {"Auto", SourceKind::Other},                         // xerox_mfp: the device picks
        {"Card Front", SourceKind::Other},                   // canon_dr, fujitsu
        {"Card Duplex", SourceKind::Other},                  // not a document duplex
        {"", SourceKind::Other},
    };
    for (const Case& c : cases)
        EXPECT_EQ(classifySource(QString::fromLatin1(c.name)), c.kind) << c.name;
}

TEST(SaneMapping, ChoosesTheSourceToSwitchTo) {
    const QStringList scanner = {"Normal",    "Transparency", "ADF Back",
                                 "ADF Front", "ADF Duplex",   "Card Duplex"};
    EXPECT_EQ(chooseSource(scanner, SourceKind::Flatbed), "Normal");
    EXPECT_EQ(chooseSource(scanner, SourceKind::Feeder), "ADF Front");
    EXPECT_EQ(chooseSource(scanner, SourceKind::Duplex), "ADF Duplex");
    EXPECT_EQ(chooseSource({"Manual Feed Tray", "Automatic Document Feeder"}, SourceKind::Feeder),
              "Automatic Document Feeder");
    EXPECT_EQ(chooseSource({"ADF", "Duplex"}, SourceKind::Flatbed), ""); // nothing to switch to
    EXPECT_EQ(chooseSource({"Flatbed"}, SourceKind::Duplex), "");
    EXPECT_EQ(chooseSource({}, SourceKind::Feeder), "");
}

TEST(SaneMapping, ReadsSeparateDuplexSwitches) {
    EXPECT_EQ(duplexSwitchValue("Duplex"), true); // epson2, epsonds, kodakaio, magicolor
    EXPECT_EQ(duplexSwitchValue("Simplex"), false);
    EXPECT_EQ(duplexSwitchValue("Fast"), std::nullopt);
    EXPECT_EQ(duplexSwitchEntry({"Simplex", "Duplex"}, true), "Duplex");
    EXPECT_EQ(duplexSwitchEntry({"Simplex", "Duplex"}, false), "Simplex");
    EXPECT_EQ(duplexSwitchEntry({"Simplex"}, true), "");
}

// What the device offers, what is asked, and what must be written.
TEST(SaneMapping, PlansFeederAndDuplexChanges) {
    const QStringList airscan = {"Flatbed", "ADF", "ADF Duplex"};
    const QStringList epson = {"Flatbed", "Automatic Document Feeder", "Transparency Unit"};
    struct Case {
        const char* what;
        SourceOptions options;
        bool feeder, on;
        bool possible;
        QString source;
        std::optional<bool> duplexSwitch;
    };
    const Case cases[] = {
        {"feeder on from the glass", {airscan, "Flatbed"}, true, true, true, "ADF", {}},
        {"feeder on, already feeding both sides",
         {airscan, "ADF Duplex"},
         true,
         true,
         true,
         "",
         {}},
        {"feeder off from both sides", {airscan, "ADF Duplex"}, true, false, true, "Flatbed", {}},
        {"feeder off from film stays", {epson, "Transparency Unit"}, true, false, true, "", {}},
        {"feeder off without glass", {{"ADF", "ADF Duplex"}, "ADF"}, true, false, false, "", {}},
        {"duplex on by source", {airscan, "ADF"}, false, true, true, "ADF Duplex", {}},
        {"duplex off by source", {airscan, "ADF Duplex"}, false, false, true, "ADF", {}},
        {"duplex off, already one side", {airscan, "ADF"}, false, false, true, "", {}},
        {"duplex on by switch",
         {epson, "Automatic Document Feeder", true, false},
         false,
         true,
         true,
         "",
         true},
        {"duplex off by switch",
         {epson, "Automatic Document Feeder", true, true},
         false,
         false,
         true,
         "",
         false},
        {"duplex on, no way", {epson, "Flatbed"}, false, true, false, "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const SourcePlan plan = planSource(c.options, c.feeder, c.on);
        EXPECT_EQ(plan.possible, c.possible);
        EXPECT_EQ(plan.source, c.source);
        EXPECT_EQ(plan.duplexSwitch, c.duplexSwitch);
    }
}

TEST(SaneMapping, ReadsFeederAndDuplexState) {
    struct Case {
        const char* what;
        SourceOptions options;
        SourceState state; // present, enabled, duplex supported, duplex enabled
    };
    const Case cases[] = {
        {"glass only", {{"Flatbed"}, "Flatbed"}, {false, false, false, false}},
        {"film is no feeder",
         {{"Flatbed", "Transparency Unit"}, "Transparency Unit"},
         {false, false, false, false}},
        {"feeder, glass chosen", {{"Flatbed", "ADF"}, "Flatbed"}, {true, false, false, false}},
        {"duplex source chosen",
         {{"Flatbed", "ADF", "ADF Duplex"}, "ADF Duplex"},
         {true, true, true, true}},
        {"back only is feeding",
         {{"ADF Front", "ADF Back"}, "ADF Back"},
         {true, true, false, false}},
        {"switch on",
         {{"Flatbed", "Automatic Document Feeder"}, "Automatic Document Feeder", true, true},
         {true, true, true, true}},
        {"switch without feeder",
         {{"Flatbed"}, "Flatbed", true, true},
         {false, false, false, false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const SourceState st = sourceState(c.options);
        EXPECT_EQ(st.feederPresent, c.state.feederPresent);
        EXPECT_EQ(st.feederEnabled, c.state.feederEnabled);
        EXPECT_EQ(st.duplexSupported, c.state.duplexSupported);
        EXPECT_EQ(st.duplexEnabled, c.state.duplexEnabled);
    }
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

// What a broken network reply leaves in a status is the lost connection, never its number.
TEST(SaneStatusText, StatusOutsideSaneIsTheLostConnection) {
    for (const int32_t code : {-909640790, -1, 14, 42, 99, 104, 109, 1005}) {
        const DeviceStatus s = sanestatus::status(code, QStringLiteral("IMPOSTO PAGINA"));
        EXPECT_EQ(s.code, 9) << code;
        EXPECT_EQ(s.text, "Errore di ingresso/uscita: connessione chiusa") << code;
    }
    EXPECT_EQ(sanestatus::status(102).code, 102) << "the layer's own codes stay";
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
