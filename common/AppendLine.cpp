#include "common/AppendLine.h"
#include "common/WriteFully.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

int32_t AppendLine(const QString& text, const QString& fileName) {
    const QByteArray path = QFile::encodeName(fileName);
    if (path.isEmpty() || path.contains('\0'))
        return ENOENT;
    QByteArray line = text.toUtf8();
    line.append("\r\n");

    int fd = -1;
    do {
        fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return errno;

    // The whole line goes out in one write where possible, so with O_APPEND concurrent
    // writers never interleave inside a line; a short write is continued.
    int32_t error = writeFully(fd, line.constData(), line.size());
    if (::close(fd) != 0 && errno != EINTR)
        error = errno;
    return error;
}
