// scansione-batch as a script runs it: real window on the offscreen platform, virtual
// scanners, output judged by third-party tools, exit status and the two output streams.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

const char* const flatbed =
    R"({"name": "Piano", "resolutions": [50, 75, 100], "pageSizes": ["A4"]})";
const char* const feeder = R"({"name": "Alimentatore", "resolutions": [50, 75, 100],
    "pageSizes": ["A4"], "feeder": {"present": true, "paperDetectable": true, "sheets": 4},
    "duplex": true})";

struct BatchRun {
    int status = -1;
    QString out;
    QString err;
};

class BatchTest : public ::testing::Test {
protected:
    QTemporaryDir tmp;
    QString ini = tmp.filePath("scanner.ini");
    QHash<QString, QString> environment; ///< set for the run, over the defaults
    QString workDir;                     ///< the run's current folder; empty: this one

    void SetUp() override {
        ASSERT_TRUE(QFile::exists(program())) << program().toStdString();
        settings("PDF");
        scanners({flatbed});
    }

    static QString program() {
        return QCoreApplication::applicationDirPath() + "/../host/scansione-batch";
    }

    QString folder() const { return tmp.path() + "/scansione-" + QString::number(getuid()) + "/"; }

    void settings(const QString& format) {
        QFile f(ini);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(
            QStringLiteral("[MAIN]\nFormato=%1\nRisoluzione=50\nPagina=A4\nTipoScansione=GRAY\n")
                .arg(format)
                .toUtf8());
    }

    void scanners(const QStringList& objects, const QString& extra = {}) {
        QFile f(tmp.filePath("virtual.json"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(("{\"scanners\": [" + objects.join(',') + "]" + extra + "}").toUtf8());
    }

    BatchRun run(const QStringList& args, const QString& iniPath = {}) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        env.remove("QT_QPA_PLATFORM"); // the program must pick offscreen by itself
        env.insert("SCANSIONE_SANE", "0");
        env.insert("SCANSIONE_INI", iniPath.isEmpty() ? ini : iniPath);
        env.insert("SCANSIONE_VIRTUAL_SCANNERS", tmp.filePath("virtual.json"));
        env.insert("TMPDIR", tmp.path());
        env.insert("XDG_CONFIG_HOME", tmp.filePath("config"));
        env.insert("XDG_RUNTIME_DIR", tmp.path());
        env.insert("XDG_STATE_HOME", tmp.filePath("state"));
        for (auto it = environment.cbegin(); it != environment.cend(); ++it)
            env.insert(it.key(), it.value());
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(workDir);
        p.start(program(), args);
        BatchRun r;
        if (!p.waitForFinished(120000)) {
            p.kill();
            p.waitForFinished();
            ADD_FAILURE() << "scansione-batch did not finish";
            return r;
        }
        r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
        r.err = QString::fromLocal8Bit(p.readAllStandardError());
        return r;
    }

    static QString tool(const QString& program, const QStringList& args) {
        QProcess p;
        p.start(program, args);
        p.waitForFinished(60000);
        return QString::fromLocal8Bit(p.readAllStandardOutput());
    }

    QString storedSettings() const {
        QFile f(tmp.filePath("config/Componenti/Scansione.conf"));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }
};

TEST_F(BatchTest, ThreeScansAsJpegListedOneALine) {
    settings("JPEG");
    const BatchRun r = run({"--scans", "3"});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "Scansione effettuata. Files:\n" + folder() + "pag_1.jpg\n" + folder() +
                         "pag_2.jpg\n" + folder() + "pag_3.jpg\n");
    EXPECT_FALSE(QFile::exists(folder() + "pag_4.jpg"));
}

TEST_F(BatchTest, FeederBatchAsTiff) {
    settings("TIFF");
    scanners({feeder});
    const BatchRun r = run({"--adf"});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "Scansione effettuata. Files:\n" + folder() + "scandoc.tif\n");
    EXPECT_EQ(tool("tiffinfo", {folder() + "scandoc.tif"}).count("TIFF Directory at offset"), 4);
    // Ticking the box was this run's choice, not the user's.
    EXPECT_FALSE(storedSettings().contains("AutoADF=TRUE")) << storedSettings().toStdString();
}

TEST_F(BatchTest, DuplexFeederBatchAsPdf) {
    scanners({feeder});
    const BatchRun r = run({"--adf", "--duplex"});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    const QString info = tool("pdfinfo", {folder() + "scandoc.pdf"});
    EXPECT_TRUE(info.contains(QRegularExpression("Pages:\\s+8\\b"))) << info.toStdString();
    EXPECT_TRUE(QDir(folder()).entryList({"pag_*.pdfimg"}).isEmpty());
}

TEST_F(BatchTest, NoScanProducesNothing) {
    const BatchRun r = run({"--scans", "0"});
    EXPECT_EQ(r.status, 1) << r.err.toStdString();
    EXPECT_EQ(r.out, "");
}

TEST_F(BatchTest, SourceByNameAndByIndex) {
    settings("JPEG");
    scanners({flatbed, feeder});
    const BatchRun byName = run({"--source", "Alimentatore", "--adf"});
    EXPECT_EQ(byName.status, 0) << byName.err.toStdString();
    EXPECT_EQ(byName.out.count(".jpg"), 4); // the feeder's four sheets
    const BatchRun byIndex = run({"--source", "0"});
    EXPECT_EQ(byIndex.status, 0) << byIndex.err.toStdString();
    EXPECT_EQ(byIndex.out.count(".jpg"), 1);
    EXPECT_FALSE(storedSettings().contains("DefaultSource"));
}

