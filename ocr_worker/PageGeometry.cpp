#include "ocr_worker/PageGeometry.h"
#include <QFileInfo>
#include <algorithm>
#include <allheaders.h>
#include <cmath>
#include <cstring>
#include <tesseract/baseapi.h>
#include <tesseract/osdetect.h>

namespace {

constexpr auto kDebianDataPath = "/usr/share/tesseract-ocr/5/tessdata";
// As OcrEngine: a page beyond A3 at 1200 dpi is not a scan.
constexpr int64_t kMaxPixels = 400'000'000;
// Leptonica's own deskew acts from this confidence on: under it the sweep found no lines.
constexpr double kMinSkewConfidence = 3.0;
// A turn smaller than this is within what a scanner's guides allow and would only soften the
// pixels; one of 5° or more is a page laid so, or a misreading of one without lines.
constexpr double kMinTurnDegrees = 0.2;
constexpr double kMaxTurnDegrees = 5.0;
// Skew is measured on about 150 dpi: enough for 0.01°, a quarter of the pixels of 300 dpi.
constexpr int kSkewDpi = 150;

struct PixFree {
    void operator()(PIX* p) const { pixDestroy(&p); }
};
using PixPtr = std::unique_ptr<PIX, PixFree>;

bool validGeometry(const OcrPixels& page) {
    if (!page.data || page.width <= 0 || page.height <= 0 ||
        int64_t(page.width) * page.height > kMaxPixels)
        return false;
    switch (page.format) {
    case OcrPixelFormat::Mono:
        return page.bytesPerLine >= (int64_t(page.width) + 7) / 8;
    case OcrPixelFormat::Gray8:
        return page.bytesPerLine >= page.width;
    case OcrPixelFormat::Rgb24:
        return page.bytesPerLine >= int64_t(page.width) * 3;
    }
    return false;
}

QString geometryError(const OcrPixels& page) {
    return QStringLiteral("Pagina non valida (%1 × %2, %3 byte per riga)")
        .arg(page.width)
        .arg(page.height)
        .arg(page.bytesPerLine);
}

// The page as leptonica's image: 1 bpp with 1 black, 8 bpp grey, or 32 bpp colour.
PixPtr pixOf(const OcrPixels& page) {
    const int depth = page.format == OcrPixelFormat::Mono    ? 1
                      : page.format == OcrPixelFormat::Gray8 ? 8
                                                             : 32;
    PixPtr pix(pixCreate(page.width, page.height, depth));
    if (!pix)
        return pix;
    l_uint32* words = pixGetData(pix.get());
    const int wpl = pixGetWpl(pix.get());
    for (int y = 0; y < page.height; ++y) {
        const uint8_t* in = page.data + int64_t(y) * page.bytesPerLine;
        l_uint32* out = words + int64_t(y) * wpl;
        if (depth == 32) {
            // Leptonica's colour word: red, green, blue from the top byte down (as
            // composeRGBPixel, here without a call a pixel).
            for (int x = 0; x < page.width; ++x)
                out[x] = l_uint32(in[3 * x]) << L_RED_SHIFT |
                         l_uint32(in[3 * x + 1]) << L_GREEN_SHIFT |
                         l_uint32(in[3 * x + 2]) << L_BLUE_SHIFT;
        } else {
            std::memcpy(out, in, depth == 1 ? (size_t(page.width) + 7) / 8 : size_t(page.width));
        }
    }
    // Leptonica keeps 1 and 8 bpp pixels in big-endian order within its 32-bit words.
    if (depth != 32)
        pixEndianByteSwap(pix.get());
    if (page.dpi > 0)
        pixSetResolution(pix.get(), page.dpi, page.dpi);
    return pix;
}

// Leptonica's image back as the page's own layout (consumes its byte order).
PagePixels pagePixelsOf(PIX* pix, OcrPixelFormat format, int dpi) {
    PagePixels page;
    page.width = int(pixGetWidth(pix));
    page.height = int(pixGetHeight(pix));
    page.dpi = dpi;
    page.format = format;
    const int depth = int(pixGetDepth(pix));
    const size_t rowBytes = depth == 1   ? (size_t(page.width) + 7) / 8
                            : depth == 8 ? size_t(page.width)
                                         : size_t(page.width) * 3;
    page.bytesPerLine = int((rowBytes + 3) / 4 * 4);
    page.data.assign(size_t(page.bytesPerLine) * size_t(page.height), 0);
    if (depth != 32)
        pixEndianByteSwap(pix);
    const l_uint32* words = pixGetData(pix);
    const int wpl = pixGetWpl(pix);
    for (int y = 0; y < page.height; ++y) {
        const l_uint32* in = words + int64_t(y) * wpl;
        uint8_t* out = page.data.data() + size_t(y) * size_t(page.bytesPerLine);
        if (depth == 32) {
            for (int x = 0; x < page.width; ++x) {
                out[3 * x] = uint8_t(in[x] >> L_RED_SHIFT);
                out[3 * x + 1] = uint8_t(in[x] >> L_GREEN_SHIFT);
                out[3 * x + 2] = uint8_t(in[x] >> L_BLUE_SHIFT);
            }
        } else {
            std::memcpy(out, in, rowBytes);
        }
    }
    if (depth != 32)
        pixEndianByteSwap(pix);
    return page;
}

// The page at half its resolution in 8-bit grey, each pixel the darkest (`darkest`) or the
// mean of its 2×2 block (a colour pixel by its darkest channel, so coloured ink stays dark),
// made in one pass over the page's own pixels.
PixPtr halfGreyOf(const OcrPixels& page, bool darkest) {
    const int w = page.width / 2, h = page.height / 2;
    PixPtr pix(w > 0 && h > 0 ? pixCreate(w, h, 8) : nullptr);
    if (!pix)
        return pix;
    l_uint32* words = pixGetData(pix.get());
    const int wpl = pixGetWpl(pix.get());
    auto level = [&](const uint8_t* line, int x) -> int {
        switch (page.format) {
        case OcrPixelFormat::Mono:
            return (line[x >> 3] & (0x80 >> (x & 7))) ? 0 : 255;
        case OcrPixelFormat::Gray8:
            return line[x];
        case OcrPixelFormat::Rgb24:
            return std::min({line[3 * x], line[3 * x + 1], line[3 * x + 2]});
        }
        return 255;
    };
    for (int y = 0; y < h; ++y) {
        const uint8_t* a = page.data + int64_t(2 * y) * page.bytesPerLine;
        const uint8_t* b = a + page.bytesPerLine;
        l_uint32* out = words + int64_t(y) * wpl;
        for (int x = 0; x < w; ++x) {
            const int p = level(a, 2 * x), q = level(a, 2 * x + 1), r = level(b, 2 * x),
                      t = level(b, 2 * x + 1);
            const int v = darkest ? std::min({p, q, r, t}) : (p + q + r + t + 2) / 4;
            SET_DATA_BYTE(out, x, v);
        }
    }
    if (page.dpi > 0)
        pixSetResolution(pix.get(), page.dpi / 2, page.dpi / 2);
    return pix;
}

// Whether a page is measured at half its resolution (about 150 dpi from 300 and over).
bool halved(const OcrPixels& page) {
    return page.dpi <= 0 ? page.width > 1800 : page.dpi >= 2 * kSkewDpi - kSkewDpi / 2;
}

// A binary copy at about kSkewDpi for the skew sweep, dark strokes kept whole.
PixPtr skewImageOf(const OcrPixels& page) {
    if (halved(page)) {
        PixPtr grey = halfGreyOf(page, true);
        return PixPtr(grey ? pixThresholdToBinary(grey.get(), 128) : nullptr);
    }
    PixPtr pix = pixOf(page);
    if (!pix || pixGetDepth(pix.get()) == 1)
        return pix;
    PixPtr grey(pixGetDepth(pix.get()) == 32 ? pixConvertRGBToGrayMinMax(pix.get(), L_CHOOSE_MIN)
                                             : pixClone(pix.get()));
    return PixPtr(grey ? pixThresholdToBinary(grey.get(), 128) : nullptr);
}

} // namespace

