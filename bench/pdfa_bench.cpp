// PDF/A benchmark: the same 20-page A4 300 dpi colour and black-and-white plain PDFs made PDF/A
// by our writer (1b and 2b, from the page images the encoder prepares), by ocrmypdf
// (--output-type pdfa-2 --tesseract-timeout 0, one job) and by Ghostscript (-dPDFA=2 with a
// PDFA_def.ps naming the same sRGB profile), in one run. For each: bytes added to the plain
// document, seconds a page, clause failures by tests/support/pdfa_check.py, and whether the
// page images are byte for byte those of the plain PDF.
//
//   pdfa_bench [--pages N] [--repeat R]
//
// Figures, not a test: nothing here passes or fails.
#include "writers/ImageWriters.h"
#include "writers/PdfArchive.h"
#include "writers/PdfWriter.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <qpdf/QPDF.hh>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int quality = 85;

// A scanned office page: a letterhead band, lines of words, a photo, paper grain.
QImage scannedPage(bool colour, int n) {
    QImage page(2480, 3508, QImage::Format_RGB888);
    page.fill(QColor(247, 245, 238));
    QPainter p(&page);
    p.fillRect(200, 180, 2080, 160, colour ? QColor(30, 70, 150) : QColor(40, 40, 40));
    QFont font(QStringLiteral("DejaVu Serif"));
    font.setPixelSize(42);
    p.setFont(font);
    p.setPen(QColor(25, 25, 30));
    for (int line = 0; line < 60; ++line)
        p.drawText(220, 560 + line * 46,
                   QStringLiteral("Pagina %1, riga %2: la società comunica che il documento è "
                                  "conforme all'originale.")
                       .arg(n + 1)
                       .arg(line + 1));
    QLinearGradient photo(300, 1800, 1300, 2600);
    photo.setColorAt(0, colour ? QColor(200, 120, 40) : QColor(200, 200, 200));
    photo.setColorAt(1, colour ? QColor(40, 90, 160) : QColor(60, 60, 60));
    p.fillRect(1400, 1700 + 20 * (n % 5), 900, 700, photo);
    p.end();
    // Paper grain: what makes a scan's JPEG bigger than a rendering's.
    QRandomGenerator rng(quint32(77 + n));
    for (int y = 0; y < page.height(); ++y) {
        uchar* row = page.scanLine(y);
        for (int x = 0; x < page.width() * 3; ++x)
            row[x] = uchar(qBound(0, int(row[x]) + int(rng.bounded(5)) - 2, 255));
    }
    page.setDotsPerMeterX(11811);
    page.setDotsPerMeterY(11811);
    return colour ? page : page.convertToFormat(QImage::Format_Mono, Qt::ThresholdDither);
}

/// Writes `pages` (.pdfimg files) as one document with `conformance`; the seconds it took.
double writeDocument(const QStringList& pages, const QString& out, PdfConformance conformance) {
    QElapsedTimer t;
    t.start();
    PdfWriter w(quality);
    w.setConformance(conformance);
    w.setOutputPath(out);
    w.BeginDocument(QString());
    w.setDocumentMode(4);
    for (const QString& page : pages) {
        w.AddPage(210, 297);
        w.DrawImage(w.AddImageFile(page), 0, 297, 210, 297);
        w.EndPage(QString());
    }
    w.EndDocument();
    return t.nsecsElapsed() / 1e9;
}

/// Runs a peer; its seconds, or -1 when it failed.
double timeTool(const QString& program, const QStringList& args) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer t;
    t.start();
    p.start(program, args);
    if (!p.waitForFinished(1800000) || p.exitStatus() != QProcess::NormalExit ||
        p.exitCode() != 0) {
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(program), p.readAll().constData());
        return -1;
    }
    return t.nsecsElapsed() / 1e9;
}

struct Verdict {
    int failures = -1;
    bool sameImages = false;
};

