#pragma once
// A small disk of the test's own: a tmpfs mounted in a private mount namespace, where a real
// full disk (ENOSPC) and a read-only folder (EROFS) can be made without touching the machine's
// file systems and without being root. The test program runs the cases that need it again in
// a child inside the namespace; the child finds the disk's folder in SCANSIONE_TEST_PRIVATE_DISK.
#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <unistd.h>

/// The folder of the private disk when this program runs inside one; empty otherwise.
inline QString privateDisk() {
    return QString::fromLocal8Bit(qgetenv("SCANSIONE_TEST_PRIVATE_DISK"));
}

struct PrivateDiskRun {
    bool available = false; ///< the namespace and the disk could be made
    int exitCode = -1;      ///< the child's exit code (-1: crashed or timed out)
    QString output;         ///< its standard output and error
};

/// Runs this test program's cases matching `filter` in a child inside a private mount
/// namespace with a tmpfs of `sizeKiB` at a folder of its own. Waits at most `timeoutMs`;
/// a child that takes longer is killed.
inline PrivateDiskRun runOnPrivateDisk(const QString& filter, int sizeKiB, int timeoutMs = 300000) {
    static const char marker[] = "PRIVATE-DISK-MOUNTED";
    QTemporaryDir mountPoint;
    QProcess child;
    child.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SCANSIONE_TEST_PRIVATE_DISK"), mountPoint.path());
    child.setProcessEnvironment(env);
    // -r maps the user to root in a new user namespace, which may mount in its own mount
    // namespace; the mount is gone when the child ends.
    const QString script =
        QStringLiteral("mount -t tmpfs -o size=%1k,mode=0700 tmpfs \"$1\" || exit 97; "
                       "echo %2; shift; exec \"$@\"")
            .arg(sizeKiB)
            .arg(QLatin1String(marker));
    child.start(QStringLiteral("unshare"),
                {QStringLiteral("-rm"), QStringLiteral("--"), QStringLiteral("sh"),
                 QStringLiteral("-c"), script, QStringLiteral("sh"), mountPoint.path(),
                 QCoreApplication::applicationFilePath(),
                 QStringLiteral("--gtest_filter=") + filter});
    PrivateDiskRun run;
    const bool finished = child.waitForFinished(timeoutMs);
    if (!finished) {
        child.kill();
        child.waitForFinished();
    }
    run.output = QString::fromLocal8Bit(child.readAll());
    run.available = run.output.contains(QLatin1String(marker));
    if (finished && child.exitStatus() == QProcess::NormalExit)
        run.exitCode = child.exitCode();
    return run;
}

/// Has the cases matching `filter` run on a private disk of `sizeKiB` and expects all `cases`
/// of them to pass there, none skipped; where no private disk can be made the calling test is
/// skipped instead.
inline void expectAllPassOnPrivateDisk(const QString& filter, int sizeKiB, int cases) {
    const PrivateDiskRun run = runOnPrivateDisk(filter, sizeKiB);
    if (!run.available)
        GTEST_SKIP() << "no private mount namespace with a tmpfs here (unshare -rm): "
                     << run.output.left(500).toStdString();
    EXPECT_EQ(run.exitCode, 0) << run.output.toStdString();
    const QString passed = cases == 1 ? QStringLiteral("[  PASSED  ] 1 test.")
                                      : QStringLiteral("[  PASSED  ] %1 tests.").arg(cases);
    EXPECT_TRUE(run.output.contains(passed)) << run.output.toStdString();
}

/// Fills the disk of `folder` up to `leaveBytes` free bytes with the file `filler`, which
/// the caller removes again. Returns false when it could not.
inline bool fillDisk(const QString& folder, const QString& filler, qint64 leaveBytes) {
    struct statvfs fs {};
    if (::statvfs(QFile::encodeName(folder).constData(), &fs) != 0)
        return false;
    const qint64 available = qint64(fs.f_bavail) * qint64(fs.f_frsize);
    const qint64 size = available - leaveBytes;
    if (size <= 0)
        return size == 0;
    const int fd =
        ::open(QFile::encodeName(filler).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return false;
    const bool ok = ::posix_fallocate(fd, 0, off_t(size)) == 0;
    ::close(fd);
    return ok;
}
