#include "writers/TiffPages.h"

#include "common/SystemErrorText.h"
#include "component_base/ComponentErrors.h"
#include "component_base/ScanError.h"
#include "writers/WriterSupport.h"

#include <QFile>

#include <tiffio.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace tiffpages {

static_assert(jpegCompression == COMPRESSION_JPEG);

namespace {

using writer::PixelKind;

// libtiff reports through handlers; each open file gets its own, so the message of a
// failing call ends up in the ScanError instead of on stderr.
struct Messages {
    QString last;
    int systemError = 0; ///< errno of the write that failed, 0 when none did
    int fd = -1;         ///< the descriptor of a file opened for writing (see openFd)
};

int collectError(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
    char text[512];
    std::vsnprintf(text, sizeof text, fmt, ap);
    auto* messages = static_cast<Messages*>(user);
    messages->last = QString::fromLocal8Bit(module ? module : "") + QStringLiteral(": ") +
                     QString::fromLocal8Bit(text);
    return 1;
}

int ignoreWarning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

struct TiffCloser {
    void operator()(TIFF* t) const { TIFFClose(t); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

struct OptionsFree {
    void operator()(TIFFOpenOptions* o) const { TIFFOpenOptionsFree(o); }
};

std::unique_ptr<TIFFOpenOptions, OptionsFree> options(Messages* messages) {
    std::unique_ptr<TIFFOpenOptions, OptionsFree> opts(TIFFOpenOptionsAlloc());
    TIFFOpenOptionsSetErrorHandlerExtR(opts.get(), collectError, messages);
    TIFFOpenOptionsSetWarningHandlerExtR(opts.get(), ignoreWarning, messages);
    return opts;
}

// A file written through libtiff: its own descriptor I/O stops at a short write without an
// error number, so a full disk would read as a bare "write error". These procedures retry
// short writes and keep the error of the write that failed.
tmsize_t fdRead(thandle_t h, void* buf, tmsize_t size) {
    const int fd = static_cast<Messages*>(h)->fd;
    char* p = static_cast<char*>(buf);
    tmsize_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, p + done, size_t(size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return done > 0 ? done : -1;
        if (n == 0)
            break;
        done += n;
    }
    return done;
}
tmsize_t fdWrite(thandle_t h, void* buf, tmsize_t size) {
    auto* messages = static_cast<Messages*>(h);
    const char* p = static_cast<const char*>(buf);
    tmsize_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(messages->fd, p + done, size_t(size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            messages->systemError = n < 0 ? errno : ENOSPC;
            return -1;
        }
        done += n;
    }
    return done;
}
toff_t fdSeek(thandle_t h, toff_t off, int whence) {
    const off_t at = ::lseek(static_cast<Messages*>(h)->fd, off_t(off), whence);
    return at < 0 ? toff_t(-1) : toff_t(at);
}
int fdClose(thandle_t h) {
    auto* messages = static_cast<Messages*>(h);
    const int result = ::close(messages->fd);
    messages->fd = -1;
    return result;
}
toff_t fdSize(thandle_t h) {
    struct stat st {};
    return ::fstat(static_cast<Messages*>(h)->fd, &st) == 0 ? toff_t(st.st_size) : 0;
}
int fdMap(thandle_t, void**, toff_t*) {
    return 0;
}
void fdUnmap(thandle_t, void*, toff_t) {}

// libtiff closes the descriptor it is given; it gets a duplicate so ours stays ours. A file
// opened to be written goes through the procedures above; `messages` must then outlive it.
TiffPtr openFd(int fd, const QString& path, const char* mode, Messages* messages) {
    // A duplicate shares the file offset, and libtiff reads the header from where it is.
    if (::lseek(fd, 0, SEEK_SET) != 0)
        return nullptr;
    const int copy = ::dup(fd);
    if (copy < 0)
        return nullptr;
    auto opts = options(messages);
    const QByteArray name = QFile::encodeName(path);
    TIFF* t = nullptr;
    if (mode[0] == 'r') {
        t = TIFFFdOpenExt(copy, name.constData(), mode, opts.get());
    } else {
        messages->fd = copy;
        t = TIFFClientOpenExt(name.constData(), mode, messages, fdRead, fdWrite, fdSeek, fdClose,
                              fdSize, fdMap, fdUnmap, opts.get());
        if (!t)
            messages->fd = -1;
    }
    if (!t)
        ::close(copy);
    return TiffPtr(t);
}

QString detail(const Messages& m) {
    return m.last.isEmpty() ? QStringLiteral("TIFF library error") : m.last;
}

/// Throws the ScanError of a failed libtiff call, with the system error of a failed write.
[[noreturn]] void throwTiffWriteError(const QString& path, const Messages& m) {
    if (m.systemError != 0)
        writer::throwWriteError(path, detail(m), m.systemError);
    writer::throwWriteError(path, detail(m));
}

// Strips of about 128 KiB of pixels: big enough to keep per-strip costs small, small enough
// for readers that load a strip at a time.
uint32_t rowsPerStrip(uint64_t rowBytes, uint32_t height, int compression) {
    if (compression == COMPRESSION_CCITTFAX4)
        return height; // one strip per page: the PDF writer takes it as it stands
    uint64_t rows = std::max<uint64_t>(1, (128u << 10) / std::max<uint64_t>(rowBytes, 1));
    if (compression == COMPRESSION_JPEG)
        rows = std::max<uint64_t>(16, rows / 16 * 16); // whole MCU rows with 2×2 subsampling
    return uint32_t(std::min<uint64_t>(rows, height));
}

// The fields of one page's directory, everything but where its strips lie. A page written
// from pixels and the same page copied from its encoded strips set them through the one
// function below, so that both give the same directory byte for byte.
struct PageFields {
    uint32_t width = 0;
    uint32_t height = 0;
    int bits = 8;
    int samples = 1;
    int photometric = PHOTOMETRIC_MINISBLACK;
    int compression = COMPRESSION_NONE;
    int quality = 0; // JPEG only
    bool predictor = false;
    float xResolution = 0; // dots per inch; 0 = not recorded
    float yResolution = 0;
};

PageFields fieldsOf(const QImage& img, int compression, int quality) {
    PageFields f;
    f.width = uint32_t(img.width());
    f.height = uint32_t(img.height());
    f.compression = compression;
    f.quality = quality;
    switch (writer::pixelKind(img)) {
    case PixelKind::Mono:
        f.bits = 1;
        f.photometric = PHOTOMETRIC_MINISWHITE; // the fax convention: 1 = black
        break;
    case PixelKind::Gray8:
        break;
    case PixelKind::Gray16:
        f.bits = 16;
        break;
    case PixelKind::Rgb8:
        f.samples = 3;
        f.photometric = compression == COMPRESSION_JPEG ? PHOTOMETRIC_YCBCR : PHOTOMETRIC_RGB;
        break;
    case PixelKind::Rgb16:
        f.bits = 16;
        f.samples = 3;
        f.photometric = PHOTOMETRIC_RGB;
        break;
    }
    f.predictor =
        (compression == COMPRESSION_LZW || compression == COMPRESSION_ADOBE_DEFLATE) && f.bits >= 8;
    if (img.dotsPerMeterX() > 0 && img.dotsPerMeterY() > 0) {
        f.xResolution = float(img.dotsPerMeterX() * 0.0254);
        f.yResolution = float(img.dotsPerMeterY() * 0.0254);
    }
    return f;
}

// Every field but RowsPerStrip, which depends on the strip size these fields give.
void setFields(TIFF* t, const PageFields& f) {
    TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, f.width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, f.height);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, f.bits);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, f.samples);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(t, TIFFTAG_COMPRESSION, f.compression);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, f.photometric);
    if (f.compression == COMPRESSION_JPEG) {
        TIFFSetField(t, TIFFTAG_JPEGQUALITY, f.quality);
        // Not stored in the file, yet it sets the strip size libtiff sizes the strip byte
        // counts' field type by: a copied page must set it too.
        if (f.photometric == PHOTOMETRIC_YCBCR)
            TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    }
    if (f.predictor)
        TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    if (f.xResolution > 0 && f.yResolution > 0) {
        TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        TIFFSetField(t, TIFFTAG_XRESOLUTION, f.xResolution);
        TIFFSetField(t, TIFFTAG_YRESOLUTION, f.yResolution);
    }
}

