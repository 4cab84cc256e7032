#pragma once
// What the benchmarks share: reading a process's figures.
#include <QByteArray>
#include <QCoreApplication>
#include <QFile>

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

/// A field of this process's /proc/self/status in kB; -1 when it cannot be read.
inline long statusKb(const char* field) {
    return processStatusKb(QCoreApplication::applicationPid(), field);
}
