// Recognition of pages rendered from known Italian text, read directly by the recogniser and
// through the worker program, then laid over the page image and read back by pdftotext.
#include "ocr_worker/OcrEngine.h"
#include "ocr_worker/OcrProtocol.h"
#include "support/OcrPages.h"
#include "support/SearchablePdf.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

class OcrEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Tesseract's OpenMP reads this once at start: ctest must have set it.
        ASSERT_STREQ(std::getenv("OMP_THREAD_LIMIT"), "1");
    }
    QTemporaryDir dir;
};

struct KindCase {
    const char* name;
    PageKind kind;
    double minRecall;
};

class OcrPageKinds : public OcrEngineTest, public ::testing::WithParamInterface<KindCase> {};

// Every page kind is read nearly whole with every accented word, on its lines' slant, and the
// words laid over the page come back from pdftotext with their accents.
TEST_P(OcrPageKinds, ReadsItalianAndSurvivesThePdf) {
    const KindCase c = GetParam();
    const ItalianPage page = italianPage(c.kind);
    OcrEngine engine;
    QElapsedTimer timer;
    timer.start();
    const OcrResult result =
        engine.recognise(pixelsOf(page.image, page.dpi), QStringLiteral("ita"));
    const double seconds = timer.elapsed() / 1000.0;
    ASSERT_TRUE(result.ok()) << result.error.toStdString();
    const Recall read = recallOf(page.words, textsOf(result.words));
    std::printf("%s: %zu words read, recall %.3f, %d accented, %.2f s a page (%dx%d)\n", c.name,
                result.words.size(), read.share, accentedWords(page.words), seconds,
                page.image.width(), page.image.height());
    EXPECT_GE(read.share, c.minRecall);
    EXPECT_TRUE(read.missingAccented.isEmpty()) << read.missingAccented.join(' ').toStdString();

    std::vector<double> angles;
    for (const OcrWord& w : result.words) {
        EXPECT_TRUE(QRect(QPoint(0, 0), page.image.size()).contains(w.box)) << w.text.toStdString();
        EXPECT_GT(w.lineHeight, 0);
        angles.push_back(w.angle);
    }
    std::nth_element(angles.begin(), angles.begin() + angles.size() / 2, angles.end());
    EXPECT_NEAR(angles[angles.size() / 2], c.kind == PageKind::Degraded ? 1.5 : 0.0, 0.4);

    const QString plain = dir.filePath(QStringLiteral("immagine.pdf"));
    const QString searchable = dir.filePath(QStringLiteral("testo.pdf"));
    writeImagePdf(dir, {page.image}, plain);
    EXPECT_EQ(addTextLayer(plain, searchable, {result.words}, {page.image.size()}),
              std::vector<int>{int(result.words.size())});
    const Recall back = recallOf(page.words, pdfWords(searchable));
    EXPECT_GE(back.share, c.minRecall);
    EXPECT_TRUE(back.missingAccented.isEmpty()) << back.missingAccented.join(' ').toStdString();
    EXPECT_TRUE(pdfWords(searchable).contains(QStringLiteral("Società")));
}

INSTANTIATE_TEST_SUITE_P(Kinds, OcrPageKinds,
                         ::testing::Values(KindCase{"sans", PageKind::Sans, 0.97},
                                           KindCase{"serif", PageKind::Serif, 0.97},
                                           KindCase{"degraded", PageKind::Degraded, 0.93},
                                           KindCase{"bw", PageKind::BlackAndWhite, 0.97}),
                         [](const auto& info) { return std::string(info.param.name); });