void writePage(TIFF* t, const QImage& source, int requested, int quality, const QString& path,
               Messages& messages) {
    const int compression = effectiveCompression(source, requested);
    QImage img =
        compression == COMPRESSION_JPEG ? writer::eightBit(source) : writer::normalized(source);
    const PixelKind kind = writer::pixelKind(img);
    const PageFields fields = fieldsOf(img, compression, quality);
    setFields(t, fields);
    const uint32_t width = fields.width;
    const uint32_t height = fields.height;
    const tmsize_t lineSize = TIFFScanlineSize(t);
    if (lineSize <= 0)
        throwTiffWriteError(path, messages);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rowsPerStrip(uint64_t(lineSize), height, compression));

    // Every row goes through a scratch copy: the predictor and the 1-bit inversion work in
    // place, and the caller's image must stay as it was.
    std::vector<unsigned char> line(size_t(lineSize) + 8, 0);
    const bool invert = kind == PixelKind::Mono && writer::zeroIsBlack(img);
    for (uint32_t y = 0; y < height; ++y) {
        const uchar* in = img.constScanLine(int(y));
        if (kind == PixelKind::Rgb16) {
            auto* out = reinterpret_cast<uint16_t*>(line.data());
            const auto* px = reinterpret_cast<const uint16_t*>(in);
            for (uint32_t x = 0; x < width; ++x) {
                out[3 * x] = px[4 * x];
                out[3 * x + 1] = px[4 * x + 1];
                out[3 * x + 2] = px[4 * x + 2];
            }
        } else {
            std::memcpy(line.data(), in, size_t(lineSize));
            if (invert)
                for (tmsize_t i = 0; i < lineSize; ++i)
                    line[size_t(i)] = static_cast<unsigned char>(~line[size_t(i)]);
        }
        if (TIFFWriteScanline(t, line.data(), y, 0) < 0)
            throwTiffWriteError(path, messages);
    }
    if (!TIFFWriteDirectory(t))
        throwTiffWriteError(path, messages);
}