OcrPixels PagePixels::view() const {
    OcrPixels p;
    p.data = data.data();
    p.width = width;
    p.height = height;
    p.bytesPerLine = bytesPerLine;
    p.dpi = dpi;
    p.format = format;
    return p;
}

SkewFinding findSkew(const OcrPixels& page) {
    SkewFinding s;
    if (!validGeometry(page)) {
        s.error = geometryError(page);
        return s;
    }
    PixPtr binary = skewImageOf(page);
    if (!binary) {
        s.error = QStringLiteral("Memoria insufficiente per misurare l'inclinazione");
        return s;
    }
    l_float32 angle = 0, confidence = 0;
    // Sweep at a further half (75 dpi) in 1° steps over ±5°, then halve the interval down to
    // 0.01° on the 150 dpi copy.
    if (pixFindSkewSweepAndSearch(binary.get(), &angle, &confidence, 2, 1, float(kMaxTurnDegrees),
                                  1.0f, 0.01f) != 0) {
        // Leptonica fails a page too small or without any line: no skew, not an error.
        return s;
    }
    s.confidence = confidence;
    s.angle = angle;
    s.found = confidence >= kMinSkewConfidence;
    return s;
}

Straightening straightenPage(const OcrPixels& page) {
    Straightening r;
    r.skew = findSkew(page);
    if (!r.skew.error.isEmpty()) {
        r.error = r.skew.error;
        return r;
    }
    const double size = std::fabs(r.skew.angle);
    if (!r.skew.found || size <= kMinTurnDegrees || size >= kMaxTurnDegrees)
        return r;
    PixPtr pix = pixOf(page);
    const bool mono = page.format == OcrPixelFormat::Mono;
    PixPtr turned(pix ? pixRotate(pix.get(), float(r.skew.angle * M_PI / 180.0),
                                  mono ? L_ROTATE_SHEAR : L_ROTATE_AREA_MAP, L_BRING_IN_WHITE, 0, 0)
                      : nullptr);
    if (!turned) {
        r.error = QStringLiteral("Memoria insufficiente per raddrizzare la pagina");
        return r;
    }
    r.page = pagePixelsOf(turned.get(), page.format, page.dpi);
    r.turned = true;
    return r;
}

