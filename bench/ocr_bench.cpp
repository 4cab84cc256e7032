// OCR benchmark: A4 300 dpi pages rendered from known Italian text (sans, serif, degraded,
// black and white), written as the component's image-only PDF, then made searchable twice in
// the same run: by our recogniser and text layer, and by ocrmypdf -l ita -j 1 --output-type
// pdf. Prints, per page kind: word recall of each read back by pdftotext, accented words
// lost, seconds a page, bytes added a page, the median distance of each one's word centres
// (pdftotext -bbox) from where the words were drawn, and of ours from the peer's; then the
// goals, met or missed.
//
//   ocr_bench [--out DIR]
//
// Our pages are read as the product reads them, through the OCR worker program (OcrClient),
// whose start and language load are timed apart; the recogniser in this process is timed
// beside it ("in-proc"). Where the worker's client is not built, the in-process words make
// the text layer. Tesseract runs on one thread, as the worker program does (the benchmark
// starts itself again with OMP_THREAD_LIMIT=1 when that is not set).
#include "BenchSupport.h"
#include "writers/PdfTextLayer.h"
#include "writers/PdfWriter.h"
#include "support/OcrPages.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>
#ifdef SCANSIONE_HAS_OCR_CLIENT
#include "ocr_client/OcrClient.h"
#endif

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

namespace {

QString run(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(600000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(program),
                     p.readAllStandardError().constData());
        return QString();
    }
    return QString::fromUtf8(p.readAllStandardOutput());
}

QStringList textOf(const QString& pdf) {
    return run(QStringLiteral("pdftotext"), {pdf, QStringLiteral("-")})
        .split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
}

struct Box {
    QString text;
    QPointF centre;
};

std::vector<Box> boxesOf(const QString& pdf) {
    static const QRegularExpression word(
        QStringLiteral("<word xMin=\"([\\d.]+)\" yMin=\"([\\d.]+)\" xMax=\"([\\d.]+)\" "
                       "yMax=\"([\\d.]+)\">([^<]*)</word>"));
    std::vector<Box> boxes;
    const QString html =
        run(QStringLiteral("pdftotext"), {QStringLiteral("-bbox"), pdf, QStringLiteral("-")});
    for (auto m = word.globalMatch(html); m.hasNext();) {
        const auto w = m.next();
        boxes.push_back({bareWord(w.captured(5)),
                         QPointF((w.captured(1).toDouble() + w.captured(3).toDouble()) / 2,
                                 (w.captured(2).toDouble() + w.captured(4).toDouble()) / 2)});
    }
    return boxes;
}

// The median distance from each of our words to the nearest peer word of the same text.
double medianDistance(const std::vector<Box>& ours, const std::vector<Box>& peer) {
    std::vector<double> d;
    for (const Box& o : ours) {
        double best = -1;
        for (const Box& p : peer)
            if (p.text == o.text) {
                const double dist =
                    std::hypot(p.centre.x() - o.centre.x(), p.centre.y() - o.centre.y());
                best = best < 0 ? dist : std::min(best, dist);
            }
        if (best >= 0)
            d.push_back(best);
    }
    if (d.empty())
        return -1;
    std::nth_element(d.begin(), d.begin() + d.size() / 2, d.end());
    return d[d.size() / 2];
}

bool writePlain(const QImage& image, const QString& png, const QString& pdf) {
    if (!image.save(png))
        return false;
    PdfWriter writer;
    writer.setOutputPath(pdf);
    writer.BeginDocument(QString());
    writer.setDocumentMode(4);
    writer.AddPage(210, 297);
    writer.DrawImage(writer.AddImageFile(png), 0, 297, 210, 297);
    writer.EndPage(QString());
    return writer.EndDocument() == 1;
}

void addLayer(const QString& from, const QString& to, const OcrWords& words, QSize pixels) {
    QPDF pdf;
    pdf.processFile(from.toLocal8Bit().constData());
    PdfTextLayer layer(pdf);
    QPDFPageObjectHelper page = QPDFPageDocumentHelper(pdf).getAllPages().front();
    const QPDFObjectHandle::Rectangle box = page.getMediaBox().getArrayAsRectangle();
    layer.addToPage(page, QSizeF(box.urx - box.llx, box.ury - box.lly), pixels, words);
    // QPDFWriter keeps the name it is given until it writes.
    const QByteArray target = to.toLocal8Bit();
    QPDFWriter writer(pdf, target.constData());
    writer.write();
}

} // namespace