// Languages that cannot be loaded give an error naming the way out, read nothing, and leave
// the recogniser usable for the next page; so do pixels that do not fit their geometry.
TEST_F(OcrEngineTest, RefusesWhatItCannotRead) {
    // The first lines of a page are enough to see that it reads again.
    ItalianPage page = renderItalianPage(QStringLiteral("DejaVu Sans"), 150);
    page.image = page.image.copy(0, 0, page.image.width(), page.image.height() / 8);
    std::erase_if(page.words,
                  [&](const DrawnWord& w) { return w.box.bottom() >= page.image.height(); });
    ASSERT_GT(page.words.size(), 20u);
    OcrEngine engine;
    struct Case {
        const char* languages;
        int bytesPerLine; // 0: the image's own
        const char* error;
    } cases[] = {
        {"xyz", 0, "tesseract-ocr-xyz"},  {"ita+chi_sim", 0, "tesseract-ocr-chi-sim"},
        {"../ita", 0, "non valida"},      {"ita+", 0, "non valida"},
        {"ita", 10, "Pagina non valida"},
    };
    // Data that tesseract cannot load: a file of garbage in a folder of our own.
    QFile garbage(dir.filePath(QStringLiteral("rotto.traineddata")));
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
    garbage.write(QByteArray(4096, 'x'));
    garbage.close();
    ASSERT_TRUE(QFile::link(engine.dataPath() + QStringLiteral("/ita.traineddata"),
                            dir.filePath(QStringLiteral("ita.traineddata"))));
    OcrEngine own(dir.path());
    const OcrResult broken = own.recognise(pixelsOf(page.image, page.dpi), QStringLiteral("rotto"));
    EXPECT_TRUE(broken.error.contains(QStringLiteral("illeggibili"))) << broken.error.toStdString();
    EXPECT_TRUE(own.recognise(pixelsOf(page.image, page.dpi), QStringLiteral("ita")).ok());

    for (const Case& c : cases) {
        OcrPixels pixels = pixelsOf(page.image, page.dpi);
        if (c.bytesPerLine)
            pixels.bytesPerLine = c.bytesPerLine;
        const OcrResult r = engine.recognise(pixels, QString::fromLatin1(c.languages));
        EXPECT_TRUE(r.error.contains(QString::fromLatin1(c.error)))
            << c.languages << ": " << r.error.toStdString();
        EXPECT_TRUE(r.words.empty());
        const OcrResult next = engine.recognise(pixelsOf(page.image, page.dpi), QString());
        EXPECT_TRUE(next.ok()) << c.languages << ": " << next.error.toStdString();
        EXPECT_GE(recallOf(page.words, textsOf(next.words)).share, 0.9) << c.languages;
    }
}

// Colour pixels (three bytes a pixel, lines padded to four bytes) read as well as grey.
TEST_F(OcrEngineTest, ReadsColourPixels) {
    ItalianPage page = renderItalianPage(QStringLiteral("DejaVu Serif"), 150);
    const int odd = page.image.width() | 1; // odd: three bytes a pixel leave each line padded
    const QImage rgb =
        page.image.copy(0, 0, odd, page.image.height() / 8).convertToFormat(QImage::Format_RGB888);
    ASSERT_NE(rgb.bytesPerLine(), rgb.width() * 3);
    std::erase_if(page.words, [&](const DrawnWord& w) { return w.box.bottom() >= rgb.height(); });
    OcrEngine engine;
    const OcrResult r = engine.recognise(pixelsOf(rgb, page.dpi), QStringLiteral("ita"));
    ASSERT_TRUE(r.ok()) << r.error.toStdString();
    EXPECT_GE(recallOf(page.words, textsOf(r.words)).share, 0.95);
}

// --- The worker program ---------------------------------------------------------------------

