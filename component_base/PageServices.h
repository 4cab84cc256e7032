#pragma once
#include "common/OcrWord.h"
#include <QImage>
#include <QString>
#include <functional>
#include <memory>

// What the component asks of the page worker (the OCR worker program in the product, fakes in
// tests): reading a page's words, and finding how a page lies on the glass. The component only
// sees these interfaces; the worker's client implements them, so the component links neither
// tesseract nor the worker's protocol.

/// Reads the words of a page. Called on a thread of the component's own, never the window's:
/// a call may take seconds. A crash, a hang or garbage from whatever does the reading gives an
/// error result, never an exception; the next call starts afresh.
class PageTextReader {
public:
    virtual ~PageTextReader() = default;
    /// The words of `page` (its full-resolution pixels: 1-bit, 8-bit grey or colour; `dpi` 0
    /// when unknown) in `languages` (tesseract codes joined by "+"), in the page's pixels.
    virtual OcrResult read(const QImage& page, int dpi, const QString& languages) = 0;
};

/// How a page was found to lie, and the page put straight.
struct PageCorrection {
    QString error;         ///< empty when the page was examined; else why not (page unchanged)
    QImage image;          ///< the corrected page; null when nothing was changed
    double skewDegrees = 0; ///< the skew found, counter-clockwise positive
    bool straightened = false; ///< turned back by the skew found
    bool turned = false;       ///< turned 180 degrees: its text was upside down
    float orientationConfidence = 0; ///< how sure the orientation finder was (0 when not asked)
    bool ok() const { return error.isEmpty(); }
};

/// Straightens a page scanned askew and turns one whose text is upside down. Same threading
/// and failure rules as PageTextReader.
class PageCorrector {
public:
    virtual ~PageCorrector() = default;
    /// Examines `page`: with `straighten`, a skew over 0.2 and under 5 degrees is turned back
    /// (white fill); with `turnUpsideDown`, a page whose text is confidently upside down is
    /// turned 180 degrees. The same pixel format comes back.
    virtual PageCorrection correct(const QImage& page, int dpi, bool straighten,
                                   bool turnUpsideDown) = 0;
};

/// Makes the page workers a component uses: each call a new one, owned by the caller (a
/// component makes one for each of its threads). Null makers, or a maker giving null: the
/// service is not available (a page is then written without text, or left as scanned).
struct PageServices {
    std::function<std::unique_ptr<PageTextReader>()> textReader;
    std::function<std::unique_ptr<PageCorrector>()> corrector;
};
