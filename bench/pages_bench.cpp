// Pages as a feeder gives them, at 300 dpi A4: blank sides found on the component's side, skew
// straightened by leptonica and upside-down pages found by tesseract's orientation detection
// in the OCR worker's library. Prints, for each, the detection table with its figures and the
// time a page (the median of three runs), and the extra work a page with every clean-up on,
// so that it can be set beside the feeder's pace. Upright pages of text are told by a first
// look at a fifth of tesseract's sample (its confidence is what the table shows for them);
// pages that look turned are looked at again with the whole sample. Run:
// build/bench/pages_bench [blank] [skew] [osd] [extra] (it re-executes itself with
// OMP_THREAD_LIMIT=1 when that is not set).
#include "acquisition/BlankPage.h"
#include "support/GeometryPages.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPainter>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// The median wall-clock milliseconds of three runs of `f`, and (in `cpu`) the median of the
// processor time they took on this thread: on a machine shared with other work the wall clock
// counts the others' turns too, the processor time only this page's.
template <typename F> double medianMs(F f, double* cpu = nullptr) {
    std::vector<double> ms, cpuMs;
    for (int i = 0; i < 3; ++i) {
        QElapsedTimer t;
        t.start();
        const double c = threadCpuMs();
        f();
        cpuMs.push_back(threadCpuMs() - c);
        ms.push_back(t.nsecsElapsed() / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    std::sort(cpuMs.begin(), cpuMs.end());
    if (cpu)
        *cpu = cpuMs[1];
    return ms[1];
}

void blankTable() {
    struct Case {
        const char* name;
        QImage image;
        bool blank;
    };
    const QImage noisy = scannedSide(AllNoise);
    const std::vector<Case> cases = {
        {"clean paper", scannedSide(NoNoise), true},
        {"texture+specks", scannedSide(Texture | Specks), true},
        {"edge shadows", scannedSide(EdgeShadows | Texture), true},
        {"wedge 2 deg", scannedSide(Wedge | Texture | Specks), true},
        {"show-through", scannedSide(ShowThrough | Texture), true},
        {"all noise grey", noisy, true},
        {"all noise RGB", noisy.convertToFormat(QImage::Format_RGB888), true},
        {"all noise 1-bit", lineart(noisy), true},
        {"signature", sparseSide(SparseMark::Signature), false},
        {"page number", sparseSide(SparseMark::PageNumber), false},
        {"page number 1-bit", lineart(sparseSide(SparseMark::PageNumber)), false},
        {"red stamp RGB", sparseSide(SparseMark::Stamp), false},
        {"text page", italianPage(PageKind::Sans).image, false},
        {"text page 1-bit", italianPage(PageKind::BlackAndWhite).image, false},
    };
    std::printf("Blank sides (judgeBlankPage, 300 dpi A4)\n");
    std::printf("%-20s %-6s %-6s %8s %6s %6s %6s %9s %8s %7s\n", "side", "want", "found", "ink%",
                "specks", "shadow", "marks", "largest", "ms/page", "cpu ms");
    int wrong = 0;
    for (const Case& c : cases) {
        BlankVerdict v;
        double cpu = 0;
        const double ms = medianMs([&] { v = judgeBlankPage(c.image, 300); }, &cpu);
        wrong += v.blank != c.blank;
        std::printf("%-20s %-6s %-6s %8.4f %6d %6d %6d %6.1f mm %8.1f %7.1f%s\n", c.name,
                    c.blank ? "blank" : "keep", v.blank ? "blank" : "keep", v.inkShare * 100,
                    v.specks, v.shadows, v.marks, v.largestMm, ms, cpu,
                    v.crowded ? " (crowded)" : "");
    }
    std::printf("wrong decisions: %d of %zu\n\n", wrong, cases.size());
}

void skewTable() {
    std::printf("Skew (straightenPage; residual from the registration marks and by leptonica)\n");
    std::printf("%-8s %-5s %9s %6s %6s %11s %11s %8s %7s\n", "turned", "fmt", "found", "conf",
                "turned", "residual", "lept.resid", "ms/page", "cpu ms");
    double worst = 0;
    for (const double degrees : {0.0, 0.15, 0.3, 0.5, -0.5, 1.0, -1.0, 1.5, 2.0, -2.0, 3.0, -3.0}) {
        const QImage grey = turnedTextPage(degrees);
        for (const char* format : {"grey", "1-bit", "RGB"}) {
            const bool mono = format[0] == '1', colour = format[0] == 'R';
            if ((mono || colour) && std::fabs(degrees) != 1.0 && std::fabs(degrees) != 3.0)
                continue;
            const QImage image = mono     ? lineart(grey)
                                 : colour ? grey.convertToFormat(QImage::Format_RGB888)
                                          : grey;
            const OcrPixels pixels = pixelsOf(image, 300);
            Straightening s;
            double cpu = 0;
            const double ms = medianMs([&] { s = straightenPage(pixels); }, &cpu);
            const OcrPixels result = s.turned ? s.page.view() : pixels;
            const double residual = residualSlant(result);
            const SkewFinding again = findSkew(result);
            if (std::fabs(degrees) >= 0.5)
                worst = std::max(worst, std::fabs(residual));
            std::printf("%+8.2f %-5s %+9.3f %6.1f %6s %+11.3f %+11.3f %8.1f %7.1f\n", degrees,
                        format, s.skew.angle, s.skew.confidence, s.turned ? "yes" : "no", residual,
                        again.found ? again.angle : 0.0, ms, cpu);
        }
    }
    std::printf("worst residual over 0.5-3 deg: %.3f deg\n\n", worst);
}

void orientationTable() {
    struct Case {
        const char* name;
        QImage image;
        bool upsideDown;
    };
    const QImage sans = italianPage(PageKind::Sans).image;
    const QImage serif = italianPage(PageKind::Serif).image;
    const QImage degraded = italianPage(PageKind::Degraded).image;
    const QImage bw = italianPage(PageKind::BlackAndWhite).image;
    auto half = [](const QImage& i) { return i.transformed(QTransform().rotate(180)); };
    // Four lines of text only, the rest of the page white.
    QImage few = sans.copy();
    QPainter(&few).fillRect(0, 300 + 4 * 70, few.width(), few.height(), Qt::white);
    // A table of figures: digits look alike either way up, the likeliest misreading.
    QImage figures(sans.size(), QImage::Format_Grayscale8);
    figures.fill(255);
    {
        QPainter p(&figures);
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPixelSize(46);
        p.setFont(font);
        for (int line = 0; line < 30; ++line)
            p.drawText(300, 400 + line * 80,
                       QStringLiteral("%1   %2,%3   %4.%5,00   %6")
                           .arg(1000 + line * 37)
                           .arg(line * 913 % 1000)
                           .arg(line * 7 % 100, 2, 10, QLatin1Char('0'))
                           .arg(line + 1)
                           .arg(line * 131 % 1000, 3, 10, QLatin1Char('0'))
                           .arg(line * 61 % 97));
    }
    const std::vector<Case> cases = {
        {"sans", sans, false},
        {"serif", serif, false},
        {"degraded", degraded, false},
        {"1-bit", bw, false},
        {"signature only", sparseSide(SparseMark::Signature), false},
        {"blank back", scannedSide(AllNoise), false},
        {"four lines", few, false},
        {"four lines 180", half(few), true},
        {"figures", figures, false},
        // Too unsure to act on: left as it lies.
        {"figures 180", half(figures), false},
        {"sans 180", half(sans), true},
        {"serif 180", half(serif), true},
        {"degraded 180", half(degraded), true},
        {"1-bit 180", half(bw), true},
    };
    OrientationFinder finder;
    std::printf("Upside down (OrientationFinder, tesseract osd, one thread; acted on from "
                "confidence %.1f)\n",
                kUpsideDownConfidence);
    std::printf("%-16s %-5s %7s %6s %-6s %-6s %8s %7s\n", "page", "want", "degrees", "conf",
                "script", "turn", "ms/page", "cpu ms");
    int wrong = 0;
    for (const Case& c : cases) {
        const OcrPixels pixels = pixelsOf(c.image, 300);
        OrientationFinding f;
        double cpu = 0;
        const double ms = medianMs([&] { f = finder.find(pixels); }, &cpu);
        wrong += f.upsideDown() != c.upsideDown;
        std::printf("%-16s %-5s %7d %6.2f %-6s %-6s %8.1f %7.1f %s\n", c.name,
                    c.upsideDown ? "turn" : "keep", f.found ? f.degrees : -1, f.confidence,
                    qPrintable(f.script), f.upsideDown() ? "turn" : "keep", ms, cpu,
                    qPrintable(f.error));
    }
    const OcrPixels page = pixelsOf(sans, 300);
    const double turnMs = medianMs([&] { (void)turnPageHalf(page); });
    std::printf("wrong decisions: %d of %zu; turning a grey page by 180 deg: %.1f ms\n\n", wrong,
                cases.size(), turnMs);
}

// What a page of a feeder batch costs with every clean-up on, stage by stage as the intake and
// the OCR worker run them: the blank judgement, the skew found and the page straightened, the
// orientation of the straightened page. Text pages come askew by 1.5° and upright, the
// common case (an upside-down page is looked at twice, see the table above).
void extraWorkTable() {
    struct Case {
        const char* name;
        QImage image;
    };
    const QImage askew = turnedTextPage(1.5);
    const std::vector<Case> cases = {
        {"text 1.5 deg grey", askew},
        {"text 1.5 deg RGB", askew.convertToFormat(QImage::Format_RGB888)},
        {"text 1.5 deg 1-bit", lineart(askew)},
        {"blank back grey", scannedSide(AllNoise)},
    };
    OrientationFinder finder;
    std::printf("Extra work a page, 300 dpi A4, every clean-up on (goal: under 150 ms)\n");
    std::printf("%-20s %9s %9s %9s %9s %9s\n", "page", "blank ms", "skew ms", "osd ms", "total ms",
                "total cpu");
    for (const Case& c : cases) {
        double blankCpu = 0, skewCpu = 0, osdCpu = 0;
        BlankVerdict v;
        const double blankMs = medianMs([&] { v = judgeBlankPage(c.image, 300); }, &blankCpu);
        // A side left out goes no further.
        const OcrPixels pixels = pixelsOf(c.image, 300);
        Straightening s;
        const double skewMs = v.blank ? 0 : medianMs([&] { s = straightenPage(pixels); }, &skewCpu);
        const OcrPixels straight = s.turned ? s.page.view() : pixels;
        OrientationFinding f;
        const double osdMs = v.blank ? 0 : medianMs([&] { f = finder.find(straight); }, &osdCpu);
        std::printf("%-20s %9.1f %9.1f %9.1f %9.1f %9.1f%s\n", c.name, blankMs, skewMs, osdMs,
                    blankMs + skewMs + osdMs, blankCpu + skewCpu + osdCpu,
                    v.blank ? " (left out after the judgement)" : "");
    }
    std::printf("\n");
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
    const QStringList args = app.arguments();
    const bool all = args.size() < 2;
    if (all || args.contains(QStringLiteral("blank")))
        blankTable();
    if (all || args.contains(QStringLiteral("skew")))
        skewTable();
    if (all || args.contains(QStringLiteral("osd")))
        orientationTable();
    if (all || args.contains(QStringLiteral("extra")))
        extraWorkTable();
    return 0;
}
