#include "common/VbConvert.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

bool isBlank(QChar c) {
    return c == u' ' || c == u'\t';
}

QStringView trimBlanks(QStringView text) {
    while (!text.isEmpty() && isBlank(text.front()))
        text = text.mid(1);
    while (!text.isEmpty() && isBlank(text.back()))
        text.chop(1);
    return text;
}

namespace {

bool isDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

// Whole-number conversion shared by the 16- and 32-bit variants. The text is read digit by
// digit instead of through a double so that a half is recognised exactly: "2.5000000001"
// must round up while "2.5" goes to the even neighbour.
std::optional<int64_t> toWholeNumber(QStringView text, int64_t min, int64_t max) {
    text = trimBlanks(text);
    qsizetype i = 0;
    const qsizetype end = text.size();

    bool negative = false;
    if (i < end && (text[i] == u'+' || text[i] == u'-')) {
        negative = text[i] == u'-';
        ++i;
    }

    // The magnitude is capped just above the widest limit; beyond it the exact value no
    // longer matters, only that it is out of range.
    constexpr int64_t cap = int64_t(1) << 40;
    int64_t magnitude = 0;
    bool anyDigit = false;
    while (i < end && isDigit(text[i])) {
        anyDigit = true;
        if (magnitude < cap)
            magnitude = magnitude * 10 + (text[i].unicode() - u'0');
        ++i;
    }

    // Fraction: only its first digit and whether anything non-zero follows decide rounding.
    int firstFractionDigit = 0;
    bool nonZeroAfterFirst = false;
    if (i < end && text[i] == u'.') {
        ++i;
        bool first = true;
        while (i < end && isDigit(text[i])) {
            anyDigit = true;
            const int digit = text[i].unicode() - u'0';
            if (first)
                firstFractionDigit = digit;
            else if (digit != 0)
                nonZeroAfterFirst = true;
            first = false;
            ++i;
        }
    }
    if (!anyDigit || i != end)
        return std::nullopt;

    const bool roundUp = firstFractionDigit > 5 ||
                         (firstFractionDigit == 5 && (nonZeroAfterFirst || magnitude % 2 == 1));
    if (roundUp)
        ++magnitude;

    const int64_t value = negative ? -magnitude : magnitude;
    if (value < min || value > max)
        return std::nullopt;
    return value;
}

} // namespace

namespace {

template <typename Int> std::optional<Int> toWhole(QStringView text) {
    const auto value =
        toWholeNumber(text, std::numeric_limits<Int>::min(), std::numeric_limits<Int>::max());
    if (!value)
        return std::nullopt;
    return static_cast<Int>(*value);
}

} // namespace

std::optional<int16_t> toInt16(QStringView text) {
    return toWhole<int16_t>(text);
}

std::optional<int32_t> toInt32(QStringView text) {
    return toWhole<int32_t>(text);
}

double lenientNumber(QStringView text) {
    // Gather the characters that form the leading number, skipping blanks, tabs and line
    // feeds wherever they are; the first character that cannot continue the number ends it.
    std::string number;
    enum class Stage { Sign, Whole, Fraction, ExponentMark, ExponentSign, ExponentDigits };
    Stage stage = Stage::Sign;
    bool mantissaDigits = false;
    std::string exponent;
    for (const QChar c : text) {
        if (c == u' ' || c == u'\t' || c == u'\n')
            continue;
        const char ch = c.unicode() < 128 ? static_cast<char>(c.unicode()) : '\0';
        if (stage == Stage::Sign && (ch == '+' || ch == '-')) {
            if (ch == '-')
                number += '-';
            stage = Stage::Whole;
        } else if ((stage == Stage::Sign || stage == Stage::Whole || stage == Stage::Fraction) &&
                   ch >= '0' && ch <= '9') {
            number += ch;
            mantissaDigits = true;
            if (stage == Stage::Sign)
                stage = Stage::Whole;
        } else if ((stage == Stage::Sign || stage == Stage::Whole) && ch == '.') {
            number += '.';
            stage = Stage::Fraction;
        } else if ((stage == Stage::Whole || stage == Stage::Fraction) && mantissaDigits &&
                   (ch == 'e' || ch == 'E' || ch == 'd' || ch == 'D')) {
            stage = Stage::ExponentMark;
            exponent.clear();
            exponent.push_back('e');
        } else if (stage == Stage::ExponentMark && (ch == '+' || ch == '-')) {
            exponent += ch;
            stage = Stage::ExponentSign;
        } else if ((stage == Stage::ExponentMark || stage == Stage::ExponentSign ||
                    stage == Stage::ExponentDigits) &&
                   ch >= '0' && ch <= '9') {
            exponent += ch;
            stage = Stage::ExponentDigits;
        } else {
            break;
        }
    }
    if (!mantissaDigits)
        return 0.0;
    // An exponent mark without digits ("12e") does not belong to the number.
    if (stage == Stage::ExponentDigits)
        number += exponent;

    double value = 0.0;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), value,
                                        std::chars_format::general);
    // A number beyond the range of a double has no sensible meaning as a length; it reads as
    // "no number" rather than as an infinity that would poison later arithmetic.
    if (result.ec != std::errc() || !std::isfinite(value))
        return 0.0;
    return value;
}

QString decimalText(int64_t value) {
    return QString::number(value);
}

QString numberText(double value) {
    if (std::isnan(value))
        return QStringLiteral(" NaN");
    // Single precision, as the report's values are; outside its range a value is infinite.
    const double limit = std::numeric_limits<float>::max();
    if (value > limit || value < -limit)
        return value > 0 ? QStringLiteral(" Inf") : QStringLiteral("-Inf");
    float single = static_cast<float>(value);
    if (single == 0.0f)
        single = 0.0f; // no "-0"

    char buffer[64];
    // to_chars is locale-independent, so the decimal separator is a point whatever LC_NUMERIC
    // the application runs under; "general" with precision 7 drops trailing zeros and switches
    // to the exponent form exactly when seven significant digits are not enough.
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, single, std::chars_format::general, 7);
    std::string digits(buffer, result.ptr);

    for (char& ch : digits)
        if (ch == 'e')
            ch = 'E';
    const bool negative = !digits.empty() && digits.front() == '-';
    std::string body = negative ? digits.substr(1) : digits;
    if (body.size() > 1 && body[0] == '0' && body[1] == '.')
        body.erase(0, 1);
    return QString::fromLatin1((negative ? "-" : " ") + body);
}

QString booleanText(bool value) {
    return value ? QStringLiteral("True") : QStringLiteral("False");
}
