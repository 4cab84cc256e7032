// Memory of a long feeder batch: a 99-page A4 300 dpi colour batch from the virtual scanner,
// with the resident size read after every page, the pages encoded meanwhile for a document of
// `format` (PDF; "none" for no document). Prints the peak (VmHWM), the growth per page after
// the tenth, and how long page generation and storing take.
//
//   memory_bench [pages] [format]   (default 99 PDF; the cache goes under $TMPDIR)
#include "BenchSupport.h"
#include "acquisition/ImageBuffer.h"
#include "virtual_scanner/PageRenderer.h"
#include "virtual_scanner/VirtualScanner.h"
#include "acquisition/VstScan.h"
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    const int pages = argc > 1 ? std::atoi(argv[1]) : 99;
    const QString format = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("PDF");

    // Page generation and storing alone, before anything else is in memory.
    PageSpec layout;
    layout.pixelType = 2;
    layout.dpiX = layout.dpiY = 300;
    layout.sizeInches = QSizeF(210 / 25.4, 297 / 25.4);
    layout.scannerName = QStringLiteral("bench");
    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 2;
    }
    QElapsedTimer t;
    qint64 renderMs = 0, storeMs = 0;
    const int samples = 5;
    QImage canvas; // the device paints each page into the buffer of the last one
    for (int i = 0; i < samples; ++i) {
        layout.image = i + 1;
        t.start();
        const QImage page = renderPage(layout, &canvas);
        renderMs += t.elapsed();
        t.start();
        const StoredPage stored = storePage(page, dir.filePath(QStringLiteral("sample.raw")));
        storeMs += t.elapsed();
        if (stored.cachePath.isEmpty()) {
            std::fprintf(stderr, "cache write failed\n");
            return 2;
        }
    }
    QFile::remove(dir.filePath(QStringLiteral("sample.raw")));
    const long rssBefore = statusKb("VmRSS");

    QFile json(dir.filePath(QStringLiteral("bench.json")));
    json.open(QIODevice::WriteOnly);
    json.write(QStringLiteral(R"({"scanners":[{"name":"Bench ADF","pixelTypes":["RGB"],
        "resolutions":[300],"pageSizes":["A4"],"feeder":{"present":true,"sheets":%1}}]})")
                   .arg(pages)
                   .toUtf8());
    json.close();
    std::vector<std::unique_ptr<DeviceLayer>> layers;
    layers.push_back(std::make_unique<VirtualScannerLayer>(json.fileName()));
    VstScan scan(std::move(layers), dir.path());
    if (scan.OpenSourceManager() != 1 || scan.OpenDataSource() != 1) {
        std::fprintf(stderr, "cannot open the virtual scanner: %s\n",
                     qUtf8Printable(scan.LastErrorText()));
        return 2;
    }
    scan.setImagePixelType(2);
    scan.setResolution(300);
    scan.setPageSize(1);
    scan.setImageLimit(pages);
    scan.setFeederEnabled(1);
    scan.setDocumentFormat(format);

    QVector<long> rss;
    QObject::connect(&scan, &ScanComponent::PostScan, &app, [&](int32_t flag) {
        if (flag == 0) {
            rss << statusKb("VmRSS");
            // The window shows each page as it comes: decode its preview like it does.
            (void)scan.ImagePicture(scan.ImageCount() - 1);
        } else {
            app.quit();
        }
    });
    QElapsedTimer total;
    total.start();
    scan.Acquire();
    app.exec();
    const double seconds = total.elapsed() / 1000.0;
    // The encoder finishes what the batch left it; the peak counts that too.
    QElapsedTimer settling;
    settling.start();
    while (!scan.imagesSettled())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    const double settleSeconds = settling.elapsed() / 1000.0;

    const long hwm = statusKb("VmHWM");
    QTextStream out(stdout);
    out << "pages acquired:            " << scan.ImageCount() << " of " << pages << " (end code "
        << scan.LastErrorCode() << ")\n";
    out << "page generation (A4 300 dpi colour): " << double(renderMs) / samples << " ms\n";
    out << "cache write + preview:     " << double(storeMs) / samples << " ms\n";
    out << "batch time:                " << seconds << " s ("
        << (rss.isEmpty() ? 0 : seconds * 1000 / rss.size()) << " ms a page)\n";
    out << "encoding for " << format << " after the batch: " << settleSeconds << " s ("
        << scan.preparedCount() << " pages encoded)\n";
    out << "resident before batch:     " << rssBefore / 1024.0 << " MB\n";
    out << "peak resident (VmHWM):     " << hwm / 1024.0 << " MB\n";
    double growth = 0;
    if (rss.size() > 10) {
        growth = double(rss.last() - rss.at(9)) / (rss.size() - 10) / 1024.0;
        out << "resident at page 10 / " << rss.size() << ": " << rss.at(9) / 1024.0 << " / "
            << rss.last() / 1024.0 << " MB\n";
        out << "growth per page after 10th: " << growth << " MB\n";
    }
    const bool met = scan.ImageCount() == pages && hwm < 400 * 1024 && growth < 1.0;
    out << (met ? "goal met" : "goal missed") << " (peak < 400 MB, growth < 1 MB a page)\n";
    out.flush();
    return met ? 0 : 1;
}
