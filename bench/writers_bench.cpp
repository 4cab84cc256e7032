// Writers benchmark: A4 300 dpi document pages of each kind (1-bit, grey, colour) through
// writeImageFile and PdfWriter to PDF, multi-page TIFF and JPEG, beside the usual command-line
// tools fed the same pages, in the same run. Prints seconds per page, peak memory and bytes.
//
//   writers_bench [--pages N] [--out DIR]
//
// Each measured job runs in a child process of its own, so that its peak memory is its own.
#include "writers/ImageWriters.h"
#include "writers/PdfWriter.h"
#include "component_base/ScanError.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRandomGenerator>

#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int pageWidth = 2480; // A4 at 300 dpi
constexpr int pageHeight = 3508;
constexpr int quality = 85;

const char* const kinds[] = {"mono", "grey", "colour"};

// A document page: lines of text-like strokes, a photo-like gradient block, light noise.
QImage documentPage(const QString& kind, int n) {
    QImage rgb(pageWidth, pageHeight, QImage::Format_RGB888);
    QRandomGenerator rng(quint32(1000 + n));
    const int photoTop = 600 + 40 * (n % 5), photoLeft = 300;
    for (int y = 0; y < pageHeight; ++y) {
        uchar* line = rgb.scanLine(y);
        const bool textRow = (y % 60) < 28 && y > 200 && y < pageHeight - 200;
        for (int x = 0; x < pageWidth; ++x) {
            int r = 246, g = 244, b = 236;
            if (y >= photoTop && y < photoTop + 900 && x >= photoLeft && x < photoLeft + 1400) {
                r = 40 + 180 * (x - photoLeft) / 1400;
                g = 60 + 150 * (y - photoTop) / 900;
                b = 120 + ((x + y) % 256) / 4;
            } else if (textRow && x > 200 && x < pageWidth - 200) {
                // Glyph-like strokes: short vertical bars and cross strokes, word gaps.
                const int col = (x + 37 * (y / 60) + 13 * n) % 180;
                const bool gap = col > 150;
                const bool stroke = (x % 11) < 3 || ((y % 60) > 12 && (y % 60) < 16);
                if (!gap && stroke && (x / 23 + y / 60) % 7 != 0)
                    r = g = b = 25;
            }
            const int noise = int(rng.bounded(13)) - 6;
            line[3 * x] = uchar(qBound(0, r + noise, 255));
            line[3 * x + 1] = uchar(qBound(0, g + noise, 255));
            line[3 * x + 2] = uchar(qBound(0, b + noise, 255));
        }
    }
    rgb.setDotsPerMeterX(11811);
    rgb.setDotsPerMeterY(11811);
    if (kind == QLatin1String("mono"))
        return rgb.convertToFormat(QImage::Format_Mono, Qt::ThresholdDither);
    if (kind == QLatin1String("grey"))
        return rgb.convertToFormat(QImage::Format_Grayscale8);
    return rgb;
}

double now() {
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return double(clock.nsecsElapsed()) / 1e9;
}

// ---- the jobs a child runs; each prints the seconds spent writing (generation excluded) ----

int runJob(const QString& job, const QString& kind, int pages, const QString& out) {
    double spent = 0, bmpSpent = 0;
    if (job == QLatin1String("pdf")) {
        PdfWriter writer(quality);
        writer.setOutputPath(out);
        writer.BeginDocument(QString());
        writer.setDocumentMode(4);
        for (int n = 0; n < pages; ++n) {
            const QImage page = documentPage(kind, n);
            const double t0 = now();
            writer.AddPage(210, 297);
            const QString bmp = out + QStringLiteral(".pag_%1.bmp").arg(n);
            writeImageFile(page, bmp, {quality, 0, false});
            const double t1 = now();
            writer.DrawImage(writer.AddImageFile(bmp), 0, 297, 210, 297);
            QFile::remove(bmp);
            writer.EndPage(QString());
            spent += now() - t0;
            bmpSpent += t1 - t0;
        }
        const double t0 = now();
        writer.EndDocument();
        spent += now() - t0;
    } else if (job == QLatin1String("tif") || job == QLatin1String("tif-jpeg")) {
        const int compression = job == QLatin1String("tif") ? 0 : 7;
        for (int n = 0; n < pages; ++n) {
            const QImage page = documentPage(kind, n);
            const double t0 = now();
            writeImageFile(page, out, {quality, compression, n > 0});
            spent += now() - t0;
        }
    } else if (job == QLatin1String("jpg")) {
        for (int n = 0; n < pages; ++n) {
            const QImage page = documentPage(kind, n);
            const double t0 = now();
            writeImageFile(page, out + QStringLiteral(".%1.jpg").arg(n), {quality, 0, false});
            spent += now() - t0;
        }
    } else if (job == QLatin1String("inputs")) {
        // Peer inputs: PNM for cjpeg and ImageMagick, uncompressed TIFF for tiffcp.
        for (int n = 0; n < pages; ++n) {
            const QImage page = documentPage(kind, n);
            const QString base = out + QStringLiteral("/in_%1").arg(n, 2, 10, QLatin1Char('0'));
            const char* pnm = kind == QLatin1String("mono")   ? "PBM"
                              : kind == QLatin1String("grey") ? "PGM"
                                                              : "PPM";
            if (!page.save(base + QStringLiteral(".pnm"), pnm))
                return 2;
            writeImageFile(page, base + QStringLiteral(".tif"), {0, 1, false});
        }
    }
    std::printf("%.6f %.6f\n", spent, bmpSpent);
    return 0;
}

