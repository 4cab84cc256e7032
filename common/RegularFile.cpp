#include "common/RegularFile.h"
#include "common/SystemErrorText.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

RegularFile readRegularFile(const QString& path, qsizetype maxBytes, bool followLinks) {
    RegularFile file;
    const QByteArray name = QFile::encodeName(path);
    if (name.isEmpty() || name.contains('\0')) {
        file.error = ENOENT;
        return file;
    }

    // Look before opening: opening some devices has effects of its own (a tape rewinds, a
    // modem line hangs up). fstat below repeats the check on what was actually opened, and
    // only that one decides.
    struct stat seen {};
    const int looked =
        followLinks ? ::stat(name.constData(), &seen) : ::lstat(name.constData(), &seen);
    if (looked != 0) {
        file.error = errno;
        file.status = errno == ENOENT || errno == ENOTDIR ? FileReadStatus::Missing
                                                          : FileReadStatus::Unreadable;
        return file;
    }
    if (!S_ISREG(seen.st_mode)) {
        file.status = FileReadStatus::NotRegularFile;
        return file;
    }

    // O_NONBLOCK: a FIFO swapped in after the look opens at once instead of waiting for a
    // writer, and is then refused by fstat.
    int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
    if (!followLinks)
        flags |= O_NOFOLLOW;
    int fd = -1;
    do {
        fd = ::open(name.constData(), flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        file.error = errno;
        file.status = errno == ENOENT  ? FileReadStatus::Missing
                      : errno == ELOOP ? FileReadStatus::NotRegularFile
                                       : FileReadStatus::Unreadable;
        return file;
    }
    if (::fstat(fd, &file.info) != 0 || !S_ISREG(file.info.st_mode)) {
        ::close(fd);
        file.status = FileReadStatus::NotRegularFile;
        return file;
    }

    // Read one byte past the bound to tell "exactly at the bound" from "bigger"; the size
    // fstat gave is only a hint, since the file may grow while it is read.
    const qsizetype limit = maxBytes + 1;
    file.bytes.reserve(
        std::min<qsizetype>(limit, file.info.st_size > 0 ? file.info.st_size : 4096));
    char chunk[65536];
    file.status = FileReadStatus::Loaded;
    while (file.bytes.size() < limit) {
        const size_t want =
            static_cast<size_t>(std::min<qsizetype>(sizeof chunk, limit - file.bytes.size()));
        const ssize_t got = ::read(fd, chunk, want);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            file.error = errno;
            file.status = FileReadStatus::Unreadable;
            break;
        }
        if (got == 0)
            break;
        file.bytes.append(chunk, got);
    }
    ::close(fd);
    if (file.status == FileReadStatus::Unreadable) {
        file.bytes.clear();
    } else if (file.bytes.size() > maxBytes) {
        file.status = FileReadStatus::TooBig;
        file.bytes.truncate(maxBytes);
    }
    return file;
}

QString readFailureText(const RegularFile& file, qsizetype maxBytes) {
    switch (file.status) {
    case FileReadStatus::Loaded:
        return {};
    case FileReadStatus::NotRegularFile:
        return QStringLiteral("non e' un file normale");
    case FileReadStatus::TooBig:
        return QStringLiteral("file piu' grande di %1 byte").arg(maxBytes);
    case FileReadStatus::Missing:
    case FileReadStatus::Unreadable:
        break;
    }
    return systemErrorText(file.error != 0 ? file.error : EIO);
}
