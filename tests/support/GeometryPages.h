#pragma once
// The fed pages as the page-geometry units take them, and how straight a page came back.
#include "ocr_worker/PageGeometry.h"
#include "support/FedPages.h"
#include "support/OcrPages.h"

/// A page's darkness at (x, y), 0 paper to 255 black, whatever its format.
inline std::function<int(int, int)> darknessOf(const OcrPixels& p) {
    return [p](int x, int y) {
        const uint8_t* line = p.data + int64_t(y) * p.bytesPerLine;
        switch (p.format) {
        case OcrPixelFormat::Mono:
            return (line[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
        case OcrPixelFormat::Gray8:
            return 255 - line[x];
        case OcrPixelFormat::Rgb24:
            return 255 - std::min({line[3 * x], line[3 * x + 1], line[3 * x + 2]});
        }
        return 0;
    };
}

/// The slant left on `p` (a turnedTextPage, straightened or not), from its registration marks.
inline double residualSlant(const OcrPixels& p) {
    return marksSlant(QSize(p.width, p.height), darknessOf(p), p.dpi > 0 ? p.dpi : 300);
}
