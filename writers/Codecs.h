#pragma once
#include <QByteArray>
#include <QImage>
#include <QString>

// The image codings the writers produce whole in memory, above the TIFF codec that does the
// work (tiffpages::jpegStream, tiffpages::g4Strip).
namespace codecs {

/// Encodes an 8-bit grey or colour image (Grayscale8 or RGB888) as a baseline JFIF JPEG with
/// the image's resolution. Throws ScanError when it fails.
QByteArray encodeJpeg(const QImage& image8, int quality, const QString& pathForErrors);

} // namespace codecs
