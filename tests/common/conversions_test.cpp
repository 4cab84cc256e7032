// The conversions every part of the program shares: INI numbers, scan-area fields, log and
// report number texts.
#include "common/ShownText.h"
#include "common/VbConvert.h"

#include <gtest/gtest.h>

#include <QLocale>
#include <clocale>
#include <cmath>
#include <optional>

namespace {

struct WholeCase {
    const char* text;
    std::optional<int64_t> int16;
    std::optional<int64_t> int32;
};

std::ostream& operator<<(std::ostream& out, const WholeCase& c) {
    return out << '"' << c.text << '"';
}

class WholeNumberTest : public ::testing::TestWithParam<WholeCase> {};

TEST_P(WholeNumberTest, ConvertsOrFails) {
    const WholeCase& c = GetParam();
    const QString text = QString::fromUtf8(c.text);
    const std::optional<int16_t> small = toInt16(text);
    const std::optional<int32_t> wide = toInt32(text);
    ASSERT_EQ(small.has_value(), c.int16.has_value());
    if (c.int16) {
        EXPECT_EQ(*small, *c.int16);
    }
    ASSERT_EQ(wide.has_value(), c.int32.has_value());
    if (c.int32) {
        EXPECT_EQ(*wide, *c.int32);
    }
}

constexpr auto none = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Table, WholeNumberTest,
    ::testing::Values(
        // rounding: a half goes to the even neighbour, anything above it up
        WholeCase{"2.5", 2, 2}, WholeCase{"3.5", 4, 4}, WholeCase{"-2.5", -2, -2},
        WholeCase{"-3.5", -4, -4}, WholeCase{"0.5", 0, 0}, WholeCase{"1.5", 2, 2},
        WholeCase{"2.50000000000000000001", 3, 3}, WholeCase{"2.4999999999999999999", 2, 2},
        WholeCase{"2.6", 3, 3}, WholeCase{"-0.4", 0, 0}, WholeCase{".5", 0, 0},
        WholeCase{"7.", 7, 7},
        // blanks, signs, leading zeros
        WholeCase{" 7 ", 7, 7}, WholeCase{"\t-12\t", -12, -12}, WholeCase{"+75", 75, 75},
        WholeCase{"0075", 75, 75}, WholeCase{"00000000000000000000001", 1, 1},
        // range limits: never wrapped
        WholeCase{"32767", 32767, 32767}, WholeCase{"-32768", -32768, -32768},
        WholeCase{"32767.5", none, 32768}, WholeCase{"32767.4", 32767, 32767},
        WholeCase{"-32768.5", -32768, -32768}, WholeCase{"-32768.6", none, -32769},
        WholeCase{"70000", none, 70000}, WholeCase{"40000", none, 40000},
        WholeCase{"2147483647", none, 2147483647}, WholeCase{"2147483648", none, none},
        WholeCase{"-2147483648", none, -2147483648LL}, WholeCase{"4294967296", none, none},
        WholeCase{"99999999999999999999999", none, none},
        // not numbers
        WholeCase{"", none, none}, WholeCase{"   ", none, none}, WholeCase{"abc", none, none},
        WholeCase{"12abc", none, none}, WholeCase{"1 2", none, none}, WholeCase{"-", none, none},
        WholeCase{".", none, none}, WholeCase{"+-1", none, none}, WholeCase{"1.2.3", none, none},
        WholeCase{"0x10", none, none}, WholeCase{"1e3", none, none},
        WholeCase{"\xef\xbc\x97", none, none} /* fullwidth digit seven */));

TEST(WholeNumber, IgnoresTheLocale) {
    // The settings file is the same on every machine: a comma is never a decimal separator.
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::Italian, QLocale::Italy));
    std::setlocale(LC_NUMERIC, "it_IT.UTF-8");
    EXPECT_EQ(toInt16(u"2.5"), std::optional<int16_t>(2));
    EXPECT_EQ(toInt16(u"2,5"), std::nullopt);
    std::setlocale(LC_NUMERIC, "C");
    QLocale::setDefault(previous);
}

struct LenientCase {
    const char* text;
    double value;
};

class LenientNumberTest : public ::testing::TestWithParam<LenientCase> {};

