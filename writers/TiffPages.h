#pragma once
#include <QByteArray>
#include <QImage>
#include <QString>
#include <cstdint>
#include <optional>

// TIFF pages through libtiff: new files, appended pages that roll back on failure, reading a
// given page back, and the CCITT G4 strip of a 1-bit image for the PDF writer.
namespace tiffpages {

/// The Compression tag actually used for an image of `image`'s kind when `requested` is
/// asked for: 0 picks G4 for 1-bit images and LZW otherwise; G4 on a grey or colour image
/// becomes LZW (lossless, rather than thresholding the page to 1 bit); JPEG on a 1-bit image
/// becomes G4 (JPEG has no 1-bit form). Throws ScanError for a value other than 0, 1, 4, 5,
/// 7 or 8.
int effectiveCompression(const QImage& image, int requested);

/// effectiveCompression for a 1-bit image (`mono`) or any other.
int effectiveCompression(bool mono, int requested);

/// The Compression tag of JPEG data.
inline constexpr int jpegCompression = 7;

/// Writes `image` as a new single-page TIFF at `path` (temporary file, then rename).
void writeFile(const QImage& image, const QString& path, int compression, int jpegQuality);

/// Adds `image` as a new last page to the TIFF at `path` (a new file when there is none).
/// Refuses a symbolic link at `path`. On failure the file is put back to its earlier bytes,
/// so the pages it had still read back, and ScanError is thrown.
void appendPage(const QImage& image, const QString& path, int compression, int jpegQuality);

/// Adds the page of the one-page TIFF `pagePath`, as writeFile wrote it, to the TIFF at
/// `path` as its last page by copying its encoded strips: the file ends up byte for byte as
/// appendPage would leave it for the same image and settings, without encoding anything.
/// A missing file at `path` becomes a copy of `pagePath`. Refuses a symbolic link at `path`;
/// on failure the file is put back to its earlier bytes and ScanError is thrown.
void appendEncodedPage(const QString& pagePath, const QString& path);

/// The number of pages (directories) of the TIFF at `path`; throws ScanError when unreadable.
int pageCount(const QString& path);

/// Reads page `index` (from 0) of the TIFF at `path` into the buffer formats (Mono,
/// Grayscale8/16, RGB888, RGBX64); throws ScanError when it cannot be read.
QImage readPage(const QString& path, int index);

/// The CCITT G4 (T.6) data of a 1-bit image, coded with 1 = black and no end-of-block
/// marker: the bytes of a one-strip G4 TIFF written by libtiff, read back raw.
QByteArray g4Strip(const QImage& mono);

/// A complete baseline JPEG stream (SOI to EOI, no JFIF marker) of an 8-bit grey or colour
/// image (Grayscale8 or RGB888; colour as YCbCr 4:2:0, standard Huffman tables), made by
/// libtiff's JPEG codec as the single strip of an in-memory TIFF, its tables spliced in.
QByteArray jpegStream(const QImage& image8, int quality);

/// One image as the PDF writer embeds it: the CCITT G4 data of g4Strip for a 1-bit image, a
/// JFIF JPEG stream (WriterSupport's encodeJpeg) for a grey or colour one.
struct PdfImage {
    enum class Coding { G4, Jpeg };
    Coding coding = Coding::G4;
    int width = 0;
    int height = 0;
    bool grey = true; ///< JPEG only: one channel (else three)
    int quality = 0;  ///< JPEG only: the quality it was encoded at
    int dotsPerMeterX = 0;
    int dotsPerMeterY = 0;
    QByteArray data;
};

/// Encodes `image` (any buffer format) as the PDF writer embeds it, JPEG at `quality`
/// (1..100). Throws ScanError when it cannot.
PdfImage pdfImage(const QImage& image, int quality);

/// Writes `image` as a one-page TIFF whose single strip is its data as it stands (G4, or JPEG
/// with its quality in the image description): a bitmap any TIFF reader shows, from which
/// readPdfImage takes the data back without decoding it. Throws ScanError on failure.
void writePdfImage(const PdfImage& image, const QString& path);

/// The image of a file written by writePdfImage; nullopt for any other file (another TIFF,
/// another format, a missing or damaged file), which the caller then reads as a bitmap.
std::optional<PdfImage> readPdfImage(const QString& path);

} // namespace tiffpages
