#include "writers/WriterSupport.h"

#include "common/SystemErrorText.h"
#include "component_base/ComponentErrors.h"
#include "component_base/ScanError.h"
#include "writers/TemporaryNames.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <cmath>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace writer {

std::string pdfNumber(double v, int decimals) {
    const double scale = std::pow(10.0, decimals);
    QString text = QString::number(std::round(v * scale) / scale, 'f', decimals);
    while (text.endsWith(QLatin1Char('0')))
        text.chop(1);
    if (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    if (text == QLatin1String("-0"))
        text = QStringLiteral("0");
    return text.toStdString();
}

PixelKind pixelKind(const QImage& image) {
    switch (image.format()) {
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
        return PixelKind::Mono;
    case QImage::Format_Grayscale8:
    case QImage::Format_Alpha8:
        return PixelKind::Gray8;
    case QImage::Format_Grayscale16:
        return PixelKind::Gray16;
    case QImage::Format_RGBX64:
    case QImage::Format_RGBA64:
    case QImage::Format_RGBA64_Premultiplied:
        return PixelKind::Rgb16;
    case QImage::Format_Indexed8:
        return image.allGray() ? PixelKind::Gray8 : PixelKind::Rgb8;
    default:
        return PixelKind::Rgb8;
    }
}

namespace {
QImage::Format formatOf(PixelKind kind) {
    switch (kind) {
    case PixelKind::Mono:
        return QImage::Format_Mono;
    case PixelKind::Gray8:
        return QImage::Format_Grayscale8;
    case PixelKind::Gray16:
        return QImage::Format_Grayscale16;
    case PixelKind::Rgb16:
        return QImage::Format_RGBX64;
    case PixelKind::Rgb8:
        break;
    }
    return QImage::Format_RGB888;
}
} // namespace

QImage normalized(const QImage& image) {
    const QImage::Format wanted = formatOf(pixelKind(image));
    if (image.format() == wanted)
        return image;
    QImage out = image.convertToFormat(wanted);
    if (out.isNull() && !image.isNull())
        throw ScanError(QStringLiteral("memoria insufficiente per convertire l'immagine"),
                        componentError::WriteFailed);
    return out;
}

QImage eightBit(const QImage& image) {
    QImage img = normalized(image);
    QImage out = img;
    if (img.format() == QImage::Format_Grayscale16)
        out = img.convertToFormat(QImage::Format_Grayscale8);
    else if (img.format() == QImage::Format_RGBX64)
        out = img.convertToFormat(QImage::Format_RGB888);
    if (out.isNull() && !img.isNull())
        throw ScanError(QStringLiteral("memoria insufficiente per convertire l'immagine"),
                        componentError::WriteFailed);
    return out;
}

bool zeroIsBlack(const QImage& mono) {
    if (mono.colorCount() < 2)
        return true; // Qt's own default table for 1-bit images is black, white
    return qGray(mono.color(0)) < qGray(mono.color(1));
}

void throwWriteError(const QString& path, const QString& what, int err) {
    throw ScanError(QStringLiteral("%1: %2: %3").arg(path, what, systemErrorText(err)),
                    componentError::writeFailure(err));
}

void throwWriteError(const QString& path, const QString& what) {
    throw ScanError(QStringLiteral("%1: %2").arg(path, what), componentError::WriteFailed);
}

void throwReadError(const QString& path, const QString& what) {
    throw ScanError(QStringLiteral("%1: %2").arg(path, what), componentError::ReadFailed);
}

void writeAll(int fd, const void* data, std::size_t size, const QString& path) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throwWriteError(path, QStringLiteral("scrittura non riuscita"), errno);
        }
        if (n == 0)
            throwWriteError(path, QStringLiteral("scrittura non riuscita"), ENOSPC);
        p += n;
        size -= static_cast<std::size_t>(n);
    }
}

