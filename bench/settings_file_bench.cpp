// Reading large settings files: each case is loaded by ReadIni in a child process of its own,
// which prints its peak resident size (VmHWM, beside the child's size before the read) and
// the time of the read. The files are made under $TMPDIR at the read bound (4 MiB).
//
//   settings_file_bench
#include "BenchSupport.h"
#include "settings/IniDocument.h"
#include "settings/ScanSettings.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Case {
    const char* name;
    QByteArray (*bytes)();
};

QByteArray repeated(const QByteArray& head, const QByteArray& unit) {
    QByteArray bytes = head;
    bytes.reserve(IniDocument::maxFileBytes);
    while (bytes.size() + unit.size() <= IniDocument::maxFileBytes)
        bytes += unit;
    return bytes;
}

} // namespace

int main() {
    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 2;
    }
    const Case cases[] = {
        {"4 MiB of newlines", [] { return repeated("[MAIN]\n", "\n"); }},
        {"4 MiB of k= lines", [] { return repeated("[MAIN]\n", "k=\n"); }},
        {"4 MiB of distinct keys",
         [] {
             QByteArray bytes = "[MAIN]\n";
             for (int i = 0; bytes.size() < IniDocument::maxFileBytes - 16; ++i)
                 bytes += 'k' + QByteArray::number(i) + "=\n";
             return bytes;
         }},
        {"4 MiB of recognised keys", [] { return repeated("[MAIN]\n", "Area=1\n"); }},
        {"5 MB comment, then [MAIN]",
         [] { return "; " + QByteArray(5000000, '-') + "\n[MAIN]\nFormato=TIFF\n"; }},
    };
    std::printf("%-30s %10s %12s %10s\n", "file", "lines", "peak RSS", "read");
    for (const Case& c : cases) {
        const QString path = dir.filePath(QStringLiteral("scanner.ini"));
        // Made and freed here, so the child starts without the bytes in its memory.
        QByteArray bytes = c.bytes();
        const qsizetype lines = bytes.count('\n');
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(bytes) != bytes.size()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 2;
        }
        file.close();
        bytes = QByteArray();
        std::fflush(stdout);
        const pid_t child = ::fork();
        if (child == 0) {
            const long before = statusKb("VmRSS");
            QElapsedTimer timer;
            timer.start();
            ScanSettings settings(path);
            settings.ReadIni();
            const double ms = double(timer.nsecsElapsed()) / 1e6;
            std::printf("%-30s %10lld %9.1f MB %7.1f ms   (%.1f MB before the read)\n", c.name,
                        static_cast<long long>(lines), double(statusKb("VmHWM")) / 1024.0, ms,
                        double(before) / 1024.0);
            std::fflush(stdout);
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
    }
    return 0;
}
