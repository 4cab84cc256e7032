#pragma once
// Sides as a document feeder gives them, at a scanner's resolution: blank backs carrying what
// a scan adds to paper (texture, dust, the feeder's edge shadows, the background wedge of a
// sheet fed askew, the other side's print showing through), sparse fronts (a signature, a
// page number, a stamp), and text pages turned askew or upside down with two registration
// marks whose centres tell how straight a page came back.
#include "support/ItalianPages.h"
#include <QPainterPath>
#include <QPointF>
#include <functional>

/// What a scan adds to a side, as flags.
enum SideNoise : unsigned {
    NoNoise = 0,
    Texture = 1,      ///< paper grain: grey noise around the paper's level
    Specks = 2,       ///< dust: dots and clumps under half a millimetre
    EdgeShadows = 4,  ///< dark bands along three edges, 1.5 to 7 mm deep
    Wedge = 8,        ///< the scanner's dark background along one long edge of a sheet 2° askew
    ShowThrough = 16, ///< the other side's text, mirrored, blurred and faint
    AllNoise = 31,
    Frame = 32, ///< the scanner's background all round a sheet smaller than the scan, 6 mm deep
};

constexpr int kPaperLevel = 235;

inline int mmToPixels(double mm, int dpi) {
    return int(std::lround(mm / 25.4 * dpi));
}

/// A blank A4 side in Grayscale8 at `dpi` with `noise` on it.
inline QImage scannedSide(unsigned noise, int dpi = 300, unsigned seed = 1) {
    const int width = int(std::lround(8.27 * dpi)), height = int(std::lround(11.69 * dpi));
    QImage img(width, height, QImage::Format_Grayscale8);
    img.fill(kPaperLevel);
    std::mt19937 random(seed);
    if (noise & ShowThrough) {
        // The front's ink seen through the sheet: a third of its darkness, softened.
        const QImage front =
            renderItalianPage(QStringLiteral("DejaVu Sans"), dpi)
                .image.mirrored(true, false)
                .scaled(width / 4, height / 4, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                .scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        for (int y = 0; y < height; ++y) {
            const uchar* f = front.constScanLine(y);
            uchar* out = img.scanLine(y);
            for (int x = 0; x < width; ++x)
                out[x] = uchar(kPaperLevel - (255 - f[x]) / 3);
        }
    }
    if (noise & Texture) {
        std::normal_distribution<double> grain(0, 6);
        for (int y = 0; y < height; ++y) {
            uchar* out = img.scanLine(y);
            for (int x = 0; x < width; ++x)
                out[x] = uchar(std::clamp(int(out[x] + grain(random)), 0, 255));
        }
    }
    QPainter painter(&img);
    if (noise & EdgeShadows) {
        auto band = [&](QRect r, Qt::Orientation o, bool fromStart) {
            QLinearGradient g(r.topLeft(), o == Qt::Horizontal ? r.topRight() : r.bottomLeft());
            g.setColorAt(fromStart ? 0 : 1, QColor(40, 40, 40));
            g.setColorAt(fromStart ? 0.6 : 0.4, QColor(70, 70, 70));
            g.setColorAt(fromStart ? 1 : 0, QColor(kPaperLevel, kPaperLevel, kPaperLevel));
            painter.fillRect(r, g);
        };
        band(QRect(0, 0, mmToPixels(7, dpi), height), Qt::Horizontal, true);
        band(QRect(0, 0, width, mmToPixels(2, dpi)), Qt::Vertical, true);
        band(QRect(width - mmToPixels(1.5, dpi), 0, mmToPixels(1.5, dpi), height), Qt::Horizontal,
             false);
    }
    if (noise & Wedge) {
        const double depth = height * std::tan(2.0 * M_PI / 180);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(30, 30, 30));
        painter.drawPolygon(QPolygonF({QPointF(0, 0), QPointF(depth, height), QPointF(0, height)}));
    }
    if (noise & Frame) {
        const int d = mmToPixels(6, dpi);
        const QColor background(30, 30, 30);
        painter.fillRect(0, 0, width, d, background);
        painter.fillRect(0, height - d, width, d, background);
        painter.fillRect(0, 0, d, height, background);
        painter.fillRect(width - d, 0, d, height, background);
    }
    painter.end();
    if (noise & Specks) {
        std::uniform_int_distribution<int> px(0, width - 8), py(0, height - 8), size(1, 3),
            dark(20, 90);
        for (int i = 0; i < 400; ++i) {
            const int x = px(random), y = py(random), s = i % 40 == 0 ? 5 : size(random);
            for (int dy = 0; dy < s; ++dy)
                for (int dx = 0; dx < s; ++dx)
                    img.scanLine(y + dy)[x + dx] = uchar(dark(random));
        }
    }
    return img;
}

/// What a sparse front carries.
enum class SparseMark { Signature, PageNumber, Stamp };

