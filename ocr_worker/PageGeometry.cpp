#include "ocr_worker/PageGeometry.h"
#include <QFileInfo>
#include <algorithm>
#include <allheaders.h>
#include <array>
#include <cmath>
#include <cstring>
#include <tesseract/baseapi.h>
#include <tesseract/osdetect.h>

namespace {

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

// Grey and colour pages are turned on their own bytes, without leptonica's 32-bit colour words:
// at a feeder's skew (under 5°) three shears (along the lines, across them, along them again)
// turn the page exactly, and each is a linear interpolation between two neighbours whose weights
// are the same along a whole line (or down a whole column), loops the compiler vectorises. The
// page is softened no more than by leptonica's area mapping, in a fraction of the time.

// The first neighbour's offset and the second's weight (of 256) for a sample taken `shift`
// pixels on.
struct Tap {
    int offset;
    int weight;
};

Tap tapFor(double shift) {
    const double whole = std::floor(shift);
    int weight = int(std::lround((shift - whole) * 256));
    int offset = int(whole);
    if (weight == 256) {
        ++offset;
        weight = 0;
    }
    return {offset, weight};
}

inline uint8_t blend(int a, int b, int weight) {
    return uint8_t((a * (256 - weight) + b * weight + 128) >> 8);
}

// The vector blocks: the compiler vectorises a loop of a fixed 16 bytes at the build's
// optimisation level, not one of unknown length. Weights are under 256, so 16 bits hold a sum.
constexpr size_t kBlock = 16;

inline void blendBlock(const uint8_t* __restrict a, const uint8_t* __restrict b, int weight,
                       uint8_t* __restrict out) {
    const uint16_t w = uint16_t(weight), v = uint16_t(256 - weight);
    for (size_t j = 0; j < kBlock; ++j)
        out[j] = uint8_t(uint16_t(a[j] * v + b[j] * w + 128) >> 8);
}

inline void blendBlock(const uint8_t* __restrict a, const uint8_t* __restrict b,
                       const uint8_t* __restrict weight, uint8_t* __restrict out) {
    for (size_t j = 0; j < kBlock; ++j)
        out[j] = uint8_t(uint16_t(a[j] * uint16_t(256 - weight[j]) + b[j] * weight[j] + 128) >> 8);
}

// out[x] = in[x + shift] for `outPixels` pixels of `channels` bytes, white beyond the line's
// `inPixels` pixels.
void shearLine(const uint8_t* in, int inPixels, uint8_t* out, int outPixels, int channels,
               double shift) {
    const Tap tap = tapFor(shift);
    const int first = std::clamp(-tap.offset, 0, outPixels);
    const int last = std::clamp(inPixels - 1 - tap.offset, first, outPixels);
    auto at = [&](int x) { return x >= 0 && x < inPixels; };
    auto edge = [&](int x) {
        for (int ch = 0; ch < channels; ++ch) {
            const int i = x + tap.offset;
            const int a = at(i) ? in[i * channels + ch] : 255;
            const int b = at(i + 1) ? in[(i + 1) * channels + ch] : 255;
            out[x * channels + ch] = blend(a, b, tap.weight);
        }
    };
    for (int x = 0; x < first; ++x)
        edge(x);
    const size_t from = size_t(first) * channels, n = size_t(last - first) * channels;
    const uint8_t* a = in + int64_t(tap.offset) * channels + from;
    const uint8_t* b = a + channels;
    uint8_t* o = out + from;
    size_t i = 0;
    for (; i + kBlock <= n; i += kBlock)
        blendBlock(a + i, b + i, tap.weight, o + i);
    for (; i < n; ++i)
        o[i] = blend(a[i], b[i], tap.weight);
    for (int x = last; x < outPixels; ++x)
        edge(x);
}

PagePixels turnedByShears(const OcrPixels& page, double radians) {
    const int channels = page.format == OcrPixelFormat::Rgb24 ? 3 : 1;
    const int w = page.width, h = page.height;
    const double t = std::tan(radians / 2), s = std::sin(radians);
    const double xc = (w - 1) / 2.0, yc = (h - 1) / 2.0;
    // The first shear moves lines by up to this much either way; the last one reads as far.
    const int pad = int(std::ceil(std::fabs(t) * (h / 2.0))) + 2;
    const int wide = w + 2 * pad;
    const size_t wideBytes = size_t(wide) * channels;
    // Down each column of the wide page: the row it is read from, and the weight of the next.
    std::vector<int> rowOffset(wide);
    std::vector<uint8_t> weight(wideBytes + kBlock);
    for (int x = 0; x < wide; ++x) {
        const Tap tap = tapFor(-s * (x - pad - xc));
        rowOffset[x] = tap.offset;
        std::fill_n(weight.begin() + ptrdiff_t(x) * channels, channels, uint8_t(tap.weight));
    }
    const auto [low, high] = std::minmax_element(rowOffset.begin(), rowOffset.end());
    const int lowest = *low, highest = *high + 1;
    // The lines after the first shear are made as the shear across them comes to need them,
    // into a ring of as many as one output line reads, so that they are read back from the
    // cache, not from memory. The shear across reads and writes whole blocks past a column
    // run's end (the next run writes over them): a block's slack after the last line.
    const int ringLines = highest - lowest + 1;
    std::unique_ptr<uint8_t[]> ring(new uint8_t[wideBytes * size_t(ringLines) + kBlock]());
    const std::vector<uint8_t> white(wideBytes + kBlock, 255);
    int made = 0;
    auto row = [&](int y) {
        if (y < 0 || y >= h)
            return static_cast<const uint8_t*>(white.data());
        for (; made <= y; ++made)
            shearLine(page.data + int64_t(made) * page.bytesPerLine, w,
                      ring.get() + wideBytes * size_t(made % ringLines), wide, channels,
                      -pad + t * (made - yc));
        return static_cast<const uint8_t*>(ring.get() + wideBytes * size_t(y % ringLines));
    };
    PagePixels r;
    r.width = w;
    r.height = h;
    r.dpi = page.dpi;
    r.format = page.format;
    r.bytesPerLine = (w * channels + 3) / 4 * 4;
    r.data.assign(size_t(r.bytesPerLine) * h, 255);
    std::vector<uint8_t> second(wideBytes + kBlock);
    // The columns in runs read from the same line.
    struct Run {
        size_t from, to;
        int offset;
    };
    std::vector<Run> runs;
    for (int x = 0; x < wide;) {
        int end = x + 1;
        while (end < wide && rowOffset[end] == rowOffset[x])
            ++end;
        runs.push_back({size_t(x) * channels, size_t(end) * channels, rowOffset[x]});
        x = end;
    }
    for (int y = 0; y < h; ++y) {
        row(std::min(y + highest, h - 1)); // the lines this one reads, made before any is read
        for (const Run& run : runs) {
            const uint8_t* a = row(y + run.offset);
            const uint8_t* b = row(y + run.offset + 1);
            for (size_t i = run.from; i < run.to; i += kBlock)
                blendBlock(a + i, b + i, weight.data() + i, second.data() + i);
        }
        shearLine(second.data(), wide, r.data.data() + size_t(r.bytesPerLine) * y, w, channels,
                  pad + t * (y - yc));
    }
    return r;
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
    if (!validPixels(page)) {
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
    const double radians = r.skew.angle * M_PI / 180.0;
    if (page.format != OcrPixelFormat::Mono) {
        r.page = turnedByShears(page, radians);
        r.turned = true;
        return r;
    }
    // Black and white is turned by leptonica's shears, whole pixels only, so it stays crisp.
    PixPtr pix = pixOf(page);
    PixPtr turned(pix ? pixRotate(pix.get(), float(radians), L_ROTATE_SHEAR, L_BRING_IN_WHITE, 0, 0)
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
    if (!validPixels(page))
        return PagePixels();
    if (page.format != OcrPixelFormat::Mono) {
        // Grey and colour pixels are whole bytes: the lines are taken last to first, each
        // one's pixels the same way.
        const int channels = page.format == OcrPixelFormat::Rgb24 ? 3 : 1;
        PagePixels r;
        r.width = page.width;
        r.height = page.height;
        r.dpi = page.dpi;
        r.format = page.format;
        r.bytesPerLine = (page.width * channels + 3) / 4 * 4;
        r.data.assign(size_t(r.bytesPerLine) * size_t(r.height), 0);
        for (int y = 0; y < page.height; ++y) {
            const uint8_t* in = page.data + int64_t(y) * page.bytesPerLine;
            uint8_t* out = r.data.data() + size_t(page.height - 1 - y) * size_t(r.bytesPerLine);
            if (channels == 1) {
                std::reverse_copy(in, in + page.width, out);
                continue;
            }
            for (int x = 0; x < page.width; ++x)
                std::memcpy(out + 3 * (page.width - 1 - x), in + 3 * x, 3);
        }
        return r;
    }
    PixPtr pix = pixOf(page);
    PixPtr turned(pix ? pixRotate180(nullptr, pix.get()) : nullptr);
    return turned ? pagePixelsOf(turned.get(), page.format, page.dpi) : PagePixels();
}

// Measured on rendered A4 pages at 300 dpi (bench/pages_bench): upside-down pages of print
// score 14.7 (four lines) to 21.6, and upright ones are never seen as 180 at all; a table of
// figures, which reads alike either way up, scores 5 to 7 whichever way it lies. The virtual
// office feeder's upside-down sheet, at every pixel type and resolution it offers (150 to 300
// dpi), scores 9.6 (colour at 200 dpi: white text on a coloured band) to 19.4. Between the
// tables' 7 and the lowest page of text: acts on every page of text, on none that tesseract
// cannot tell.
const double kUpsideDownConfidence = 8.5;

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

// `grey` (8 bits) in black and white as tesseract's own Otsu thresholding makes it: the
// threshold that best splits the grey levels in two, the smaller part being the ink (dark on
// light, or light on dark), a page of one level all white. Made here, tesseract takes the
// page as black and white as it is and skips its own thresholding and a second histogram for
// its threshold image, neither of which orientation detection reads.
PixPtr otsuBinaryOf(PIX* grey) {
    const int w = int(pixGetWidth(grey)), h = int(pixGetHeight(grey));
    const l_uint32* words = pixGetData(grey);
    const int wpl = pixGetWpl(grey);
    std::array<int64_t, 256> histogram{};
    for (int y = 0; y < h; ++y) {
        const l_uint32* line = words + int64_t(y) * wpl;
        for (int x = 0; x < w; ++x)
            ++histogram[GET_DATA_BYTE(line, x)];
    }
    int64_t total = 0;
    double sumAll = 0;
    for (int i = 0; i < 256; ++i) {
        total += histogram[i];
        sumAll += double(i) * double(histogram[i]);
    }
    int best = -1;
    int64_t bestBelow = 0, below = 0;
    double bestSpread = 0, sumBelow = 0;
    for (int t = 0; t < 255; ++t) {
        below += histogram[t];
        sumBelow += double(t) * double(histogram[t]);
        if (below == 0)
            continue;
        const int64_t above = total - below;
        if (above == 0)
            break;
        const double gap = (sumAll - sumBelow) / double(above) - sumBelow / double(below);
        const double spread = gap * gap * double(below) * double(above);
        if (best < 0 || spread > bestSpread) {
            bestSpread = spread;
            best = t;
            bestBelow = below;
        }
    }
    if (best < 0 || bestBelow == 0 || bestBelow == total) {
        PixPtr white(pixCreate(w, h, 1));
        if (white)
            pixCopyResolution(white.get(), grey);
        return white;
    }
    PixPtr binary(pixThresholdToBinary(grey, best + 1)); // black at and under `best`
    // The levels above the threshold are the ink when they are the smaller part.
    if (binary && 2 * bestBelow >= total)
        pixInvert(binary.get(), binary.get());
    if (binary)
        pixCopyResolution(binary.get(), grey);
    return binary;
}

struct OrientationFinder::Api {
    tesseract::TessBaseAPI tess;
};

OrientationFinder::OrientationFinder(const QString& dataPath)
    : m_api(std::make_unique<Api>()), m_dataPath(tessDataFolder(dataPath)) {}

OrientationFinder::~OrientationFinder() = default;

OrientationFinding OrientationFinder::find(const OcrPixels& page) {
    OrientationFinding f;
    if (!validPixels(page)) {
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
    if (pix && pixGetDepth(pix.get()) == 8)
        pix = otsuBinaryOf(pix.get());
    if (pix && pixGetDepth(pix.get()) == 1) {
        // Tesseract looks for rules and pictures over the whole image before it samples the
        // characters: the white margins around the page's marks are left out of that.
        BOX* box = nullptr;
        if (pixClipToForeground(pix.get(), nullptr, &box) == 0 && box) {
            constexpr int kMargin = 16;
            l_int32 x = 0, y = 0, bw = 0, bh = 0;
            boxGetGeometry(box, &x, &y, &bw, &bh);
            boxDestroy(&box);
            const int x0 = std::max(0, x - kMargin), y0 = std::max(0, y - kMargin);
            const int x1 = std::min(int(pixGetWidth(pix.get())), x + bw + kMargin);
            const int y1 = std::min(int(pixGetHeight(pix.get())), y + bh + kMargin);
            BOX* keep = boxCreate(x0, y0, x1 - x0, y1 - y0);
            PixPtr clipped(keep ? pixClipRectangle(pix.get(), keep, nullptr) : nullptr);
            boxDestroy(&keep);
            if (clipped)
                pix = std::move(clipped);
        }
    }
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
