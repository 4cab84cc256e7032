#pragma once
#include <QPointF>
#include <QRect>
#include <QString>
#include <vector>

/// One word the text recogniser read on a page, in the pixel coordinates of the page image
/// it read (origin top-left, y down). The OCR worker produces these and the PDF text layer
/// draws them; both ends share this one shape.
struct OcrWord {
    QRect box;             ///< the word's ink, in pixels
    QPointF baseStart;     ///< two points of its line's baseline, in pixels (the line runs
    QPointF baseEnd;       ///< from baseStart to baseEnd in reading order)
    double angle = 0;      ///< the line's angle in degrees, counter-clockwise as seen on the page
    double lineHeight = 0; ///< the line's height in pixels, ascenders to descenders
    int line = 0;          ///< the line's number on the page, from 0, in reading order
    float confidence = 0;  ///< the recogniser's confidence, 0 to 100
    QString text;
};

using OcrWords = std::vector<OcrWord>;

/// What recognising one page gave: the words, or an error in Italian for the scan log (and
/// no words).
struct OcrResult {
    QString error;
    OcrWords words;
    bool ok() const { return error.isEmpty(); }
};
