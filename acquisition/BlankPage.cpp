#include "acquisition/BlankPage.h"
#include <QLocale>
#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace {

// The page's own edge is left out of the count: feeder shadows and the scanner's background
// where the sheet does not reach lie there.
constexpr double kBorderMm = 4.0;
// A patch of ink running in from that strip no deeper than this is the edge's shadow (a sheet
// fed 2° askew leaves a wedge of background 10 mm deep along its long side).
constexpr double kShadowDepthMm = 25.0;
// The smallest mark a person keeps: a page number's digit in 8-point type is 2 mm tall, a
// pen stroke longer still; dust and paper fibres stay under a millimetre.
constexpr double kMarkMm = 1.5;
// Ink is far darker than the paper: show-through of the other side's print stays within the
// paper's upper half, pen, print and stamps fall below it.
constexpr double kInkShareOfPaper = 0.5;
// Paper darker than this is no paper (an open lid, a black sheet): never blank.
constexpr int kDarkestPaper = 96;
// Runs of ink beyond one in this many inner pixels: a page of print, no need to count further.
constexpr int64_t kPixelsPerRunAtMost = 40;

double mmOf(int pixels, int dpi) {
    return pixels * 25.4 / dpi;
}

struct Run {
    int x0, x1; // [x0, x1)
    int label;
};

struct Patch {
    int left, top, right, bottom; // inclusive
    int64_t pixels;
    bool core; // some of it lies further than a shadow reaches from every edge
};

class Patches {
public:
    int create(int x0, int x1, int y, bool core) {
        const int label = int(m_parent.size());
        m_parent.push_back(label);
        m_patch.push_back({x0, y, x1 - 1, y, x1 - x0, core});
        return label;
    }
    int root(int label) {
        while (m_parent[label] != label) {
            m_parent[label] = m_parent[m_parent[label]];
            label = m_parent[label];
        }
        return label;
    }
    // Joins the patches of `a` and `b`; returns the root of both.
    int join(int a, int b) {
        a = root(a);
        b = root(b);
        if (a == b)
            return a;
        if (b < a)
            std::swap(a, b);
        m_parent[b] = a;
        Patch& p = m_patch[a];
        const Patch& q = m_patch[b];
        p.left = std::min(p.left, q.left);
        p.top = std::min(p.top, q.top);
        p.right = std::max(p.right, q.right);
        p.bottom = std::max(p.bottom, q.bottom);
        p.pixels += q.pixels;
        p.core = p.core || q.core;
        return a;
    }
    void extend(int label, int x0, int x1, int y, bool core) {
        Patch& p = m_patch[root(label)];
        p.left = std::min(p.left, x0);
        p.right = std::max(p.right, x1 - 1);
        p.bottom = std::max(p.bottom, y);
        p.pixels += x1 - x0;
        p.core = p.core || core;
    }
    template <typename F> void forEachRoot(F f) {
        for (int i = 0; i < int(m_parent.size()); ++i)
            if (m_parent[i] == i)
                f(m_patch[i]);
    }

private:
    std::vector<int> m_parent;
    std::vector<Patch> m_patch;
};

int64_t minimumLineBytes(const BlankPixels& page) {
    switch (page.format) {
    case BlankPixelFormat::Mono:
        return (int64_t(page.width) + 7) / 8;
    case BlankPixelFormat::Gray8:
        return page.width;
    case BlankPixelFormat::Rgb24:
        return int64_t(page.width) * 3;
    }
    return -1;
}

