#pragma once
#include <QImage>
#include <QString>
#include <cstdint>
#include <optional>

// The component's image files. Buffer images are QImage in one of these formats:
// Format_Mono (1-bit; the colour table says which index is black), Format_Grayscale8,
// Format_Grayscale16, Format_RGB888, Format_RGBX64.

/// The JPEG quality of a PDF's pages when none is set: the PDF writer's, and its page images'.
inline constexpr int32_t kPdfJpegQuality = 85;

struct ImageWriteOptions {
    int32_t jpegQuality = 0; ///< 1..100; 0 chooses 75 (85 for a PDF image)
    int32_t tiffCompression =
        0;                   ///< TIFF Compression tag: 1, 4, 5, 7, 8; 0 = G4 for 1-bit, else LZW
    bool tiffAppend = false; ///< add a page to an existing multi-page TIFF
};

/// The kinds of file writeImageFile writes, by extension: .jpg, .tif, .bmp, and .pdfimg, the
/// page image the PDF writer takes as it stands (a one-page TIFF holding the page's G4 or
/// JPEG data; see tiffpages::writePdfImage).
enum class ImageFileKind { Jpeg, Tiff, Bmp, PdfImage };

/// The kind of file `path` names (its extension, compared case-insensitively); nullopt for
/// any other extension.
std::optional<ImageFileKind> imageFileKind(const QString& path);

/// The extension of a kind, without the dot.
QString imageFileSuffix(ImageFileKind kind);

/// Everything besides the pixels that decides the bytes writeImageFile writes: the kind of
/// file and the settings it uses, with defaults applied and settings it ignores as 0. Equal
/// encodings of one image give equal files (a TIFF written afresh, not appended).
struct FileEncoding {
    ImageFileKind kind = ImageFileKind::Bmp;
    int32_t quality = 0;
    int32_t compression = 0;
    friend bool operator==(const FileEncoding&, const FileEncoding&) = default;
};

/// The encoding writeImageFile uses for an image (1-bit or not) with `options`. Throws
/// ScanError for a TIFF compression it does not write.
FileEncoding fileEncoding(ImageFileKind kind, bool mono, const ImageWriteOptions& options);

/// Options that make writeImageFile write `encoding` (the inverse of fileEncoding).
ImageWriteOptions writeOptions(const FileEncoding& encoding);

/// Writes `image` to `path` in the format of the extension (.jpg, .tif, .bmp, .pdfimg;
/// compared case-insensitively). Never follows a symbolic link at `path`. Throws ScanError
/// when the file cannot be written whole (an unknown extension included); a single-image file
/// is then removed, and an appended TIFF keeps the pages it had.
void writeImageFile(const QImage& image, const QString& path, const ImageWriteOptions& options);

/// Reads an image file written by writeImageFile (any size: Qt's allocation limit does not
/// apply). Throws ScanError when it cannot be read.
QImage readImageFile(const QString& path);
