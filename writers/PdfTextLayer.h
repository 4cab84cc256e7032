#pragma once
#include "common/OcrWord.h"
#include <QRectF>
#include <QSize>
#include <QSizeF>
#include <memory>

class QPDF;
class QPDFPageObjectHelper;

/// The invisible text of a searchable PDF: the words recognised on a page image, drawn over
/// it in text render mode 3 (neither filled nor stroked) so that a reader can search, select
/// and copy them while the page shows only the scan. Each word lies on its box, along its
/// line's baseline and angle, stretched (Tz) to its box's width. All pages of a document share
/// one embedded font without glyphs (Type0, Identity-H, CIDs the UTF-16 code units of the
/// text, a ToUnicode map, a CIDSet and widths, as PDF/A-1b wants). A page gets its text as
/// a content stream of its own appended after a balanced q/Q around what it had: the page's
/// image and its content bytes stay as they were.
/// Not thread-safe; one layer for one QPDF, which must outlive it.
class PdfTextLayer {
public:
    explicit PdfTextLayer(QPDF& pdf);
    ~PdfTextLayer();
    PdfTextLayer(const PdfTextLayer&) = delete;
    PdfTextLayer& operator=(const PdfTextLayer&) = delete;

    /// Draws `words`, read on an image of `imagePixels` that covers the whole page of
    /// `pageSizePoints` (as the PDF writer draws it), on `page`. Returns the number of words
    /// drawn: words with no text, or with a box outside the image, are left out; none at
    /// all leaves the page untouched. Throws what qpdf throws on a broken page.
    int addToPage(QPDFPageObjectHelper& page, QSizeF pageSizePoints, QSize imagePixels,
                  const OcrWords& words);
    /// The same for an image drawn over `imagePoints` of the page only: its lower-left corner
    /// and size in points, in the page's own coordinates (origin bottom-left).
    int addToPage(QPDFPageObjectHelper& page, QRectF imagePoints, QSize imagePixels,
                  const OcrWords& words);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