int main(int argc, char** argv) {
    const char* threads = std::getenv("OMP_THREAD_LIMIT");
    if (!threads || std::strcmp(threads, "1") != 0) {
        ::setenv("OMP_THREAD_LIMIT", "1", 1);
        ::execv("/proc/self/exe", argv);
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QTemporaryDir temporary;
    QString out = temporary.path();
    const QStringList args = app.arguments();
    if (const qsizetype at = args.indexOf(QStringLiteral("--out"));
        at >= 0 && at + 1 < args.size()) {
        out = args[at + 1];
        QDir().mkpath(out);
    }
    const struct {
        const char* name;
        PageKind kind;
    } kinds[] = {{"sans", PageKind::Sans},
                 {"serif", PageKind::Serif},
                 {"degraded", PageKind::Degraded},
                 {"bw", PageKind::BlackAndWhite}};

    OcrEngine engine;
#ifdef SCANSIONE_HAS_OCR_CLIENT
    // The worker is started and its language loaded once a session: timed on a small page
    // before the first of ours, so that each page's figure is its reading alone.
    OcrClient client;
    {
        QImage blank(600, 600, QImage::Format_Grayscale8);
        blank.fill(255);
        QElapsedTimer start;
        start.start();
        const OcrResult warm = client.read(blank, 300, QStringLiteral("ita"));
        if (!warm.ok()) {
            std::fprintf(stderr, "OCR worker: %s\n", qPrintable(warm.error));
            return 1;
        }
        std::printf("OCR worker (scansione-ocr-worker) start and language load: %.2f s\n",
                    start.elapsed() / 1000.0);
    }
#else
    std::printf("OCR worker's client not built: our pages are read in this process\n");
#endif
    std::printf("%-9s %6s | %8s %6s %8s %8s %8s %8s | %8s %6s %8s %8s %8s | %8s\n", "page",
                "words", "ours", "lost", "s/page", "in-proc", "B added", "truth pt", "ocrmypdf",
                "lost", "s/page", "B added", "truth pt", "peer pt");
    bool recallMet = true, accentsMet = true, distanceMet = true, bytesMet = true,
         timeMet = true;
    for (const auto& k : kinds) {
        const ItalianPage page = italianPage(k.kind);
        const QString base = out + QLatin1Char('/') + QLatin1String(k.name);
        const QString plain = base + QStringLiteral("-immagine.pdf");
        const QString ours = base + QStringLiteral("-nostro.pdf");
        const QString peer = base + QStringLiteral("-ocrmypdf.pdf");
        if (!writePlain(page.image, base + QStringLiteral(".png"), plain))
            return 1;

        QElapsedTimer timer;
        timer.start();
        const OcrResult inProcess =
            engine.recognise(pixelsOf(page.image, page.dpi), QStringLiteral("ita"));
        const double inProcessSeconds = timer.elapsed() / 1000.0;
        if (!inProcess.ok()) {
            std::fprintf(stderr, "%s\n", qPrintable(inProcess.error));
            return 1;
        }

#ifdef SCANSIONE_HAS_OCR_CLIENT
        timer.restart();
        const OcrResult read = client.read(page.image, page.dpi, QStringLiteral("ita"));
        const double readSeconds = timer.elapsed() / 1000.0;
        if (!read.ok()) {
            std::fprintf(stderr, "OCR worker: %s\n", qPrintable(read.error));
            return 1;
        }
#else
        const OcrResult& read = inProcess;
        const double readSeconds = inProcessSeconds;
#endif
        timer.restart();
        addLayer(plain, ours, read.words, page.image.size());
        const double layerSeconds = timer.elapsed() / 1000.0;
        // Each a page's reading and its text layer, as the peer's figure is.
        const double ourSeconds = readSeconds + layerSeconds;
        const double inProcSeconds = inProcessSeconds + layerSeconds;

        timer.restart();
        run(QStringLiteral("ocrmypdf"),
            {QStringLiteral("-q"), QStringLiteral("-l"), QStringLiteral("ita"),
             QStringLiteral("-j"), QStringLiteral("1"), QStringLiteral("--output-type"),
             QStringLiteral("pdf"), plain, peer});
        const double peerSeconds = timer.elapsed() / 1000.0;

        const qint64 plainBytes = QFileInfo(plain).size();
        const Recall ourRecall = recallOf(page.words, textOf(ours));
        const Recall peerRecall = recallOf(page.words, textOf(peer));
        // Where each word was drawn: its font box, in points from the page's top-left.
        std::vector<Box> truth;
        const double scale = 595.28 / page.image.width();
        for (const DrawnWord& w : page.words)
            truth.push_back({bareWord(w.text), QRectF(w.box).center() * scale});
        const std::vector<Box> ourBoxes = boxesOf(ours), peerBoxes = boxesOf(peer);
        const qint64 ourBytes = QFileInfo(ours).size() - plainBytes;
        const double fromPeer = medianDistance(ourBoxes, peerBoxes);
        std::printf("%-9s %6zu | %8.3f %3lld/%-2d %8.2f %8.2f %8lld %8.2f | %8.3f %3lld/%-2d %8.2f "
                    "%8lld %8.2f | %8.2f\n",
                    k.name, page.words.size(), ourRecall.share,
                    qlonglong(ourRecall.missingAccented.size()), accentedWords(page.words),
                    ourSeconds, inProcSeconds, ourBytes, medianDistance(ourBoxes, truth),
                    peerRecall.share, qlonglong(peerRecall.missingAccented.size()),
                    accentedWords(page.words), peerSeconds, QFileInfo(peer).size() - plainBytes,
                    medianDistance(peerBoxes, truth), fromPeer);
        std::fflush(stdout);
        recallMet = recallMet && ourRecall.share >= peerRecall.share;
        accentsMet = accentsMet && ourRecall.missingAccented.isEmpty();
        distanceMet = distanceMet && fromPeer >= 0 && fromPeer <= 3;
        bytesMet = bytesMet && ourBytes <= 12 * 1024;
        timeMet = timeMet && ourSeconds <= peerSeconds / 2;
    }
    auto goal = [](const char* text, bool met) {
        std::printf("  %-78s %s\n", text, met ? "met" : "MISSED");
    };
    std::printf("goals, on every page kind\n");
    goal("recall at least the peer's", recallMet);
    goal("accented words all found", accentsMet);
    goal("median word-centre distance from the peer's at most 3 pt", distanceMet);
    goal("at most 12 KB of text layer a page", bytesMet);
    goal("our s/page (through the worker, with the text layer) at most half the peer's", timeMet);
#ifdef SCANSIONE_HAS_OCR_CLIENT
    const long peakKb = processStatusKb(client.workerPid(), "VmHWM");
    std::printf("  %-78s %s (%.1f MB)\n", "OCR worker's peak memory (VmHWM) under 300 MB",
                peakKb > 0 && peakKb < 300 * 1024 ? "met" : "MISSED", peakKb / 1024.0);
#endif
    return 0;
}