class OcrWorkerProgram : public OcrEngineTest {
protected:
    void TearDown() override {
        if (m_socket >= 0)
            ::close(m_socket);
        if (m_pid > 0)
            ::waitpid(m_pid, nullptr, 0);
    }
    // Starts the program with its socket as descriptor 3 and an environment that lacks
    // OMP_THREAD_LIMIT, as a careless host's would.
    void start() {
        int sv[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, sv[1], 3);
        std::vector<char*> env;
        for (char** e = environ; *e; ++e)
            if (std::strncmp(*e, "OMP_THREAD_LIMIT=", 17) != 0)
                env.push_back(*e);
        env.push_back(nullptr);
        char program[] = SCANSIONE_OCR_WORKER;
        char* argv[] = {program, nullptr};
        ASSERT_EQ(posix_spawn(&m_pid, program, &actions, nullptr, argv, env.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(sv[1]);
        m_socket = sv[0];
    }
    ocrproto::Message receive() {
        ocrproto::Message m;
        QString error;
        while (!m_stream.next(m, error)) {
            const bool more = error.isEmpty() && m_stream.receive(m_socket, false) ==
                                                     workerproto::MessageStream::Read::Data;
            if (!more) {
                ADD_FAILURE() << "no whole message: " << error.toStdString();
                break;
            }
        }
        return m;
    }
    // A memory file holding `image`'s bytes, sealed against shrinking when `seal`.
    static int memoryFile(const QImage& image, bool seal) {
        const int fd = ::memfd_create("pagina", MFD_CLOEXEC | MFD_ALLOW_SEALING);
        const size_t bytes = size_t(image.sizeInBytes());
        if (fd < 0 || ::write(fd, image.constBits(), bytes) != ssize_t(bytes))
            return -1;
        if (seal)
            ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE);
        return fd;
    }
    void sendPage(uint32_t id, const QImage& image, int fd,
                  const QString& languages = QStringLiteral("ita"), int timeLimitMs = 0) {
        ocrproto::PageRequest request{{image.width(), image.height(), int(image.bytesPerLine()),
                                       uint8_t(OcrPixelFormat::Gray8), 300},
                                      languages,
                                      timeLimitMs};
        ASSERT_TRUE(ocrproto::sendMessage(m_socket, ocrproto::recogniseMessage(id, request), fd));
        ::close(fd);
    }
    int exitCode() {
        int status = 0;
        ::waitpid(std::exchange(m_pid, 0), &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    pid_t m_pid = 0;
    int m_socket = -1;
    workerproto::MessageStream m_stream{ocrproto::kFromWorker};
};

// The worker greets, runs on one thread even when its starter forgot to say so, reads a page
// passed as a memory file, refuses an unsealed one, a missing language and a page past its
// time limit without ending, and ends cleanly when its socket closes.
TEST_F(OcrWorkerProgram, ReadsPagesOverItsSocket) {
    start();
    const ocrproto::Message hello = receive();
    ASSERT_EQ(hello.kind, ocrproto::Kind::Hello);
    const std::optional<int32_t> pid = ocrproto::decodeHello(hello.body);
    ASSERT_EQ(pid, std::optional<int32_t>(m_pid));
    const QByteArray environment = contents(QStringLiteral("/proc/%1/environ").arg(*pid));
    EXPECT_TRUE(environment.split('\0').contains("OMP_THREAD_LIMIT=1"));

    const ItalianPage page = italianPage(PageKind::Sans);
    sendPage(7, page.image, memoryFile(page.image, false));
    sendPage(8, page.image, memoryFile(page.image, true));
    sendPage(9, page.image, memoryFile(page.image, true), QStringLiteral("xyz"));
    sendPage(10, page.image, memoryFile(page.image, true), QStringLiteral("ita"), 50);
    for (uint32_t id : {7u, 8u, 9u, 10u}) {
        const ocrproto::Message answer = receive();
        ASSERT_EQ(answer.kind, ocrproto::Kind::Words);
        EXPECT_EQ(answer.id, id);
        QString error;
        OcrWords words;
        ASSERT_TRUE(ocrproto::decodeWords(answer.body, error, words));
        if (id == 7) {
            EXPECT_TRUE(error.contains(QStringLiteral("incompleti"))) << error.toStdString();
        }
        if (id == 8) {
            EXPECT_TRUE(error.isEmpty()) << error.toStdString();
            const Recall r = recallOf(page.words, textsOf(words));
            EXPECT_GE(r.share, 0.97);
            EXPECT_TRUE(r.missingAccented.isEmpty());
        }
        if (id == 9) {
            EXPECT_TRUE(error.contains(QStringLiteral("tesseract-ocr-xyz"))) << error.toStdString();
        }
        if (id == 10) {
            EXPECT_TRUE(error.contains(QStringLiteral("oltre 0.05 s"))) << error.toStdString();
            EXPECT_TRUE(words.empty());
        }
    }
    // The worker's peak memory with the Italian model and an A4 300 dpi page read.
    const QString status =
        QString::fromLatin1(contents(QStringLiteral("/proc/%1/status").arg(*pid)));
    const QRegularExpressionMatch peak =
        QRegularExpression(QStringLiteral("VmHWM:\\s+(\\d+) kB")).match(status);
    ASSERT_TRUE(peak.hasMatch());
    std::printf("worker peak memory: %d MB\n", peak.captured(1).toInt() / 1024);
    // 68 MB in a release build; AddressSanitizer's shadow and quarantine add several times
    // that, so there the bound only catches a worker that holds every page it read.
#if defined(__SANITIZE_ADDRESS__)
    constexpr int boundKb = 1024 * 1024;
#else
    constexpr int boundKb = 300 * 1024;
#endif
    EXPECT_LT(peak.captured(1).toInt(), boundKb);
    ::close(std::exchange(m_socket, -1));
    EXPECT_EQ(exitCode(), 0);
}

// Garbage on the socket ends the worker with an error instead of a wrong answer; garbage in
// an answer is refused by the decoder.
TEST_F(OcrWorkerProgram, GarbageEndsIt) {
    start();
    receive();
    const char garbage[] = "\x05\0\0\0\x7f\0\0\0\0hello";
    ASSERT_TRUE(ocrproto::sendMessage(m_socket, QByteArray(garbage, sizeof garbage - 1)));
    EXPECT_EQ(exitCode(), 1);

    OcrWord word;
    word.box = QRect(1, 2, 3, 4);
    word.text = QStringLiteral("Società");
    const QByteArray message = ocrproto::wordsMessage(3, QString(), {word, word});
    const QByteArray body = message.mid(ocrproto::kHeaderBytes);
    QString error;
    OcrWords words;
    ASSERT_TRUE(ocrproto::decodeWords(body, error, words));
    ASSERT_EQ(words.size(), 2u);
    EXPECT_EQ(words[1].text, word.text);
    EXPECT_EQ(words[1].box, word.box);
    for (const QByteArray& bad :
         {body.left(body.size() - 1), body + 'x',
          QByteArray(body).replace(4, 4, QByteArray("\xff\xff\xff\x0f", 4))})
        EXPECT_FALSE(ocrproto::decodeWords(bad, error, words));
}

} // namespace
