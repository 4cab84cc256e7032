#pragma once
#include <QByteArray>
#include <QImage>
#include <QString>
#include <optional>

// The PDF route's page image: one page's image data as the PDF embeds it, and the file that
// carries it from the component to the PDF writer (".pdfimg", a one-page TIFF whose strip is
// that data, so any TIFF reader shows it and the writer takes it without decoding).
namespace tiffpages {

/// One image as the PDF writer embeds it: the CCITT G4 data of g4Strip for a 1-bit image, a
/// JFIF JPEG stream (codecs::encodeJpeg) for a grey or colour one.
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
