// Scan window benchmark on the virtual scanner, the real window on the offscreen platform:
//
//   window_session_bench gap [--pages N] [--kind GRAY] [--format PDF] [--interval MS] [--sane]
//       the longest pause of the window's event loop while a feeder batch of N (10) A4 300 dpi
//       pages arrives, one every MS (0) milliseconds, for a document of that format (the
//       component encodes pages for it meanwhile): what a person would feel as the window
//       freezing. With --sane the pages come in colour from the first SANE device of
//       SANE_CONFIG_DIR instead of the virtual scanner (run-sane.sh --net: the test backend
//       through saned).
//   window_session_bench reference [--pages N]
//       the time cjpeg -quality 85 takes to encode N (20) colour pages of scanner-like noise,
//       the yardstick of the --reference figures below.
//   window_session_bench confirm [--pages N] [--kinds BW,GRAY,RGB] [--formats JPEG,TIFF,PDF]
//                                [--interval MS] [--tools] [--reference]
//       the time "Conferma" takes, pressed as soon as the batch has ended, to write N (20)
//       A4 300 dpi pages of each kind in each format, fed one every MS (0) milliseconds; with
//       --tools the usual command-line tools on the same pages (cjpeg per page, tiffcp into
//       one TIFF, img2pdf from the JPEG pages); with --reference each time also as a share of
//       the time cjpeg -quality 85 takes to encode N colour pages of scanner-like noise.
//       The format PDFA is the PDF written as PDF/A-2b (the settings' PDFA key).
//
// The source builds against older trees of the project too (for figures before and after a
// change in one run); what they lack is left out of the output.
//
// Prints one line per measurement. Figures, not a test: nothing here passes or fails.
#include "virtual_scanner/PageRenderer.h"
#include "acquisition/ScanComponent.h"
#include "virtual_scanner/VirtualScanner.h"
#include "acquisition/VstScan.h"
#include "default_wiring/DefaultComponent.h"
#include "common/UserSettings.h"
#include "scan_window/FormScansione.h"
#include "settings/ScanSettings.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <ctime>
#include <functional>

#if __has_include("acquisition/PageEncoder.h")
#define SCANSIONE_PREPARES_PAGES 1
#endif
#if __has_include("acquisition/PdfArchive.h")
#define SCANSIONE_WRITES_PDFA 1
#endif

namespace {

/// CPU time the calling thread has used, in nanoseconds.
qint64 threadCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

/// Images the component has encoded for the document; -1 where it does not prepare pages.
int preparedPages(ScanComponent* component) {
#ifdef SCANSIONE_PREPARES_PAGES
    if (const auto* scan = dynamic_cast<VstScan*>(component))
        return scan->preparedCount();
#else
    Q_UNUSED(component);
#endif
    return -1;
}

/// Settings kept in memory: a benchmark must not touch the user's.
class MemorySettings : public UserSettings {
public:
    QHash<QString, QString> values{{QStringLiteral("AutoADF"), QStringLiteral("TRUE")}};
    QString read(const QString& key, const QString& def) const override {
        return values.value(key, def);
    }
    void write(const QString& key, const QString& value) override { values[key] = value; }
    void remove(const QString& key) override { values.remove(key); }
};

struct Session {
    QTemporaryDir dir;
    QString json;

    /// Pages from the first SANE device instead of the virtual scanner.
    bool sane = false;

