#include "component_base/Capability.h"
#include <algorithm>
#include <cmath>

namespace {

// A list the device offers as a range is handed out value by value up to this many values;
// beyond it only the two ends are listed (the range itself stays readable through CapMin/Max).
constexpr int kMaxListedRange = 10000;

} // namespace

QVector<int32_t> listedValues(const Capability& c) {
    QVector<int32_t> list;
    switch (c.container) {
    case twain::Range:
        if (c.step > 0 && (c.max - c.min) / c.step < kMaxListedRange) {
            for (double v = c.min; v <= c.max + 1e-9; v += c.step)
                list << int32_t(std::lround(v));
        } else {
            list << int32_t(std::lround(c.min)) << int32_t(std::lround(c.max));
        }
        break;
    case twain::Array:
    case twain::Enumeration:
        for (double v : c.items)
            list << int32_t(std::lround(v));
        break;
    case twain::OneValue:
        list << int32_t(std::lround(c.current));
        break;
    }
    return list;
}

std::pair<double, double> valueRange(const Capability& c) {
    if (c.container == twain::Range)
        return {c.min, c.max};
    if (c.items.isEmpty())
        return {c.current, c.current};
    const auto [low, high] = std::minmax_element(c.items.begin(), c.items.end());
    return {*low, *high};
}

QString currentText(const Capability& c) {
    if (!c.text.isEmpty())
        return c.text;
    const double v = c.current;
    if (std::isfinite(v) && v == std::floor(v) && std::fabs(v) < 1e15)
        return QString::number(qint64(v));
    return QString::number(v, 'g', 7);
}
