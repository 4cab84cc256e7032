// scansione-batch as a script runs it: real window on the offscreen platform, virtual
// scanners, output judged by third-party tools, exit status and the two output streams; and
// in-process, where a fault is injected through the window's services.
#include "acquisition/RawImageFile.h"
#include "acquisition/SessionCache.h"
#include "acquisition/SessionManifest.h"
#include "acquisition/VstScan.h"
#include "component_base/ScanError.h"
#include "host/BatchRun.h"
#include "host/OutputPlacement.h"
#include "support/FakeTextReader.h"
#include "support/PdfaChecks.h"
#include "support/TestTools.h"
#include "virtual_scanner/VirtualScanner.h"
#include "writers/PdfWriter.h"
#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
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
    QHash<QString, QString> environment;  ///< set for the run, over the defaults
    QString workDir;                      ///< the run's current folder; empty: this one
    rlim_t fileSizeLimit = RLIM_INFINITY; ///< the run's limit on the size of a file it writes

    void SetUp() override {
        ASSERT_TRUE(QFile::exists(program())) << program().toStdString();
        settings("PDF");
        scanners({flatbed});
    }

    static QString program() {
        return QCoreApplication::applicationDirPath() + "/../host/scansione-batch";
    }

    QString folder() const { return tmp.path() + "/scansione-" + QString::number(getuid()) + "/"; }

    void settings(const QString& format, const QString& extra = {}) {
        QFile f(ini);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(
            QStringLiteral("[MAIN]\nFormato=%1\nRisoluzione=50\nPagina=A4\nTipoScansione=GRAY\n")
                .arg(format)
                .toUtf8() +
            extra.toUtf8());
    }

    void scanners(const QStringList& objects, const QString& extra = {}) {
        QFile f(tmp.filePath("virtual.json"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(("{\"scanners\": [" + objects.join(',') + "]" + extra + "}").toUtf8());
    }

    /// The program's environment and folder for a run.
    void setUp(QProcess& p, const QString& iniPath = {}) {
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
    }

    /// Starts the program and leaves it running (the QProcess kills it when it goes).
    std::unique_ptr<QProcess> start(const QStringList& args) {
        auto p = std::make_unique<QProcess>();
        setUp(*p);
        p->start(program(), args);
        EXPECT_TRUE(p->waitForStarted(10000));
        return p;
    }

    /// Runs the program; with `terminal` its standard error is a pseudo-terminal (raw, so
    /// that the bytes read are the bytes written) instead of a pipe.
    BatchRun run(const QStringList& args, const QString& iniPath = {}, bool terminal = false) {
        QProcess p;
        int master = -1, slave = -1;
        if (terminal) {
            termios raw{};
            cfmakeraw(&raw);
            if (::openpty(&master, &slave, nullptr, &raw, nullptr) != 0) {
                ADD_FAILURE() << "no pseudo-terminal";
                return {};
            }
            ::fcntl(master, F_SETFD, FD_CLOEXEC);
            ::fcntl(slave, F_SETFD, FD_CLOEXEC);
        }
        p.setChildProcessModifier([slave, limit = fileSizeLimit] {
            if (slave >= 0)
                ::dup2(slave, STDERR_FILENO);
            const rlimit size{limit, limit};
            ::setrlimit(RLIMIT_FSIZE, &size);
        });
        setUp(p, iniPath);
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
        if (terminal) {
            ::close(slave);
            ::fcntl(master, F_SETFL, O_NONBLOCK);
            QByteArray bytes;
            char chunk[4096];
            for (ssize_t n; (n = ::read(master, chunk, sizeof chunk)) > 0;)
                bytes.append(chunk, n);
            ::close(master);
            r.err = QString::fromUtf8(bytes);
        }
        return r;
    }

    /// runBatch in this process with `services` injected; the streams are captured, standard
    /// error taken for a terminal with `terminal`.
    BatchRun runInProcess(const QStringList& args, WindowServices services, bool terminal = false) {
        char* outText = nullptr;
        char* errText = nullptr;
        size_t outSize = 0, errSize = 0;
        FILE* out = ::open_memstream(&outText, &outSize);
        FILE* err = ::open_memstream(&errText, &errSize);
        // A window left open would block the run for ever: the test fails instead.
        bool hung = false;
        QTimer watchdog;
        watchdog.setSingleShot(true);
        QObject::connect(&watchdog, &QTimer::timeout, [&hung] {
            hung = true;
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* dialog = qobject_cast<QDialog*>(w); dialog && dialog->isVisible())
                    dialog->reject();
        });
        watchdog.start(60000);
        BatchRun r;
        r.status =
            runBatch(QStringList{"scansione-batch"} + args,
                     {.out = out, .err = err, .errorIsTerminal = terminal}, std::move(services));
        std::fclose(out);
        std::fclose(err);
        r.out = QString::fromUtf8(outText, qsizetype(outSize));
        r.err = QString::fromUtf8(errText, qsizetype(errSize));
        std::free(outText);
        std::free(errText);
        EXPECT_FALSE(hung) << "the run waited on an open window";
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

// The image limit stops the first batch before it feeds sheet 100: the second batch takes
// sheets 100 and 101, and says that it replaces the first.
TEST_F(BatchTest, ImageLimitLeavesTheNextSheetInTheFeeder) {
    scanners({R"({"name": "Pila", "resolutions": [50], "pageSizes": ["A4"],
        "feeder": {"present": true, "paperDetectable": true, "sheets": 101}})"});
    const BatchRun r = run({"--adf", "--scans", "2"});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("CODICE 1007")) << r.err.toStdString();
    const QString info = tool("pdfinfo", {folder() + "scandoc.pdf"});
    EXPECT_TRUE(info.contains(QRegularExpression("Pages:\\s+2\\b"))) << info.toStdString();
}

TEST_F(BatchTest, EachFeederBatchSaysWhichPagesItReplaces) {
    scanners({feeder});
    const BatchRun r = run({"--adf", "--scans", "3"});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("scansione-batch: il secondo lotto sostituisce le 4 pagine del primo\n"))
        << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("scansione-batch: il terzo lotto sostituisce le 4 pagine del secondo\n"));
    const QString info = tool("pdfinfo", {folder() + "scandoc.pdf"});
    EXPECT_TRUE(info.contains(QRegularExpression("Pages:\\s+4\\b"))) << info.toStdString();
}

