#pragma once
// What the benchmarks share: reading a process's figures.
#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QList>
#include <unistd.h>

/// A field of /proc/<pid>/status in kB ("VmHWM", "VmRSS"); -1 when it cannot be read (or
/// `pid` is not above 0).
inline long processStatusKb(qint64 pid, const char* field) {
    if (pid <= 0)
        return -1;
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').first().toLong();
    return -1;
}

/// The fields of /proc/<pid>/stat from the third (the state) on: index 0 is field 3 of
/// proc(5); empty when it cannot be read.
inline QList<QByteArray> processStatFields(qint64 pid) {
    if (pid <= 0)
        return {};
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    // The command name, in parentheses, may hold spaces: the fields are counted after it.
    const QByteArray stat = f.readAll();
    return stat.mid(stat.lastIndexOf(')') + 2).split(' ');
}

/// The CPU time process `pid` has used (user and system), in seconds; -1 when it cannot be
/// read.
inline double processCpuSeconds(qint64 pid) {
    const QList<QByteArray> fields = processStatFields(pid);
    if (fields.size() < 13)
        return -1;
    return double(fields.at(11).toLongLong() + fields.at(12).toLongLong()) /
           double(sysconf(_SC_CLK_TCK));
}

/// The niceness of process `pid` (its main thread); -100 when it cannot be read.
inline int processNice(qint64 pid) {
    const QList<QByteArray> fields = processStatFields(pid);
    return fields.size() < 17 ? -100 : fields.at(16).toInt();
}

/// The machine's load average over the last minute, as /proc/loadavg gives it.
inline QByteArray loadAverage() {
    QFile f(QStringLiteral("/proc/loadavg"));
    return f.open(QIODevice::ReadOnly) ? f.readAll().split(' ').first() : QByteArray("?");
}

/// A field of this process's /proc/self/status in kB; -1 when it cannot be read.
inline long statusKb(const char* field) {
    return processStatusKb(QCoreApplication::applicationPid(), field);
}
