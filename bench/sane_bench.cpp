// SANE benchmark: a 10-sheet feeder batch, colour, 300 dpi, A4, from SANE's test backend,
// taken three ways in the same run: `scanimage --batch --format=tiff`, the SANE layer alone in
// this process (the worker's code linked in, images kept in memory), and the whole component
// (SANE in its worker program, images across shared memory into the buffer) while the owner
// thread's event loop is watched with a 5 ms timer. Prints seconds per page and the longest
// gap between timer ticks.
//
//   sane_bench [--runs N] [--device NAME]
//
// NAME is the SANE device, test:0 by default; net:ADDRESS:test:0 reaches the test backend
// through saned (run-sane.sh --net). SANE_CONFIG_DIR must list the backend; run-sane.sh does.
#include "acquisition/ScanComponent.h"
#include "component_base/TwainCodes.h"
#include "default_wiring/DefaultComponent.h"
#include "acquisition_sane/SaneWorkerLayer.h"
#include "sane_worker/SaneDevice.h"
#include "sane_worker/SaneLayer.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int kSheets = 10; // the test backend's feeder holds ten
constexpr int kDpi = 300;

QString g_device = QStringLiteral("test:0");

struct Figure {
    double seconds = 0;
    int pages = 0;
    qint64 longestGapMs = -1; // component only
    QString error;
};

Figure runScanimage(const QString& folder) {
    Figure f;
    QProcess p;
    const QStringList args = {QStringLiteral("-d"),
                              g_device,
                              QStringLiteral("--source"),
                              QStringLiteral("Automatic Document Feeder"),
                              QStringLiteral("--mode"),
                              QStringLiteral("Color"),
                              QStringLiteral("--resolution"),
                              QString::number(kDpi),
                              QStringLiteral("-l"),
                              QStringLiteral("0"),
                              QStringLiteral("-t"),
                              QStringLiteral("0"),
                              QStringLiteral("-x"),
                              QStringLiteral("210"),
                              QStringLiteral("-y"),
                              QStringLiteral("297"),
                              QStringLiteral("--format=tiff"),
                              QStringLiteral("--batch=") + folder + QStringLiteral("/p%d.tif")};
    QElapsedTimer t;
    t.start();
    p.start(QStringLiteral("scanimage"), args);
    if (!p.waitForFinished(300000)) {
        f.error = QStringLiteral("scanimage did not finish: ") + p.errorString();
        return f;
    }
    f.seconds = t.nsecsElapsed() / 1e9;
    f.pages = int(QDir(folder).entryList({QStringLiteral("p*.tif")}, QDir::Files).size());
    return f;
}

class KeepingSink : public AcquireSink {
public:
    bool image(QImage image) override {
        images.push_back(std::move(image));
        return true;
    }
    void progress(int64_t, int64_t) override {}
    bool cancelled() const override { return false; }
    std::vector<QImage> images;
};

/// The SANE layer alone: in this process (`layer`), or through the worker program as the
/// component runs it (`worker`); images kept in memory.
template <typename Layer> Figure runLayer() {
    Figure f;
    Layer layer;
    DeviceStatus st = layer.start();
    if (!st.ok()) {
        f.error = st.text;
        return f;
    }
    auto device = layer.open(g_device);
    for (auto [cap, value] : {std::pair<uint16_t, double>{twain::CAP_FEEDERENABLED, 1},
                              {twain::ICAP_PIXELTYPE, twain::RGB},
                              {twain::ICAP_XRESOLUTION, kDpi},
                              {twain::ICAP_SUPPORTEDSIZES, twain::A4}}) {
        st = device->setCapability(cap, value);
        if (!st.ok()) {
            f.error = st.text;
            return f;
        }
    }
    KeepingSink sink;
    AcquireRequest request;
    request.feeder = true;
    request.maxImages = 99;
    QElapsedTimer t;
    t.start();
    st = device->acquire(request, sink);
    f.seconds = t.nsecsElapsed() / 1e9;
    f.pages = int(sink.images.size());
    if (!st.ok())
        f.error = st.text;
    return f;
}