TEST_F(BatchTest, PdfaFromTheSettingsOrTheCommandLineKeepsThePlainPages) {
    ASSERT_EQ(run({"--output", tmp.filePath("plain.pdf")}).status, 0);
    const struct {
        const char* setting;
        QStringList args;
        int part;
    } cases[] = {
        {"PDFA=1B\n", {}, 1}, {"PDFA=1b\n", {"--pdfa", "2b"}, 2}, {"", {"--pdfa", "1B"}, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString() + c.setting);
        settings("PDF", QString::fromLatin1(c.setting));
        const BatchRun r = run(c.args);
        EXPECT_EQ(r.status, 0) << r.err.toStdString();
        const ToolResult verdict =
            checkPdfa(folder() + "scandoc.pdf", c.part, tmp.filePath("plain.pdf"));
        EXPECT_EQ(verdict.exitCode, 0) << verdict.output.toStdString();
    }
}

TEST_F(BatchTest, NoScanProducesNothing) {
    const BatchRun r = run({"--scans", "0"});
    EXPECT_EQ(r.status, 1) << r.err.toStdString();
    EXPECT_EQ(r.out, "");
}

// A feeder slow enough to be caught in the middle of its batch, in 1-bit pages: the PDF keeps
// them losslessly (CCITT G4), so that a page read back out is the page scanned, bit for bit.
class InterruptedBatch : public BatchTest {
protected:
    void SetUp() override {
        BatchTest::SetUp();
        QFile f(ini);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write("[MAIN]\nFormato=PDF\nRisoluzione=50\nPagina=A4\nTipoScansione=BW\n");
        f.close();
        scanners({R"({"name": "Lento", "resolutions": [50], "pageSizes": ["A4"],
                     "feeder": {"present": true, "paperDetectable": true, "sheets": 10},
                     "pageDelayMs": 400})"});
    }

    /// The session cache under the working folder other than `except`, and the files of the
    /// pages its manifest lists that are on disk, in page order.
    QStringList pagesOnDisk(QString* cache, const QString& except = {}) const {
        for (const QString& name : QDir(folder()).entryList({"cache-*"}, QDir::Dirs)) {
            const QString path = folder() + name;
            if (path == except)
                continue;
            *cache = path;
            QStringList files;
            if (const auto manifest = sessionManifest::read(path)) {
                for (const QString& file : manifest->pageFiles)
                    if (QFileInfo::exists(path + "/" + file))
                        files << path + "/" + file;
            }
            return files;
        }
        return {};
    }

    /// Waits until a running batch has at least `n` pages recorded with their files.
    QString waitForPages(int n) {
        QString cache;
        QElapsedTimer t;
        t.start();
        while (pagesOnDisk(&cache).size() < n && t.elapsed() < 30000)
            QThread::msleep(20);
        EXPECT_GE(pagesOnDisk(&cache).size(), n);
        return cache;
    }

    /// The images of the PDF, page 1 first, as pdfimages decodes them, in grey.
    QList<QImage> pdfImages(const QString& pdf) {
        const QString prefix = tmp.filePath("img");
        runTool("pdfimages", {"-png", pdf, prefix});
        QList<QImage> images;
        for (int i = 0;
             QFile::exists(QStringLiteral("%1-%2.png").arg(prefix).arg(i, 3, 10, QChar('0'))); ++i)
            images << QImage(QStringLiteral("%1-%2.png").arg(prefix).arg(i, 3, 10, QChar('0')))
                          .convertToFormat(QImage::Format_Grayscale8);
        return images;
    }
};

