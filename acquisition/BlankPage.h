#pragma once
#include <QImage>
#include <QRect>
#include <QString>
#include <cstdint>

/// How the pixels given to judgeBlankPage are laid out.
enum class BlankPixelFormat : uint8_t {
    Mono = 1, ///< 1 bit a pixel, most significant bit first, a set bit black (QImage::Format_Mono
              ///< with colour 1 black, as the buffer keeps black and white pages)
    Gray8,    ///< 8 bits a pixel, 0 black
    Rgb24,    ///< 3 bytes a pixel, red first
};

/// A page's pixels, not owned: they must stay valid for the call they are passed to.
struct BlankPixels {
    const uint8_t* data = nullptr;
    int width = 0;
    int height = 0;
    int bytesPerLine = 0;
    int dpi = 0; ///< 0 when unknown: the page is then judged as if it were 300 dpi
    BlankPixelFormat format = BlankPixelFormat::Gray8;
};

/// What judgeBlankPage found on a side, with the figures behind the decision (for the scan
/// log and for tuning).
struct BlankVerdict {
    bool blank = false;
    QString error;        ///< set when the pixels could not be judged (the side is then kept)
    QRect inner;          ///< the area judged: the page without its border strip, in pixels
    int paperLevel = 0;   ///< the paper's brightness, 0 to 255
    int inkLevel = 0;     ///< a pixel at or under this brightness is ink
    double inkShare = 0;  ///< ink pixels in the inner area, over its pixels
    int specks = 0;       ///< marks too small to keep (dust, paper texture)
    int shadows = 0;      ///< marks running in from the page's edge (feeder shadows)
    int marks = 0;        ///< marks a person would keep
    double largestMm = 0; ///< the longer side of the largest mark kept or speck, millimetres
    QRect largest;        ///< that mark's box, in pixels
    bool crowded = false; ///< so much ink that counting stopped early (never blank)
    bool ok() const { return error.isEmpty(); }
};

/// Whether a side carries no mark a person would keep, judged on its own pixels: feeder
/// shadows running in from the edges, dust specks, paper texture and the faint show-through
/// of the other side's print do not count; one short line (a signature, a page number, a
/// stamp) does. Ink is what is far darker than the paper (in colour, in its darkest channel,
/// so that blue ink and red stamps count); a mark is a connected patch of ink, kept when its
/// longer side reaches 1.5 mm. Errs towards keeping: bad geometry, an unknown format and a
/// crowded page are never blank. Pure: any thread, no state.
BlankVerdict judgeBlankPage(const BlankPixels& page);

/// The same for a buffer image (Format_Mono with a set bit black, Grayscale8, RGB888;
/// Grayscale16 and RGBX64 are judged on their top 8 bits). `dpi` 0 when unknown.
BlankVerdict judgeBlankPage(const QImage& image, int dpi);

/// The verdict's figures in the scan log's Italian, e.g. "bianca: inchiostro 0,004%, 12
/// granelli, 2 ombre dai bordi, nessun segno".
QString blankPageSummary(const BlankVerdict& verdict);
