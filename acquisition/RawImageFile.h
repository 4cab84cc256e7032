#pragma once
#include "component_base/DeviceLayer.h"
#include <QImage>
#include <QString>
#include <cstdint>

// The session cache's page files: a small fixed header followed by the image's scan lines as
// they lie in memory. Writing one is a plain sequential write (no encoder), so the worker can
// store a 300 dpi colour page in a few milliseconds.
namespace rawImage {

/// Writes `image` to `path` through a temporary file renamed into place, so a failed write
/// never leaves a partial page behind. Ok, or why not (a componentError status: DiskFull for
/// a full disk). Thread-safe (touches only its own files).
DeviceStatus write(const QImage& image, const QString& path);

/// write() for a caller that wants only the reason's text: true when written.
inline bool write(const QImage& image, const QString& path, QString* error) {
    const DeviceStatus written = write(image, path);
    if (error && !written.ok())
        *error = written.text;
    return written.ok();
}

/// Reads a file written by write(). Returns a null image and fills `error` when the file is
/// missing, truncated or not a page file. Thread-safe.
QImage read(const QString& path, QString* error = nullptr);

/// True when `path` is a page file with a valid header and all the pixel data it announces
/// (read without decoding it). Thread-safe.
bool isWhole(const QString& path);

/// The image turned clockwise by `degrees` (any multiple of 90, negative allowed), pixel for
/// pixel, for every buffer format (1-bit included); resolution and colour table carried over.
QImage rotated(const QImage& image, int degrees);

} // namespace rawImage
