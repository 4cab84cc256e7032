#pragma once
#include <QByteArray>
#include <QImage>
#include <QString>
#include <cstddef>
#include <string>

// Pieces shared by the image writers and the PDF writer: files that appear under their final
// name only once complete, the pixel kinds the writers distinguish, and the checked writes
// that turn a short write (disk full, file size limit) into a ScanError.
namespace writer {

/// `v` as a PDF number: rounded to `decimals` places, trailing zeros and a lone point left
/// out, "-0" as "0". Two places are what PDF readers show (595.28 × 841.89 for A4) and far
/// below a pixel.
std::string pdfNumber(double v, int decimals = 2);

/// The pixel layouts the writers produce; every buffer image maps onto one of them.
enum class PixelKind { Mono, Gray8, Gray16, Rgb8, Rgb16 };

/// The kind `image` is written as (Indexed8 with a grey table counts as Gray8).
PixelKind pixelKind(const QImage& image);

/// `image` in the exact QImage format of its kind: Mono, Grayscale8, Grayscale16, RGB888 or
/// RGBX64. Shares the pixels when the image is already in that format.
QImage normalized(const QImage& image);

/// `image` at 8 bits a sample (Mono stays Mono), for formats that have no 16-bit form.
QImage eightBit(const QImage& image);

/// True when colour index 0 of a 1-bit image is the darker one (index 0 = black).
bool zeroIsBlack(const QImage& mono);

/// Throws ScanError naming `path`, the step and the system error `err`, with the code of that
/// error (componentError::writeFailure: a full disk, a size limit and a refused permission
/// have codes of their own, anything else is WriteFailed).
[[noreturn]] void throwWriteError(const QString& path, const QString& what, int err);

/// Throws ScanError (code WriteFailed) naming `path` and `what`.
[[noreturn]] void throwWriteError(const QString& path, const QString& what);

/// Throws ScanError (code ReadFailed) naming `path` and `what`.
[[noreturn]] void throwReadError(const QString& path, const QString& what);

/// Writes all of `data` to `fd`, retrying short writes; throws ScanError naming `path`.
void writeAll(int fd, const void* data, std::size_t size, const QString& path);

/// Refuses a target that cannot be replaced by a file: a directory (or anything else that is
/// neither absent, a regular file nor a symbolic link).
void checkReplaceableTarget(const QString& path);

/// A file written under a hidden temporary name in the target's folder and renamed over the
/// target by commit(). A symbolic link at the target is replaced, never followed: rename()
/// swaps the directory entry itself. Destroyed without commit(), it removes its temporary file,
/// so a failed write leaves neither a partial file nor a changed target.
class TempFile {
public:
    /// Creates the temporary file (O_EXCL, O_NOFOLLOW); throws ScanError when the folder is
    /// missing or not writable, or the target is a directory.
    explicit TempFile(const QString& target);
    ~TempFile();
    Q_DISABLE_COPY(TempFile)

    /// The open descriptor of the temporary file (owned by this object).
    int fd() const { return m_fd; }
    const QString& target() const { return m_target; }

    /// Whether commit() waits for the data to reach the disk before the rename.
    enum class Flush { ToDisk, None };
    /// Flushes the data to disk (unless told None), closes the file and renames it over the
    /// target; throws ScanError on any failure (the temporary file is then removed).
    void commit(Flush flush = Flush::ToDisk);

private:
    QString m_target;
    QByteArray m_tempPath;
    int m_fd = -1;
    bool m_committed = false;
};

/// Copies the file `from` to `target` through a TempFile, so that `target` appears only once
/// complete. Throws ScanError (naming `from` when it cannot be read).
void copyFile(const QString& from, const QString& target);

/// Puts the finished file `from` in the place of `target` by renaming it: `target` is then
/// `from`'s bytes, or is left as it was. A link at `target` is replaced, never followed; a
/// directory there is refused. On another file system `from` is copied, then removed.
/// Throws ScanError naming `target`, and `from` then stays where it was.
void moveFile(const QString& from, const QString& target);

/// Writes `image` as an uncompressed BMP to `fd`: 1-bit with its two colours, 8-bit with a
/// grey palette, 24-bit colour. 16-bit images are written at 8 bits.
void writeBmp(int fd, const QImage& image, const QString& pathForErrors);

/// Reads an uncompressed 1-, 8- or 24-bit BMP as written by writeBmp (bottom-up or top-down).
/// Returns a null image when the file is a BMP of another kind (the caller falls back to Qt's
/// reader); throws ScanError when the file is truncated or its header is inconsistent.
QImage readBmp(const QString& path);

} // namespace writer