// ---- the parent: spawn, measure, tabulate ----

struct Measure {
    bool ok = false;
    double wall = 0;    // whole process, seconds
    double writing = 0; // our jobs: writing alone
    double bmp = 0;     // our PDF job: of which the temporary bitmaps
    long peakKiB = 0;
};

Measure spawn(const QStringList& argv, const QString& workDir = QString()) {
    Measure m;
    int pipeFds[2];
    if (::pipe(pipeFds) != 0)
        return m;
    std::vector<QByteArray> args;
    for (const QString& a : argv)
        args.push_back(QFile::encodeName(a));
    std::vector<char*> cargs;
    for (QByteArray& a : args)
        cargs.push_back(a.data());
    cargs.push_back(nullptr);
    const QByteArray dir = QFile::encodeName(workDir);
    const double t0 = now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFds[1], 1);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        if (!dir.isEmpty() && ::chdir(dir.constData()) != 0)
            ::_exit(126);
        ::execvp(cargs[0], cargs.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    QByteArray output;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buf, sizeof buf)) > 0)
        output.append(buf, n);
    ::close(pipeFds[0]);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    m.wall = now() - t0;
    m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    m.peakKiB = usage.ru_maxrss;
    const QList<QByteArray> fields = output.trimmed().split(' ');
    if (fields.size() == 2) {
        m.writing = fields[0].toDouble();
        m.bmp = fields[1].toDouble();
    }
    return m;
}

qint64 bytesOf(const QStringList& files) {
    qint64 total = 0;
    for (const QString& f : files)
        total += QFileInfo(f).size();
    return total;
}

QStringList glob(const QString& dir, const QString& pattern) {
    QStringList out;
    for (const QString& name :
         QDir(dir).entryList({pattern}, QDir::Files | QDir::Hidden, QDir::Name))
        out << dir + QLatin1Char('/') + name;
    return out;
}

QString qpdfCheck(const QString& pdf) {
    QProcess p;
    p.start(QStringLiteral("qpdf"), {QStringLiteral("--check"), pdf});
    p.waitForFinished(600000);
    return p.exitCode() == 0 ? QStringLiteral("pass")
                             : QStringLiteral("FAIL(%1)").arg(p.exitCode());
}

