#pragma once
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QThread>
#include <cerrno>
#include <csignal>
#include <functional>
#include <stdexcept>
#include <sys/resource.h>

/// The outcome of a third-party tool run by a test: its exit code (-1 when it crashed or
/// did not finish) and its standard output and error, merged.
struct ToolResult {
    int exitCode = -1;
    QString output;
};

/// Runs `program` with `args` and waits for it (at most `timeoutMs`).
inline ToolResult runTool(const QString& program, const QStringList& args, int timeoutMs = 120000) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return {};
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromLocal8Bit(p.readAll())};
}

/// Waits up to `ms` for process `pid` to be gone (ended and reaped by its parent).
inline bool processGone(pid_t pid, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (::kill(pid, 0) == 0 || errno != ESRCH) {
        if (timer.elapsed() > ms)
            return false;
        QThread::msleep(10);
    }
    return true;
}

/// The bytes of `path`; empty when it cannot be read.
inline QByteArray contents(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

/// Writes `bytes` as the file `path`, replacing what was there; false when it could not.
[[nodiscard]] inline bool writeContents(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

/// The bytes of the PDF at `path` with its trailer's /ID blanked: qpdf seeds that from the
/// clock, so two writes of the same document differ there and nowhere else.
inline QByteArray pdfContents(const QString& path) {
    static const QRegularExpression id(QStringLiteral("/ID \\[<[0-9a-f]+><[0-9a-f]+>\\]"));
    return QString::fromLatin1(contents(path)).replace(id, QStringLiteral("/ID []")).toLatin1();
}

/// While alive, writes past `limit` bytes of any file fail with EFBIG, as on a full disk
/// (tests run as root, where permissions cannot make a write fail). SIGXFSZ is ignored
/// meanwhile so the process survives to see the error.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit) {
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit tight = m_old;
        tight.rlim_cur = limit;
        m_active = ::setrlimit(RLIMIT_FSIZE, &tight) == 0;
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    Q_DISABLE_COPY(FileSizeLimit)

    /// False when the limit could not be set (the test then proves nothing).
    bool active() const { return m_active; }

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
    bool m_active = false;
};

/// Runs `fn` under a FileSizeLimit of `limit` bytes; throws std::runtime_error when the limit
/// cannot be set, so a test expecting the write error does not pass by accident.
inline void withFileSizeLimit(rlim_t limit, const std::function<void()>& fn) {
    FileSizeLimit guard(limit);
    if (!guard.active())
        throw std::runtime_error("RLIMIT_FSIZE could not be set");
    fn();
}
