// scansione-batch, the real window without a person, against network scanners as offices have
// them: a scanner shared by saned (SANE's net backend) and an eSCL scanner (sane-airscan). The
// scan log, the exit status and the document as poppler reads it are what a user would see.
#include "NetScan.h"
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

struct BatchRun {
    int status = -1; // -1: killed by a signal or never ended
    QString out, err;
};

class NetBatchTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(QFile::exists(program())) << program().toStdString(); }

    static QString program() {
        return QCoreApplication::applicationDirPath() + "/../host/scansione-batch";
    }
    QString folder() const {
        return m_tmp.path() + "/scansione-" + QString::number(getuid()) + "/";
    }

    /// The settings file: `type` as TipoScansione, A4 at `dpi`, a PDF.
    void settings(const QString& type, int dpi) {
        QFile f(m_tmp.filePath("scanner.ini"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(QStringLiteral("[MAIN]\nPagina=A4\nTipoScansione=%1\nSogliaBiancoNero=128\n"
                               "Risoluzione=%2\nFormato=PDF\n")
                    .arg(type)
                    .arg(dpi)
                    .toUtf8());
    }

    void start(QProcess& p, const QStringList& args) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        env.remove("SCANSIONE_VIRTUAL_SCANNERS");
        env.insert("SCANSIONE_SANE", "1");
        env.insert("SANE_CONFIG_DIR", clientConfigDir());
        env.insert("SCANSIONE_INI", m_tmp.filePath("scanner.ini"));
        env.insert("TMPDIR", m_tmp.path());
        env.insert("XDG_CONFIG_HOME", m_tmp.filePath("config"));
        env.insert("XDG_RUNTIME_DIR", m_tmp.path());
        // Leak checking stays on: SANE's backends (sane-airscan leaves allocations at
        // sane_exit) run in the worker, which checks none; this program's leaks are ours.
        p.setProcessEnvironment(env);
        // Gone with the test, should the test be killed while the program runs.
        p.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
        p.start(program(), args);
    }

    static BatchRun finish(QProcess& p) {
        BatchRun r;
        if (!p.waitForFinished(120000)) {
            p.kill();
            p.waitForFinished();
            ADD_FAILURE() << "scansione-batch did not finish";
        }
        if (p.exitStatus() == QProcess::NormalExit)
            r.status = p.exitCode();
        r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
        r.err = QString::fromLocal8Bit(p.readAllStandardError());
        return r;
    }

    BatchRun run(const QStringList& args) {
        QProcess p;
        start(p, args);
        return finish(p);
    }

    QString log() const {
        QFile f(folder() + "Scanlog.log");
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    /// pdfimages -list of the document: one row per image.
    QStringList images() const {
        QProcess p;
        p.start("pdfimages", {"-list", folder() + "scandoc.pdf"});
        p.waitForFinished(60000);
        QStringList rows = QString::fromLocal8Bit(p.readAllStandardOutput()).split('\n');
        rows = rows.mid(2); // the heading and its rule
        rows.removeAll(QString());
        return rows;
    }

    QTemporaryDir m_tmp;
};

// The scanner on another machine, in colour at 150 dpi: every setting after the mode reaches
// it, so the document has ten A4 pages at 150 dpi, not one page at the device's defaults.
TEST_F(NetBatchTest, ASharedScannerTakesEverySettingOfAColourFeederBatch) {
    SanedServer server;
    ASSERT_TRUE(server.ok()) << server.error().toStdString();
    settings("COLORE", 150);
    const BatchRun r = run({"--source", "0", "--adf"});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    const QString scanLog = log();
    EXPECT_TRUE(scanLog.contains("OPERAZIONE IMPOSTO RISOLUZIONE 150")) << scanLog.toStdString();
    EXPECT_FALSE(
        scanLog.contains(QRegularExpression("^-?\\d+ - ", QRegularExpression::MultilineOption)))
        << "an error line in the scan log:\n"
        << scanLog.toStdString();
    const QStringList rows = images();
    EXPECT_EQ(rows.size(), 10);
    for (const QString& row : rows)
        EXPECT_TRUE(row.contains(
            QRegularExpression("\\b1240\\s+175[34]\\s+rgb\\s+3\\s+8\\s+jpeg\\b.*\\b150\\s+150\\b")))
            << row.toStdString();
}

// An eSCL scanner has grey and colour only; every pixel type of the settings still gives the
// document that type: black and white pages stored as G4, grey as one-channel JPEG.
struct TypeCase {
    const char* setting;
    const char* logLine; // what the log shows, with no error line after it
    const char* image;   // pdfimages -list: colour, components, bits, encoding
};

class NetBatchTypes : public NetBatchTest, public ::testing::WithParamInterface<TypeCase> {};

TEST_P(NetBatchTypes, AnEsclScannerGivesEveryPixelType) {
    EsclServer server({"--sheets", "2"});
    ASSERT_TRUE(server.ok()) << server.error().toStdString();
    settings(GetParam().setting, 150);
    const BatchRun r = run({"--source", "0", "--adf"});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    const QStringList scanLog = log().split(QRegularExpression("\r?\n"));
    const qsizetype at = scanLog.indexOf(QString::fromLatin1(GetParam().logLine));
    ASSERT_GE(at, 0) << log().toStdString();
    EXPECT_TRUE(scanLog.value(at + 1).startsWith("OPERAZIONE")) << log().toStdString();
    const QStringList rows = images();
    EXPECT_EQ(rows.size(), 2);
    for (const QString& row : rows)
        EXPECT_TRUE(row.contains(QRegularExpression(QString::fromLatin1(GetParam().image))))
            << row.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    Types, NetBatchTypes,
    ::testing::Values(
        TypeCase{"BW", "OPERAZIONE IMPOSTO SCANSIONE BW", "gray\\s+1\\s+1\\s+ccitt"},
        TypeCase{"GRAY", "OPERAZIONE IMPOSTO SCANSIONE LIVELLO GRIGI", "gray\\s+1\\s+8\\s+jpeg"},
        TypeCase{"COLORE", "OPERAZIONE IMPOSTO SCANSIONE A COLORI", "rgb\\s+3\\s+8\\s+jpeg"}),
    [](const ::testing::TestParamInfo<TypeCase>& info) { return std::string(info.param.setting); });

TEST_F(NetBatchTest, TheCapabilityReportOfEachNetworkScanner) {
    settings("COLORE", 100);
    {
        SanedServer saned;
        ASSERT_TRUE(saned.ok()) << saned.error().toStdString();
        const BatchRun r = run({"--source", "0", "--info"});
        EXPECT_TRUE(r.out.contains("Device name: Noname frontend-tester (" + saned.device(0) + ")"))
            << r.out.toStdString() << r.err.toStdString();
        EXPECT_TRUE(r.out.contains(QRegularExpression("Supported pixel types: BW\\s+GRAY\\s+RGB")))
            << r.out.toStdString();
    }
    EsclServer escl;
    ASSERT_TRUE(escl.ok()) << escl.error().toStdString();
    const BatchRun r = run({"--source", "0", "--info"});
    EXPECT_TRUE(r.out.contains(QStringLiteral("Device name: eSCL ") + EsclServer::kName))
        << r.out.toStdString() << r.err.toStdString();
    EXPECT_TRUE(r.out.contains(QRegularExpression("Supported pixel types: BW\\s+GRAY\\s+RGB")))
        << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("ICAP_THRESHOLD")) << r.out.toStdString();
}

