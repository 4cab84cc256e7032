#pragma once
#include <QImage>

// Pixel types a device does not scan in, made from one it does: grey from colour, black and
// white from grey or colour. Pure functions, used on the acquisition thread.

namespace imageconv {

/// The page as 8-bit grey (luminance of colour pages, the high byte of 16-bit samples).
/// A Grayscale8 page comes back as it is. Null for a null page.
QImage toGray8(const QImage& page);

/// The page as 1-bit black and white: a pixel whose grey level is below `threshold` (0-255)
/// becomes black, so 0 gives an all-white page and 256 an all-black one. The result is
/// Format_Mono with colour index 1 black, as a device's own 1-bit frames arrive. A Mono page
/// comes back as it is. Null for a null page.
QImage toBlackAndWhite(const QImage& page, int threshold);

} // namespace imageconv