Figure runComponent(const QString& cacheParent) {
    Figure f;
    std::unique_ptr<ScanComponent> scan = createDefaultComponent(cacheParent);
    if (scan->OpenSourceManager() == 0) {
        f.error = QStringLiteral("OpenSourceManager failed: ") + scan->LastErrorText();
        return f;
    }
    int index = -1;
    for (int i = 0; i < scan->SourceCount(); ++i)
        if (scan->SourceName(i).endsWith(QLatin1Char('(') + g_device + QLatin1Char(')')))
            index = i;
    if (index < 0) {
        f.error = g_device + QStringLiteral(" not among the sources");
        return f;
    }
    scan->setSourceIndex(index);
    scan->setImageLimit(99);
    if (scan->OpenDataSource() != 1) {
        f.error = QStringLiteral("OpenDataSource failed: ") + scan->LastErrorText();
        return f;
    }
    scan->setFeederEnabled(1);
    scan->setImagePixelType(twain::RGB);
    scan->setResolution(kDpi);
    scan->setPageSize(twain::A4);

    QEventLoop loop;
    QElapsedTimer sinceTick;
    qint64 longest = 0;
    QTimer ticker;
    ticker.setInterval(5);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longest = std::max(longest, sinceTick.elapsed());
        sinceTick.restart();
    });
    int pages = 0;
    int32_t endFlag = 0;
    QObject::connect(scan.get(), &ScanComponent::PostScan, [&](int32_t flag) {
        if (flag == 0) {
            ++pages;
            return;
        }
        endFlag = flag;
        loop.quit();
    });
    QTimer::singleShot(300000, &loop, &QEventLoop::quit);
    QElapsedTimer t;
    t.start();
    sinceTick.start();
    ticker.start();
    if (scan->Acquire() != 1) {
        f.error = QStringLiteral("Acquire failed: ") + scan->LastErrorText();
        return f;
    }
    loop.exec();
    ticker.stop();
    f.seconds = t.nsecsElapsed() / 1e9;
    f.pages = scan->ImageCount();
    f.longestGapMs = longest;
    if (endFlag == 0)
        f.error = QStringLiteral("no end of acquisition within 300 s");
    else if (scan->LastErrorCode() != 0)
        f.error = scan->LastErrorText();
    if (pages != f.pages)
        f.error += QStringLiteral(" (%1 PostScan(0) for %2 images)").arg(pages).arg(f.pages);
    scan->CloseDataSource();
    scan->CloseSourceManager();
    return f;
}

void print(const char* what, int run, const Figure& f) {
    std::printf("%-10s run %d: %2d pages in %6.3f s = %.4f s/page", what, run, f.pages, f.seconds,
                f.pages ? f.seconds / f.pages : 0.0);
    if (f.longestGapMs >= 0)
        std::printf(", longest event-loop gap %lld ms", static_cast<long long>(f.longestGapMs));
    if (!f.error.isEmpty())
        std::printf("  [%s]", qPrintable(f.error));
    std::printf("\n");
    std::fflush(stdout);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    int runs = 3;
    const QStringList args = app.arguments();
    const int at = int(args.indexOf(QStringLiteral("--runs")));
    if (at > 0 && at + 1 < args.size())
        runs = std::max(1, args[at + 1].toInt());
    const int device = int(args.indexOf(QStringLiteral("--device")));
    if (device > 0 && device + 1 < args.size())
        g_device = args[device + 1];
    if (!qEnvironmentVariableIsSet("SANE_CONFIG_DIR"))
        std::fprintf(stderr,
                     "warning: SANE_CONFIG_DIR is not set; every installed backend loads\n");
    qputenv("SCANSIONE_SANE", "1");

    std::printf("%d-sheet feeder batch, colour, %d dpi, A4, SANE device %s\n", kSheets, kDpi,
                qPrintable(g_device));
    std::vector<double> tool, layer, worker, component;
    qint64 worstGap = 0;
    bool failed = false;
    for (int run = 1; run <= runs; ++run) {
        QTemporaryDir dir;
        const Figure s = runScanimage(dir.path());
        print("scanimage", run, s);
        const Figure l = runLayer<SaneLayer>();
        print("layer", run, l);
        const Figure w = runLayer<SaneWorkerLayer>();
        print("worker", run, w);
        QTemporaryDir cache;
        const Figure c = runComponent(cache.path());
        print("component", run, c);
        for (const Figure* f : {&s, &l, &w, &c})
            failed = failed || !f->error.isEmpty() || f->pages != kSheets;
        tool.push_back(s.seconds / std::max(1, s.pages));
        layer.push_back(l.seconds / std::max(1, l.pages));
        worker.push_back(w.seconds / std::max(1, w.pages));
        component.push_back(c.seconds / std::max(1, c.pages));
        worstGap = std::max(worstGap, c.longestGapMs);
    }
    const double t = median(tool), l = median(layer), w = median(worker), c = median(component);
    std::printf("\nmedian s/page: scanimage %.4f, layer %.4f (%.2fx), worker %.4f (%.2fx), "
                "component %.4f (%.2fx)\n",
                t, l, t > 0 ? l / t : 0, w, t > 0 ? w / t : 0, c, t > 0 ? c / t : 0);
    std::printf("longest event-loop gap while the component acquired: %lld ms (goal <= 50)\n",
                static_cast<long long>(worstGap));
    std::printf("goals: component within 1.2x of scanimage: %s; event loop: %s\n",
                c <= 1.2 * t ? "met" : "MISSED", worstGap <= 50 ? "met" : "MISSED");
    return failed ? 1 : 0;
}