struct Row {
    QString kind, tool, output;
    double perPage = 0;
    long peakMiB = 0;
    qint64 bytes = 0;
    QString check;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    if (args.size() >= 6 && args[1] == QLatin1String("--job")) {
        try {
            return runJob(args[2], args[3], args[4].toInt(), args[5]);
        } catch (const ScanError& e) {
            std::fprintf(stderr, "%s\n", qPrintable(e.text()));
            return 1;
        }
    }
    int pages = 20;
    QString out = QDir::tempPath() + QStringLiteral("/writers-bench");
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == QLatin1String("--pages"))
            pages = args[++i].toInt();
        else if (args[i] == QLatin1String("--out"))
            out = args[++i];
    }
    QDir(out).removeRecursively();
    QDir().mkpath(out);
    const QString self = QCoreApplication::applicationFilePath();
    // Debian's ImageMagick policy refuses its "PDF" coder; "PDFA" is the same writer.
    const QString magickPdf = QStringLiteral("PDFA:");

    std::vector<Row> rows;
    auto add = [&](const QString& kind, const QString& tool, const QString& output, double secs,
                   long peakKiB, qint64 bytes, const QString& check = QStringLiteral("-")) {
        rows.push_back({kind, tool, output, secs / pages, peakKiB / 1024, bytes, check});
    };
    std::map<QString, double> figure;

    for (const char* k : kinds) {
        const QString kind = QString::fromLatin1(k);
        const QString dir = out + QLatin1Char('/') + kind;
        QDir().mkpath(dir);
        std::fprintf(stderr, "%s: preparing %d pages...\n", k, pages);
        if (!spawn({self, "--job", "inputs", kind, QString::number(pages), dir}).ok) {
            std::fprintf(stderr, "could not prepare the pages\n");
            return 1;
        }
        const QStringList pnm = glob(dir, QStringLiteral("in_*.pnm"));
        const QStringList tifs = glob(dir, QStringLiteral("in_*.tif"));

        // Ours.
        const QString pdf = dir + QStringLiteral("/ours.pdf");
        Measure m = spawn({self, "--job", "pdf", kind, QString::number(pages), pdf});
        add(kind, QStringLiteral("ours PdfWriter (with BMP round trip)"), QStringLiteral("PDF"),
            m.writing, m.peakKiB, QFileInfo(pdf).size(), qpdfCheck(pdf));
        add(kind, QStringLiteral("ours PdfWriter alone"), QStringLiteral("PDF"), m.writing - m.bmp,
            m.peakKiB, QFileInfo(pdf).size());
        figure[kind + "/pdf"] = QFileInfo(pdf).size();
        figure[kind + "/pdf-time"] = m.writing / pages;
        figure[kind + "/pdf-alone"] = (m.writing - m.bmp) / pages;

        const QString tif = dir + QStringLiteral("/ours.tif");
        m = spawn({self, "--job", "tif", kind, QString::number(pages), tif});
        add(kind, QStringLiteral("ours writeImageFile append"),
            kind == QLatin1String("mono") ? QStringLiteral("TIFF G4") : QStringLiteral("TIFF LZW"),
            m.writing, m.peakKiB, QFileInfo(tif).size());
        figure[kind + "/tif-time"] = m.writing / pages;
        figure[kind + "/tif"] = QFileInfo(tif).size();
        if (kind != QLatin1String("mono")) {
            const QString tj = dir + QStringLiteral("/ours-jpeg.tif");
            m = spawn({self, "--job", "tif-jpeg", kind, QString::number(pages), tj});
            add(kind, QStringLiteral("ours writeImageFile append"), QStringLiteral("TIFF JPEG"),
                m.writing, m.peakKiB, QFileInfo(tj).size());
            const QString jpg = dir + QStringLiteral("/ours");
            m = spawn({self, "--job", "jpg", kind, QString::number(pages), jpg});
            add(kind, QStringLiteral("ours writeImageFile"), QStringLiteral("JPEG pages"),
                m.writing, m.peakKiB, bytesOf(glob(dir, QStringLiteral("ours.*.jpg"))));
        }

        // Peers, from the same pages.
        const QString peerTif = dir + QStringLiteral("/tiffcp.tif");
        const QString scheme =
            kind == QLatin1String("mono") ? QStringLiteral("g4") : QStringLiteral("lzw:2");
        QStringList tiffcp = {QStringLiteral("tiffcp"), QStringLiteral("-c"), scheme};
        m = spawn(tiffcp + tifs + QStringList{peerTif});
        add(kind, QStringLiteral("tiffcp -c ") + scheme, QStringLiteral("TIFF"), m.wall, m.peakKiB,
            QFileInfo(peerTif).size());
        figure[kind + "/tiffcp-time"] = m.wall / pages;
        figure[kind + "/tiffcp"] = QFileInfo(peerTif).size();
        if (kind != QLatin1String("mono")) {
            const QString tj = dir + QStringLiteral("/tiffcp-jpeg.tif");
            const QString opt = kind == QLatin1String("colour")
                                    ? QStringLiteral("jpeg:r:%1").arg(quality)
                                    : QStringLiteral("jpeg:%1").arg(quality);
            // JPEG strips must be whole MCU rows: -r 16.
            m = spawn(QStringList{QStringLiteral("tiffcp"), QStringLiteral("-c"), opt,
                                  QStringLiteral("-r"), QStringLiteral("16")} +
                      tifs + QStringList{tj});
            add(kind, QStringLiteral("tiffcp -c ") + opt, QStringLiteral("TIFF JPEG"), m.wall,
                m.peakKiB, QFileInfo(tj).size());

            // The encode floor: cjpeg on the same pages as PNM, one process a page.
            double floorSecs = 0;
            long floorPeak = 0;
            QStringList jpegs;
            for (const QString& in : pnm) {
                const QString jpg = in.chopped(4) + QStringLiteral(".cjpeg.jpg");
                m = spawn({QStringLiteral("cjpeg"), QStringLiteral("-quality"),
                           QString::number(quality), QStringLiteral("-outfile"), jpg, in});
                floorSecs += m.wall;
                floorPeak = std::max(floorPeak, m.peakKiB);
                jpegs << jpg;
            }
            add(kind, QStringLiteral("cjpeg (encode floor)"), QStringLiteral("JPEG pages"),
                floorSecs, floorPeak, bytesOf(jpegs));
            figure[kind + "/floor-time"] = floorSecs / pages;

            const QString peerPdf = dir + QStringLiteral("/img2pdf.pdf");
            m = spawn(QStringList{QStringLiteral("img2pdf"), QStringLiteral("--pagesize"),
                                  QStringLiteral("A4"), QStringLiteral("-o"), peerPdf} +
                      jpegs);
            add(kind, QStringLiteral("img2pdf (cjpeg's JPEGs)"), QStringLiteral("PDF"),
                m.wall + floorSecs, m.peakKiB, QFileInfo(peerPdf).size(), qpdfCheck(peerPdf));
            figure[kind + "/img2pdf"] = QFileInfo(peerPdf).size();
        }
        // ImageMagick holds every page at 16 bits a sample; Debian's resource policy stops
        // it well before 20 such pages, so it converts one page per run and the runs add up.
        double magickSecs = 0;
        long magickPeak = 0;
        QStringList magickPdfs;
        QString magickCheck = QStringLiteral("pass");
        for (const QString& in : pnm) {
            const QString one = in.chopped(4) + QStringLiteral(".convert.pdf");
            m = spawn(
                {QStringLiteral("convert"), in, QStringLiteral("-compress"),
                 kind == QLatin1String("mono") ? QStringLiteral("Group4") : QStringLiteral("JPEG"),
                 QStringLiteral("-quality"), QString::number(quality), magickPdf + one});
            magickSecs += m.wall;
            magickPeak = std::max(magickPeak, m.peakKiB);
            magickPdfs << one;
            const QString c = m.ok ? qpdfCheck(one) : QStringLiteral("no output");
            if (c != QLatin1String("pass"))
                magickCheck = c;
        }
        add(kind, QStringLiteral("ImageMagick convert (a run a page)"), QStringLiteral("PDF"),
            magickSecs, magickPeak, bytesOf(magickPdfs), magickCheck);
        m.wall = magickSecs;
        figure[kind + "/convert-time"] = m.wall / pages;

        for (const QString& f : pnm + tifs)
            QFile::remove(f);
    }

    std::printf("\n%d pages of A4 at 300 dpi per kind, JPEG quality %d\n\n", pages, quality);
    std::printf("%-7s %-38s %-11s %10s %9s %13s %s\n", "kind", "writer", "output", "s/page",
                "peak MiB", "bytes", "qpdf --check");
    for (const Row& r : rows)
        std::printf("%-7s %-38s %-11s %10.4f %9ld %13lld %s\n", qPrintable(r.kind),
                    qPrintable(r.tool), qPrintable(r.output), r.perPage, r.peakMiB,
                    static_cast<long long>(r.bytes), qPrintable(r.check));

    auto goal = [](const char* text, double value, double limit) {
        std::printf("  %-62s %8.3f  (goal <= %.2f)  %s\n", text, value, limit,
                    value <= limit ? "met" : "MISSED");
    };
    std::printf("\nGoals\n");
    goal("1-bit PDF bytes / tiffcp G4 TIFF bytes", figure["mono/pdf"] / figure["mono/tiffcp"],
         1.10);
    goal("grey PDF bytes / img2pdf bytes", figure["grey/pdf"] / figure["grey/img2pdf"], 1.05);
    goal("colour PDF bytes / img2pdf bytes", figure["colour/pdf"] / figure["colour/img2pdf"], 1.05);
    goal("colour PDF time / cjpeg floor (with BMP round trip)",
         figure["colour/pdf-time"] / figure["colour/floor-time"], 2.0);
    goal("colour PDF time / cjpeg floor (PdfWriter alone)",
         figure["colour/pdf-alone"] / figure["colour/floor-time"], 2.0);
    goal("colour PDF time / ImageMagick time",
         figure["colour/pdf-time"] / figure["colour/convert-time"], 0.10);
    goal("multi-page G4 TIFF time / tiffcp -c g4 time",
         figure["mono/tif-time"] / figure["mono/tiffcp-time"], 2.0);
    std::printf("\nFiles left in %s\n", qPrintable(out));
    return 0;
}