uint32_t readCount(const unsigned char* p, int size, bool bigEndian) {
    uint64_t v = 0;
    for (int i = 0; i < size; ++i)
        v |= uint64_t(p[bigEndian ? size - 1 - i : i]) << (8 * i);
    return uint32_t(std::min<uint64_t>(v, 0xFFFFFFFFull));
}

} // namespace

int effectiveCompression(const QImage& image, int requested) {
    return effectiveCompression(writer::pixelKind(image) == PixelKind::Mono, requested);
}

int effectiveCompression(bool mono, int requested) {
    switch (requested) {
    case 0:
        return mono ? COMPRESSION_CCITTFAX4 : COMPRESSION_LZW;
    case COMPRESSION_NONE:
    case COMPRESSION_LZW:
    case COMPRESSION_ADOBE_DEFLATE:
        return requested;
    case COMPRESSION_CCITTFAX4:
        return mono ? COMPRESSION_CCITTFAX4 : COMPRESSION_LZW;
    case COMPRESSION_JPEG:
        return mono ? COMPRESSION_CCITTFAX4 : COMPRESSION_JPEG;
    default:
        throw ScanError(
            QStringLiteral("compressione TIFF %1 non supportata (0, 1, 4, 5, 7, 8)").arg(requested),
            componentError::BadValue);
    }
}

namespace {

/// The TIFF at `path` opened for reading (`mode` "r", or "rc" for its strips as they lie in the
/// file: without it libtiff cuts a single uncompressed strip into smaller ones), its library
/// messages collected in `messages` for as long as it stays open; throws ScanError when it
/// cannot be opened.
TiffPtr openForReading(const QString& path, Messages& messages, const char* mode = "r") {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        writer::throwReadError(path, systemErrorText(errno));
    TiffPtr t = openFd(fd, path, mode, &messages);
    ::close(fd);
    if (!t)
        writer::throwReadError(path, detail(messages));
    return t;
}

/// Opens the TIFF of `fd` in `mode` ("w" a new file, "a" a page more), writes `image` as one
/// page and flushes it to the descriptor; throws ScanError on failure.
void writeOnePage(int fd, const char* mode, const QImage& image, int compression, int quality,
                  const QString& path) {
    Messages messages;
    TiffPtr t = openFd(fd, path, mode, &messages);
    if (!t)
        throwTiffWriteError(path, messages);
    writePage(t.get(), image, compression, quality, path, messages);
    if (!TIFFFlush(t.get()))
        throwTiffWriteError(path, messages);
}

/// Adds the page of the one-page TIFF `pagePath` to the TIFF of `fd` by copying its encoded
/// strips: the same fields set the same way as writePage sets them, the codec's own fields
/// (JPEG tables, reference black and white) taken over, the strips written as they are.
void copyOnePage(int fd, const QString& pagePath, const QString& path) {
    Messages sourceMessages;
    const TiffPtr source = openForReading(pagePath, sourceMessages, "rc");
    TIFF* s = source.get();
    if (TIFFNumberOfDirectories(s) != 1 || TIFFIsTiled(s))
        writer::throwReadError(pagePath, QStringLiteral("non è un TIFF di una pagina a strisce"));
    PageFields f;
    uint16_t bits = 0, samples = 0, photometric = 0, compression = 0, planar = 0, predictor = 0;
    uint16_t unit = 0;
    uint32_t rows = 0;
    if (!TIFFGetField(s, TIFFTAG_IMAGEWIDTH, &f.width) ||
        !TIFFGetField(s, TIFFTAG_IMAGELENGTH, &f.height) ||
        !TIFFGetField(s, TIFFTAG_BITSPERSAMPLE, &bits) ||
        !TIFFGetField(s, TIFFTAG_SAMPLESPERPIXEL, &samples) ||
        !TIFFGetField(s, TIFFTAG_PHOTOMETRIC, &photometric) ||
        !TIFFGetField(s, TIFFTAG_COMPRESSION, &compression) ||
        !TIFFGetField(s, TIFFTAG_ROWSPERSTRIP, &rows) ||
        !TIFFGetFieldDefaulted(s, TIFFTAG_PLANARCONFIG, &planar) || planar != PLANARCONFIG_CONTIG)
        writer::throwReadError(pagePath,
                               QStringLiteral("non è una pagina scritta da questo programma"));
    f.bits = bits;
    f.samples = samples;
    f.photometric = photometric;
    f.compression = compression;
    f.predictor = (compression == COMPRESSION_LZW || compression == COMPRESSION_ADOBE_DEFLATE) &&
                  TIFFGetField(s, TIFFTAG_PREDICTOR, &predictor) == 1 &&
                  predictor == PREDICTOR_HORIZONTAL;
    if (TIFFGetField(s, TIFFTAG_RESOLUTIONUNIT, &unit) && unit == RESUNIT_INCH) {
        TIFFGetField(s, TIFFTAG_XRESOLUTION, &f.xResolution);
        TIFFGetField(s, TIFFTAG_YRESOLUTION, &f.yResolution);
    }

    Messages messages;
    TiffPtr target = openFd(fd, path, "a", &messages);
    if (!target)
        throwTiffWriteError(path, messages);
    TIFF* t = target.get();
    setFields(t, f);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rows);
    uint32_t tableSize = 0;
    void* tables = nullptr;
    if (compression == COMPRESSION_JPEG && TIFFGetField(s, TIFFTAG_JPEGTABLES, &tableSize, &tables))
        TIFFSetField(t, TIFFTAG_JPEGTABLES, tableSize, tables);
    float* reference = nullptr;
    if (TIFFGetField(s, TIFFTAG_REFERENCEBLACKWHITE, &reference))
        TIFFSetField(t, TIFFTAG_REFERENCEBLACKWHITE, reference);