TEST_P(LenientNumberTest, ReadsTheLeadingNumber) {
    EXPECT_DOUBLE_EQ(lenientNumber(QString::fromUtf8(GetParam().text)), GetParam().value)
        << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Table, LenientNumberTest,
    ::testing::Values(LenientCase{"21.0", 21.0}, LenientCase{"29.7", 29.7},
                      LenientCase{" 2 1 . 5 ", 21.5}, LenientCase{"\t2\n9.7", 29.7},
                      LenientCase{"21;29.7", 21.0}, LenientCase{"12abc", 12.0},
                      LenientCase{"abc", 0.0}, LenientCase{"", 0.0}, LenientCase{"-3.5", -3.5},
                      LenientCase{"+4", 4.0}, LenientCase{".5", 0.5}, LenientCase{"-.25", -0.25},
                      LenientCase{"5.", 5.0}, LenientCase{"1.2.3", 1.2}, LenientCase{"21,5", 21.0},
                      LenientCase{"-", 0.0}, LenientCase{".", 0.0}, LenientCase{"--3", 0.0},
                      LenientCase{"1e3", 1000.0}, LenientCase{"2.5E-1", 0.25},
                      LenientCase{"12e", 12.0}, LenientCase{"12e+", 12.0}, LenientCase{"e5", 0.0},
                      LenientCase{"1e999", 0.0}, LenientCase{"\r5", 0.0},
                      LenientCase{"0000000000000000000000042", 42.0}));

TEST(DecimalText, PlainDigitsWithMinus) {
    const std::pair<int64_t, const char*> cases[] = {{0, "0"},
                                                     {300, "300"},
                                                     {-1, "-1"},
                                                     {-32768, "-32768"},
                                                     {2147483647, "2147483647"},
                                                     {INT64_MIN, "-9223372036854775808"}};
    for (const auto& [value, text] : cases)
        EXPECT_EQ(decimalText(value), QString::fromLatin1(text)) << value;
}

TEST(NumberText, ReportForms) {
    const std::pair<double, const char*> cases[] = {
        {0, " 0"},
        {-0.0, " 0"},
        {75, " 75"},
        {-3, "-3"},
        {0.5, " .5"},
        {-0.25, "-.25"},
        {12345678, " 1.234568E+07"},
        {-12345678, "-1.234568E+07"},
        {1.5, " 1.5"},
        {1234567, " 1234567"},
        {10000000, " 1E+07"},
        {300, " 300"},
        {0.1, " .1"}, // the single-precision 0.1 is not shown with its binary tail
        {2.0 / 3.0, " .6666667"},
        {0.0001, " .0001"},
        {0.00001, " 1E-05"},
        {-1.5e-7, "-1.5E-07"},
        {1e30, " 1E+30"},
        {65535, " 65535"},
    };
    for (const auto& [value, text] : cases)
        EXPECT_EQ(numberText(value), QString::fromLatin1(text)) << value;
}

TEST(NumberText, PointWhateverTheLocale) {
    std::setlocale(LC_NUMERIC, "it_IT.UTF-8");
    EXPECT_EQ(numberText(1.5), QStringLiteral(" 1.5"));
    std::setlocale(LC_NUMERIC, "C");
}

TEST(NumberText, OutOfSinglePrecisionRange) {
    EXPECT_EQ(numberText(1e300), QStringLiteral(" Inf"));
    EXPECT_EQ(numberText(-1e300), QStringLiteral("-Inf"));
    EXPECT_EQ(numberText(std::nan("")), QStringLiteral(" NaN"));
}

TEST(BooleanText, TrueAndFalse) {
    EXPECT_EQ(booleanText(true), QStringLiteral("True"));
    EXPECT_EQ(booleanText(false), QStringLiteral("False"));
}

// Texts of settings and devices in messages: a NUL or an escape sequence is shown, never sent.
TEST(ShownText, ControlCharactersAreEscapedLineBreaksKeptInLines) {
    const QString raw = QString::fromLatin1("TI\0FF\x1b[2J\r\nriga\x7f\rdue\n", 21);
    EXPECT_EQ(shownText(raw), QStringLiteral("TI\\x00FF\\x1b[2J\\x0d\\x0ariga\\x7f\\x0ddue\\x0a"));
    EXPECT_EQ(shownLines(raw), QStringLiteral("TI\\x00FF\\x1b[2J\r\nriga\\x7f\\x0ddue\n"));
    EXPECT_EQ(shownText(QString::fromUtf8("C:\\Programmi\\àè \u0085")),
              QString::fromUtf8("C:\\Programmi\\àè \\x85"));
}

} // namespace
