// The four lookups of the capability report: their tables at the edges and the capability
// name table's order and ids.
#include "component_base/TwainCodes.h"
#include "device_info/CapabilityReport.h"

#include <QSet>
#include <gtest/gtest.h>

namespace {

struct CodeName {
    int64_t code;
    const char* name;
};

TEST(Lookups, UnitNamesCoverTheTableAndNothingElse) {
    const CodeName cases[] = {{0, "inches"}, {1, "centimeters"}, {2, "picas"}, {3, "points"},
                              {4, "twips"},  {5, "pixels"},      {6, ""},      {-1, ""},
                              {65536, ""},   {INT64_MIN, ""}};
    for (const auto& c : cases)
        EXPECT_EQ(NomeUnitaMisura(c.code), QString::fromLatin1(c.name)) << c.code;
}

TEST(Lookups, PixelTypeNamesCoverTheTableAndNothingElse) {
    const CodeName cases[] = {{0, "BW"},   {1, "GRAY"}, {2, "RGB"},  {3, "PALETTE"}, {4, "CMY"},
                              {5, "CMYK"}, {6, "YUV"},  {7, "YUVK"}, {8, "CIEXYZ"},  {9, "LAB"},
                              {10, ""},    {-1, ""},    {258, ""}};
    for (const auto& c : cases)
        EXPECT_EQ(NomeTipoPixel(c.code), QString::fromLatin1(c.name)) << c.code;
}

TEST(Lookups, PageSizeNamesWithOtherForEightAndUnknownCodes) {
    const CodeName cases[] = {
        {0, "None"},         {1, "A4LETTER"}, {2, "B5LETTER"}, {3, "USLETTER"}, {4, "USLEGAL"},
        {5, "A5"},           {6, "B4"},       {7, "B6"},       {8, "Other"},    {9, "USLEDGER"},
        {10, "USEXECUTIVE"}, {11, "A3"},      {12, "B3"},      {13, "A6"},      {14, "C4"},
        {15, "C5"},          {16, "C6"},      {17, "Other"},   {-1, "Other"},   {1000, "Other"}};
    for (const auto& c : cases)
        EXPECT_EQ(NomeFormatoPagina(c.code), QString::fromLatin1(c.name)) << c.code;
}

TEST(CapabilityTable, HasItsRowsInStrictlyRisingIdOrder) {
    const auto rows = capabilityNames();
    ASSERT_EQ(rows.size(), 124u);
    EXPECT_STREQ(rows.front().name, "CAP_XFERCOUNT");
    EXPECT_STREQ(rows.back().name, "ACAP_XFERMECH");
    QSet<QString> names;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (i > 0) {
            EXPECT_LT(rows[i - 1].id, rows[i].id)
                << rows[i - 1].name << " is not below " << rows[i].name;
        }
        const QString name = QString::fromLatin1(rows[i].name);
        EXPECT_FALSE(names.contains(name)) << rows[i].name << " appears twice";
        names.insert(name);
        // The prefix tells the standard's id block: CAP_ from 0x1000 (and the transfer count
        // at 1), ICAP_ from 0x0100 / 0x1100, ACAP_ from 0x1200.
        const int32_t block = rows[i].id & 0xFF00;
        if (name.startsWith(QLatin1String("ACAP_"))) {
            EXPECT_EQ(block, 0x1200) << rows[i].name;
        } else if (name.startsWith(QLatin1String("ICAP_"))) {
            EXPECT_TRUE(block == 0x0100 || block == 0x1100) << rows[i].name;
        } else {
            EXPECT_TRUE(rows[i].id == 1 || block == 0x1000) << rows[i].name;
        }
    }
}

TEST(CapabilityTable, EveryRowIsFoundByItsId) {
    for (const CapabilityName& row : capabilityNames())
        EXPECT_EQ(NomeCapacita(row.id), QString::fromLatin1(row.name)) << row.id;
}

// The component's own TWAIN constants and the report's table are written independently;
// they must agree on every id they share.
TEST(CapabilityTable, AgreesWithTheComponentsTwainConstants) {
// A constant with its own name, as the report's table must call its id.
#define NAMED(constant)                                                                            \
    { twain::constant, #constant }
    const CodeName known[] = {
        NAMED(CAP_XFERCOUNT),
        NAMED(ICAP_COMPRESSION),
        NAMED(ICAP_PIXELTYPE),
        NAMED(ICAP_UNITS),
        NAMED(ICAP_XFERMECH),
        NAMED(CAP_FEEDERENABLED),
        NAMED(CAP_FEEDERLOADED),
        NAMED(CAP_SUPPORTEDCAPS),
        NAMED(CAP_AUTOFEED),
        NAMED(CAP_INDICATORS),
        NAMED(CAP_PAPERDETECTABLE),
        NAMED(CAP_UICONTROLLABLE),
        NAMED(CAP_DEVICEONLINE),
        NAMED(CAP_DUPLEX),
        NAMED(CAP_DUPLEXENABLED),
        NAMED(ICAP_BRIGHTNESS),
        NAMED(ICAP_CONTRAST),
        NAMED(ICAP_PHYSICALWIDTH),
        NAMED(ICAP_PHYSICALHEIGHT),
        NAMED(ICAP_XRESOLUTION),
        NAMED(ICAP_YRESOLUTION),
        NAMED(ICAP_SUPPORTEDSIZES),
        NAMED(ICAP_THRESHOLD),
        NAMED(ICAP_BITDEPTH),
        NAMED(ICAP_JPEGQUALITY),
        // Rows for ids the component has no constant of.
        {0x1000, "CAP_AUTHOR"},
        {0x1100, "ICAP_AUTOBRIGHT"},
        {0x1202, "ACAP_XFERMECH"},
    };
#undef NAMED
    for (const auto& k : known)
        EXPECT_EQ(NomeCapacita(k.code), QString::fromLatin1(k.name)) << k.code;
}

TEST(CapabilityTable, IdsWithoutARowAreCustomCapabilities) {
    const CodeName cases[] = {
        {5, "Custom capability ( 5)"},
        {0, "Custom capability ( 0)"},
        {-3, "Custom capability (-3)"},
        {0x1023, "Custom capability ( 4131)"}, // a gap in the standard's numbering
        {0x1102, "Custom capability ( 4354)"},
        {twain::CUSTOM_FEEDERPRESENT, "Custom capability ( 32769)"},
        {0x1203, "Custom capability ( 4611)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NomeCapacita(c.code), QString::fromLatin1(c.name)) << c.code;
}

} // namespace