    explicit Session(int sheets, int pageDelayMs) {
        json = dir.filePath("virtual.json");
        QFile f(json);
        if (f.open(QIODevice::WriteOnly))
            f.write(QStringLiteral(R"({"scanners": [{"name": "Banco", "resolutions": [300],
                "pageSizes": ["A4"], "pageDelayMs": %2,
                "feeder": {"present": true, "paperDetectable": true, "sheets": %1}}]})")
                        .arg(sheets)
                        .arg(pageDelayMs)
                        .toUtf8());
    }

    QString folder() const { return dir.path() + QLatin1Char('/'); }
    /// How long the "Scansione documento" press itself took (programming, opening, start).
    double pressMs = 0;

    /// Runs one session with a forced feeder batch; `body` runs once the batch has ended.
    void run(ScanSettings& record, const std::function<void(FormScansione&)>& afterBatch,
             const std::function<void(FormScansione&)>& duringBatch = nullptr) {
        WindowServices s;
        const QString path = json, cache = folder();
        if (sane)
            s.createComponent = [cache](std::shared_ptr<ComponentDialogs> dialogs) {
                return createDefaultComponent(cache, std::move(dialogs));
            };
        else
            s.createComponent = [path, cache](std::shared_ptr<ComponentDialogs> dialogs)
                -> std::unique_ptr<ScanComponent> {
                std::vector<std::unique_ptr<DeviceLayer>> layers;
                layers.push_back(std::make_unique<VirtualScannerLayer>(path));
                return std::make_unique<VstScan>(std::move(layers), cache, std::move(dialogs));
            };
        auto settings = std::make_shared<MemorySettings>();
        settings->values.insert(QStringLiteral("DefaultSource"), QStringLiteral("0"));
        s.userSettings = settings;
        s.messageBox = [](QWidget*, const QString& prompt, const QString&) {
            std::fprintf(stderr, "message: %s\n", qPrintable(prompt));
        };
        // The session ends with "Annulla" once measured: its pages may go unasked.
        s.askYesNo = [](auto&&...) { return std::optional<bool>(true); };
        s.workingFolder = [cache] { return cache; };
        s.fillDefaults();
        FormScansione form(s);
        QObject::connect(&form, &FormScansione::sessionShown, &form, [&] {
            QTimer::singleShot(0, &form, [&] {
                bool ended = false;
                QObject::connect(form.component(), &ScanComponent::PostScan, &form,
                                 [&](int32_t flag) { ended = ended || flag != 0; });
                QElapsedTimer press;
                press.start();
                form.ImgButtons_Click(1);
                pressMs = press.nsecsElapsed() / 1e6;
                if (duringBatch)
                    duringBatch(form);
                while (!ended && form.isVisible())
                    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
                afterBatch(form);
                if (form.isVisible())
                    form.ImgButtons_Click(6);
            });
        });
        QString code;
        int16_t open = 0;
        form.EseguiScansione(&record, code, open);
        if (!code.isEmpty())
            std::fprintf(stderr, "session failed: %s\n", qPrintable(code));
    }
};

int optionValue(const QStringList& args, const QString& name, int fallback) {
    const int i = args.indexOf(name);
    return i >= 0 && i + 1 < args.size() ? args.at(i + 1).toInt() : fallback;
}

QStringList optionList(const QStringList& args, const QString& name, const QString& fallback) {
    const int i = args.indexOf(name);
    return (i >= 0 && i + 1 < args.size() ? args.at(i + 1) : fallback).split(QLatin1Char(','));
}

qint64 bytesOf(const QStringList& files) {
    qint64 total = 0;
    for (const QString& f : files)
        total += QFileInfo(f).size();
    return total;
}

double timeTool(const QString& program, const QStringList& args, const QString& stdoutFile = {}) {
    QProcess p;
    if (!stdoutFile.isEmpty())
        p.setStandardOutputFile(stdoutFile);
    QElapsedTimer t;
    t.start();
    p.start(program, args);
    if (!p.waitForFinished(600000) || p.exitCode() != 0)
        return -1;
    return t.elapsed() / 1000.0;
}

void gap(int pages, const QString& kind, const QString& format, int interval, bool sane) {
    Session session(pages, interval);
    session.sane = sane;
    ScanSettings record(QStringLiteral("/nonexistent.ini"));
    record.PixelType = sane ? QStringLiteral("COLORE") : kind;
    record.ResultFormat = format;
    record.Risoluzione = 300;
    record.Pagina = QStringLiteral("A4");
    QElapsedTimer clock, batch;
    qint64 last = 0, longest = 0, ticks = 0;
    // The window thread's own CPU time in each gap tells a pause it caused itself (busy) from
    // one the machine caused (the thread waiting for a core other processes hold).
    qint64 lastCpu = 0, longestCpu = 0, busiest = 0, busiestAt = 0;
    QTimer probe;
    probe.setInterval(1);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        const qint64 cpu = threadCpuNs();
        if (now - last > longest) {
            longest = now - last;
            longestCpu = cpu - lastCpu;
        }
        if (cpu - lastCpu > busiest) {
            busiest = cpu - lastCpu;
            busiestAt = now;
        }
        last = now;
        lastCpu = cpu;
        ++ticks;
    });
    int delivered = 0;
    session.run(
        record,
        [&](FormScansione& form) {
            probe.stop();
            delivered = form.pages().count();
        },
        [&](FormScansione&) {
            clock.start();
            batch.start();
            last = 0;
            lastCpu = threadCpuNs();
            probe.start();
        });
    std::printf("event loop during a %d-page batch (A4 300 dpi %s from %s, a page every %d ms, "
                "for %s): longest gap %.1f ms (the window thread busy %.1f ms of it), longest "
                "busy stretch %.1f ms (%.2f s into the batch); batch %.2f s, %lld probe ticks, %d "
                "pages filed; the press itself %.1f ms\n",
                pages, qPrintable(record.PixelType), sane ? "SANE" : "the virtual scanner",
                interval, qPrintable(format), longest / 1e6, longestCpu / 1e6, busiest / 1e6,
                busiestAt / 1e9, batch.elapsed() / 1000.0, static_cast<long long>(ticks),
                delivered, session.pressMs);
}

