// A feeder batch as an office feeds one, end to end: scansione-batch on the shipped example's
// office feeder (blank backs on sheets 2 and 4, sheet 3 upside down, sheet 5 askew), the real
// OCR worker reading and correcting the pages, the PDF judged by poppler.
#include "support/TestTools.h"
#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cmath>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

struct Side {
    int image;
    int sheet;
    const char* side;
};

// The office feeder's ten sides in the order they are fed; the backs of sheets 2 and 4
// (images 4 and 8) are blank paper.
const Side kSides[] = {{1, 1, "fronte"}, {2, 1, "retro"}, {3, 2, "fronte"}, {4, 2, "retro"},
                       {5, 3, "fronte"}, {6, 3, "retro"}, {7, 4, "fronte"}, {8, 4, "retro"},
                       {9, 5, "fronte"}, {10, 5, "retro"}};

class OfficeFeeder : public ::testing::Test {
protected:
    QTemporaryDir tmp;
    QString pdf = tmp.filePath("ufficio.pdf");

    /// Runs a duplex feeder batch of the office scanner with OCR and `flags`; returns the
    /// program's standard error.
    QString scan(const QStringList& flags) {
        QFile ini(tmp.filePath("scanner.ini"));
        EXPECT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write("[MAIN]\nFormato=PDF\nRisoluzione=150\nPagina=A4\nTipoScansione=GRAY\n");
        ini.close();
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        env.insert("SCANSIONE_SANE", "0");
        env.insert("SCANSIONE_VIRTUAL_SCANNERS",
                   QStringLiteral(SCANSIONE_SOURCE_DIR "/examples/virtual-scanners.json"));
        env.insert("TMPDIR", tmp.path());
        env.insert("XDG_CONFIG_HOME", tmp.filePath("config"));
        env.insert("XDG_RUNTIME_DIR", tmp.path());
        env.insert("XDG_STATE_HOME", tmp.filePath("state"));
        p.setProcessEnvironment(env);
        p.start(QCoreApplication::applicationDirPath() + "/../host/scansione-batch",
                QStringList{"--ini", ini.fileName(), "--source", "Scanner ADF ufficio virtuale",
                            "--adf", "--duplex", "--ocr", "--output", pdf} +
                    flags);
        if (!p.waitForFinished(180000)) {
            p.kill();
            p.waitForFinished();
            ADD_FAILURE() << "scansione-batch did not finish";
        }
        EXPECT_EQ(p.exitCode(), 0);
        return QString::fromLocal8Bit(p.readAllStandardError());
    }

    QString scanLog() const {
        QFile f(tmp.path() + "/scansione-" + QString::number(getuid()) + "/Scanlog.log");
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    int pages() const {
        const QRegularExpressionMatch m =
            QRegularExpression(R"(Pages:\s+(\d+))").match(runTool("pdfinfo", {pdf}).output);
        return m.hasMatch() ? m.captured(1).toInt() : -1;
    }

    QString text(int page) const {
        const QString n = QString::number(page);
        return runTool("pdftotext", {"-f", n, "-l", n, pdf, "-"}).output;
    }

    /// How far the heading's last word ("fronte"/"retro") sits below its first ("Pagina"),
    /// in points, from the text layer's word boxes: 0 on a straight page, some 7 pt less on
    /// one turned 1.5° anticlockwise.
    double headingDrop(int page) const {
        const QString n = QString::number(page);
        const QString boxes = runTool("pdftotext", {"-bbox", "-f", n, "-l", n, pdf, "-"}).output;
        auto top = [&boxes](const QString& word) {
            const QRegularExpressionMatch m =
                QRegularExpression(R"re(yMin="([0-9.]+)"[^>]*>)re" + word + "<").match(boxes);
            return m.hasMatch() ? m.captured(1).toDouble() : NAN;
        };
        return top("(?:fronte|retro)") - top("Pagina");
    }

    static QString heading(const Side& s) {
        return QStringLiteral("Pagina %1 - foglio %2 %3").arg(s.image).arg(s.sheet).arg(s.side);
    }
};

TEST_F(OfficeFeeder, BlankBacksLeftOutUpsideDownTurnedAskewStraightenedEachSaid) {
    const QString err = scan({"--pagine-bianche", "--ruota-automatica", "--raddrizza"});
    QList<Side> kept;
    for (const Side& s : kSides)
        if (s.image != 4 && s.image != 8)
            kept << s;
    ASSERT_EQ(pages(), kept.size()) << err.toStdString();
    for (int page = 1; page <= kept.size(); ++page)
        EXPECT_TRUE(text(page).contains(heading(kept[page - 1])))
            << "page " << page << ": " << text(page).left(200).toStdString();
    // Sheet 5, fed 1.5° askew, is pages 7 and 8: its heading now lies level.
    EXPECT_LT(std::fabs(headingDrop(7)), 1.5);

    const QString log = scanLog();
    for (const char* line :
         {"pagina bianca foglio 2 retro", "pagina bianca foglio 4 retro",
          "pagina girata pagina 4 girata di 180°", "pagina girata pagina 5 girata di 180°",
          "pagina raddrizzata pagina 7 raddrizzata di 1,5°",
          "pagina raddrizzata pagina 8 raddrizzata di 1,5°"})
        EXPECT_TRUE(log.contains(QString::fromUtf8(line))) << line << "\n" << log.toStdString();
    EXPECT_FALSE(log.contains("girata pagina 1 ")) << log.toStdString();
    EXPECT_TRUE(err.contains("pagina bianca: foglio 2 retro")) << err.toStdString();
}

TEST_F(OfficeFeeder, WithTheKeysOffEverySideIsWrittenAsScanned) {
    scan({});
    ASSERT_EQ(pages(), 10);
    EXPECT_TRUE(text(1).contains(heading(kSides[0])));
    EXPECT_FALSE(text(4).contains("Pagina")); // the blank back of sheet 2
    EXPECT_FALSE(text(5).contains("Pagina 5")); // upside down, so not read
    EXPECT_LT(headingDrop(9), -4.0);           // still askew
    const QString log = scanLog();
    EXPECT_FALSE(log.contains("pagina bianca") || log.contains("girata") ||
                 log.contains("raddrizzata"))
        << log.toStdString();
}

} // namespace