void checkReplaceableTarget(const QString& path) {
    struct stat st {};
    const QByteArray name = QFile::encodeName(path);
    if (::lstat(name.constData(), &st) != 0) {
        if (errno == ENOENT)
            return;
        throwWriteError(path, QStringLiteral("impossibile esaminare la destinazione"), errno);
    }
    if (S_ISDIR(st.st_mode))
        throwWriteError(path, QStringLiteral("esiste una cartella con questo nome"));
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        throwWriteError(path, QStringLiteral("la destinazione non è un file normale"));
}

TempFile::TempFile(const QString& target) : m_target(target) {
    if (target.isEmpty())
        throwWriteError(target, QStringLiteral("nessun nome di file"));
    checkReplaceableTarget(target);
    const QFileInfo info(target);
    const QString folder = info.absolutePath();
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QString candidate =
            folder + QLatin1Char('/') +
            tempnames::partName(info.fileName(), QRandomGenerator::global()->generate());
        const QByteArray name = QFile::encodeName(candidate);
        const int fd =
            ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            m_fd = fd;
            m_tempPath = name;
            return;
        }
        if (errno != EEXIST)
            throwWriteError(target, QStringLiteral("impossibile creare un file in ") + folder,
                            errno);
    }
    throwWriteError(target, QStringLiteral("impossibile creare un file temporaneo"), EEXIST);
}

TempFile::~TempFile() {
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_committed && !m_tempPath.isEmpty())
        ::unlink(m_tempPath.constData());
}

void TempFile::commit(Flush flush) {
    // Without the data on disk before the rename, a crash could leave the final name
    // pointing at an empty file: exactly the "looks complete" case this class exists for.
    if (flush == Flush::ToDisk && ::fdatasync(m_fd) != 0 && errno != EINVAL)
        throwWriteError(m_target, QStringLiteral("impossibile scrivere il file sul disco"), errno);
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0)
        throwWriteError(m_target, QStringLiteral("impossibile chiudere il file"), errno);
    const QByteArray target = QFile::encodeName(m_target);
    if (::rename(m_tempPath.constData(), target.constData()) != 0)
        throwWriteError(m_target, QStringLiteral("impossibile rinominare il file completato"),
                        errno);
    m_committed = true;
}