// The ink runs of row `line` within [left, right], appended to `runs`.
void inkRuns(const BlankPixels& page, const uint8_t* line, int left, int right, int ink,
             std::vector<Run>& runs) {
    auto isInk = [&](int x) {
        switch (page.format) {
        case BlankPixelFormat::Mono:
            return (line[x >> 3] & (0x80 >> (x & 7))) != 0;
        case BlankPixelFormat::Gray8:
            return line[x] <= ink;
        case BlankPixelFormat::Rgb24: {
            const uint8_t* p = line + 3 * x;
            return std::min({p[0], p[1], p[2]}) <= ink;
        }
        }
        return false;
    };
    int x = left;
    while (x <= right) {
        if (page.format == BlankPixelFormat::Mono && (x & 7) == 0) {
            // Paper is most of a page: whole bytes of it at once.
            while (x + 8 <= right + 1 && line[x >> 3] == 0)
                x += 8;
            if (x > right)
                break;
        }
        if (!isInk(x)) {
            ++x;
            continue;
        }
        const int start = x;
        while (x <= right && isInk(x))
            ++x;
        runs.push_back({start, x, -1});
    }
}

// The paper's brightness: the median of a sparse sample of the inner area.
int paperLevelOf(const BlankPixels& page, const QRect& inner) {
    if (page.format == BlankPixelFormat::Mono)
        return 255;
    std::array<int64_t, 256> histogram{};
    int64_t n = 0;
    const int step = std::max(1, page.dpi / 75);
    for (int y = inner.top(); y <= inner.bottom(); y += step) {
        const uint8_t* line = page.data + int64_t(y) * page.bytesPerLine;
        for (int x = inner.left(); x <= inner.right(); x += step) {
            const int v = page.format == BlankPixelFormat::Gray8
                              ? line[x]
                              : std::min({line[3 * x], line[3 * x + 1], line[3 * x + 2]});
            ++histogram[v];
            ++n;
        }
    }
    int64_t seen = 0;
    for (int v = 0; v < 256; ++v) {
        seen += histogram[v];
        if (2 * seen >= n)
            return v;
    }
    return 255;
}

} // namespace

BlankVerdict judgeBlankPage(const BlankPixels& in) {
    BlankVerdict v;
    BlankPixels page = in;
    const int64_t lineBytes = minimumLineBytes(page);
    if (!page.data || page.width <= 0 || page.height <= 0 || lineBytes < 0 ||
        page.bytesPerLine < lineBytes) {
        v.error = QStringLiteral("Pagina non valida per la ricerca dei lati bianchi (%1 × %2, "
                                 "%3 byte per riga)")
                      .arg(page.width)
                      .arg(page.height)
                      .arg(page.bytesPerLine);
        return v;
    }
    if (page.dpi <= 0)
        page.dpi = 300;
    const int dpi = page.dpi;
    const int border =
        std::min(int(std::lround(kBorderMm / 25.4 * dpi)), std::min(page.width, page.height) / 8);
    v.inner = QRect(border, border, page.width - 2 * border, page.height - 2 * border);
    const QRect& inner = v.inner;
    v.paperLevel = paperLevelOf(page, inner);
    v.inkLevel = page.format == BlankPixelFormat::Mono ? 0 : int(v.paperLevel * kInkShareOfPaper);
    if (v.paperLevel < kDarkestPaper) {
        v.crowded = true;
        return v;
    }

    const int64_t innerPixels = int64_t(inner.width()) * inner.height();
    const int64_t maxRuns = std::max<int64_t>(1000, innerPixels / kPixelsPerRunAtMost);
    int64_t runCount = 0, inkPixels = 0;
    // Ink from the border strip inwards is the edge's shadow as long as none of it reaches the
    // core, whatever its shape (a band, a wedge, a frame round the whole sheet).
    const int shadowDepth = int(std::lround(kShadowDepthMm / 25.4 * dpi));
    const QRect core = inner.adjusted(shadowDepth, shadowDepth, -shadowDepth, -shadowDepth);
    auto inCore = [&](const Run& r, int y) {
        return y >= core.top() && y <= core.bottom() && r.x1 > core.left() && r.x0 <= core.right();
    };
    Patches patches;
    std::vector<Run> previous, current;
    for (int y = inner.top(); y <= inner.bottom(); ++y) {
        current.clear();
        inkRuns(page, page.data + int64_t(y) * page.bytesPerLine, inner.left(), inner.right(),
                v.inkLevel, current);
        runCount += int64_t(current.size());
        if (runCount > maxRuns) {
            v.crowded = true;
            break;
        }
        // Each run joins every run of the line above that touches it, diagonals included.
        size_t p = 0;
        for (Run& r : current) {
            inkPixels += r.x1 - r.x0;
            while (p < previous.size() && previous[p].x1 < r.x0)
                ++p;
            for (size_t q = p; q < previous.size() && previous[q].x0 <= r.x1; ++q)
                r.label = r.label < 0 ? patches.root(previous[q].label)
                                      : patches.join(r.label, previous[q].label);
            if (r.label < 0)
                r.label = patches.create(r.x0, r.x1, y, inCore(r, y));
            else
                patches.extend(r.label, r.x0, r.x1, y, inCore(r, y));
        }
        std::swap(previous, current);
    }
    v.inkShare = innerPixels > 0 ? double(inkPixels) / double(innerPixels) : 0;
    if (v.crowded)
        return v;

    patches.forEachRoot([&](const Patch& m) {
        const bool shadow = !m.core && (m.left == inner.left() || m.right == inner.right() ||
                                        m.top == inner.top() || m.bottom == inner.bottom());
        if (shadow) {
            ++v.shadows;
            return;
        }
        const double mm = mmOf(std::max(m.right - m.left, m.bottom - m.top) + 1, dpi);
        if (mm >= kMarkMm)
            ++v.marks;
        else
            ++v.specks;
        if (mm > v.largestMm) {
            v.largestMm = mm;
            v.largest = QRect(QPoint(m.left, m.top), QPoint(m.right, m.bottom));
        }
    });
    v.blank = v.marks == 0;
    return v;
}