    std::vector<unsigned char> strip;
    for (uint32_t i = 0; i < TIFFNumberOfStrips(s); ++i) {
        const tmsize_t size = TIFFRawStripSize(s, i);
        if (size <= 0)
            writer::throwReadError(pagePath, detail(sourceMessages));
        strip.resize(size_t(size));
        if (TIFFReadRawStrip(s, i, strip.data(), size) != size)
            writer::throwReadError(pagePath, detail(sourceMessages));
        if (TIFFWriteRawStrip(t, i, strip.data(), size) != size)
            throwTiffWriteError(path, messages);
    }
    if (!TIFFWriteDirectory(t) || !TIFFFlush(t))
        throwTiffWriteError(path, messages);
}

/// Runs `writeOne` on the open TIFF at `path` to add a page, and puts the file back to its
/// earlier bytes when that fails. False, with nothing done, when there is no file at `path`.
bool appendToFile(const QString& path, const std::function<void(int fd)>& writeOne) {
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return false;
        if (errno == ELOOP)
            writer::throwWriteError(
                path,
                QStringLiteral("non si aggiungono pagine attraverso un collegamento simbolico"));
        writer::throwWriteError(
            path, QStringLiteral("impossibile aprire il TIFF per aggiungere una pagina"), errno);
    }
    struct Guard {
        int fd;
        ~Guard() { ::close(fd); }
    } guard{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        writer::throwWriteError(path, QStringLiteral("la destinazione non è un file normale"));
    const off_t originalSize = st.st_size;

    // Where libtiff will link the new page: the next-directory field of the last directory.
    // Its bytes are saved so that a failed append can be undone exactly.
    Messages messages;
    off_t linkAt = 0;
    unsigned char linkBytes[8] = {};
    int linkSize = 4;
    {
        TiffPtr r = openFd(fd, path, "r", &messages);
        if (!r)
            writer::throwWriteError(path, QStringLiteral("non è un file TIFF leggibile: ") +
                                              detail(messages));
        const tdir_t count = TIFFNumberOfDirectories(r.get());
        if (count == 0 || !TIFFSetDirectory(r.get(), tdir_t(count - 1)))
            writer::throwWriteError(path, QStringLiteral("il TIFF non ha pagine leggibili"));
        const uint64_t dirAt = TIFFCurrentDirOffset(r.get());
        const bool big = TIFFIsBigTIFF(r.get());
        const bool bigEndian = TIFFIsBigEndian(r.get());
        const int countSize = big ? 8 : 2;
        const int entrySize = big ? 20 : 12;
        linkSize = big ? 8 : 4;
        unsigned char raw[8];
        if (::pread(fd, raw, size_t(countSize), off_t(dirAt)) != countSize)
            writer::throwWriteError(path, QStringLiteral("l'indice del TIFF è troncato"));
        const uint64_t entries = readCount(raw, countSize, bigEndian);
        linkAt = off_t(dirAt + uint64_t(countSize) + entries * uint64_t(entrySize));
        if (linkAt + linkSize > originalSize ||
            ::pread(fd, linkBytes, size_t(linkSize), linkAt) != linkSize)
            writer::throwWriteError(path, QStringLiteral("l'indice del TIFF è troncato"));
    }

    try {
        writeOne(fd);
        if (::fdatasync(fd) != 0)
            writer::throwWriteError(path, QStringLiteral("impossibile scrivere il file sul disco"),
                                    errno);
    } catch (...) {
        // Undo: drop everything past the old end and restore the old link field. Both writes
        // stay inside the old size, so a full disk or a file size limit cannot stop them.
        const bool restored = ::ftruncate(fd, originalSize) == 0 &&
                              ::pwrite(fd, linkBytes, size_t(linkSize), linkAt) == linkSize;
        ::fdatasync(fd);
        if (!restored)
            writer::throwWriteError(path,
                                    QStringLiteral("aggiunta della pagina non riuscita e il file "
                                                   "non è stato ripristinato"),
                                    errno);
        throw;
    }
    return true;
}

} // namespace

void writeFile(const QImage& image, const QString& path, int compression, int quality) {
    if (image.isNull())
        writer::throwWriteError(path, QStringLiteral("nessuna immagine da scrivere"));
    effectiveCompression(image, compression); // refuse a bad value before touching the disk
    writer::TempFile file(path);
    writeOnePage(file.fd(), "w", image, compression, quality, path);
    file.commit();
}