/// A side with only `mark` on it, over `noise` (the stamp in red on an RGB888 side, the others
/// in Grayscale8).
inline QImage sparseSide(SparseMark mark, int dpi = 300, unsigned noise = AllNoise & ~ShowThrough) {
    QImage img = scannedSide(noise, dpi, 2);
    if (mark == SparseMark::Stamp)
        img = img.convertToFormat(QImage::Format_RGB888);
    QPainter painter(&img);
    painter.setRenderHint(QPainter::Antialiasing);
    const double mm = dpi / 25.4;
    if (mark == SparseMark::Signature) {
        // A pen flourish 45 mm long, 0.4 mm wide, in the lower right.
        QPainterPath path;
        const QPointF start(120 * mm, 240 * mm);
        path.moveTo(start);
        for (int i = 1; i <= 60; ++i)
            path.lineTo(start + QPointF(i * 0.75 * mm, 3 * mm * std::sin(i * 0.45)));
        painter.setPen(QPen(QColor(20, 20, 60), 0.4 * mm, Qt::SolidLine, Qt::RoundCap));
        painter.drawPath(path);
    } else if (mark == SparseMark::PageNumber) {
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPixelSize(int(std::lround(10.0 / 72 * dpi)));
        painter.setFont(font);
        painter.setPen(Qt::black);
        painter.drawText(QPointF(img.width() / 2.0, img.height() - 12 * mm), QStringLiteral("3"));
    } else {
        const QColor red(200, 30, 30);
        painter.setPen(QPen(red, 0.6 * mm));
        painter.drawEllipse(QPointF(150 * mm, 60 * mm), 15 * mm, 15 * mm);
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPixelSize(int(std::lround(4 * mm)));
        font.setBold(true);
        painter.setFont(font);
        painter.drawText(QRectF(135 * mm, 55 * mm, 30 * mm, 10 * mm), Qt::AlignCenter,
                         QStringLiteral("PAGATO"));
    }
    return img;
}

/// `grey` at 1 bit (Format_Mono, colour 1 black) by a fixed threshold, as a scanner's lineart.
inline QImage lineart(const QImage& grey, int threshold = 128) {
    QImage mono(grey.size(), QImage::Format_Mono);
    mono.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    mono.fill(0);
    for (int y = 0; y < grey.height(); ++y) {
        const uchar* g = grey.constScanLine(y);
        uchar* out = mono.scanLine(y);
        for (int x = 0; x < grey.width(); ++x)
            if (g[x] < threshold)
                out[x >> 3] |= uchar(0x80 >> (x & 7));
    }
    return mono;
}

/// The two registration marks of a turned page, 4 mm squares in its top margin 150 mm apart.
inline std::pair<QPointF, QPointF> registrationMarks(int dpi = 300) {
    const double mm = dpi / 25.4;
    return {QPointF(30 * mm, 12 * mm), QPointF(180 * mm, 12 * mm)};
}

/// The Italian sans page with its registration marks, turned `degrees` counter-clockwise as
/// seen about its centre, white brought in (Grayscale8).
inline QImage turnedTextPage(double degrees, int dpi = 300) {
    QImage img = italianPage(PageKind::Sans, dpi).image;
    {
        QPainter painter(&img);
        const double side = 4 * dpi / 25.4;
        const auto [a, b] = registrationMarks(dpi);
        for (const QPointF& c : {a, b})
            painter.fillRect(QRectF(c.x() - side / 2, c.y() - side / 2, side, side), Qt::black);
    }
    if (degrees == 0)
        return img;
    return turnedOnWhite(img, turnAboutCentre(img.size(), degrees));
}

/// The darkness-weighted centre of the ink within `radius` pixels of `near` in a page given
/// as `darkness(x, y)` (0 paper, 255 black); not a number when there is none.
inline QPointF inkCentre(const QSize& size, const std::function<int(int, int)>& darkness,
                         QPointF near, int radius) {
    double sx = 0, sy = 0, sw = 0;
    for (int y = std::max(0, int(near.y()) - radius);
         y <= std::min(size.height() - 1, int(near.y()) + radius); ++y)
        for (int x = std::max(0, int(near.x()) - radius);
             x <= std::min(size.width() - 1, int(near.x()) + radius); ++x) {
            const int d = darkness(x, y);
            if (d < 96)
                continue;
            sx += d * x;
            sy += d * y;
            sw += d;
        }
    return sw > 0 ? QPointF(sx / sw, sy / sw) : QPointF(std::nan(""), std::nan(""));
}

/// The slant in degrees (counter-clockwise as seen) of the line through the registration
/// marks of a page given as `darkness`, found within 60 pixels of where they were drawn (not a
/// number when they are not there).
inline double marksSlant(const QSize& size, const std::function<int(int, int)>& darkness,
                         int dpi = 300) {
    const auto [a, b] = registrationMarks(dpi);
    const QPointF ca = inkCentre(size, darkness, a, 60), cb = inkCentre(size, darkness, b, 60);
    return std::atan2(ca.y() - cb.y(), cb.x() - ca.x()) * 180 / M_PI;
}