/// Seconds cjpeg -quality 85 takes for `pages` A4 300 dpi colour pages of scanner-like noise
/// (a document page with every sample moved by up to 4 levels), one process after another as
/// a shell loop runs them; -1 when cjpeg is missing or fails.
double cjpegReference(int pages) {
    PageSpec layout;
    layout.pixelType = 2;
    layout.dpiX = layout.dpiY = 300;
    layout.sizeInches = QSizeF(210 / 25.4, 297 / 25.4);
    layout.scannerName = QStringLiteral("riferimento");
    const QImage page = renderPage(layout);
    QTemporaryDir dir;
    const QString ppm = dir.filePath(QStringLiteral("noise.ppm"));
    QFile file(ppm);
    if (page.isNull() || !file.open(QIODevice::WriteOnly))
        return -1;
    file.write(QStringLiteral("P6\n%1 %2\n255\n").arg(page.width()).arg(page.height()).toLatin1());
    QRandomGenerator noise(16);
    QByteArray row(page.width() * 3, Qt::Uninitialized);
    for (int y = 0; y < page.height(); ++y) {
        const uchar* in = page.constScanLine(y);
        for (int i = 0; i < row.size(); ++i)
            row[i] = char(std::clamp(int(in[i]) + int(noise.bounded(9)) - 4, 0, 255));
        file.write(row);
    }
    file.close();
    const QString out = dir.filePath(QStringLiteral("noise.jpg"));
    double seconds = 0;
    for (int i = 0; i < pages; ++i) {
        const double s =
            timeTool(QStringLiteral("cjpeg"), {QStringLiteral("-quality"), QStringLiteral("85"),
                                               QStringLiteral("-outfile"), out, ppm});
        if (s < 0)
            return -1;
        seconds += s;
    }
    std::printf("cjpeg -quality 85, %d A4 300 dpi colour pages of scanner-like noise one after "
                "another: %.2f s (%.1f ms/page, %.1f KiB/page)\n",
                pages, seconds, seconds * 1000 / pages, QFileInfo(out).size() / 1024.0);
    return seconds;
}