void appendPage(const QImage& image, const QString& path, int compression, int quality) {
    if (image.isNull())
        writer::throwWriteError(path, QStringLiteral("nessuna immagine da scrivere"));
    effectiveCompression(image, compression);
    const bool appended = appendToFile(
        path, [&](int fd) { writeOnePage(fd, "a", image, compression, quality, path); });
    if (!appended)
        writeFile(image, path, compression, quality);
}

void appendEncodedPage(const QString& pagePath, const QString& path) {
    if (!appendToFile(path, [&](int fd) { copyOnePage(fd, pagePath, path); }))
        writer::copyFile(pagePath, path);
}

int pageCount(const QString& path) {
    Messages messages;
    return int(TIFFNumberOfDirectories(openForReading(path, messages).get()));
}

QImage readPage(const QString& path, int index) {
    Messages messages;
    const TiffPtr t = openForReading(path, messages);
    TIFF* tif = t.get();
    if (index < 0 || !TIFFSetDirectory(tif, tdir_t(index)))
        writer::throwReadError(path, QStringLiteral("il TIFF non ha la pagina %1").arg(index + 1));

    uint32_t width = 0, height = 0;
    uint16_t bits = 1, samples = 1, photometric = PHOTOMETRIC_MINISWHITE,
             planar = PLANARCONFIG_CONTIG, compression = COMPRESSION_NONE;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    if (width == 0 || height == 0 || width > 1000000 || height > 1000000)
        writer::throwReadError(path,
                               QStringLiteral("dimensioni dell'immagine TIFF non plausibili"));

    QImage::Format format = QImage::Format_Invalid;
    const bool strips = !TIFFIsTiled(tif) && planar == PLANARCONFIG_CONTIG;
    const bool grey =
        photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE;
    if (strips && samples == 1 && grey) {
        format = bits == 1    ? QImage::Format_Mono
                 : bits == 8  ? QImage::Format_Grayscale8
                 : bits == 16 ? QImage::Format_Grayscale16
                              : QImage::Format_Invalid;
    } else if (strips && samples == 3 && bits == 8 &&
               (photometric == PHOTOMETRIC_RGB ||
                (photometric == PHOTOMETRIC_YCBCR && compression == COMPRESSION_JPEG))) {
        if (photometric == PHOTOMETRIC_YCBCR)
            TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        format = QImage::Format_RGB888;
    } else if (strips && samples == 3 && bits == 16 && photometric == PHOTOMETRIC_RGB) {
        format = QImage::Format_RGBX64;
    }

    QImage img;
    if (format != QImage::Format_Invalid) {
        img = QImage(int(width), int(height), format);
        if (img.isNull())
            writer::throwReadError(path, QStringLiteral("memoria insufficiente per l'immagine"));
        const tmsize_t lineSize = TIFFScanlineSize(tif);
        std::vector<unsigned char> line(size_t(std::max<tmsize_t>(lineSize, 1)));
        for (uint32_t y = 0; y < height; ++y) {
            if (TIFFReadScanline(tif, line.data(), y, 0) < 0)
                writer::throwReadError(path, detail(messages));
            uchar* out = img.scanLine(int(y));
            if (format == QImage::Format_RGBX64) {
                const auto* in = reinterpret_cast<const uint16_t*>(line.data());
                auto* px = reinterpret_cast<uint16_t*>(out);
                for (uint32_t x = 0; x < width; ++x) {
                    px[4 * x] = in[3 * x];
                    px[4 * x + 1] = in[3 * x + 1];
                    px[4 * x + 2] = in[3 * x + 2];
                    px[4 * x + 3] = 0xFFFF;
                }
            } else {
                std::memcpy(out, line.data(),
                            size_t(std::min<tmsize_t>(lineSize, img.bytesPerLine())));
                if (photometric == PHOTOMETRIC_MINISWHITE && bits == 8)
                    for (uint32_t x = 0; x < width; ++x)
                        out[x] = uchar(255 - out[x]);
                if (photometric == PHOTOMETRIC_MINISWHITE && bits == 16) {
                    auto* px = reinterpret_cast<uint16_t*>(out);
                    for (uint32_t x = 0; x < width; ++x)
                        px[x] = uint16_t(0xFFFF - px[x]);
                }
            }
        }
        if (format == QImage::Format_Mono) {
            if (photometric == PHOTOMETRIC_MINISWHITE)
                img.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
            else
                img.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
        }
    } else {
        // Any other layout (tiles, palettes, planes, CMYK...): libtiff's RGBA path.
        QImage rgba(int(width), int(height), QImage::Format_RGBA8888);
        if (rgba.isNull())
            writer::throwReadError(path, QStringLiteral("memoria insufficiente per l'immagine"));
        if (!TIFFReadRGBAImageOriented(tif, width, height, reinterpret_cast<uint32_t*>(rgba.bits()),
                                       ORIENTATION_TOPLEFT, 0))
            writer::throwReadError(path, detail(messages));
        img = rgba.convertToFormat(QImage::Format_RGB888);
    }

    float xres = 0, yres = 0;
    uint16_t unit = RESUNIT_INCH;
    if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xres) &&
        TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yres) && xres > 0 && yres > 0) {
        TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
        const double perMetre = unit == RESUNIT_CENTIMETER ? 100.0
                                : unit == RESUNIT_INCH     ? 1 / 0.0254
                                                           : 0;
        if (perMetre > 0) {
            img.setDotsPerMeterX(int(xres * perMetre + 0.5));
            img.setDotsPerMeterY(int(yres * perMetre + 0.5));
        }
    }
    return img;
}

