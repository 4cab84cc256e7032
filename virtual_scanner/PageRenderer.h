#pragma once
#include <QImage>
#include <QRectF>
#include <QString>
#include <cstdint>

/// What a generated page shows and how it is scanned.
struct PageSpec {
    int32_t pixelType = 2; ///< TWAIN pixel type: 0 BW, 1 grey, 2 colour
    double dpiX = 300, dpiY = 300;
    QSizeF sizeInches{8.27, 11.69};
    double brightness = 0; ///< -1 darkest .. 1 lightest, 0 = unchanged
    double contrast = 0;   ///< -1 flat .. 1 strongest, 0 = unchanged
    int threshold = 128;   ///< black below this grey level (BW only)
    QString scannerName;
    int sheet = 1;     ///< sheet number since the scanner was switched on
    bool back = false; ///< the back of the sheet
    int image = 1;     ///< image number since the scanner was switched on
    // How the sheet went through the scanner; all off, the page is as drawn.
    bool blank = false;      ///< blank paper: the faint mirrored show-through of the front
                             ///< (image `image - 1`), dust specks and an edge shadow
    bool upsideDown = false; ///< turned 180°
    double skewDegrees = 0;  ///< turned by this angle (anticlockwise), white outside the paper
};

/// The highest resolution a page is rendered at; a virtual scanner offers no more.
constexpr double kMostPageDpi = 32767;

/// Width and height in pixels of the page `layout` asks for; a side too long for an int is
/// INT_MAX, so that a pixel budget refuses the page instead of a wrapped, tiny size.
QSize pagePixels(const PageSpec& layout);

/// Renders a document page a person can tell apart from the others: a header with the page's
/// image and sheet number and side, a centimetre grid, text lines and a large page number,
/// with a corner mark that shows the page's orientation; or the blank back, the upside-down or
/// askew sheet `layout` asks for. Returns Format_Mono (index 0 white,
/// 1 black), Format_Grayscale8 or Format_RGB888 by pixel type, with the resolution set.
/// Thread-safe (QPainter on a QImage). A null image when the page is too large to allocate
/// or a resolution lies outside 1 to kMostPageDpi.
/// `canvas`, when given, is painted on and kept for the next page: a page-sized buffer that is
/// used again costs no fresh memory, which is most of the time a new page would take.
QImage renderPage(const PageSpec& layout, QImage* canvas = nullptr);
