#include "common/WorkingFolder.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

QString privateTemporaryFolder() {
    QByteArray base = qgetenv("TMPDIR");
    // A relative TMPDIR would make the folder depend on the current directory; it is treated
    // as not set, like an empty one.
    if (base.isEmpty() || !base.startsWith('/') || base.contains('\0'))
        base = "/tmp";
    while (base.size() > 1 && base.endsWith('/'))
        base.chop(1);
    if (base == "/")
        base.clear();

    const uid_t uid = ::geteuid();
    const QByteArray folder = base + "/scansione-" + QByteArray::number(uid);

    if (::mkdir(folder.constData(), 0700) == 0) {
        // mkdir applies the umask; the folder must at least be usable by its owner. The
        // parent is sticky (or ours), so nobody else can swap the new folder before this.
        ::chmod(folder.constData(), 0700);
    } else if (errno != EEXIST) {
        return QString();
    }

    // lstat, not stat: a link planted at the name is refused even if it points at a folder
    // that would pass every other check.
    struct stat info {};
    if (::lstat(folder.constData(), &info) != 0)
        return QString();
    if (!S_ISDIR(info.st_mode) || info.st_uid != uid || (info.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        return QString();
    return QString::fromLocal8Bit(folder) + u'/';
}

QString workingFolder() {
    const QString folder = privateTemporaryFolder();
    if (!folder.isEmpty())
        return folder;
    QString program;
    if (QCoreApplication::instance())
        program = QCoreApplication::applicationDirPath();
    else
        program = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
    if (program.isEmpty())
        program = QStringLiteral(".");
    if (!program.endsWith(u'/'))
        program += u'/';
    return program;
}
