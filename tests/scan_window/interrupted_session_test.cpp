// A window session killed with SIGKILL, and the next session's question about its pages:
// "Sì" gives them back as pages 1 to N in their order and turned as they were, "No" removes
// them. The killed session is this test program itself, run again as a child.
#include "virtual_scanner/VirtualScanner.h"
#include "acquisition/VstScan.h"
#include "support/ScanSession.h"
#include "support/TestTools.h"

#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>
#include <csignal>
#include <unistd.h>

namespace {

const char* const kChildFolder = "SCANSIONE_KILLED_SESSION_FOLDER";

class InterruptedWindowSession : public ScanSessionTest {
protected:
    void SetUp() override {
        record.ResultFormat = "PDF";
        record.PixelType = "BW"; // 1-bit pages: the PDF keeps them bit for bit
        record.Pagina = "A4";
    }

    /// Runs the session on the virtual scanner in `workingFolder`.
    Outcome runVirtual(const QString& workingFolder,
                       const std::function<void(FormScansione&)>& body) {
        QFile f(workingFolder + "virtual.json");
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(R"({"scanners": [{"name": "Virtuale", "pixelTypes": ["BW", "GRAY"],
                    "resolutions": [50, 60, 70, 80], "pageSizes": ["A4"]}]})");
        f.close();
        folderOverride = workingFolder;
        component = [workingFolder](std::shared_ptr<ComponentDialogs> dialogs) {
            std::vector<std::unique_ptr<DeviceLayer>> layers;
            layers.push_back(std::make_unique<VirtualScannerLayer>(workingFolder + "virtual.json"));
            return std::make_unique<VstScan>(std::move(layers), workingFolder, std::move(dialogs));
        };
        pdfWriter = [](int32_t quality) { return std::make_unique<PdfWriter>(quality); };
        return run(body);
    }

    /// Runs the killed session in a child and returns when it is dead.
    void killedSession() {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(kChildFolder, folder());
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(),
                    {"--gtest_also_run_disabled_tests",
                     "--gtest_filter=InterruptedWindowSession.DISABLED_KilledWhileItHasPages"});
        ASSERT_TRUE(child.waitForFinished(60000));
        ASSERT_EQ(child.exitStatus(), QProcess::CrashExit) << child.readAll().toStdString();
        ASSERT_EQ(QDir(folder()).entryList({"cache-*"}, QDir::Dirs).size(), 1);
        for (int n = 1; n <= 3; ++n)
            ASSERT_TRUE(QFile::exists(expectedPage(n)));
    }

    QString expectedPage(int n) const {
        return folder() + QStringLiteral("expected-%1.bmp").arg(n);
    }
};

// The killed session: images at 50, 60, 70 dpi; page 1 deleted, the new page 1 (the 60 dpi
// image) turned, a fourth image at 80 dpi added: pages I1 (turned), I2, I3. Each page's full
// image goes to expected-<n>.bmp before the kill.
TEST_F(InterruptedWindowSession, DISABLED_KilledWhileItHasPages) {
    const QString target = qEnvironmentVariable(kChildFolder);
    ASSERT_FALSE(target.isEmpty());
    runVirtual(target, [&](FormScansione& form) {
        for (int dpi : {50, 60, 70, 80}) {
            record.Risoluzione = dpi;
            ASSERT_TRUE(scan(form));
            if (dpi == 70) {
                form.ImgButtons_Click(FormScansione::cmdElimina); // page 1 shown
                form.ImgButtons_Click(FormScansione::cmdRuota);
            }
        }
        ASSERT_EQ(pageMap(form), "PAG_1=I1,PAG_2=I2,PAG_3=I3");
        auto* scanner = static_cast<VstScan*>(form.component());
        ASSERT_TRUE(QTest::qWaitFor([&] { return scanner->imagesSettled(); }, 30000));
        for (int n = 1; n <= 3; ++n)
            ASSERT_EQ(scanner->SaveImage(n, target + QStringLiteral("expected-%1.bmp").arg(n)), 1);
        ::kill(::getpid(), SIGKILL);
    });
}

TEST_F(InterruptedWindowSession, YesGivesThePagesBackInOrderAndTurned) {
    killedSession();
    answer = true;
    const Outcome out = runVirtual(folder(), [&](FormScansione& form) {
        EXPECT_EQ(pageMap(form), "PAG_1=I0,PAG_2=I1,PAG_3=I2");
        EXPECT_EQ(form.imgPreviewTag(), "1");
        form.ImgButtons_Click(FormScansione::cmdConferma);
    });
    ASSERT_EQ(questions.size(), 1);
    EXPECT_TRUE(questions[0].contains(QRegularExpression(
        "\\|Sono state trovate 3 pagine di una scansione interrotta \\(\\d\\d/\\d\\d/\\d{4} "
        "\\d\\d:\\d\\d\\)\\. Recuperarle\\?$")))
        << questions[0].toStdString();
    ASSERT_TRUE(out.files);
    const QString pdf = folder() + "scandoc.pdf";
    ASSERT_EQ(*out.files, QStringList{pdf});
    EXPECT_TRUE(runTool("pdfinfo", {pdf}).output.contains(QRegularExpression("Pages:\\s+3\\b")));
    runTool("pdfimages", {"-png", pdf, folder() + "img"});
    for (int n = 1; n <= 3; ++n) {
        QImage written =
            QImage(folder() + QStringLiteral("img-%1.png").arg(n - 1, 3, 10, QChar('0')))
                .convertToFormat(QImage::Format_Grayscale8);
        const QImage expected = QImage(expectedPage(n)).convertToFormat(QImage::Format_Grayscale8);
        QImage inverted = written;
        inverted.invertPixels(); // the G4 route may store white as 1
        EXPECT_TRUE(written == expected || inverted == expected) << "page " << n;
    }
    EXPECT_TRUE(QDir(folder()).entryList({"cache-*"}, QDir::Dirs).isEmpty());
}

TEST_F(InterruptedWindowSession, NoRemovesThePages) {
    killedSession();
    answer = false;
    runVirtual(folder(), [&](FormScansione& form) { EXPECT_EQ(form.pages().count(), 0); });
    EXPECT_EQ(questions.size(), 1);
    EXPECT_TRUE(QDir(folder()).entryList({"cache-*"}, QDir::Dirs).isEmpty());
    runVirtual(folder(), [](FormScansione&) {});
    EXPECT_EQ(questions.size(), 1) << "asked again";
}

} // namespace
