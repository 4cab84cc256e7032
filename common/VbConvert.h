#pragma once
#include <QString>
#include <QStringView>
#include <cstdint>
#include <optional>

// The number and text conversions of the system, one implementation each. Every place that
// converts a setting, a page number or a log number goes through these.

/// True for the blanks that the platform's text functions skip around names and numbers:
/// space and tab.
bool isBlank(QChar c);
/// `text` without the blanks (spaces and tabs) at either end.
QStringView trimBlanks(QStringView text);

/// Text to a 16-bit signed integer as the INI loader and the page Tags need it: blanks around
/// the number, an optional sign, a decimal point with a fraction rounded half to even
/// (2.5 -> 2, 3.5 -> 4, -2.5 -> -2). Empty text, anything that is not a number and a value
/// outside the type's range give std::nullopt; nothing is ever wrapped.
std::optional<int16_t> toInt16(QStringView text);

/// The same conversion to a 32-bit signed integer.
std::optional<int32_t> toInt32(QStringView text);

/// The lenient numeric reading of the scan-area fields: blanks, tabs and line feeds are
/// ignored anywhere, a point is the decimal separator, reading stops at the first character
/// that cannot continue the number, and text with no leading number gives 0.
double lenientNumber(QStringView text);

/// Decimal text of an integer for log lines and file names: no blanks, no leading zeros,
/// a leading "-" when negative.
QString decimalText(int64_t value);

/// The capability report's number text: one leading blank when zero or positive, a "-" when
/// negative, a point as decimal separator, no zero before the point of a fraction between
/// -1 and 1 (" .5"), at most seven significant digits (single precision) and the exponent
/// form beyond them (" 1.234568E+07"), whole numbers without a point (" 75").
QString numberText(double value);

/// "True" or "False": the Boolean text of log lines.
QString booleanText(bool value);