void copyFile(const QString& from, const QString& target) {
    const int in = ::open(QFile::encodeName(from).constData(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        throwReadError(from, systemErrorText(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{in};
    TempFile file(target);
    std::vector<char> chunk(1 << 20);
    for (;;) {
        const ssize_t n = ::read(in, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throwReadError(from, systemErrorText(errno));
        if (n == 0)
            break;
        writeAll(file.fd(), chunk.data(), size_t(n), target);
    }
    file.commit();
}

void moveFile(const QString& from, const QString& target) {
    checkReplaceableTarget(target);
    const QByteArray source = QFile::encodeName(from);
    if (::rename(source.constData(), QFile::encodeName(target).constData()) == 0)
        return;
    if (errno != EXDEV)
        throwWriteError(
            target, QStringLiteral("impossibile mettere al suo posto il file completato"), errno);
    copyFile(from, target);
    ::unlink(source.constData());
}

// ---- BMP ----

namespace {
constexpr int fileHeaderSize = 14;
constexpr int infoHeaderSize = 40;

void put16(unsigned char* p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}
void put32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<unsigned char>(v >> (8 * i));
}
uint16_t get16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t get32(const unsigned char* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

/// One row between a BMP file and an image line: 24-bit rows are BGR in the file and RGB in
/// the image (the swap goes both ways); other rows are copied as they are, up to the shorter.
void copyBmpRow(unsigned char* out, const unsigned char* in, int bits, uint64_t width,
                uint64_t rowBytes, uint64_t lineBytes) {
    if (bits == 24) {
        for (uint64_t x = 0; x < width; ++x) {
            out[3 * x] = in[3 * x + 2];
            out[3 * x + 1] = in[3 * x + 1];
            out[3 * x + 2] = in[3 * x];
        }
    } else {
        std::memcpy(out, in, std::min(rowBytes, lineBytes));
    }
}
} // namespace

void writeBmp(int fd, const QImage& image, const QString& path) {
    const QImage img = eightBit(image);
    const int bits = img.format() == QImage::Format_Mono         ? 1
                     : img.format() == QImage::Format_Grayscale8 ? 8
                                                                 : 24;
    const uint64_t width = uint64_t(img.width());
    const uint64_t height = uint64_t(img.height());
    const uint64_t rowBytes = ((width * bits + 31) / 32) * 4;
    const uint32_t paletteEntries = bits == 24 ? 0 : (1u << bits);
    const uint64_t offset = fileHeaderSize + infoHeaderSize + paletteEntries * 4;
    const uint64_t fileSize = offset + rowBytes * height;
    if (fileSize > 0xFFFFFFFFull)
        throwWriteError(path, QStringLiteral("immagine troppo grande per un file BMP"));

    std::vector<unsigned char> head(offset, 0);
    head[0] = 'B';
    head[1] = 'M';
    put32(&head[2], uint32_t(fileSize));
    put32(&head[10], uint32_t(offset));
    unsigned char* info = &head[fileHeaderSize];
    put32(info, infoHeaderSize);
    put32(info + 4, uint32_t(width));
    put32(info + 8, uint32_t(height)); // positive: rows bottom-up, as every reader expects
    put16(info + 12, 1);
    put16(info + 14, uint16_t(bits));
    put32(info + 20, uint32_t(rowBytes * height));
    put32(info + 24, uint32_t(std::max(0, img.dotsPerMeterX())));
    put32(info + 28, uint32_t(std::max(0, img.dotsPerMeterY())));
    put32(info + 32, paletteEntries);
    unsigned char* palette = info + infoHeaderSize;
    for (uint32_t i = 0; i < paletteEntries; ++i) {
        QRgb c;
        if (bits == 1)
            c = img.colorCount() > int(i) ? img.color(int(i))
                                          : (i == 0 ? qRgb(0, 0, 0) : qRgb(255, 255, 255));
        else
            c = qRgb(int(i), int(i), int(i));
        palette[i * 4] = uchar(qBlue(c));
        palette[i * 4 + 1] = uchar(qGreen(c));
        palette[i * 4 + 2] = uchar(qRed(c));
    }
    writeAll(fd, head.data(), head.size(), path);

    // Rows go out bottom-up in chunks of about 1 MiB, so a 600 dpi page needs no second copy.
    const uint64_t rowsPerChunk =
        std::max<uint64_t>(1, (1u << 20) / std::max<uint64_t>(rowBytes, 1));
    std::vector<unsigned char> chunk(rowsPerChunk * rowBytes, 0);
    uint64_t row = height;
    while (row > 0) {
        const uint64_t n = std::min(rowsPerChunk, row);
        for (uint64_t i = 0; i < n; ++i) {
            --row;
            unsigned char* out = chunk.data() + i * rowBytes;
            copyBmpRow(out, img.constScanLine(int(row)), bits, width, rowBytes,
                       uint64_t(img.bytesPerLine()));
        }
        writeAll(fd, chunk.data(), n * rowBytes, path);
    }
}

namespace {
struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0)
            ::close(fd);
    }
};

void readExactly(int fd, uint64_t offset, void* data, uint64_t size, const QString& path) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = ::pread(fd, p, size, off_t(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throwReadError(path, QStringLiteral("il file è troncato o illeggibile"));
        p += n;
        offset += uint64_t(n);
        size -= uint64_t(n);
    }
}
} // namespace

QImage readBmp(const QString& path) {
    Fd file;
    file.fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (file.fd < 0)
        throwReadError(path, systemErrorText(errno));
    struct stat st {};
    if (::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode))
        throwReadError(path, QStringLiteral("non è un file normale"));
    const uint64_t fileSize = uint64_t(st.st_size);
    unsigned char head[fileHeaderSize + infoHeaderSize];
    if (fileSize < sizeof head)
        throwReadError(path, QStringLiteral("l'intestazione BMP è troncata"));
    readExactly(file.fd, 0, head, sizeof head, path);
    if (head[0] != 'B' || head[1] != 'M')
        throwReadError(path, QStringLiteral("non è un file BMP"));
    const uint32_t offset = get32(head + 10);
    const unsigned char* info = head + fileHeaderSize;
    const uint32_t infoSize = get32(info);
    const int32_t width = int32_t(get32(info + 4));
    const int32_t rawHeight = int32_t(get32(info + 8));
    const uint16_t planes = get16(info + 12);
    const uint16_t bits = get16(info + 14);
    const uint32_t compression = get32(info + 16);
    uint32_t colours = get32(info + 32);
    if (infoSize < infoHeaderSize || compression != 0 || (bits != 1 && bits != 8 && bits != 24))
        return {}; // a BMP variant of another program: Qt's reader handles those
    if (planes != 1 || width <= 0 || rawHeight == 0 || rawHeight == INT32_MIN)
        throwReadError(path, QStringLiteral("l'intestazione BMP è incoerente"));
    const bool topDown = rawHeight < 0;
    const int64_t height = topDown ? -int64_t(rawHeight) : rawHeight;
    if (width > 1000000 || height > 1000000)
        throwReadError(path, QStringLiteral("l'immagine BMP è di dimensioni non plausibili"));
    const uint64_t rowBytes = ((uint64_t(width) * bits + 31) / 32) * 4;
    if (bits != 24 && (colours == 0 || colours > (1u << bits)))
        colours = 1u << bits;
    const uint64_t paletteAt = fileHeaderSize + uint64_t(infoSize);
    if (bits == 24)
        colours = 0;
    if (uint64_t(offset) < paletteAt + uint64_t(colours) * 4 ||
        uint64_t(offset) + rowBytes * uint64_t(height) > fileSize)
        throwReadError(path, QStringLiteral("il file BMP è troncato"));

    QList<QRgb> table;
    if (colours > 0) {
        std::vector<unsigned char> pal(colours * 4);
        readExactly(file.fd, paletteAt, pal.data(), pal.size(), path);
        for (uint32_t i = 0; i < colours; ++i)
            table.append(qRgb(pal[i * 4 + 2], pal[i * 4 + 1], pal[i * 4]));
    }
    QImage::Format format = QImage::Format_RGB888;
    if (bits == 1) {
        format = QImage::Format_Mono;
    } else if (bits == 8) {
        bool grey = table.size() == 256;
        for (int i = 0; grey && i < 256; ++i)
            grey = table[i] == qRgb(i, i, i);
        format = grey ? QImage::Format_Grayscale8 : QImage::Format_Indexed8;
    }
    QImage img(width, int(height), format);
    if (img.isNull())
        throwReadError(path, QStringLiteral("memoria insufficiente per l'immagine"));
    if (format == QImage::Format_Mono || format == QImage::Format_Indexed8) {
        while (table.size() < (1 << bits))
            table.append(qRgb(0, 0, 0));
        img.setColorTable(table);
    }
    const uint32_t xdpm = get32(info + 24);
    const uint32_t ydpm = get32(info + 28);
    if (xdpm > 0 && xdpm < 1000000 && ydpm > 0 && ydpm < 1000000) {
        img.setDotsPerMeterX(int(xdpm));
        img.setDotsPerMeterY(int(ydpm));
    }

    const uint64_t rowsPerChunk = std::max<uint64_t>(1, (1u << 20) / rowBytes);
    std::vector<unsigned char> chunk(rowsPerChunk * rowBytes);
    for (int64_t fileRow = 0; fileRow < height;) {
        const int64_t n = std::min<int64_t>(int64_t(rowsPerChunk), height - fileRow);
        readExactly(file.fd, offset + uint64_t(fileRow) * rowBytes, chunk.data(),
                    uint64_t(n) * rowBytes, path);
        for (int64_t i = 0; i < n; ++i) {
            const int64_t y = topDown ? fileRow + i : height - 1 - (fileRow + i);
            const unsigned char* in = chunk.data() + uint64_t(i) * rowBytes;
            copyBmpRow(img.scanLine(int(y)), in, bits, uint64_t(width), rowBytes,
                       uint64_t(img.bytesPerLine()));
        }
        fileRow += n;
    }
    if (format == QImage::Format_Indexed8)
        return img.convertToFormat(QImage::Format_RGB888);
    return img;
}

} // namespace writer
