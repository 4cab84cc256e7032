#pragma once
#include "ocr_worker/OcrEngine.h"
#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

/// A page's pixels, owned: what straightening or turning a page gives back, laid out as the
/// page it was made from (Mono with a set bit black, Gray8 or Rgb24), lines padded to 4 bytes.
struct PagePixels {
    std::vector<uint8_t> data;
    int width = 0;
    int height = 0;
    int bytesPerLine = 0;
    int dpi = 0;
    OcrPixelFormat format = OcrPixelFormat::Gray8;
    bool empty() const { return data.empty(); }
    /// The pixels as the recogniser takes them; valid while this lives unchanged.
    OcrPixels view() const;
};

/// The slant of a page's text lines as leptonica measures it.
struct SkewFinding {
    bool found = false;    ///< lines were found and measured with confidence
    double angle = 0;      ///< degrees the page must turn clockwise (as seen) to be straight
    double confidence = 0; ///< leptonica's confidence; under 3 nothing is `found`
    QString error;         ///< bad pixel geometry or a leptonica failure
};

/// Measures the skew of `page` on a binary copy of it at about 150 dpi (a sweep of ±5° in 1°
/// steps, then a search down to 0.01°). A page without text lines is not `found`. Pure: any
/// thread, no tesseract.
SkewFinding findSkew(const OcrPixels& page);

/// What straightenPage did.
struct Straightening {
    SkewFinding skew;
    bool turned = false; ///< `page` holds the straightened pixels
    PagePixels page;     ///< empty when the page stays as it was
    QString error;
};

/// Straightens `page` when its skew is found and lies over 0.2° and under 5° (a sheet fed
/// askew; beyond that it is a page laid so on purpose, or a misreading): turned about its
/// centre, the same size and format, white where the turn brings in pixels from outside;
/// grey and colour by interpolated shears, black and white by whole-pixel shears, so it stays
/// crisp. Otherwise the page is left as it is (`turned` false, `page` empty). Pure: any thread.
Straightening straightenPage(const OcrPixels& page);

/// `page` turned by 180°, in the same format.
PagePixels turnPageHalf(const OcrPixels& page);

/// How tesseract's orientation detection sees a page.
struct OrientationFinding {
    bool found = false;    ///< detection ran and gave an answer
    int degrees = 0;       ///< the page's clockwise turn from upright: 0, 90, 180 or 270
    double confidence = 0; ///< tesseract's confidence in `degrees`
    QString script;        ///< the script it saw ("Latin")
    QString error;         ///< missing data, bad geometry, or too little text to tell
    bool tooLittleText = false; ///< the error is only that: the data and the page were fine
    /// True when the page is upside down with a confidence to act on.
    bool upsideDown() const;
};

/// The confidence at and over which an upside-down finding is acted on.
extern const double kUpsideDownConfidence;

/// Tesseract's orientation and script detection with the "osd" data loaded once. Tesseract
/// runs on the calling thread only (start the process with OMP_THREAD_LIMIT=1, as for
/// OcrEngine). Not thread-safe; this links libtesseract, so only the OCR worker program (and
/// its tests) may use it.
class OrientationFinder {
public:
    /// `dataPath` as for OcrEngine.
    explicit OrientationFinder(const QString& dataPath = QString());
    ~OrientationFinder();
    OrientationFinder(const OrientationFinder&) = delete;
    OrientationFinder& operator=(const OrientationFinder&) = delete;

    /// The orientation of `page`'s text. A page with too little text gives an error and is
    /// not `found`.
    OrientationFinding find(const OcrPixels& page);

private:
    struct Api;
    std::unique_ptr<Api> m_api;
    QString m_dataPath;
    bool m_loaded = false;
};