PagePixels turnPageHalf(const OcrPixels& page) {
    if (!validGeometry(page))
        return PagePixels();
    PixPtr pix = pixOf(page);
    PixPtr turned(pix ? pixRotate180(nullptr, pix.get()) : nullptr);
    return turned ? pagePixelsOf(turned.get(), page.format, page.dpi) : PagePixels();
}

// Measured on rendered A4 pages at 300 dpi (bench/pages_bench): upside-down pages of print
// score 14.7 (four lines) to 21.6, and upright ones are never seen as 180 at all; a table of
// figures, which reads alike either way up, scores 5 to 7 whichever way it lies. Half-way
// between acts on every page of text and on none that tesseract cannot tell.
const double kUpsideDownConfidence = 10.0;

bool OrientationFinding::upsideDown() const {
    return found && degrees == 180 && confidence >= kUpsideDownConfidence;
}

namespace {

// Tesseract's own sample (min_characters_to_try: up to five times as many are classified),
// and the first look's.
constexpr int kFullCharacters = 50;
constexpr int kQuickCharacters = 10;
// On the rendered pages of bench/pages_bench the first look gives upright pages of text 2.3
// to 6 and sees every upside-down one as 180; under this it looks again.
constexpr double kQuickUprightConfidence = 1.0;

OrientationFinding detectOrientation(tesseract::TessBaseAPI& tess, int characters) {
    OrientationFinding f;
    tess.SetVariable("min_characters_to_try", QByteArray::number(characters).constData());
    int degrees = 0;
    float confidence = 0, scriptConfidence = 0;
    const char* script = nullptr;
    if (!tess.DetectOrientationScript(&degrees, &confidence, &script, &scriptConfidence)) {
        f.tooLittleText = true;
        f.error = QStringLiteral("Testo insufficiente per l'orientamento");
        return f;
    }
    f.found = true;
    f.degrees = degrees;
    f.confidence = confidence;
    f.script = QString::fromLatin1(script ? script : "");
    return f;
}

} // namespace

struct OrientationFinder::Api {
    tesseract::TessBaseAPI tess;
};

OrientationFinder::OrientationFinder(const QString& dataPath)
    : m_api(std::make_unique<Api>()), m_dataPath(dataPath) {
    if (m_dataPath.isEmpty())
        m_dataPath = qEnvironmentVariable("TESSDATA_PREFIX", QString::fromLatin1(kDebianDataPath));
}

OrientationFinder::~OrientationFinder() = default;

OrientationFinding OrientationFinder::find(const OcrPixels& page) {
    OrientationFinding f;
    if (!validGeometry(page)) {
        f.error = geometryError(page);
        return f;
    }
    if (!m_loaded) {
        if (!QFileInfo(m_dataPath + QStringLiteral("/osd.traineddata")).isFile()) {
            f.error = QStringLiteral("Dati per l'orientamento del testo non installati: li porta "
                                     "il pacchetto tesseract-ocr-osd");
            return f;
        }
        const QByteArray path = QFileInfo(m_dataPath).absoluteFilePath().toLocal8Bit();
        if (m_api->tess.Init(path.constData(), "osd", tesseract::OEM_TESSERACT_ONLY) != 0) {
            f.error = QStringLiteral("Dati per l'orientamento del testo illeggibili in %1")
                          .arg(m_dataPath);
            return f;
        }
        m_api->tess.SetPageSegMode(tesseract::PSM_OSD_ONLY);
        m_loaded = true;
    }
    // Tesseract tells the orientation as surely at 150 dpi, in a quarter of the time.
    PixPtr pix = halved(page) ? halfGreyOf(page, false) : pixOf(page);
    if (!pix) {
        f.error = QStringLiteral("Memoria insufficiente per l'orientamento del testo");
        return f;
    }
    tesseract::TessBaseAPI& tess = m_api->tess;
    tess.SetImage(pix.get());
    if (page.dpi > 0)
        tess.SetSourceResolution(halved(page) ? page.dpi / 2 : page.dpi);
    // Most of the time goes into classifying characters, four ways each. A first look at a
    // fifth of tesseract's sample tells an upright page (the common case) surely enough;
    // only a page it sees turned, or cannot tell, is looked at again with the whole sample,
    // whose confidence kUpsideDownConfidence is measured on. The second look reuses the
    // first one's binary image. A page with too few characters for the first look has too
    // few for the second.
    f = detectOrientation(tess, kQuickCharacters);
    if (f.found && (f.degrees == 180 || f.confidence < kQuickUprightConfidence))
        f = detectOrientation(tess, kFullCharacters);
    tess.Clear();
    return f;
}
