#include "virtual_scanner/PageRenderer.h"
#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPolygonF>
#include <algorithm>
#include <climits>
#include <cmath>
#include <random>

namespace {

// The grey level of a tone (0 ink .. 255 paper) after brightness and contrast.
int adjusted(int level, double brightness, double contrast) {
    double v = level;
    v = 128 + (v - 128) * (1.0 + contrast);
    v += brightness * 128;
    return std::clamp(int(std::lround(v)), 0, 255);
}

QColor tone(const QColor& c, const PageSpec& s) {
    return QColor(adjusted(c.red(), s.brightness, s.contrast),
                  adjusted(c.green(), s.brightness, s.contrast),
                  adjusted(c.blue(), s.brightness, s.contrast));
}

const char* const kLines[] = {
    "Il presente documento e' stato generato dallo scanner virtuale per le prove.",
    "Ogni pagina riporta il proprio numero, il foglio e il lato da cui proviene.",
    "La griglia ha il passo di un centimetro: serve a controllare scala e rotazione.",
    "Le righe di testo permettono di giudicare la leggibilita' alla risoluzione scelta.",
    "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor.",
    "Ut enim ad minim veniam, quis nostrud exercitation ullamco laboris nisi ut aliquip.",
};

QImage toMono(const QImage& grey, int threshold) {
    QImage mono(grey.size(), QImage::Format_Mono);
    if (mono.isNull())
        return {};
    mono.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    const int w = grey.width();
    for (int y = 0; y < grey.height(); ++y) {
        const uchar* s = grey.constScanLine(y);
        uchar* d = mono.scanLine(y);
        std::fill(d, d + mono.bytesPerLine(), 0);
        for (int x = 0; x < w; ++x) {
            if (s[x] < threshold)
                d[x >> 3] |= uchar(0x80 >> (x & 7));
        }
    }
    return mono;
}

// Pixels along one side, in double until it is known to fit: a side beyond int's range (or
// a NaN) becomes INT_MAX, which every pixel budget refuses, instead of wrapping to a tiny page.
int sidePixels(double inches, double dpi) {
    const double px = std::round(inches * dpi);
    if (!(px < double(INT_MAX)))
        return INT_MAX;
    return std::max(1, int(px));
}

// The document page itself: what a sheet fed straight shows.
void paintDocument(QImage& canvas, const PageSpec& layout) {
    const QSize px = canvas.size();
    const bool colour = layout.pixelType == 2;
    const double dpmmX = layout.dpiX / 25.4, dpmmY = layout.dpiY / 25.4;
    const double unit = std::min(dpmmX, dpmmY); // pixels per millimetre for sizes

    QPainter p(&canvas);
    p.fillRect(canvas.rect(), tone(colour ? QColor(252, 250, 244) : QColor(255, 255, 255), layout));

    // Centimetre grid.
    const QColor gridColour = tone(colour ? QColor(170, 200, 235) : QColor(200, 200, 200), layout);
    const int lineW = std::max(1, int(std::lround(0.2 * unit)));
    for (double x = 10 * dpmmX; x < px.width(); x += 10 * dpmmX)
        p.fillRect(QRectF(x, 0, lineW, px.height()), gridColour);
    for (double y = 10 * dpmmY; y < px.height(); y += 10 * dpmmY)
        p.fillRect(QRectF(0, y, px.width(), lineW), gridColour);

    // Header band.
    const QColor ink = tone(QColor(20, 20, 20), layout);
    const QColor accent = tone(colour ? (layout.back ? QColor(30, 110, 60) : QColor(190, 30, 30))
                                      : QColor(60, 60, 60),
                               layout);
    const QRectF header(10 * dpmmX, 10 * dpmmY, px.width() - 20 * dpmmX, 22 * dpmmY);
    p.fillRect(header, accent);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(std::max(4, int(9 * unit)));
    font.setBold(true);
    p.setFont(font);
    p.setPen(tone(QColor(255, 255, 255), layout));
    const QString side = layout.back ? QStringLiteral("retro") : QStringLiteral("fronte");
    p.drawText(
        header.adjusted(4 * dpmmX, 0, -4 * dpmmX, 0), Qt::AlignVCenter | Qt::AlignLeft,
        QStringLiteral("Pagina %1 - foglio %2 %3").arg(layout.image).arg(layout.sheet).arg(side));

    // Text lines.
    font.setBold(false);
    font.setPixelSize(std::max(3, int(4 * unit)));
    p.setFont(font);
    p.setPen(ink);
    double y = header.bottom() + 12 * dpmmY;
    p.drawText(QPointF(15 * dpmmX, y),
               layout.scannerName + QStringLiteral(" - %1 dpi, %2")
                                        .arg(int(layout.dpiX))
                                        .arg(layout.pixelType == 0   ? "bianco e nero"
                                             : layout.pixelType == 1 ? "grigi"
                                                                     : "colori"));
    y += 10 * dpmmY;
    for (int i = 0; i < 12 && y < px.height() * 0.55; ++i, y += 8 * dpmmY)
        p.drawText(QPointF(15 * dpmmX, y), QString::fromLatin1(kLines[i % 6]));

    // The big page number, and a mark in the top-left corner for orientation.
    font.setBold(true);
    font.setPixelSize(std::max(6, int(70 * unit)));
    p.setFont(font);
    p.setPen(accent);
    p.drawText(QRectF(0, px.height() * 0.55, px.width(), px.height() * 0.35), Qt::AlignCenter,
               QString::number(layout.image));
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    p.drawPolygon(QPolygonF({QPointF(0, 0), QPointF(8 * dpmmX, 0), QPointF(0, 8 * dpmmY)}));
    p.end();
}

// A blank back as a scanner reads it: paper with the front's print showing through faintly
// (mirrored, as seen from behind), a few dust specks and the shadow of the sheet's leading and
// left edges. Deterministic by sheet, so that the same JSON gives the same pages.
void paintBlankBack(QImage& canvas, const PageSpec& layout) {
    PageSpec front = layout;
    front.blank = false;
    front.back = false;
    front.image = layout.image - 1;
    paintDocument(canvas, front);
    const QImage ghost = canvas.mirrored(true, false);
    const bool colour = layout.pixelType == 2;
    const QSize px = canvas.size();
    const double dpmmX = layout.dpiX / 25.4, dpmmY = layout.dpiY / 25.4;
    const double unit = std::min(dpmmX, dpmmY);
    QPainter p(&canvas);
    p.fillRect(canvas.rect(), tone(colour ? QColor(252, 250, 244) : QColor(255, 255, 255), layout));
    p.setOpacity(0.07);
    p.drawImage(0, 0, ghost);
    p.setOpacity(1);
    // Edge shadows: darkest at the paper's edge, gone 2.5 mm in.
    const QColor edge = tone(QColor(90, 90, 90), layout);
    const QColor paper = tone(colour ? QColor(252, 250, 244) : QColor(255, 255, 255), layout);
    QLinearGradient top(0, 0, 0, 2.5 * dpmmY);
    top.setColorAt(0, edge);
    top.setColorAt(1, paper);
    p.fillRect(QRectF(0, 0, px.width(), 2.5 * dpmmY), top);
    QLinearGradient left(0, 0, 2.5 * dpmmX, 0);
    left.setColorAt(0, edge);
    left.setColorAt(1, paper);
    p.setOpacity(0.6);
    p.fillRect(QRectF(0, 0, 2.5 * dpmmX, px.height()), left);
    p.setOpacity(1);
    // Dust: specks of 0.15 to 0.5 mm, far under anything a person writes.
    std::minstd_rand dust(uint32_t(layout.sheet) * 7919u + 17u);
    std::uniform_real_distribution<double> along(0.05, 0.95), size(0.15, 0.5);
    p.setPen(Qt::NoPen);
    p.setBrush(tone(QColor(50, 50, 50), layout));
    for (int i = 0; i < 24; ++i) {
        const double d = std::max(1.0, size(dust) * unit);
        p.drawEllipse(QRectF(along(dust) * px.width(), along(dust) * px.height(), d, d));
    }
}

// The page turned by the sheet's skew about its centre, as the scanner's glass sees a sheet
// that went through askew: the page's own size, the scanner's white outside the paper.
QImage askew(const QImage& page, const PageSpec& layout) {
    QImage out(page.size(), page.format());
    if (out.isNull())
        return {};
    out.fill(Qt::white);
    QPainter p(&out);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.translate(page.width() / 2.0, page.height() / 2.0);
    // Anticlockwise on the page is a negative angle in the painter's y-down space.
    p.rotate(-layout.skewDegrees);
    p.translate(-page.width() / 2.0, -page.height() / 2.0);
    p.drawImage(0, 0, page);
    p.end();
    return out;
}

} // namespace