TEST_F(BatchTest, UnknownSourceFails) {
    scanners({flatbed, feeder});
    const BatchRun r = run({"--source", "Nessuno"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.contains("Nessuno")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("Alimentatore")) << r.err.toStdString();
}

TEST_F(BatchTest, SelectionDialogIsAnsweredNotWaitedFor) {
    scanners({flatbed, feeder});
    const BatchRun r = run({});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.startsWith("Scansione effettuata. Files:\n"));
    EXPECT_FALSE(storedSettings().contains("DefaultSource"));
}

TEST_F(BatchTest, MissingIniFails) {
    const BatchRun r = run({}, tmp.filePath("absent.ini"));
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.contains("Attenzione file scanner.ini non presente nel sistema."))
        << r.err.toStdString();
}

TEST_F(BatchTest, NoScannerReportsTheResultCode) {
    scanners({});
    const BatchRun r = run({});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.contains("SCAN_NOT_AVAILABLE")) << r.err.toStdString();
}

TEST_F(BatchTest, AcquisitionErrorGoesToStandardErrorPagesKept) {
    settings("JPEG");
    scanners({R"({"name": "Guasto", "resolutions": [50], "pageSizes": ["A4"],
        "feeder": {"present": true, "paperDetectable": true, "sheets": 5},
        "faults": {"errorAfterPage": {"page": 2, "code": 9, "text": "Errore di comunicazione"}}})"});
    const BatchRun r = run({"--adf"});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(r.out.count(".jpg"), 2);
    EXPECT_TRUE(r.err.contains("ERRORE ACQUISIZIONE IMMAGINE.CODICE 9")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("Errore di comunicazione"));
}

TEST_F(BatchTest, StuckAcquisitionTimesOutInsteadOfWaiting) {
    scanners(
        {R"({"name": "Lento", "resolutions": [50], "pageSizes": ["A4"], "pageDelayMs": 20000})"});
    QElapsedTimer clock;
    clock.start();
    const BatchRun r = run({"--timeout", "1"});
    EXPECT_LT(clock.elapsed(), 15000);
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.err.contains("nessuna fine acquisizione entro 1 s")) << r.err.toStdString();
}

TEST_F(BatchTest, InfoPrintsTheCapabilityReport) {
    scanners({feeder});
    const BatchRun r = run({"--info"});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("Alimentatore")) << r.out.toStdString();
    EXPECT_FALSE(r.out.contains("Scansione effettuata"));
}

class BatchBadArguments : public BatchTest, public ::testing::WithParamInterface<QStringList> {};

TEST_P(BatchBadArguments, RefusedWithStatusTwo) {
    const BatchRun r = run(GetParam());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(r.err.isEmpty());
    EXPECT_FALSE(QFile::exists(folder() + "scandoc.pdf"));
}

INSTANTIATE_TEST_SUITE_P(Args, BatchBadArguments,
                         ::testing::Values(QStringList{"--scans", "x"},
                                           QStringList{"--scans", "-1"},
                                           QStringList{"--scans", "100"},
                                           QStringList{"--timeout", "0"}, QStringList{"--nope"},
                                           QStringList{"extra"}));

// When the private temporary folder is unusable the documents go to the private state folder,
// and when that is unusable too, nowhere: never beside the program or into the current folder.
TEST_F(BatchTest, UnusableTemporaryFolderFallsBackToTheStateFolderThenToNone) {
    const QString programFolder = QFileInfo(program()).canonicalPath();
    const QStringList besideProgram = QDir(programFolder).entryList({"scandoc*", "Scanlog.log"});
    QFile planted(tmp.path() + "/scansione-" + QString::number(getuid()));
    ASSERT_TRUE(planted.open(QIODevice::WriteOnly)); // a file where the folder belongs
    planted.close();
    ASSERT_TRUE(QDir(tmp.path()).mkdir("cwd"));
    workDir = tmp.filePath("cwd");

    const QString state = tmp.filePath("state/scansione/");
    BatchRun r = run({});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "Scansione effettuata. Files:\n" + state + "scandoc.pdf\n");
    EXPECT_TRUE(QFile::exists(state + "Scanlog.log"));
    EXPECT_EQ(QFileInfo(state).permissions().toInt() & 0x0077, 0) << "group or others may enter";

    QDir(state).removeRecursively();
    QFile planted2(tmp.filePath("state/scansione"));
    ASSERT_TRUE(planted2.open(QIODevice::WriteOnly));
    planted2.close();
    r = run({});
    EXPECT_EQ(r.status, 1) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("no private working folder")) << r.err.toStdString();
    EXPECT_EQ(QDir(workDir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    EXPECT_EQ(QDir(programFolder).entryList({"scandoc*", "Scanlog.log"}), besideProgram);
}

TEST_F(BatchTest, HelpNamesEveryOption) {
    const BatchRun r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* option : {"--scans", "--adf", "--duplex", "--source", "--info", "--timeout",
                               "--ini", "Exit status"})
        EXPECT_TRUE(r.out.contains(option)) << option;
}

} // namespace
