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
//   window_session_bench ocr [--pages N] [--interval MS] [--fake] [--worker-nice N]
//       a feeder batch of N (10) A4 300 dpi grey pages of Italian text, one every MS (2500)
//       milliseconds, without and then with text recognition: when all pages' text is ready
//       beside the end of the batch without it (what recognition adds), one page's
//       recognition alone through the same reader, the window's longest event-loop pause
//       while recognition runs, and the OCR worker's peak memory. The reader is the OCR
//       worker's client; with --fake (or where the client is not built) a stand-in that
//       sleeps 1.7 s a page. Prints the goals met or missed. --worker-nice is an experiment,
//       not the product: the batch's worker is set to that niceness after its first page.
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
#if __has_include("acquisition/PageTextQueue.h")
#define SCANSIONE_READS_TEXT 1
#include "BenchSupport.h"
#include "component_base/PageServices.h"
#include "support/ItalianPages.h"
#include <QThread>
#include <sys/resource.h>
#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>
#endif
#ifdef SCANSIONE_HAS_OCR_CLIENT
#include "ocr_client/OcrClient.h"
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

/// A 1 ms timer on the window's thread: the longest gap between its ticks is the longest the
/// window's event loop did not run. The window thread's own CPU time in each gap tells a
/// pause it caused itself (busy) from one the machine caused (the thread waiting for a core
/// other processes hold).
struct LoopProbe {
    QElapsedTimer clock;
    QTimer timer;
    qint64 last = 0, longest = 0, ticks = 0;
    qint64 lastCpu = 0, longestCpu = 0, busiest = 0, busiestAt = 0;

    LoopProbe() {
        timer.setInterval(1);
        QObject::connect(&timer, &QTimer::timeout, [this] { tick(); });
    }
    void start() {
        clock.start();
        last = 0;
        lastCpu = threadCpuNs();
        timer.start();
    }
    void stop() {
        tick();
        timer.stop();
    }
    void tick() {
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
    }
};

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
#ifdef SCANSIONE_READS_TEXT
    /// The page workers the virtual scanner's component is given.
    PageServices services;
