#include "writers/TiffFile.h"

#include "writers/WriterSupport.h"

#include <QFile>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace tifffile {

namespace {

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

} // namespace

std::unique_ptr<TIFFOpenOptions, OptionsFree> options(Messages* messages) {
    std::unique_ptr<TIFFOpenOptions, OptionsFree> opts(TIFFOpenOptionsAlloc());
    TIFFOpenOptionsSetErrorHandlerExtR(opts.get(), collectError, messages);
    TIFFOpenOptionsSetWarningHandlerExtR(opts.get(), ignoreWarning, messages);
    return opts;
}

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

[[noreturn]] void throwTiffWriteError(const QString& path, const Messages& m) {
    if (m.systemError != 0)
        writer::throwWriteError(path, detail(m), m.systemError);
    writer::throwWriteError(path, detail(m));
}

} // namespace tifffile