/// The clause checker on `pdf` for PDF/A-`part`, the images compared with `plain`.
Verdict check(const QString& pdf, int part, const QString& plain) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("/usr/bin/python3"),
            {QStringLiteral(SCANSIONE_SOURCE_DIR "/tests/support/pdfa_check.py"),
             QStringLiteral("--part"), QString::number(part), QStringLiteral("--same-images"),
             plain, pdf});
    if (!p.waitForFinished(600000))
        return {};
    const QStringList lines =
        QString::fromUtf8(p.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    Verdict v;
    v.failures = 0;
    v.sameImages = true;
    for (const QString& line : lines) {
        if (line.startsWith(QLatin1String("FAIL same-images")))
            v.sameImages = false;
        else if (line.startsWith(QLatin1String("FAIL ")))
            ++v.failures;
    }
    if (v.failures > 0 || !v.sameImages)
        std::fprintf(stderr, "%s:\n  %s\n", qPrintable(QFileInfo(pdf).fileName()),
                     qPrintable(lines.join(QStringLiteral("\n  "))));
    return v;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? -1 : v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv); // the page text needs fonts
    const QStringList args = app.arguments();
    const auto option = [&](const char* name, int fallback) {
        const int at = int(args.indexOf(QLatin1String(name)));
        return at >= 0 && at + 1 < args.size() ? args.at(at + 1).toInt() : fallback;
    };
    const int pages = option("--pages", 20);
    const int repeat = std::max(1, option("--repeat", 3));
    QTemporaryDir dir;
    const QString gsDef = dir.filePath(QStringLiteral("PDFA_def.ps"));
    {
        // Ghostscript's own PDFA_def.ps, pointed at the profile our documents embed.
        QFile in(QStringLiteral("/usr/share/ghostscript/10.00.0/lib/PDFA_def.ps"));
        QFile out(gsDef);
        if (in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly))
            out.write(in.readAll().replace("(srgb.icc)", "(/usr/share/color/icc/sRGB.icc)"));
    }
    const bool haveOcrmypdf = !QStandardPaths::findExecutable(QStringLiteral("ocrmypdf")).isEmpty();
    const bool haveGs = !QStandardPaths::findExecutable(QStringLiteral("gs")).isEmpty();

    std::printf("%d A4 300 dpi pages a document; ours: median of %d runs; load %s\n", pages, repeat,
                qPrintable(QString::fromLatin1([] {
                    QFile f(QStringLiteral("/proc/loadavg"));
                    return f.open(QIODevice::ReadOnly) ? f.readLine().trimmed() : QByteArray();
                }())));
    // What PDF/A adds to the writing of any document, whatever its pages, timed apart: on a
    // busy machine it is lost in the noise of a whole document's write.
    std::vector<double> steps;
    for (int r = 0; r < 201; ++r) {
        QPDF pdf;
        pdf.emptyPDF();
        QElapsedTimer t;
        t.start();
        pdfa::describeDocument(
            pdf, PdfConformance::PdfA2b,
            pdfa::readColourProfile(pdfa::defaultColourProfile(), PdfConformance::PdfA2b),
            QDateTime::currentDateTime());
        steps.push_back(t.nsecsElapsed() / 1e9);
    }
    const double archiveSteps = median(steps);
    std::printf("%-7s %-34s %12s %12s %10s %9s %s\n", "kind", "how", "bytes", "added", "s/page",
                "clauses", "images");
    for (const bool colour : {true, false}) {
        const char* kind = colour ? "colour" : "BW";
        QStringList pageFiles;
        for (int n = 0; n < pages; ++n) {
            const QString file = dir.filePath(QStringLiteral("%1_%2.pdfimg").arg(kind).arg(n));
            writeImageFile(scannedPage(colour, n), file, {quality, 0, false});
            pageFiles << file;
        }
        const QString plain = dir.filePath(QStringLiteral("%1_plain.pdf").arg(kind));
        struct Ours {
            const char* label;
            PdfConformance conformance;
            int part;
            std::vector<double> seconds;
        } ours[] = {{"ours plain PDF", PdfConformance::Plain, 0, {}},
                    {"ours PDF/A-1b", PdfConformance::PdfA1b, 1, {}},
                    {"ours PDF/A-2b", PdfConformance::PdfA2b, 2, {}}};
        // Interleaved, so that a busy moment of the machine falls on all three alike.
        for (int r = 0; r < repeat; ++r)
            for (Ours& o : ours) {
                const QString out =
                    o.part == 0
                        ? plain
                        : dir.filePath(QStringLiteral("%1_ours%2.pdf").arg(kind).arg(o.part));
                o.seconds.push_back(writeDocument(pageFiles, out, o.conformance));
            }
        const qint64 plainBytes = QFileInfo(plain).size();
        const auto row = [&](const char* how, const QString& pdf, double seconds, int part) {
            const qint64 bytes = QFileInfo(pdf).size();
            if (part == 0) {
                std::printf("%-7s %-34s %12lld %12s %10.4f %9s %s\n", kind, how, (long long)bytes,
                            "-", seconds / pages, "-", "-");
                return;
            }
            const Verdict v = check(pdf, part, plain);
            std::printf("%-7s %-34s %12lld %+12lld %10.4f %9d %s\n", kind, how, (long long)bytes,
                        (long long)(bytes - plainBytes), seconds / pages, v.failures,
                        v.sameImages ? "identical" : "re-encoded");
        };
        for (const Ours& o : ours)
            row(o.label,
                o.part == 0 ? plain
                            : dir.filePath(QStringLiteral("%1_ours%2.pdf").arg(kind).arg(o.part)),
                median(o.seconds), o.part);
        if (haveOcrmypdf) {
            const QString out = dir.filePath(QStringLiteral("%1_ocrmypdf.pdf").arg(kind));
            const double s = timeTool(QStringLiteral("ocrmypdf"),
                                      {QStringLiteral("--output-type"), QStringLiteral("pdfa-2"),
                                       QStringLiteral("--tesseract-timeout"), QStringLiteral("0"),
                                       QStringLiteral("-j"), QStringLiteral("1"),
                                       QStringLiteral("--quiet"), plain, out});
            if (s >= 0)
                row("ocrmypdf --output-type pdfa-2", out, s, 2);
        }
        if (haveGs) {
            const QString out = dir.filePath(QStringLiteral("%1_gs.pdf").arg(kind));
            const double s = timeTool(
                QStringLiteral("gs"),
                {QStringLiteral("-q"), QStringLiteral("-dPDFA=2"), QStringLiteral("-dBATCH"),
                 QStringLiteral("-dNOPAUSE"), QStringLiteral("-dNOSAFER"),
                 QStringLiteral("-sColorConversionStrategy=RGB"),
                 QStringLiteral("-dPDFACompatibilityPolicy=1"), QStringLiteral("-sDEVICE=pdfwrite"),
                 QStringLiteral("-sOutputFile=") + out, gsDef, plain});
            if (s >= 0)
                row("gs -dPDFA=2 (PDFA_def.ps, sRGB)", out, s, 2);
        }
        const double plainSeconds = median(ours[0].seconds);
        std::printf("%-7s PDF/A's own steps (profile read and deflated, information, XMP, output "
                    "intent): %.3f ms a document = %.2f%% of writing the plain %d pages\n",
                    kind, archiveSteps * 1000, 100 * archiveSteps / plainSeconds, pages);
        std::fflush(stdout);
    }
    return 0;
}