QSize pagePixels(const PageSpec& layout) {
    return QSize(sidePixels(layout.sizeInches.width(), layout.dpiX),
                 sidePixels(layout.sizeInches.height(), layout.dpiY));
}

QImage renderPage(const PageSpec& layout, QImage* reuse) {
    // Fonts, line widths and the stored resolution are ints derived from the resolution;
    // outside this band they would not be representable.
    for (const double dpi : {layout.dpiX, layout.dpiY}) {
        if (!(dpi >= 1 && dpi <= kMostPageDpi))
            return {};
    }
    const QSize px = pagePixels(layout);
    const bool colour = layout.pixelType == 2;
    // Colour pages are painted straight into the buffer's 24-bit format, grey and 1-bit ones
    // in grey (1-bit by a threshold afterwards).
    const QImage::Format format = colour ? QImage::Format_RGB888 : QImage::Format_Grayscale8;
    QImage canvas;
    if (reuse && reuse->size() == px && reuse->format() == format && reuse->isDetached())
        canvas = std::move(*reuse);
    else
        canvas = QImage(px, format);
    if (canvas.isNull())
        return {};
    if (layout.blank)
        paintBlankBack(canvas, layout);
    else
        paintDocument(canvas, layout);
    if (layout.upsideDown)
        canvas = canvas.mirrored(true, true);
    if (layout.skewDegrees != 0)
        canvas = askew(canvas, layout);
    if (canvas.isNull())
        return {};

    // Resolution first: changing it on an image already shared would copy the pixels.
    const int dpmX = int(std::lround(layout.dpiX / 0.0254));
    const int dpmY = int(std::lround(layout.dpiY / 0.0254));
    canvas.setDotsPerMeterX(dpmX);
    canvas.setDotsPerMeterY(dpmY);
    QImage out = layout.pixelType == 0 ? toMono(canvas, layout.threshold) : canvas;
    if (out.isNull())
        return {};
    out.setDotsPerMeterX(dpmX);
    out.setDotsPerMeterY(dpmY);
    if (reuse)
        *reuse = canvas; // shared with `out` until the receiver lets go of it
    return out;
}