namespace {
// An in-memory file for libtiff, so the G4 data for a PDF page never touches the disk.
struct MemoryFile {
    std::vector<unsigned char> data;
    uint64_t pos = 0;
};

tmsize_t memRead(thandle_t h, void* buf, tmsize_t size) {
    auto* f = static_cast<MemoryFile*>(h);
    const uint64_t n = std::min<uint64_t>(
        uint64_t(size), f->data.size() - std::min<uint64_t>(f->pos, f->data.size()));
    std::memcpy(buf, f->data.data() + f->pos, n);
    f->pos += n;
    return tmsize_t(n);
}
tmsize_t memWrite(thandle_t h, void* buf, tmsize_t size) {
    auto* f = static_cast<MemoryFile*>(h);
    if (f->pos + uint64_t(size) > f->data.size())
        f->data.resize(f->pos + uint64_t(size));
    std::memcpy(f->data.data() + f->pos, buf, size_t(size));
    f->pos += uint64_t(size);
    return size;
}
toff_t memSeek(thandle_t h, toff_t off, int whence) {
    auto* f = static_cast<MemoryFile*>(h);
    int64_t base = whence == SEEK_CUR   ? int64_t(f->pos)
                   : whence == SEEK_END ? int64_t(f->data.size())
                                        : 0;
    const int64_t target = base + int64_t(off);
    if (target < 0)
        return toff_t(-1);
    f->pos = uint64_t(target);
    return f->pos;
}
int memClose(thandle_t) {
    return 0;
}
toff_t memSize(thandle_t h) {
    return static_cast<MemoryFile*>(h)->data.size();
}
int memMap(thandle_t, void**, toff_t*) {
    return 0;
}
void memUnmap(thandle_t, void*, toff_t) {}

TiffPtr openMemory(MemoryFile& file, const char* mode, Messages* messages) {
    auto opts = options(messages);
    return TiffPtr(TIFFClientOpenExt("memory", mode, &file, memRead, memWrite, memSeek, memClose,
                                     memSize, memMap, memUnmap, opts.get()));
}
} // namespace

QByteArray g4Strip(const QImage& mono) {
    if (writer::pixelKind(mono) != PixelKind::Mono)
        throw ScanError(QStringLiteral("la codifica G4 vuole un'immagine in bianco e nero"),
                        componentError::WriteFailed);
    const QString where = QStringLiteral("codifica G4");
    MemoryFile file;
    Messages messages;
    {
        TiffPtr w = openMemory(file, "w", &messages);
        if (!w)
            writer::throwWriteError(where, detail(messages));
        writePage(w.get(), mono, COMPRESSION_CCITTFAX4, 0, where, messages);
    }
    file.pos = 0;
    TiffPtr r = openMemory(file, "rm", &messages);
    if (!r || TIFFNumberOfStrips(r.get()) != 1)
        writer::throwWriteError(where, detail(messages));
    const tmsize_t size = TIFFRawStripSize(r.get(), 0);
    if (size <= 0)
        writer::throwWriteError(where, detail(messages));
    QByteArray bytes(qsizetype(size), Qt::Uninitialized);
    if (TIFFReadRawStrip(r.get(), 0, bytes.data(), size) != size)
        writer::throwWriteError(where, detail(messages));
    return bytes;
}

