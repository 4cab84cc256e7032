// The OCR worker's client: Italian pages read and pages put straight through the real worker
// program, and workers that crash, hang or answer garbage, each costing that page only.
#include "ocr_client/OcrClient.h"
#include "ocr_worker/OcrProtocol.h"
#include "support/FakeWorker.h"
#include "support/GeometryPages.h"
#include "support/TestTools.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <thread>

namespace {

// The OCR worker runs at nice 10: on a machine busy with other work (a sanitizer build, two
// busy loops) it gets a few percent of a core, and a page of a second takes tens of seconds on
// the clock. The tests that only want the worker's answers wait far longer than the product.
const OcrBounds kPatient{120000, 600000, 600000};

// One client, one worker for the session: a missing language names its package and leaves the
// worker running; grey and black-and-white pages are read with their accents by that worker.
TEST(OcrClientWorker, ReadsItalianPagesInOneWorker) {
    OcrClient client(QString(), kPatient);
    const ItalianPage sans = italianPage(PageKind::Sans);
    const OcrResult missing = client.read(sans.image, 300, QStringLiteral("xyz"));
    EXPECT_TRUE(missing.error.contains(QStringLiteral("tesseract-ocr-xyz")))
        << missing.error.toStdString();
    EXPECT_TRUE(missing.words.empty());
    const pid_t worker = client.workerPid();
    ASSERT_GT(worker, 0);
    for (const PageKind kind : {PageKind::Sans, PageKind::BlackAndWhite}) {
        const ItalianPage page = kind == PageKind::Sans ? sans : italianPage(kind);
        const OcrResult r = client.read(page.image, page.dpi, QStringLiteral("ita"));
        ASSERT_TRUE(r.ok()) << r.error.toStdString();
        const Recall recall = recallOf(page.words, textsOf(r.words));
        EXPECT_GE(recall.share, 0.95) << int(kind);
        EXPECT_TRUE(recall.missingAccented.isEmpty())
            << recall.missingAccented.join(QLatin1Char(' ')).toStdString();
        EXPECT_EQ(client.workerPid(), worker);
    }
}

struct CorrectCase {
    const char* name;
    QImage (*page)();
    bool straightened;
    bool turned;
    QImage (*upright)() = nullptr; ///< what a turned page must come back as
};

QImage askew() {
    return turnedTextPage(2.0);
}
QImage askewLineart() {
    return lineart(turnedTextPage(-2.0));
}
QImage upsideDown() {
    return italianPage(PageKind::Sans).image.transformed(QTransform().rotate(180));
}
QImage upright() {
    return italianPage(PageKind::Sans).image;
}
QImage uprightLineart() {
    return lineart(upright());
}
QImage upsideDownColour() {
    return upsideDown().convertToFormat(QImage::Format_ARGB32);
}
QImage upsideDownDeep() {
    return upsideDown().convertToFormat(QImage::Format_Grayscale16);
}
// Lineart least significant bit first, its colour table saying 0 is black.
QImage upsideDownLineartInverted() {
    QImage page = lineart(upsideDown()).convertToFormat(QImage::Format_MonoLSB);
    page.invertPixels();
    page.setColorTable({page.color(1), page.color(0)});
    return page;
}

// A page fed 2 degrees askew comes back straight in its own format, with the skew it had; an
// upside-down page comes back the right way up, pixel for pixel, in its own format; an upright
// straight page is left alone.
TEST(OcrClientWorker, CorrectsPagesAsFed) {
    const std::unique_ptr<PageCorrector> corrector =
        std::make_unique<OcrClient>(QString(), kPatient);
    for (const CorrectCase& c :
         {CorrectCase{"askew", askew, true, false},
          CorrectCase{"askew lineart", askewLineart, true, false},
          CorrectCase{"upside down", upsideDown, false, true, upright},
          CorrectCase{"upside down colour", upsideDownColour, false, true, upright},
          CorrectCase{"upside down 16-bit", upsideDownDeep, false, true, upright},
          CorrectCase{"upside down lineart, 0 black", upsideDownLineartInverted, false, true,
                      uprightLineart},
          CorrectCase{"upright", upright, false, false}}) {
        SCOPED_TRACE(c.name);
        const QImage page = c.page();
        const PageCorrection r = corrector->correct(page, 300, true, true);
        ASSERT_TRUE(r.ok()) << r.error.toStdString();
        EXPECT_EQ(r.straightened, c.straightened) << r.skewDegrees;
        EXPECT_EQ(r.turned, c.turned) << r.orientationConfidence;
        if (!c.straightened && !c.turned) {
            EXPECT_TRUE(r.image.isNull());
            EXPECT_NEAR(r.skewDegrees, 0, 0.2);
            continue;
        }
        ASSERT_FALSE(r.image.isNull());
        EXPECT_EQ(r.image.format(), page.format());
        EXPECT_EQ(r.image.size(), page.size());
        if (c.straightened) {
            const double fed = page.format() == QImage::Format_Mono ? -2.0 : 2.0;
            EXPECT_NEAR(r.skewDegrees, fed, 0.1);
            const QImage back = r.image.format() == QImage::Format_Mono
                                    ? r.image
                                    : r.image.convertToFormat(QImage::Format_Grayscale8);
            EXPECT_LT(std::fabs(residualSlant(pixelsOf(back, 300))), 0.1);
        }
        if (c.turned) {
            EXPECT_GE(r.orientationConfidence, 10);
            // A half turn loses no pixel.
            EXPECT_EQ(r.image.convertToFormat(QImage::Format_RGB32),
                      c.upright().convertToFormat(QImage::Format_RGB32));
        }
    }
}

// --- Workers that fail ----------------------------------------------------------------------

struct FaultCase {
    const char* name;
    const char* firstRun; // sh; the worker's first start does this on descriptor 3
    const char* says;
    bool correcting = false; // the first page is one to correct, not to read
    int boundMs = 600000;    // a page's bound: only a hang is meant to reach it
};

class OcrClientFault : public ::testing::TestWithParam<FaultCase> {};

// Each fake stands in for the worker: its first start misbehaves as the case says; every later
// start greets and answers one page with the word "Società". The misbehaving worker costs that
// page's text only, and is gone; the next page starts a fresh worker and gets its text. The
// fakes also write what their environment and niceness were.
TEST_P(OcrClientFault, CostsThatPageOnly) {
    const FaultCase c = GetParam();
    QTemporaryDir dir;
    auto write = [&](const char* name, const QByteArray& b) { writeFakeFile(dir, name, b); };
    write("hello", ocrproto::helloMessage());
    OcrWord word;
    word.box = QRect(10, 20, 30, 40);
    word.text = QStringLiteral("Società");
    write("words", ocrproto::wordsMessage(1, QString(), {word}));
    // The same answer cut short: its word count says one, no word follows.
    write("cut",
          ocrproto::wordsMessage(1, QString(), {}).replace(13, 4, QByteArray("\1\0\0\0", 4)));
    write("sane", workerproto::helloMessage(64, workerproto::kMagic, workerproto::kVersion));
    ocrproto::Correction straightened;
    straightened.straightened = true;
    straightened.width = straightened.height = 8;
    straightened.bytesPerLine = 8;
    write("corrected", ocrproto::correctedMessage(1, straightened));
    const QString worker = writeFakeWorker(
        dir, QStringLiteral(
                 "echo \"$OMP_THREAD_LIMIT $(nice)\" > seen\n"
                 "if [ -e pid ]; then\n"
                 "  cat hello >&3; head -c 9 <&3 >/dev/null; cat words >&3; cat <&3 >/dev/null\n"
                 "  exit 0\nfi\necho $$ > pid\n%1\n")
                 .arg(QLatin1String(c.firstRun)));

    // A host whose environment asks for four threads.
    const QByteArray hostThreads = qgetenv("OMP_THREAD_LIMIT");
    qputenv("OMP_THREAD_LIMIT", "4");
    OcrClient client(worker, OcrBounds{120000, c.boundMs, c.boundMs});
    const QImage page = italianPage(PageKind::Sans).image;
    if (c.correcting) {
        const PageCorrection lost = client.correct(page, 300, true, true);
        EXPECT_TRUE(lost.image.isNull());
        EXPECT_TRUE(lost.error.contains(QString::fromUtf8(c.says))) << lost.error.toStdString();
    } else {
        const OcrResult lost = client.read(page, 300, QStringLiteral("ita"));
        EXPECT_TRUE(lost.words.empty());
        EXPECT_TRUE(lost.error.contains(QString::fromUtf8(c.says))) << lost.error.toStdString();
    }
    const pid_t first = pid_t(contents(dir.filePath(QStringLiteral("pid"))).trimmed().toInt());
    ASSERT_GT(first, 0);
    EXPECT_TRUE(processGone(first, 2000));

    // The fresh worker is started from a background thread lowered as the component's text
    // reader is: the worker's niceness still counts from the application's, not stacked on it.
    OcrResult next;
    std::thread([&] {
        ::setpriority(PRIO_PROCESS, id_t(::gettid()), ::getpriority(PRIO_PROCESS, 0) + 5);
        next = client.read(page, 300, QStringLiteral("ita"));
    }).join();
    qputenv("OMP_THREAD_LIMIT", hostThreads);
    ASSERT_TRUE(next.ok()) << next.error.toStdString();
    ASSERT_EQ(next.words.size(), 1u);
    EXPECT_EQ(next.words[0].text, word.text);
    EXPECT_EQ(next.words[0].box, word.box);
    const int niceness = ::getpriority(PRIO_PROCESS, 0) + 10;
    EXPECT_EQ(contents(dir.filePath(QStringLiteral("seen"))).trimmed(),
              QByteArray("1 ") + QByteArray::number(std::min(niceness, 19)));
}

INSTANTIATE_TEST_SUITE_P(
    Worker, OcrClientFault,
    ::testing::Values(
        FaultCase{"Crashes", "cat hello >&3; head -c 9 <&3 >/dev/null; kill -SEGV $$",
                  "si è interrotto (il programma di riconoscimento del testo è terminato: "
                  "segnale 11)"},
        // Long enough for the fresh worker's answer to the next page on a busy machine.
        FaultCase{"Hangs", "cat hello >&3; exec sleep 60",
                  "il riconoscimento del testo non ha risposto entro 8 s", false, 8000},
        FaultCase{"AnswersGarbage",
                  "cat hello >&3; head -c 9 <&3 >/dev/null; echo 'buongiorno' >&3; exec sleep 30",
                  "si è interrotto (risposta non valida (messaggio di tipo sconosciuto"},
        FaultCase{"AnswersWordsCutShort",
                  "cat hello >&3; head -c 9 <&3 >/dev/null; cat cut >&3; exec sleep 30",
                  "si è interrotto (risposta non valida (parole della pagina))"},
        FaultCase{"IsAnotherWorker", "cat sane >&3; exec sleep 30",
                  "non è il programma di riconoscimento del testo"},
        FaultCase{"CorrectsWithoutTheFile",
                  "cat hello >&3; head -c 9 <&3 >/dev/null; cat corrected >&3; exec sleep 30",
                  "l'esame della pagina si è interrotto (risposta non valida (pagina corretta "
                  "senza dati))",
                  true},
        // The corrected pixels in a file the worker could still shrink under our mapping.
        FaultCase{"CorrectsIntoAnUnsealedFile",
                  "cat hello >&3; head -c 9 <&3 >/dev/null; exec python3 -c 'import os, socket, "
                  "time\ns = socket.socket(fileno=3)\nfd = os.memfd_create(\"x\")\n"
                  "os.write(fd, bytes(64))\nsocket.send_fds(s, [open(\"corrected\", \"rb\")"
                  ".read()], [fd])\ntime.sleep(30)'",
                  "l'esame della pagina si è interrotto (risposta non valida (pagina corretta))",
                  true}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
