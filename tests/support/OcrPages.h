#pragma once
// The rendered Italian pages as the recogniser takes them.
#include "ocr_worker/OcrEngine.h"
#include "support/ItalianPages.h"

/// The texts of `words`, in order.
inline QStringList textsOf(const OcrWords& words) {
    QStringList texts;
    for (const OcrWord& w : words)
        texts << w.text;
    return texts;
}

/// `image` (Mono with a set bit black, Grayscale8 or RGB888) as pixels for OcrEngine; the
/// image must outlive them.
inline OcrPixels pixelsOf(const QImage& image, int dpi) {
    return {.data = image.constBits(),
            .width = image.width(),
            .height = image.height(),
            .bytesPerLine = int(image.bytesPerLine()),
            .dpi = dpi,
            .format = image.format() == QImage::Format_Mono     ? OcrPixelFormat::Mono
                      : image.format() == QImage::Format_RGB888 ? OcrPixelFormat::Rgb24
                                                                : OcrPixelFormat::Gray8};
}