QByteArray jpegStream(const QImage& image8, int quality) {
    const QString where = QStringLiteral("codifica JPEG");
    const bool grey = image8.format() == QImage::Format_Grayscale8;
    if (!grey && image8.format() != QImage::Format_RGB888)
        throw ScanError(
            QStringLiteral("la codifica JPEG vuole un'immagine a livelli di grigio o a colori"),
            componentError::WriteFailed);
    MemoryFile file;
    Messages messages;
    {
        TiffPtr t = openMemory(file, "w", &messages);
        if (!t)
            writer::throwWriteError(where, detail(messages));
        TIFF* tif = t.get();
        const uint32_t width = uint32_t(image8.width());
        const uint32_t height = uint32_t(image8.height());
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, grey ? 1 : 3);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_JPEG);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, grey ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_YCBCR);
        TIFFSetField(tif, TIFFTAG_JPEGQUALITY, quality);
        // Standard Huffman tables in the JPEGTABLES tag: no second, optimising pass over
        // the page (it costs a fifth of the time for a few per cent of bytes).
        TIFFSetField(tif, TIFFTAG_JPEGTABLESMODE, JPEGTABLESMODE_QUANT | JPEGTABLESMODE_HUFF);
        if (!grey)
            TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, height);
        const tmsize_t lineSize = TIFFScanlineSize(tif);
        std::vector<unsigned char> line(size_t(std::max<tmsize_t>(lineSize, 1)));
        for (uint32_t y = 0; y < height; ++y) {
            // libjpeg may read the row it is given in place; a scratch copy keeps the
            // caller's image const for real.
            std::memcpy(line.data(), image8.constScanLine(int(y)), size_t(lineSize));
            if (TIFFWriteScanline(tif, line.data(), y, 0) < 0)
                writer::throwWriteError(where, detail(messages));
        }
        if (!TIFFWriteDirectory(tif))
            writer::throwWriteError(where, detail(messages));
    }
    file.pos = 0;
    TiffPtr r = openMemory(file, "rm", &messages);
    if (!r || TIFFNumberOfStrips(r.get()) != 1)
        writer::throwWriteError(where, detail(messages));
    const tmsize_t size = TIFFRawStripSize(r.get(), 0);
    if (size < 4)
        writer::throwWriteError(where, detail(messages));
    // The strip is an abbreviated stream (SOI, frame, scan, EOI); its tables (SOI, DQT, DHT,
    // EOI) sit in the JPEGTABLES tag. Tables spliced in after the strip's SOI make the
    // self-contained stream that a JPEG file or a DCTDecode image needs.
    uint32_t tableSize = 0;
    const unsigned char* tables = nullptr;
    if (!TIFFGetField(r.get(), TIFFTAG_JPEGTABLES, &tableSize, &tables) || tableSize < 4 ||
        tables[0] != 0xFF || tables[1] != 0xD8 || tables[tableSize - 2] != 0xFF ||
        tables[tableSize - 1] != 0xD9)
        writer::throwWriteError(where,
                                QStringLiteral("il codificatore non ha dato le tabelle JPEG"));
    QByteArray strip(qsizetype(size), Qt::Uninitialized);
    if (TIFFReadRawStrip(r.get(), 0, strip.data(), size) != size || uchar(strip[0]) != 0xFF ||
        uchar(strip[1]) != 0xD8)
        writer::throwWriteError(where, QStringLiteral("il codificatore non ha dato i dati JPEG"));
    QByteArray bytes;
    bytes.reserve(qsizetype(size) + qsizetype(tableSize));
    bytes.append(strip.constData(), 2);
    bytes.append(reinterpret_cast<const char*>(tables) + 2, qsizetype(tableSize) - 4);
    bytes.append(strip.constData() + 2, strip.size() - 2);
    return bytes;
}

namespace {

// The image description that marks a PDF image file's JPEG data with its quality.
const QString pdfImageNote = QStringLiteral("PDF image, JPEG quality ");

uint16_t bigEndian16(const QByteArray& data, qsizetype at) {
    return uint16_t((uchar(data[at]) << 8) | uchar(data[at + 1]));
}

// The frame header of a JPEG stream agrees with what the file says of the image: a stream
// that does not would make a broken PDF image, as a PDF reader takes the sizes from us.
bool jpegFrameMatches(const QByteArray& data, int width, int height, int components) {
    if (data.size() < 4 || uchar(data[0]) != 0xFF || uchar(data[1]) != 0xD8)
        return false;
    qsizetype at = 2;
    while (at + 4 <= data.size()) {
        if (uchar(data[at]) != 0xFF)
            return false;
        const uchar marker = uchar(data[at + 1]);
        const uint16_t length = bigEndian16(data, at + 2);
        if (length < 2 || at + 2 + length > data.size())
            return false;
        if (marker == 0xC0 || marker == 0xC1 || marker == 0xC2) { // baseline, extended, progressive
            return length >= 8 && bigEndian16(data, at + 5) == height &&
                   bigEndian16(data, at + 7) == width && uchar(data[at + 9]) == components;
        }
        at += 2 + length;
    }
    return false;
}

} // namespace

PdfImage pdfImage(const QImage& source, int quality) {
    PdfImage image;
    image.width = source.width();
    image.height = source.height();
    image.dotsPerMeterX = source.dotsPerMeterX();
    image.dotsPerMeterY = source.dotsPerMeterY();
    if (writer::pixelKind(source) == PixelKind::Mono) {
        image.coding = PdfImage::Coding::G4;
        image.data = g4Strip(source);
        return image;
    }
    const QImage img = writer::eightBit(source);
    image.coding = PdfImage::Coding::Jpeg;
    image.grey = img.format() == QImage::Format_Grayscale8;
    image.quality = quality;
    image.data = writer::encodeJpeg(img, quality, QStringLiteral("PDF page"));
    return image;
}

