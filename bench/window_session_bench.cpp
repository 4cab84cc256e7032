// Scan window benchmark on the virtual scanner, the real window on the offscreen platform:
//
//   window_session_bench gap [--pages N] [--sane]
//       the longest pause of the window's event loop while a feeder batch of N (10) A4 300 dpi
//       pages arrives: what a person would feel as the window freezing. With --sane the pages
//       come in colour from the first SANE device of SANE_CONFIG_DIR instead of the virtual
//       scanner (run-sane.sh --net: the test backend through saned).
//   window_session_bench confirm [--pages N] [--kinds BW,GRAY,RGB] [--formats JPEG,TIFF,PDF]
//                                [--tools]
//       the time "Conferma" takes to write N (20) A4 300 dpi pages of each kind in each format,
//       and with --tools the usual command-line tools on the same pages (cjpeg per page,
//       tiffcp into one TIFF, img2pdf from the JPEG pages).
//
// Prints one line per measurement. Figures, not a test: nothing here passes or fails.
#include "acquisition/ScanComponent.h"
#include "acquisition/VirtualScanner.h"
#include "acquisition/VstScan.h"
#include "acquisition_sane/DefaultComponent.h"
#include "common/UserSettings.h"
#include "scan_window/FormScansione.h"
#include "settings/ScanSettings.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {

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

void gap(int pages, bool sane) {
    Session session(pages, 0);
    session.sane = sane;
    ScanSettings record(QStringLiteral("/nonexistent.ini"));
    record.PixelType = sane ? QStringLiteral("COLORE") : QStringLiteral("GRAY");
    record.Risoluzione = 300;
    record.Pagina = QStringLiteral("A4");
    QElapsedTimer clock, batch;
    qint64 last = 0, longest = 0, ticks = 0;
    QTimer probe;
    probe.setInterval(1);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        longest = std::max(longest, now - last);
        last = now;
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
            probe.start();
        });
    std::printf("event loop during a %d-page batch (A4 300 dpi %s, %s): longest gap %.1f ms, "
                "batch %.2f s, %lld probe ticks, %d pages filed; the press itself %.1f ms\n",
                pages, sane ? "colour" : "grey", sane ? "SANE" : "virtual scanner", longest / 1e6,
                batch.elapsed() / 1000.0, static_cast<long long>(ticks), delivered,
                session.pressMs);
}

void confirm(int pages, const QStringList& kinds, const QStringList& formats, bool tools) {
    for (const QString& kind : kinds) {
        for (const QString& format : formats) {
            Session session(pages, 0);
            ScanSettings record(QStringLiteral("/nonexistent.ini"));
            record.PixelType = kind;
            record.Risoluzione = 300;
            record.Pagina = QStringLiteral("A4");
            record.ResultFormat = format;
            record.JpegQualityTiffCompression = format == QLatin1String("JPEG") ? 85 : 0;
            double seconds = 0;
            int filed = 0;
            QStringList produced;
            QStringList sources;
            session.run(record, [&](FormScansione& form) {
                filed = form.pages().count();
                if (tools) {
                    // The same pages for the tools, exported before the clock runs.
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
                QElapsedTimer t;
                t.start();
                form.ImgButtons_Click(0);
                seconds = t.elapsed() / 1000.0;
                produced = form.producedFiles();
            });
            std::printf("Conferma %-4s %-4s %3d pages: %7.2f s  %6.1f ms/page  %9.1f KiB\n",
                        qPrintable(format), qPrintable(kind), filed, seconds,
                        filed ? seconds * 1000 / filed : 0.0, bytesOf(produced) / 1024.0);
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
    if (mode == QLatin1String("gap")) {
        const bool sane = args.contains(QStringLiteral("--sane"));
        if (sane)
            qputenv("SCANSIONE_SANE", "1");
        gap(optionValue(args, QStringLiteral("--pages"), 10), sane);
    } else if (mode == QLatin1String("confirm")) {
        confirm(optionValue(args, QStringLiteral("--pages"), 20),
                optionList(args, QStringLiteral("--kinds"), QStringLiteral("BW,GRAY,RGB")),
                optionList(args, QStringLiteral("--formats"), QStringLiteral("JPEG,TIFF,PDF")),
                args.contains(QStringLiteral("--tools")));
    } else {
        std::fprintf(stderr,
                     "usage: window_session_bench gap [--pages N] [--sane]\n"
                     "       window_session_bench confirm [--pages N] [--kinds BW,GRAY,RGB] "
                     "[--formats JPEG,TIFF,PDF] [--tools]\n");
        return 2;
    }
    return 0;
}
