#include "worker_process/WorkerOutput.h"
#include "common/WorkingFolder.h"

#include <QByteArray>
#include <QString>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int openWorkerOutput() {
    if (!qEnvironmentVariableIsEmpty("SCANSIONE_DEBUG"))
        return -1;
    // A log that only grows would fill the folder over months of scanning: past this size the
    // next worker starts it afresh.
    constexpr off_t kLargest = 1 << 20;
    const QString folder = workingFolder();
    if (!folder.isEmpty()) {
        const QByteArray path = QString(folder + QStringLiteral("Scanworker.log")).toLocal8Bit();
        const int fd = ::open(path.constData(),
                              O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            struct stat st {};
            if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
                if (st.st_size > kLargest && ::ftruncate(fd, 0) != 0) {
                    // Kept as it is: appending still works.
                }
                return fd;
            }
            ::close(fd);
        }
    }
    return ::open("/dev/null", O_WRONLY | O_CLOEXEC);
}