void writePdfImage(const PdfImage& image, const QString& path) {
    if (image.data.isEmpty() || image.width <= 0 || image.height <= 0)
        writer::throwWriteError(path, QStringLiteral("nessuna immagine da scrivere"));
    writer::TempFile file(path);
    {
        Messages messages;
        TiffPtr t = openFd(file.fd(), path, "w", &messages);
        if (!t)
            throwTiffWriteError(path, messages);
        TIFF* tif = t.get();
        const bool g4 = image.coding == PdfImage::Coding::G4;
        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(image.width));
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(image.height));
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, g4 ? 1 : 8);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, g4 || image.grey ? 1 : 3);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, g4 ? COMPRESSION_CCITTFAX4 : COMPRESSION_JPEG);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC,
                     g4           ? PHOTOMETRIC_MINISWHITE
                     : image.grey ? PHOTOMETRIC_MINISBLACK
                                  : PHOTOMETRIC_YCBCR);
        if (!g4) {
            TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION,
                         (pdfImageNote + QString::number(image.quality)).toLatin1().constData());
            if (!image.grey) {
                // What the stream holds (4:2:0, full-range YCbCr), for readers of the file.
                TIFFSetField(tif, TIFFTAG_YCBCRSUBSAMPLING, 2, 2);
                float reference[6] = {0, 255, 128, 255, 128, 255};
                TIFFSetField(tif, TIFFTAG_REFERENCEBLACKWHITE, reference);
            }
        }
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, uint32_t(image.height));
        if (image.dotsPerMeterX > 0 && image.dotsPerMeterY > 0) {
            TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
            TIFFSetField(tif, TIFFTAG_XRESOLUTION, float(image.dotsPerMeterX * 0.0254));
            TIFFSetField(tif, TIFFTAG_YRESOLUTION, float(image.dotsPerMeterY * 0.0254));
        }
        const tmsize_t size = tmsize_t(image.data.size());
        // The data is written as it is: libtiff's encoder never sees it.
        if (TIFFWriteRawStrip(tif, 0, const_cast<char*>(image.data.constData()), size) != size ||
            !TIFFWriteDirectory(tif) || !TIFFFlush(tif))
            throwTiffWriteError(path, messages);
    }
    file.commit();
}

std::optional<PdfImage> readPdfImage(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    Messages messages;
    TiffPtr t = openFd(fd, path, "r", &messages);
    ::close(fd);
    if (!t)
        return std::nullopt;
    TIFF* tif = t.get();
    uint32_t width = 0, height = 0;
    uint16_t bits = 0, samples = 0, photometric = 0, compression = 0, planar = 0, fill = 0;
    if (TIFFNumberOfDirectories(tif) != 1 || TIFFIsTiled(tif) || TIFFNumberOfStrips(tif) != 1 ||
        !TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) ||
        !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height) ||
        !TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits) ||
        !TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples) ||
        !TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) ||
        !TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression) ||
        !TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar) ||
        !TIFFGetFieldDefaulted(tif, TIFFTAG_FILLORDER, &fill) || planar != PLANARCONFIG_CONTIG ||
        fill != FILLORDER_MSB2LSB || width == 0 || height == 0 || width > 1000000 ||
        height > 1000000)
        return std::nullopt;

    PdfImage image;
    image.width = int(width);
    image.height = int(height);
    if (compression == COMPRESSION_CCITTFAX4) {
        uint32_t options = 0;
        TIFFGetFieldDefaulted(tif, TIFFTAG_GROUP4OPTIONS, &options);
        if (bits != 1 || samples != 1 || photometric != PHOTOMETRIC_MINISWHITE || options != 0)
            return std::nullopt;
        image.coding = PdfImage::Coding::G4;
    } else if (compression == COMPRESSION_JPEG) {
        const bool grey = samples == 1 && photometric == PHOTOMETRIC_MINISBLACK;
        const bool colour = samples == 3 && photometric == PHOTOMETRIC_YCBCR;
        char* note = nullptr;
        uint32_t tableSize = 0;
        void* tables = nullptr;
        // Abbreviated strips need the file's tables: not a stream a PDF can carry alone.
        if (bits != 8 || !(grey || colour) ||
            TIFFGetField(tif, TIFFTAG_JPEGTABLES, &tableSize, &tables) ||
            !TIFFGetField(tif, TIFFTAG_IMAGEDESCRIPTION, &note))
            return std::nullopt;
        const QString text = QString::fromLatin1(note);
        bool ok = false;
        image.quality =
            text.startsWith(pdfImageNote) ? text.mid(pdfImageNote.size()).toInt(&ok) : 0;
        if (!ok || image.quality < 1 || image.quality > 100)
            return std::nullopt;
        image.coding = PdfImage::Coding::Jpeg;
        image.grey = grey;
    } else {
        return std::nullopt;
    }
    float xres = 0, yres = 0;
    uint16_t unit = 0;
    if (TIFFGetField(tif, TIFFTAG_RESOLUTIONUNIT, &unit) && unit == RESUNIT_INCH &&
        TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xres) &&
        TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yres)) {
        image.dotsPerMeterX = int(xres / 0.0254 + 0.5);
        image.dotsPerMeterY = int(yres / 0.0254 + 0.5);
    }
    const tmsize_t size = TIFFRawStripSize(tif, 0);
    if (size <= 0 || size > (tmsize_t(1) << 30))
        return std::nullopt;
    image.data = QByteArray(qsizetype(size), Qt::Uninitialized);
    if (TIFFReadRawStrip(tif, 0, image.data.data(), size) != size)
        return std::nullopt;
    if (image.coding == PdfImage::Coding::Jpeg &&
        !jpegFrameMatches(image.data, image.width, image.height, image.grey ? 1 : 3))
        return std::nullopt;
    return image;
}

} // namespace tiffpages