#endif
    /// Wraps the virtual scanner's layer (its pages replaced, say); null: as it is.
    std::function<std::unique_ptr<DeviceLayer>(std::unique_ptr<DeviceLayer>)> wrapLayer;
    /// Runs once the window holds its component, before "Scansione documento" is pressed.
    std::function<void(FormScansione&)> beforePress;

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
            s.createComponent = [this, path, cache](std::shared_ptr<ComponentDialogs> dialogs)
                -> std::unique_ptr<ScanComponent> {
                std::vector<std::unique_ptr<DeviceLayer>> layers;
                std::unique_ptr<DeviceLayer> layer = std::make_unique<VirtualScannerLayer>(path);
                layers.push_back(wrapLayer ? wrapLayer(std::move(layer)) : std::move(layer));
#ifdef SCANSIONE_READS_TEXT
                return std::make_unique<VstScan>(std::move(layers), cache, services,
                                                 std::move(dialogs));
#else
                return std::make_unique<VstScan>(std::move(layers), cache, std::move(dialogs));
#endif
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
                if (beforePress)
                    beforePress(form);
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
    QElapsedTimer batch;
    LoopProbe probe;
    int delivered = 0;
    session.run(
        record,
        [&](FormScansione& form) {
            probe.stop();
            delivered = form.pages().count();
        },
        [&](FormScansione&) {
            batch.start();
            probe.start();
        });
    std::printf("event loop during a %d-page batch (A4 300 dpi %s from %s, a page every %d ms, "
                "for %s): longest gap %.1f ms (the window thread busy %.1f ms of it), longest "
                "busy stretch %.1f ms (%.2f s into the batch); batch %.2f s, %lld probe ticks, %d "
                "pages filed; the press itself %.1f ms\n",
                pages, qPrintable(record.PixelType), sane ? "SANE" : "the virtual scanner",
                interval, qPrintable(format), probe.longest / 1e6, probe.longestCpu / 1e6,
                probe.busiest / 1e6, probe.busiestAt / 1e9, batch.elapsed() / 1000.0,
                static_cast<long long>(probe.ticks),
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

#ifdef SCANSIONE_READS_TEXT
/// What the page readers of a run measured, from the component's text thread.
struct ReadFigures {
    std::mutex mutex;
    std::vector<double> seconds; ///< each page's reading, in order
    std::vector<double> cpu;     ///< the worker's CPU time for each (-1: not measured)
    long workerPeakKb = -1;      ///< the highest VmHWM of an OCR worker seen
    int workerNice = -100;       ///< the worker's niceness at its first page (-100: not seen)
    /// An experiment, not the product: every thread of the worker is set to this niceness
    /// after each page (-100: left as the product sets it).
    int forceNice = -100;
    int failed = 0;
};

/// Reads nothing and takes as long as tesseract does on one of these pages: the harness's
/// stand-in where the OCR worker's client is not built (or with --fake).
class SleepingReader : public PageTextReader {
public:
    OcrResult read(const QImage& page, int, const QString&) override {
        QThread::msleep(1700);
        OcrWord word;
        word.box = QRect(QPoint(0, 0), page.size());
        word.text = QStringLiteral("finta");
        return {{}, {word}};
    }
};

/// The product's page reader, made as the component's wiring makes it; the stand-in with
/// `fake` or where the OCR worker's client is not built.
std::unique_ptr<PageTextReader> productReader(bool fake) {
#ifdef SCANSIONE_HAS_OCR_CLIENT
    if (!fake)
        return ocrPageServices().textReader();
#endif
    Q_UNUSED(fake);
    return std::make_unique<SleepingReader>();
}

/// The OCR worker process behind `reader`; 0 when it is not the worker's client or none runs.
qint64 workerOf(PageTextReader* reader) {
#ifdef SCANSIONE_HAS_OCR_CLIENT
    if (auto* client = dynamic_cast<OcrClient*>(reader))
        return client->workerPid();
#else
    Q_UNUSED(reader);
#endif
    return 0;
}

/// Passes each page to `inner`, timing it, and reads the worker's peak memory after it (the
/// worker stays for the next page, so its VmHWM is there to read).
class MeasuredReader : public PageTextReader {
public:
    MeasuredReader(std::unique_ptr<PageTextReader> inner, std::shared_ptr<ReadFigures> figures)
        : m_inner(std::move(inner)), m_figures(std::move(figures)) {}
    OcrResult read(const QImage& page, int dpi, const QString& languages) override {
        const qint64 before = workerOf(m_inner.get());
        const double cpuBefore = before > 0 ? processCpuSeconds(before) : 0;
        QElapsedTimer t;
        t.start();
        OcrResult result = m_inner->read(page, dpi, languages);
        const double seconds = t.nsecsElapsed() / 1e9;
        const qint64 pid = workerOf(m_inner.get());
        const long kb = processStatusKb(pid, "VmHWM");
        const double cpuAfter = processCpuSeconds(pid);
        std::lock_guard lock(m_figures->mutex);
        m_figures->seconds.push_back(seconds);
        // A worker started for this page counts from nothing; another one's time is unknown.
        m_figures->cpu.push_back(cpuAfter >= 0 && (pid == before || before == 0)
                                     ? cpuAfter - cpuBefore
                                     : -1);
        m_figures->workerPeakKb = std::max(m_figures->workerPeakKb, kb);
        if (m_figures->workerNice == -100)
            m_figures->workerNice = processNice(pid); // as the product started it
        if (m_figures->forceNice > -100 && pid > 0) {
            const QDir threads(QStringLiteral("/proc/%1/task").arg(pid));
            for (const QString& thread : threads.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
                ::setpriority(PRIO_PROCESS, id_t(thread.toInt()), m_figures->forceNice);
        }
        if (!result.ok()) {
            ++m_figures->failed;
            std::fprintf(stderr, "page not read: %s\n", qPrintable(result.error));
        }
        return result;
    }

private:
    std::unique_ptr<PageTextReader> m_inner;
    std::shared_ptr<ReadFigures> m_figures;
};

/// Page services whose readers are the product's, measured into `figures`.
PageServices measuredServices(bool fake, const std::shared_ptr<ReadFigures>& figures) {
    PageServices services;
    services.textReader = [fake, figures]() -> std::unique_ptr<PageTextReader> {
        std::unique_ptr<PageTextReader> inner = productReader(fake);
        if (!inner)
            return nullptr;
        return std::make_unique<MeasuredReader>(std::move(inner), figures);
    };
    return services;
}

/// The virtual scanner's sheets with their pixels replaced by pages of Italian text (keeping
/// the resolution the scanner gave): its feeder and pacing, with real work for the reader.
class ItalianSink : public AcquireSink {
public:
    ItalianSink(AcquireSink& inner, const std::vector<QImage>& pages)
        : m_inner(inner), m_pages(pages) {}
    bool image(QImage image) override {
        QImage page = m_pages[m_count++ % m_pages.size()];
        page.setDotsPerMeterX(image.dotsPerMeterX());
        page.setDotsPerMeterY(image.dotsPerMeterY());
        return m_inner.image(std::move(page));
    }
    void progress(int64_t bytes, int64_t expected) override { m_inner.progress(bytes, expected); }
    bool cancelled() const override { return m_inner.cancelled(); }
    void feederEmptied() override { m_inner.feederEmptied(); }

private:
    AcquireSink& m_inner;
    const std::vector<QImage>& m_pages;
    size_t m_count = 0;
};

class ItalianDevice : public ScanDevice {
public:
    ItalianDevice(std::unique_ptr<ScanDevice> inner, const std::vector<QImage>& pages)
        : m_inner(std::move(inner)), m_pages(pages) {}
    QVector<uint16_t> capabilityIds() const override { return m_inner->capabilityIds(); }
    std::optional<Capability> capability(uint16_t id) const override {
        return m_inner->capability(id);
    }
    DeviceStatus setCapability(uint16_t id, double value) override {
        return m_inner->setCapability(id, value);
    }
    DeviceStatus setImageLayout(double l, double t, double r, double b) override {
        return m_inner->setImageLayout(l, t, r, b);
    }
    DeviceStatus acquire(const AcquireRequest& request, AcquireSink& sink) override {
        ItalianSink italian(sink, m_pages);
        return m_inner->acquire(request, italian);
    }
    void cancel() override { m_inner->cancel(); }
    DeviceStatus fault() const override { return m_inner->fault(); }

private:
    std::unique_ptr<ScanDevice> m_inner;
    const std::vector<QImage>& m_pages;
};

class ItalianLayer : public DeviceLayer {
public:
    ItalianLayer(std::unique_ptr<DeviceLayer> inner, const std::vector<QImage>& pages)
        : m_inner(std::move(inner)), m_pages(pages) {}
    DeviceStatus start() override { return m_inner->start(); }
    void stop() override { m_inner->stop(); }
    QVector<DeviceInfo> devices() const override { return m_inner->devices(); }
    std::unique_ptr<ScanDevice> open(const QString& id) override {
        return std::make_unique<ItalianDevice>(m_inner->open(id), m_pages);
    }

private:
    std::unique_ptr<DeviceLayer> m_inner;
    const std::vector<QImage>& m_pages;
};

/// One feeder batch, in seconds from the press (-1: did not happen).
struct FeederRun {
    double lastSheet = -1, ended = -1, textReady = -1;
    int images = 0, read = 0, failed = 0;
    double longestMs = 0, longestBusyMs = 0;
};

FeederRun feederRun(int sheets, int interval, const std::vector<QImage>& pages, bool withText,
                    const PageServices& services) {
    Session session(sheets, interval);
    session.services = services;
    session.wrapLayer = [&pages](std::unique_ptr<DeviceLayer> layer) {
        return std::make_unique<ItalianLayer>(std::move(layer), pages);
    };
    ScanSettings record(QStringLiteral("/nonexistent.ini"));
    record.PixelType = QStringLiteral("GRAY");
    record.ResultFormat = QStringLiteral("PDF");
    record.Risoluzione = 300;
    record.Pagina = QStringLiteral("A4");
    if (withText) {
        record.setOCR(QStringLiteral("1"));
        record.setLinguaOCR(QStringLiteral("ita"));
    }
    FeederRun run;
    QElapsedTimer clock;
    LoopProbe probe;
    // Set on each page's text: asking the component then, not after every event, keeps the
    // bench off the window's thread (imageText reads the page's words file).
    bool textChanged = false;
    session.beforePress = [&](FormScansione& form) {
        ScanComponent* component = form.component();
        QObject::connect(component, &ScanComponent::PostScan, &form, [&](int32_t flag) {
            const double at = clock.nsecsElapsed() / 1e9;
            if (flag == 0)
                run.lastSheet = at;
            else if (run.ended < 0)
                run.ended = at;
        });
        QObject::connect(component, &ScanComponent::ImageTextReady, &form,
                         [&](int32_t) {
                             run.textReady = clock.nsecsElapsed() / 1e9;
                             textChanged = true;
                         });
        if (withText)
            component->setTextLanguages(QStringLiteral("ita"));
        clock.start();
        probe.start();
    };
    session.run(record, [&](FormScansione& form) {
        const ScanComponent* component = form.component();
        auto waiting = [&] {
            int n = 0;
            for (int i = 0; i < component->ImageCount(); ++i)
                n += component->imageText(i).state == ImageText::State::Waiting;
            return n;
        };
        QElapsedTimer bound;
        bound.start();
        for (bool pending = waiting() > 0; pending && bound.elapsed() < 600000;) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
            if (std::exchange(textChanged, false))
                pending = waiting() > 0;
        }
        probe.stop();
        run.images = component->ImageCount();
        for (int i = 0; i < run.images; ++i) {
            const ImageText::State state = component->imageText(i).state;
            run.read += state == ImageText::State::Read;
            run.failed += state == ImageText::State::Failed;
        }
        run.longestMs = probe.longest / 1e6;
        run.longestBusyMs = probe.longestCpu / 1e6;
    });
    return run;
}

double median(std::vector<double> v) {
    if (v.empty())
        return -1;
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

/// A worker's CPU seconds as printed; "-" when not measured.
QByteArray cpuText(double seconds) {
    return seconds < 0 ? QByteArray("-") : QByteArray::number(seconds, 'f', 2);
}

/// The feeder batch with and without text recognition, beside one page's recognition alone.
int ocrFeeder(int sheets, int interval, bool fake, int forceNice) {
    std::vector<QImage> pages;
    for (PageKind kind : {PageKind::Sans, PageKind::Serif, PageKind::Degraded})
        pages.push_back(italianPage(kind).image.convertToFormat(QImage::Format_Grayscale8));
#ifdef SCANSIONE_HAS_OCR_CLIENT
    const bool worker = !fake;
#else
    const bool worker = false;
#endif
    std::printf("Text recognition on a feeder batch: %d sheets A4 300 dpi grey Italian text, one "
                "every %d ms, for a PDF; reader: %s\n",
                sheets, interval,
                worker ? "the OCR worker program (OcrClient)"
                       : "a stand-in that sleeps 1.7 s a page (no worker measured)");

    // One page's recognition alone, through the same reader: the first call starts the worker
    // and loads the language, the next ones are pages as the batch's are read.
    auto alone = std::make_shared<ReadFigures>();
    {
        MeasuredReader reader(productReader(fake), alone);
        for (int i = 0; i <= int(pages.size()); ++i)
            reader.read(pages[i % pages.size()], 300, QStringLiteral("ita"));
    }
    const double firstSeconds = alone->seconds.front();
    const double pageSeconds =
        median(std::vector<double>(alone->seconds.begin() + 1, alone->seconds.end()));
    std::printf("  load average at the start: %s\n", loadAverage().constData());
    std::printf("  one page alone: %.2f s (median of sans, serif, degraded: %.2f %.2f %.2f s; "
                "worker CPU %s s); the first call, with the worker's start and the language, "
                "%.2f s\n",
                pageSeconds, alone->seconds[1], alone->seconds[2], alone->seconds[3],
                cpuText(median(std::vector<double>(alone->cpu.begin() + 1, alone->cpu.end())))
                    .constData(),
                firstSeconds);
    std::fflush(stdout);

    auto batch = std::make_shared<ReadFigures>();
    batch->forceNice = forceNice;
    if (forceNice > -100)
        std::printf("  experiment: the batch's worker set to nice %d after its first page\n",
                    forceNice);
    const PageServices services = measuredServices(fake, batch);
    const FeederRun plain = feederRun(sheets, interval, pages, false, services);
    const FeederRun text = feederRun(sheets, interval, pages, true, services);

    std::printf("  %-12s %11s %10s %11s %14s %12s %11s\n", "", "last sheet", "batch end",
                "text ready", "longest pause", "(its busy)", "pages read");
    auto row = [](const char* name, const FeederRun& r, bool withText) {
        std::printf("  %-12s %9.2f s %8.2f s ", name, r.lastSheet, r.ended);
        if (withText)
            std::printf("%9.2f s", r.textReady);
        else
            std::printf("%11s", "-");
        std::printf(" %11.1f ms %9.1f ms ", r.longestMs, r.longestBusyMs);
        if (withText)
            std::printf("%5d of %-3d", r.read, r.images);
        else
            std::printf("%11s", "-");
        std::printf("\n");
    };
    row("without OCR", plain, false);
    row("with OCR", text, true);
    std::printf("  pages read during the batch (s, the worker's CPU s):");
    for (size_t i = 0; i < batch->seconds.size(); ++i)
        std::printf(" %.2f (%s)", batch->seconds[i], cpuText(batch->cpu[i]).constData());
    std::printf("; median %.2f s, %d failed\n", median(batch->seconds), batch->failed);
    // Off the CPU is mostly waiting for a core that busier or less nice processes hold.
    double total = 0, off = 0;
    for (size_t i = 0; i < batch->seconds.size(); ++i)
        if (batch->cpu[i] >= 0) {
            total += batch->seconds[i];
            off += batch->seconds[i] - batch->cpu[i];
        }
    if (batch->workerNice > -100)
        std::printf("  the worker, at nice %d (alone: %d), was off the CPU %.2f s of its pages' "
                    "%.2f s\n",
                    batch->workerNice, alone->workerNice, off, total);
    std::printf("  load average at the end: %s\n", loadAverage().constData());

    const double added = text.textReady - plain.ended;
    const long peakKb = std::max(alone->workerPeakKb, batch->workerPeakKb);
    std::printf("goals\n");
    std::printf("  %-58s %8.2f s  (goal <= one page alone, %.2f s)  %s\n",
                "OCR adds to the batch (text ready - batch end without OCR)", added, pageSeconds,
                text.read == text.images && added <= pageSeconds ? "met" : "MISSED");
    std::printf("  %-58s %8.2f s\n", "  (all text ready after the last sheet, with OCR)",
                text.textReady - text.lastSheet);
    std::printf("  %-58s %8.1f ms (goal <= 50 ms)  %s\n",
                "window's longest event-loop pause while recognition runs", text.longestMs,
                text.longestMs <= 50 ? "met" : "MISSED");
    if (peakKb > 0)
        std::printf("  %-58s %8.1f MB (goal < 300 MB)  %s\n", "OCR worker's peak memory (VmHWM)",
                    peakKb / 1024.0, peakKb < 300 * 1024 ? "met" : "MISSED");
    else
        std::printf("  %-58s %8s    (goal < 300 MB)  not measured\n",
                    "OCR worker's peak memory (VmHWM)", "-");
    std::fflush(stdout);
    return text.read == text.images ? 0 : 1;
}
#endif

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
#ifdef SCANSIONE_READS_TEXT
    } else if (mode == QLatin1String("ocr")) {
        return ocrFeeder(optionValue(args, QStringLiteral("--pages"), 10),
                         optionValue(args, QStringLiteral("--interval"), 2500),
                         args.contains(QStringLiteral("--fake")),
                         optionValue(args, QStringLiteral("--worker-nice"), -100));
#endif
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
                     "[--formats JPEG,TIFF,PDF] [--interval MS] [--tools] [--reference]\n"
                     "       window_session_bench ocr [--pages N] [--interval MS] [--fake] "
                     "[--worker-nice N]\n");
        return 2;
    }
    return 0;
}
