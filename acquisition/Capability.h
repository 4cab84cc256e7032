#pragma once
#include "acquisition/TwainCodes.h"
#include <QString>
#include <QVector>
#include <cstdint>

/// A device capability as a typed value in the TWAIN model: the component's generic
/// capability interface and its named properties both read these.
struct Capability {
    uint16_t id = 0;
    twain::Container container = twain::OneValue;
    double current = 0;
    double defaultValue = 0;
    double min = 0, max = 0, step = 0; // Range
    QVector<double> items;             // Array and Enumeration
    QString text;                      // a text value (or the text form of the current value)
    bool readOnly = false;

    static Capability oneValue(uint16_t id, double value, bool readOnly = false) {
        Capability c;
        c.id = id; c.current = c.defaultValue = value; c.readOnly = readOnly;
        return c;
    }
    static Capability range(uint16_t id, double current, double def, double min, double max,
                            double step) {
        Capability c;
        c.id = id; c.container = twain::Range; c.current = current; c.defaultValue = def;
        c.min = min; c.max = max; c.step = step;
        return c;
    }
    static Capability enumeration(uint16_t id, double current, double def,
                                  QVector<double> items) {
        Capability c;
        c.id = id; c.container = twain::Enumeration; c.current = current;
        c.defaultValue = def; c.items = std::move(items);
        return c;
    }
};