TEST_F(InterruptedBatch, KilledRunIsLeftForTheWindowThenRecoveredInOrder) {
    auto killed = start({"--adf"});
    const QString cache = waitForPages(2);
    ::kill(pid_t(killed->processId()), SIGKILL);
    ASSERT_TRUE(killed->waitForFinished(10000));
    QString unused;
    const QStringList pages = pagesOnDisk(&unused);
    ASSERT_GE(pages.size(), 2);
    ASSERT_LT(pages.size(), 10) << "the batch ended before it was killed";
    QList<QImage> scanned;
    for (const QString& page : pages)
        scanned << rawImage::read(page).convertToFormat(QImage::Format_Grayscale8);

    const QString question = QStringLiteral("Sono state trovate %1 pagine di una scansione "
                                            "interrotta (")
                                 .arg(pages.size());
    const BatchRun left = run({"--scans", "0"});
    EXPECT_EQ(left.status, 1);
    EXPECT_TRUE(left.err.contains(question) && left.err.contains("--recover"))
        << left.err.toStdString();
    EXPECT_EQ(pagesOnDisk(&unused), pages) << "a run without --recover touched them";

    const BatchRun recovered = run({"--recover"});
    EXPECT_EQ(recovered.status, 0) << recovered.err.toStdString();
    EXPECT_EQ(recovered.out, "Scansione effettuata. Files:\n" + folder() + "scandoc.pdf\n");
    EXPECT_FALSE(QFileInfo::exists(cache));
    const QList<QImage> written = pdfImages(folder() + "scandoc.pdf");
    ASSERT_EQ(written.size(), scanned.size());
    for (int i = 0; i < written.size(); ++i) {
        // Polarity aside (the G4 route may store white as 1), the same bits.
        QImage inverted = written[i];
        inverted.invertPixels();
        EXPECT_TRUE(written[i] == scanned[i] || inverted == scanned[i]) << "page " << i + 1;
    }
}

TEST_F(InterruptedBatch, LiveRunIsNeitherOfferedNorTouched) {
    auto live = start({"--adf"});
    const QString cache = waitForPages(1);
    const BatchRun second = run({"--recover", "--scans", "0"});
    EXPECT_EQ(second.status, 1) << second.err.toStdString();
    EXPECT_FALSE(second.err.contains("interrotta")) << second.err.toStdString();
    EXPECT_TRUE(QFileInfo::exists(cache));
    ASSERT_TRUE(live->waitForFinished(60000));
    EXPECT_EQ(live->exitCode(), 0) << live->readAllStandardError().toStdString();
    const QString info = tool("pdfinfo", {folder() + "scandoc.pdf"});
    EXPECT_TRUE(info.contains(QRegularExpression("Pages:\\s+10\\b"))) << info.toStdString();
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

TEST_F(BatchTest, MissingIniFailsNamingThePath) {
    // Through SCANSIONE_INI and through --ini alike.
    for (const bool option : {false, true}) {
        const QString absent = tmp.filePath(option ? "given.ini" : "absent.ini");
        const BatchRun r = option ? run({"--ini", absent}) : run({}, absent);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(r.err.contains("Attenzione file scanner.ini non presente nel sistema. (" +
                                   absent + ")"))
            << r.err.toStdString();
    }
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
    EXPECT_EQ(r.status, 3) << "document written, acquisition incomplete\n" << r.err.toStdString();
    EXPECT_EQ(r.out.count(".jpg"), 2);
    // The box on one line, then what it cost.
    EXPECT_TRUE(r.err.contains("scansione-batch: ERRORE: ERRORE ACQUISIZIONE IMMAGINE.CODICE 9: "
                               "Errore di comunicazione\n"))
        << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("scansione-batch: acquisizione incompleta (Errore di comunicazione): "
                               "documento scritto con 2 pagine\n"))
        << r.err.toStdString();
}

TEST_F(BatchTest, StuckAcquisitionTimesOutInsteadOfWaiting) {
    scanners(
        {R"({"name": "Lento", "resolutions": [50], "pageSizes": ["A4"], "pageDelayMs": 60000})"});
    QElapsedTimer clock;
    clock.start();
    const BatchRun r = run({"--timeout", "1"});
    EXPECT_LT(clock.elapsed(), 30000); // the page would take a minute
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

INSTANTIATE_TEST_SUITE_P(
    Args, BatchBadArguments,
    ::testing::Values(QStringList{"--scans", "x"}, QStringList{"--scans", "-1"},
                      QStringList{"--scans", "100"}, QStringList{"--timeout", "0"},
                      QStringList{"--nope"}, QStringList{"extra"}, QStringList{"--force"},
                      QStringList{"--list", "--scans", "2"},
                      QStringList{"--info", "--output", "x.pdf"}, QStringList{"--recover", "--adf"},
                      QStringList{"--info", "--recover"}, QStringList{"--recover", "--scans", "1"},
                      QStringList{"--pdfa", "3b"}, QStringList{"--pdfa", ""},
                      QStringList{"--ocr", "ita"}, QStringList{"--ocr=ita+"},
                      QStringList{"--ocr=../ita"}, QStringList{"--ocr=ita eng"},
                      QStringList{"--list", "--ocr"}, QStringList{"--list", "--raddrizza"}));

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
    EXPECT_TRUE(r.err.contains("nessuna cartella di lavoro privata")) << r.err.toStdString();
    EXPECT_EQ(QDir(workDir).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    EXPECT_EQ(QDir(programFolder).entryList({"scandoc*", "Scanlog.log"}), besideProgram);
}

TEST_F(BatchTest, HelpNamesEveryOption) {
    const BatchRun r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* option :
         {"--list", "--scans", "--adf", "--duplex", "--source", "--output", "--force", "--quiet",
          "--info", "--timeout", "--ini", "--recover", "--ocr", "--pagine-bianche",
          "--ruota-automatica", "--raddrizza", "Stato di uscita"})
        EXPECT_TRUE(r.out.contains(option)) << option;
    // With Qt's options, and no session after it.
    const BatchRun all = run({"--help-all"});
    EXPECT_EQ(all.status, 0);
    EXPECT_TRUE(all.out.contains("-platform")) << all.out.toStdString();
    EXPECT_EQ(all.err, "");
}