void confirm(int pages, const QStringList& kinds, const QStringList& formats, int interval,
             bool tools, bool reference) {
    const double cjpeg = reference ? cjpegReference(pages) : -1;
    for (const QString& kind : kinds) {
        for (const QString& format : formats) {
            const bool pdfa = format == QLatin1String("PDFA");
#ifndef SCANSIONE_WRITES_PDFA
            if (pdfa)
                continue;
#endif
            Session session(pages, interval);
            ScanSettings record(QStringLiteral("/nonexistent.ini"));
            record.PixelType = kind;
            record.Risoluzione = 300;
            record.Pagina = QStringLiteral("A4");
            record.ResultFormat = pdfa ? QStringLiteral("PDF") : format;
#ifdef SCANSIONE_WRITES_PDFA
            if (pdfa)
                record.setPDFA(QStringLiteral("2b"));
#endif
            record.JpegQualityTiffCompression = format == QLatin1String("JPEG") ? 85 : 0;
            double seconds = 0;
            int filed = 0;
            QStringList produced;
            QStringList sources;
            int prepared = -1;
            session.run(record, [&](FormScansione& form) {
                filed = form.pages().count();
                prepared = preparedPages(form.component());
                QElapsedTimer t;
                t.start();
                form.ImgButtons_Click(0);
                seconds = t.elapsed() / 1000.0;
                produced = form.producedFiles();
                if (tools && !pdfa) {
                    // The same pages for the tools, from the component that is still there.
                    const QString ext = format == QLatin1String("TIFF") ? QStringLiteral("tif")
                                                                        : QStringLiteral("bmp");
                    for (int k = 0; k < filed; ++k) {
                        const QString src =
                            session.folder() + QStringLiteral("src_%1.%2").arg(k).arg(ext);
                        form.component()->setTiffMultiPage(0);
                        form.component()->SaveImage(k, src);
                        sources << src;
                    }
                }
            });
            std::printf("Conferma %-4s %-4s %3d pages: %7.2f s  %6.1f ms/page  %9.1f KiB",
                        qPrintable(format), qPrintable(kind), filed, seconds,
                        filed ? seconds * 1000 / filed : 0.0, bytesOf(produced) / 1024.0);
            if (prepared >= 0)
                std::printf("  (%d of %d pages encoded ahead)", prepared, filed);
            if (cjpeg > 0)
                std::printf("  = %.3f x cjpeg", seconds / cjpeg);
            std::printf("\n");
            std::fflush(stdout);
            if (!tools || sources.isEmpty())
                continue;
            const QString out = session.folder() + QStringLiteral("tool");
            QDir().mkpath(out);
            double toolSeconds = 0;
            QString label;
            QStringList outputs;
            if (format == QLatin1String("JPEG") || format == QLatin1String("PDF")) {
                label = QStringLiteral("cjpeg");
                for (int k = 0; k < sources.size(); ++k) {
                    const QString jpg = out + QStringLiteral("/p%1.jpg").arg(k);
                    const double s = timeTool(
                        QStringLiteral("cjpeg"),
                        {QStringLiteral("-quality"), QStringLiteral("85"), sources.at(k)}, jpg);
                    toolSeconds = s < 0 || toolSeconds < 0 ? -1 : toolSeconds + s;
                    outputs << jpg;
                }
                if (format == QLatin1String("PDF") && toolSeconds >= 0) {
                    label = QStringLiteral("cjpeg+img2pdf");
                    const QString pdf = out + QStringLiteral("/doc.pdf");
                    const double s = timeTool(QStringLiteral("img2pdf"),
                                              QStringList(outputs) << QStringLiteral("-o") << pdf);
                    toolSeconds = s < 0 ? -1 : toolSeconds + s;
                    outputs = QStringList{pdf};
                }
            } else if (format == QLatin1String("TIFF")) {
                label = QStringLiteral("tiffcp");
                const QString tif = out + QStringLiteral("/doc.tif");
                toolSeconds = timeTool(QStringLiteral("tiffcp"),
                                       QStringList{QStringLiteral("-c"), QStringLiteral("lzw")}
                                           << sources << tif);
                outputs = QStringList{tif};
            }
            if (toolSeconds < 0)
                std::printf("  %s: not available or failed\n", qPrintable(label));
            else
                std::printf("  beside it %-13s %7.2f s  %6.1f ms/page  %9.1f KiB\n",
                            qPrintable(label), toolSeconds, toolSeconds * 1000 / sources.size(),
                            bytesOf(outputs) / 1024.0);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("SCANSIONE_SANE", "0");
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments().mid(1);
    const QString mode = args.value(0);
    const int interval = optionValue(args, QStringLiteral("--interval"), 0);
    if (mode == QLatin1String("reference")) {
        return cjpegReference(optionValue(args, QStringLiteral("--pages"), 20)) < 0 ? 1 : 0;
    } else if (mode == QLatin1String("gap")) {
        const bool sane = args.contains(QStringLiteral("--sane"));
        if (sane)
            qputenv("SCANSIONE_SANE", "1");
        gap(optionValue(args, QStringLiteral("--pages"), 10),
            optionList(args, QStringLiteral("--kind"), QStringLiteral("GRAY")).first(),
            optionList(args, QStringLiteral("--format"), QStringLiteral("PDF")).first(), interval,
            sane);
    } else if (mode == QLatin1String("confirm")) {
        confirm(optionValue(args, QStringLiteral("--pages"), 20),
                optionList(args, QStringLiteral("--kinds"), QStringLiteral("BW,GRAY,RGB")),
                optionList(args, QStringLiteral("--formats"), QStringLiteral("JPEG,TIFF,PDF")),
                interval, args.contains(QStringLiteral("--tools")),
                args.contains(QStringLiteral("--reference")));
    } else {
        std::fprintf(stderr,
                     "usage: window_session_bench reference [--pages N]\n"
                     "       window_session_bench gap [--pages N] [--kind GRAY] [--format PDF] "
                     "[--interval MS] [--sane]\n"
                     "       window_session_bench confirm [--pages N] [--kinds BW,GRAY,RGB] "
                     "[--formats JPEG,TIFF,PDF] [--interval MS] [--tools] [--reference]\n");
        return 2;
    }
    return 0;
}
