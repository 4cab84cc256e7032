#pragma once
// What the benchmarks share: reading the process's own figures.
#include <QByteArray>
#include <QFile>

/// A field of /proc/self/status in kB ("VmHWM", "VmRSS"); -1 when it cannot be read.
inline long statusKb(const char* field) {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').first().toLong();
    return -1;
}