TEST_F(NetBatchTest, AScannerSwitchedOffMidPageKeepsTheEarlierPagesAndSaysWhy) {
    EsclServer server({"--sheets", "4", "--stop-mid-page", "2"});
    ASSERT_TRUE(server.ok()) << server.error().toStdString();
    settings("BW", 100);
    const BatchRun r = run({"--source", "0", "--adf"});
    // The document of the page before is written, and the status says it is incomplete.
    EXPECT_EQ(r.status, 3) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("ERRORE ACQUISIZIONE IMMAGINE.CODICE 9")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("documento scritto con 1 pagina\n")) << r.err.toStdString();
    EXPECT_EQ(images().size(), 1);
}

// A SIGPIPE from a closed connection must not end the program without a word.
TEST_F(NetBatchTest, SigpipeDoesNotEndTheProgram) {
    EsclServer server({"--sheets", "6"});
    ASSERT_TRUE(server.ok()) << server.error().toStdString();
    settings("COLORE", 300);
    QProcess p;
    start(p, {"--source", "0", "--adf"});
    ASSERT_TRUE(p.waitForStarted(10000));
    // Once the window programs the scanner, main() has long set its signal dispositions.
    QElapsedTimer waited;
    waited.start();
    while (!log().contains("IMPOSTO PARAMETRI SCANNER") && waited.elapsed() < 60000 &&
           p.state() == QProcess::Running)
        QThread::msleep(20);
    ASSERT_EQ(p.state(), QProcess::Running) << "the run ended before the signal";
    ::kill(pid_t(p.processId()), SIGPIPE);
    const BatchRun r = finish(p);
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(images().size(), 6);
}

} // namespace