// What reaches the person at the terminal: the scanners listed, and the reasons for a run
// that fails or goes wrong, on standard error.
struct ReportCase {
    const char* name;
    QByteArray ini; ///< the settings after [MAIN]
    QByteArray scannerFile;
    bool sane; ///< SANE's test backend beside the virtual scanners
    QStringList args;
    int status;
    const char* out; ///< the whole standard output; null: not checked
    QStringList errHas;
};

class BatchReports : public BatchTest, public ::testing::WithParamInterface<ReportCase> {};

TEST_P(BatchReports, StatusOutputAndReasons) {
    const ReportCase& c = GetParam();
    QFile settingsFile(ini), scannerFile(tmp.filePath("virtual.json"));
    ASSERT_TRUE(settingsFile.open(QIODevice::WriteOnly | QIODevice::Truncate));
    settingsFile.write(QByteArray("[MAIN]\nRisoluzione=50\nPagina=A4\n") + c.ini);
    settingsFile.close();
    ASSERT_TRUE(scannerFile.open(QIODevice::WriteOnly | QIODevice::Truncate));
    scannerFile.write(c.scannerFile);
    scannerFile.close();
    if (c.sane)
        environment.insert("SCANSIONE_SANE", "1");
    const BatchRun r = run(c.args);
    EXPECT_EQ(r.status, c.status) << r.err.toStdString();
    if (c.out) {
        EXPECT_EQ(r.out, QString::fromUtf8(c.out).replace("FOLDER/", folder()));
    }
    for (const QString& text : c.errHas)
        EXPECT_TRUE(r.err.contains(text)) << text.toStdString() << " not in:\n"
                                          << r.err.toStdString();
}

const QByteArray twoScanners = QByteArray("{\"scanners\": [") + flatbed + "," + feeder + "]}";
const QByteArray badField = R"({"scanners": [{"name": "A", "resolutions": "tante"}]})";
const QByteArray willNotOpen = R"({"scanners": [{"name": "Rotto",
    "faults": {"openFails": {"code": 11, "text": "Accesso negato"}}}]})";