BlankVerdict judgeBlankPage(const QImage& image, int dpi) {
    QImage source = image;
    BlankPixelFormat format = BlankPixelFormat::Gray8;
    switch (image.format()) {
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
        source = image.convertToFormat(QImage::Format_Mono);
        // The buffer's black and white pages have colour 1 black; a table the other way
        // round is turned to that.
        if (source.colorCount() == 2 && qGray(source.color(1)) > qGray(source.color(0))) {
            source.invertPixels();
            source.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
        }
        format = BlankPixelFormat::Mono;
        break;
    case QImage::Format_Grayscale8:
        break;
    case QImage::Format_RGB888:
        format = BlankPixelFormat::Rgb24;
        break;
    default:
        if (image.isGrayscale()) {
            source = image.convertToFormat(QImage::Format_Grayscale8);
        } else {
            source = image.convertToFormat(QImage::Format_RGB888);
            format = BlankPixelFormat::Rgb24;
        }
        break;
    }
    BlankPixels pixels;
    pixels.data = source.constBits();
    pixels.width = source.width();
    pixels.height = source.height();
    pixels.bytesPerLine = int(source.bytesPerLine());
    pixels.dpi = dpi;
    pixels.format = format;
    return judgeBlankPage(pixels);
}

QString blankPageSummary(const BlankVerdict& v) {
    if (!v.ok())
        return v.error;
    const QLocale italian(QLocale::Italian, QLocale::Italy);
    QString text = v.blank ? QStringLiteral("bianca") : QStringLiteral("non bianca");
    text += QStringLiteral(": inchiostro %1%").arg(italian.toString(v.inkShare * 100, 'f', 3));
    if (v.crowded)
        return text + QStringLiteral(", pagina piena");
    text += QStringLiteral(", %1 granelli, %2 ombre dai bordi").arg(v.specks).arg(v.shadows);
    if (v.marks == 0)
        return text + QStringLiteral(", nessun segno");
    return text + QStringLiteral(", %1 segni, il più lungo %2 mm")
                      .arg(v.marks)
                      .arg(italian.toString(v.largestMm, 'f', 1));
}
