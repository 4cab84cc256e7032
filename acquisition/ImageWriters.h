#pragma once
#include <QImage>
#include <QString>
#include <cstdint>

// The component's image files. Buffer images are QImage in one of these formats:
// Format_Mono (1-bit; the colour table says which index is black), Format_Grayscale8,
// Format_Grayscale16, Format_RGB888, Format_RGBX64.

struct ImageWriteOptions {
    int32_t jpegQuality = 0;     ///< 1..100; 0 chooses 75
    int32_t tiffCompression = 0; ///< TIFF Compression tag: 1, 4, 5, 7, 8; 0 = G4 for 1-bit, else LZW
    bool tiffAppend = false;     ///< add a page to an existing multi-page TIFF
};

/// Writes `image` to `path` in the format of the extension (.jpg, .tif, .bmp; compared
/// case-insensitively). Never follows a symbolic link at `path`. Throws ScanError when the
/// file cannot be written whole (an unknown extension included); a single-image file is then
/// removed, and an appended TIFF keeps the pages it had.
void writeImageFile(const QImage& image, const QString& path, const ImageWriteOptions& options);

/// Reads an image file written by writeImageFile (any size: Qt's allocation limit does not
/// apply). Throws ScanError when it cannot be read.
QImage readImageFile(const QString& path);
