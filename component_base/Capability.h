#pragma once
#include "component_base/TwainCodes.h"
#include <QString>
#include <QVector>
#include <cstdint>
#include <utility>

/// A device capability as a typed value in the TWAIN model: the component's generic
/// capability interface and its named properties both read these.
struct Capability {
    uint16_t id = 0;
    twain::Container container = twain::OneValue;
    double current = 0;
    double defaultValue = 0;
    double min = 0, max = 0, step = 0; // Range
    QVector<double> items{};           // Array and Enumeration
    QString text{};                    // a text value (or the text form of the current value)
    bool readOnly = false;

    static Capability oneValue(uint16_t id, double value, bool readOnly = false) {
        return {.id = id, .current = value, .defaultValue = value, .readOnly = readOnly};
    }
    static Capability range(uint16_t id, double current, double def, double min, double max,
                            double step) {
        return {.id = id,
                .container = twain::Range,
                .current = current,
                .defaultValue = def,
                .min = min,
                .max = max,
                .step = step};
    }
    static Capability enumeration(uint16_t id, double current, double def, QVector<double> items) {
        return {.id = id,
                .container = twain::Enumeration,
                .current = current,
                .defaultValue = def,
                .items = std::move(items)};
    }
};

/// The values a capability offers, as the component's lists hand them out: a range value by
/// value (only its two ends past 10000 values), array and enumeration items, or the one
/// value; rounded to whole numbers.
QVector<int32_t> listedValues(const Capability& c);
/// The lowest and highest value a capability takes: a range's ends, the extremes of its
/// items, or its one value twice.
std::pair<double, double> valueRange(const Capability& c);
/// The current value as text: the device's own text, else the number (whole numbers without
/// a decimal point).
QString currentText(const Capability& c);