const char* const refused = "OPERAZIONE IMPOSTO LUMINOSITA 5000: -1 - VALORE FUORI RANGE";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, BatchReports, ::testing::Values(
    ReportCase{"ListByIndex", "", twoScanners, false, {"--list"}, 0, "0: Piano\n1: Alimentatore\n", {}},
    ReportCase{"ListNone", "", R"({"scanners": []})", false, {"--list"}, 1, "", {"nessuno scanner disponibile"}},
    ReportCase{"ListBrokenFile", "", badField, false, {"--list"}, 2, "", {"\"resolutions\"", "SCAN_DEVICE_NOT_STARTED"}},
    ReportCase{"SessionBrokenFile", "Formato=PDF\n", badField, false, {}, 2, "", {"\"resolutions\"", "SCAN_DEVICE_NOT_STARTED"}},
    // SANE starts, so the session does: the broken file must not vanish without a word.
    ReportCase{"BrokenFileBesideSane", "", badField, true, {"--list"}, 0, nullptr, {"\"resolutions\""}},
    ReportCase{"SourceWillNotOpen", "Formato=PDF\n", willNotOpen, false, {}, 1, "", {"ERRORE: Impossibile aprire lo scanner \"Rotto\": Accesso negato"}},
    ReportCase{"UnknownFormat", "Formato=pdf\n", twoScanners, false, {"--source", "0"}, 1, "", {"nessun documento: formato 'pdf' non riconosciuto"}},
    ReportCase{"NulInFormatShownEscaped", QByteArray("Formato=TI\0FF\n", 14), twoScanners, false, {"--source", "0"}, 1, "",
               {"scansione-batch: nessun documento: formato 'TI\\x00FF' non riconosciuto\n"}},
    ReportCase{"UnusableNumberSaid", "Formato=PDF\nBitPerPixel=alta\n", twoScanners, false, {"--source", "0"}, 0, nullptr,
               {"scansione-batch: impostazione BitPerPixel=alta non usata: serve un numero intero da -32768 a 32767 (resta 0)\n"}},
    ReportCase{"FileCutAtTheBoundSaid", "Formato=PDF\n; " + QByteArray(5000000, '-') + "\n", twoScanners, false, {"--source", "0"}, 0, nullptr,
               {"supera 4 MiB: oltre i primi 4 MiB non è stato letto\n"}},
    ReportCase{"RefusedSettingAndScannerUsed", "Formato=PDF\nLuminosita=5000\n", twoScanners, false, {"--source", "Piano"}, 0,
               "Scansione effettuata. Files:\nFOLDER/scandoc.pdf\n", {refused, "scanner: Piano"}},
    ReportCase{"UnknownPdfaWritesThePlainPdf", "Formato=PDF\nPDFA=a1\n", twoScanners, false, {"--source", "0"}, 0,
               "Scansione effettuata. Files:\nFOLDER/scandoc.pdf\n",
               {"OPERAZIONE PDFA a1: -1 - valore non riconosciuto (1b o 2b): scritto un PDF non PDF/A"}},
    ReportCase{"QuietKeepsPathsAndErrors", "Formato=PDF\nLuminosita=5000\n", twoScanners, false, {"--source", "Piano", "--quiet"}, 0,
               "FOLDER/scandoc.pdf\n", {refused}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// --output: checked before scanning, the document moved whole, the final paths printed.
struct OutputCase {
    const char* name;
    const char* format;
    const char* target;   ///< under the destination root
    const char* existing; ///< a file there before the run; "" none
    QStringList extraArgs;
    int status;
    QStringList placed; ///< under the root, in order, when the run succeeds
};

class BatchOutput : public BatchTest, public ::testing::WithParamInterface<OutputCase> {};

TEST_P(BatchOutput, PlacesTheDocumentOrRefusesBeforeScanning) {
    const OutputCase& c = GetParam();
    settings(c.format);
    const QString root = tmp.filePath("dest");
    QDir().mkpath(root);
    const QString existing = root + "/" + c.existing;
    if (*c.existing) {
        QDir().mkpath(QFileInfo(existing).path());
        QFile old(existing);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("old");
    }
    const BatchRun r =
        run(QStringList{"--scans", "2", "--output", root + "/" + c.target} + c.extraArgs);
    ASSERT_EQ(r.status, c.status) << r.err.toStdString();

    if (c.status != 0) {
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(r.err.isEmpty());
        EXPECT_FALSE(QFile::exists(folder() + "Scanlog.log")) << "scanned before refusing";
        QFile old(existing);
        EXPECT_TRUE(!*c.existing || (old.open(QIODevice::ReadOnly) && old.readAll() == "old"));
        return;
    }
    QStringList paths;
    for (const QString& name : c.placed)
        paths << root + "/" + name;
    const bool quiet = c.extraArgs.contains("--quiet");
    EXPECT_EQ(r.out, (quiet ? QString() : QString("Scansione effettuata. Files:\n")) +
                         paths.join('\n') + '\n');
    if (QString(c.format) == "PDF")
        EXPECT_TRUE(tool("pdfinfo", {paths[0]}).contains(QRegularExpression("Pages:\\s+2\\b")));
    else
        EXPECT_EQ(tool("file", {"-b", paths.last()}).left(10), "JPEG image");
    // Moved, not copied: the working folder keeps no second document; no staging file stays.
    EXPECT_EQ(QDir(folder()).entryList({"scandoc*", "pag_*"}), QStringList());
    EXPECT_EQ(QDir(QFileInfo(paths[0]).path()).entryList({".*.part"}, QDir::Hidden | QDir::Files),
              QStringList());
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, BatchOutput, ::testing::Values(
    OutputCase{"PdfToNewFile", "PDF", "doc.pdf", "", {}, 0, {"doc.pdf"}},
    OutputCase{"ExistingFileReplacedWithForce", "PDF", "doc.pdf", "doc.pdf", {"--force"}, 0, {"doc.pdf"}},
    OutputCase{"JpegFolderMadeQuiet", "JPEG", "a/b", "", {"--quiet"}, 0, {"a/b/pag_1.jpg", "a/b/pag_2.jpg"}},
    OutputCase{"ExistingFileRefused", "PDF", "doc.pdf", "doc.pdf", {}, 2, {}},
    OutputCase{"JpegPagesThereRefused", "JPEG", "pages", "pages/pag_3.jpg", {}, 2, {}},
    OutputCase{"FolderGivenForPdf", "PDF", "sub", "sub/x", {"--force"}, 2, {}},
    OutputCase{"ParentFolderMissing", "TIFF", "none/doc.tif", "", {}, 2, {}},
    OutputCase{"UnknownFormat", "BMP", "doc.bmp", "", {}, 2, {}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// The progress line is drawn on a terminal only; scripts (a pipe) get exactly what they got
// before it existed, and the standard output is the same either way.
TEST_F(BatchTest, ProgressLineOnATerminalOnly) {
    scanners({feeder});
    const BatchRun piped = run({"--adf"});
    ASSERT_EQ(piped.status, 0) << piped.err.toStdString();
    EXPECT_EQ(piped.out, "Scansione effettuata. Files:\n" + folder() + "scandoc.pdf\n");
    EXPECT_EQ(piped.err, "scansione-batch: scanner: Alimentatore\n");

    const BatchRun terminal = run({"--adf"}, {}, true);
    ASSERT_EQ(terminal.status, 0) << terminal.err.toStdString();
    EXPECT_EQ(terminal.out, piped.out);
    const QString erase = "\r\x1b[K";
    QString expected = piped.err + erase + "Acquisizione in corso…";
    for (int page = 1; page <= 4; ++page)
        expected += erase + QString("Pagina %1 acquisita…").arg(page);
    EXPECT_EQ(terminal.err, expected + erase + "Scrittura del documento…" + erase);

    EXPECT_EQ(run({"--adf", "--quiet"}, {}, true).err, "");
}

/// A PDF writer that fails at the first page, as on a full disk.
class FailingPdfWriter : public PdfWriter {
public:
    int32_t AddImageFile(const QString&) override {
        throw ScanError(QStringLiteral("spazio su disco esaurito"));
    }
};

/// The services of a run in this process on the virtual scanners of `scanners`, in the
/// working folder `work`, whose PDF writer fails.
WindowServices failingPdfServices(const QString& scanners, const QString& work) {
    WindowServices services;
    services.workingFolder = [work] { return work; };
    services.createComponent = [scanners, work](std::shared_ptr<ComponentDialogs> dialogs) {
        std::vector<std::unique_ptr<DeviceLayer>> layers;
        layers.push_back(std::make_unique<VirtualScannerLayer>(scanners));
        return std::make_unique<VstScan>(std::move(layers), work, std::move(dialogs));
    };
    services.createPdfWriter = [](int32_t) { return std::make_unique<FailingPdfWriter>(); };
    return services;
}

// A document that cannot be written ends the run with status 1 and says so, with nothing at
// the destination; a window that keeps its pages open after the failure is cancelled, not
// waited on.
TEST_F(BatchTest, FailedOutputEndsTheRunWithNothingPlaced) {
    const QString work = tmp.filePath("work") + "/";
    ASSERT_TRUE(QDir().mkpath(work));
    const WindowServices services = failingPdfServices(tmp.filePath("virtual.json"), work);
    const QString target = tmp.filePath("doc.pdf");
    const BatchRun r = runInProcess({"--ini", ini, "--scans", "2", "--output", target}, services);
    EXPECT_EQ(r.status, 1) << r.err.toStdString();
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(r.err.contains("nessun documento scritto (2 pagine acquisite)"))
        << r.err.toStdString();
    EXPECT_FALSE(QFile::exists(target));
}

// A file size limit fails the writes beyond it, which the run reports; it does not end the run.
TEST_F(BatchTest, FileSizeLimitIsReportedNotFatal) {
    settings("TIFF");
    fileSizeLimit = 256 << 10; // a page file fits (236 KiB), the document of twelve does not
    const BatchRun r = run({"--scans", "12"});
    EXPECT_EQ(r.status, 1) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("Impossibile salvare il documento: file troppo grande"))
        << r.err.toStdString();
}

// Nobody frees the space and confirms again in a batch: the scanned pages stay behind for a
// later --recover, as a killed run's do.
TEST_F(BatchTest, FailedOutputKeepsThePagesForRecovery) {
    const QString work = tmp.filePath("work") + "/";
    ASSERT_TRUE(QDir().mkpath(work));
    const WindowServices services = failingPdfServices(tmp.filePath("virtual.json"), work);
    const BatchRun r = runInProcess({"--ini", ini, "--scans", "3"}, services);
    EXPECT_EQ(r.status, 1) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("3 pagine conservate: --recover le recupera"))
        << r.err.toStdString();
    const QList<SessionCache::Interrupted> left = SessionCache::claimInterrupted(work);
    ASSERT_EQ(left.size(), 1);
    EXPECT_EQ(left[0].pageFiles.size(), 3);
}

// Placing a document: all files or none, never a partial file at a final name, never a file
// replaced without --force, and never the document itself removed.
struct PlacementCase {
    const char* name;
    DestinationKind kind;
    bool force;
    bool otherFileSystem;    ///< the destination on /dev/shm: a copy, not a link
    bool diskFull;           ///< writes stop at 16 KiB, as on a full disk
    const char* destination; ///< under the destination root; "=" the working folder itself
    QStringList before;      ///< entries there before ("x/" a folder)
    bool ok;
    QStringList after; ///< every entry under the root afterwards, sorted
};

class Placing : public ::testing::TestWithParam<PlacementCase> {};

TEST_P(Placing, AllOrNothing) {
    const PlacementCase& c = GetParam();
    QTemporaryDir work;
    std::unique_ptr<QTemporaryDir> shm;
    if (c.otherFileSystem) {
        shm = std::make_unique<QTemporaryDir>("/dev/shm/placing-XXXXXX");
        struct stat a {
        }, b{};
        if (!shm->isValid() || ::stat("/dev/shm", &a) != 0 ||
            ::stat(qPrintable(work.path()), &b) != 0 || a.st_dev == b.st_dev)
            GTEST_SKIP() << "no second file system at /dev/shm";
    }
    const QString root = shm ? shm->path() : work.filePath("dest");
    QDir().mkpath(root);
    for (const QString& entry : c.before) {
        const QString path = root + "/" + entry;
        QDir().mkpath(entry.endsWith('/') ? path : QFileInfo(path).path());
        QFile f(path);
        if (!entry.endsWith('/')) {
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write("old");
        }
    }
    QStringList produced;
    const QStringList names = c.kind == DestinationKind::File
                                  ? QStringList{"scandoc.pdf"}
                                  : QStringList{"pag_1.jpg", "pag_2.jpg"};
    for (const QString& name : names) {
        QFile f(work.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(64 * 1024, 'n'));
        produced << f.fileName();
    }
    const bool inPlace = QString(c.destination) == "=";
    const QString destination = inPlace ? work.path() : root + "/" + c.destination;
    Placement placed;
    const auto place = [&] { placed = placeDocument(produced, destination, c.kind, c.force); };
    if (c.diskFull)
        withFileSizeLimit(16 * 1024, place);
    else
        place();

    EXPECT_EQ(placed.error.isEmpty(), c.ok) << placed.error.toStdString();
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries << QDir(root).relativeFilePath(it.next());
    entries.sort();
    EXPECT_EQ(entries, c.after);
    for (const QString& source : produced) // kept on failure; gone once moved, unless in place
        EXPECT_EQ(QFile::exists(source), !c.ok || inPlace) << source.toStdString();
    for (const QString& entry : c.before) { // a failure changes nothing that was there
        QFile f(root + "/" + entry);
        EXPECT_TRUE(c.ok || entry.endsWith('/') ||
                    (f.open(QIODevice::ReadOnly) && f.readAll() == "old"))
            << entry.toStdString();
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Cases, Placing, ::testing::Values(
    // A file that appeared after the check before scanning is still not replaced.
    PlacementCase{"FileThereWithoutForce", DestinationKind::File, false, false, false, "doc.pdf", {"doc.pdf"}, false, {"doc.pdf"}},
    PlacementCase{"CopiedAcrossFileSystems", DestinationKind::File, false, true, false, "doc.pdf", {}, true, {"doc.pdf"}},
    PlacementCase{"CopyFailsOnAFullDisk", DestinationKind::Folder, false, true, true, "p", {}, false, {"p"}},
    // The second page cannot take its name: the first is taken back.
    PlacementCase{"SecondPageBlocked", DestinationKind::Folder, true, false, false, "p", {"p/pag_2.jpg/"}, false, {"p", "p/pag_2.jpg"}},
    // An earlier, longer document's pages go; files not named like pages stay.
    PlacementCase{"StalePagesReplaced", DestinationKind::Folder, true, false, false, "p",
                  {"p/pag_1.jpg", "p/pag_3.jpg", "p/pag_10.jpg", "p/pag_x.jpg", "p/note.txt"}, true,
                  {"p", "p/note.txt", "p/pag_1.jpg", "p/pag_2.jpg", "p/pag_x.jpg"}},
    // The working folder itself as the destination: the pages stay where they are.
    PlacementCase{"InPlace", DestinationKind::Folder, true, false, false, "=", {}, true, {}}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// What third-party code prints goes to the worker's log beside the scan log, not into the
// terminal, unless SCANSIONE_DEBUG asks for it there; a run without XDG_RUNTIME_DIR draws no
// warning from Qt.
struct NoiseCase {
    const char* name;
    bool debug;
};

class BatchNoise : public BatchTest, public ::testing::WithParamInterface<NoiseCase> {};

TEST_P(BatchNoise, BackendOutputGoesToTheWorkerLog) {
    environment.insert("SCANSIONE_SANE", "1");
    environment.insert("SANE_DEBUG_TEST", "128"); // SANE's test backend talks on stderr
    environment.insert("XDG_RUNTIME_DIR", "");
    if (GetParam().debug)
        environment.insert("SCANSIONE_DEBUG", "1");
    const BatchRun r = run({"--list"});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("(test:0)")) << r.out.toStdString();
    EXPECT_FALSE(r.err.contains("XDG_RUNTIME_DIR")) << r.err.toStdString();
    EXPECT_EQ(r.err.contains("[test] sane_init"), GetParam().debug) << r.err.toStdString();
    QFile log(folder() + "Scanworker.log");
    const bool logged = log.open(QIODevice::ReadOnly) && log.readAll().contains("[test] sane_init");
    EXPECT_EQ(logged, !GetParam().debug);
}

INSTANTIATE_TEST_SUITE_P(Cases, BatchNoise,
                         ::testing::Values(NoiseCase{"Quiet", false}, NoiseCase{"Debug", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- The pages' text and clean-up ------------------------------------------------------------

/// What the run's settings made of the pages' services, as the component was told them.
struct PageServicesSeen {
    QStringList languages;
    QVector<PageCleanup> cleanups;
};

/// The real component on the virtual scanners, reading the pages with `services`, which tells
/// `seen` what the run's settings asked of it and says a side left out at each acquisition.
class TextScan : public VstScan {
public:
    TextScan(const QString& scanners, const QString& work, PageServices services,
             std::shared_ptr<ComponentDialogs> d, PageServicesSeen& seen)
        : VstScan(layersOf(scanners), work, std::move(services), std::move(d)), m_seen(seen) {}

    void setTextLanguages(const QString& languages) override {
        m_seen.languages << languages;
        VstScan::setTextLanguages(languages);
    }
    void setPageCleanup(const PageCleanup& cleanup) override {
        m_seen.cleanups << cleanup;
        VstScan::setPageCleanup(cleanup);
    }
    int32_t Acquire() override {
        Q_EMIT PageCleaned(QStringLiteral("pagina bianca"), QStringLiteral("foglio 1 retro"));
        return VstScan::Acquire();
    }

private:
    static std::vector<std::unique_ptr<DeviceLayer>> layersOf(const QString& scanners) {
        std::vector<std::unique_ptr<DeviceLayer>> layers;
        layers.push_back(std::make_unique<VirtualScannerLayer>(scanners));
        return layers;
    }
    PageServicesSeen& m_seen;
};

struct OcrArgsCase {
    QStringList args;
    const char* ini; ///< the settings' keys beyond the format
    const char* languages;
    PageCleanup cleanup;
};

class BatchOcrArgs : public BatchTest, public ::testing::WithParamInterface<OcrArgsCase> {};

// The flags set the keys of the run's settings over the file's; without them the file's keys
// stand.
TEST_P(BatchOcrArgs, FlagsReachTheComponentAsTheSettingsWould) {
    const OcrArgsCase& c = GetParam();
    settings("PDF", c.ini);
    const QString work = tmp.filePath("work") + "/";
    ASSERT_TRUE(QDir().mkpath(work));
    PageServicesSeen seen;
    WindowServices services;
    services.workingFolder = [work] { return work; };
    services.createComponent = [&](std::shared_ptr<ComponentDialogs> dialogs) {
        return std::make_unique<TextScan>(tmp.filePath("virtual.json"), work, PageServices{},
                                          std::move(dialogs), seen);
    };
    const BatchRun r = runInProcess(QStringList{"--ini", ini, "--scans", "0"} + c.args, services);
    EXPECT_EQ(r.status, 1) << r.err.toStdString(); // nothing scanned, nothing written
    EXPECT_EQ(seen.languages, QStringList{c.languages});
    ASSERT_EQ(seen.cleanups.size(), 1);
    EXPECT_EQ(seen.cleanups[0].leaveOutBlankSides, c.cleanup.leaveOutBlankSides);
    EXPECT_EQ(seen.cleanups[0].turnUpsideDown, c.cleanup.turnUpsideDown);
    EXPECT_EQ(seen.cleanups[0].straighten, c.cleanup.straighten);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BatchOcrArgs,
    ::testing::Values(OcrArgsCase{{}, "", "", {}}, OcrArgsCase{{"--ocr"}, "", "ita", {}},
                      OcrArgsCase{{"--ocr"}, "LinguaOCR=deu\n", "deu", {}},
                      OcrArgsCase{{"--ocr=ita+eng"}, "LinguaOCR=deu\n", "ita+eng", {}},
                      OcrArgsCase{{}, "OCR=1\nLinguaOCR=fra\n", "fra", {}},
                      OcrArgsCase{{"--pagine-bianche"}, "", "", {true, false, false}},
                      OcrArgsCase{{"--ruota-automatica", "--raddrizza"},
                                  "PagineBianche=1\n",
                                  "",
                                  {true, true, true}}));

// The component's own reading (its queue and thread, a reader the test scripts, slow enough
// that both pages are still being read when the scans are over): the batch waits for them,
// showing the window's progress on the terminal, and each page of the PDF carries its words
// for pdftotext; a reader that fails (a language not installed) leaves the pages without text
// and standard error names the package. A side the component left out is said.
TEST_F(BatchTest, OcrWaitsForTheComponentsReading) {
    for (const QString& error : {QString(), QStringLiteral("lingua ita non installata: "
                                                           "installare tesseract-ocr-ita")}) {
        SCOPED_TRACE(error.toStdString());
        const QString work = tmp.filePath(error.isEmpty() ? "letto" : "errore") + "/";
        ASSERT_TRUE(QDir().mkpath(work));
        auto script = std::make_shared<FakeTextScript>();
        script->error = error;
        script->held = 2;
        script->holdFor = std::chrono::milliseconds(400);
        WindowServices services;
        services.workingFolder = [work] { return work; };
        PageServicesSeen seen;
        services.createComponent = [&](std::shared_ptr<ComponentDialogs> dialogs) {
            return std::make_unique<TextScan>(tmp.filePath("virtual.json"), work,
                                              fakeTextServices(script), std::move(dialogs), seen);
        };
        const BatchRun r = runInProcess({"--ini", ini, "--scans", "2", "--ocr"}, services, true);
        ASSERT_EQ(r.status, 0) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains("Riconoscimento del testo: pagina 1 di 2"))
            << r.err.toStdString();
        EXPECT_EQ(r.err.count("pagina bianca: foglio 1 retro"), 2) << r.err.toStdString();
        const std::vector<FakeTextScript::Call> calls = script->snapshot();
        ASSERT_EQ(calls.size(), 2u);
        const QString pdf = work + "scandoc.pdf";
        for (int page : {1, 2}) {
            const QString text = tool("pdftotext", {"-f", QString::number(page), "-l",
                                                    QString::number(page), pdf, "-"})
                                     .trimmed();
            const FakeTextScript::Call& c = calls[size_t(page - 1)];
            EXPECT_EQ(text, error.isEmpty() ? FakeTextScript::wordFor(c.size, c.dpi) : QString());
        }
        if (!error.isEmpty()) {
            EXPECT_EQ(r.err.count("tesseract-ocr-ita"), 2) << r.err.toStdString();
        }
    }
}

} // namespace
