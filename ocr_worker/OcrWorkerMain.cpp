// scansione-ocr-worker: text recognition runs here, in a process of its own, so that
// tesseract crashing, hanging or taking the processor costs a page's text and never the scan
// window, a host application or the document. The Scansione library starts this program with
// a socket as descriptor 3 and speaks ocr_worker/OcrProtocol.h over it; the program ends when
// the library closes its end. It is not meant to be run by hand.
//
// Whoever starts it should put OMP_THREAD_LIMIT=1 in its environment at exec: tesseract's
// OpenMP reads the variable once, before main. When it is missing or different the program
// starts itself again with it set, so that recognition keeps to one thread whatever the host's
// environment says.
#include "ocr_worker/OcrEngine.h"
#include "ocr_worker/OcrProtocol.h"
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kSocket = 3;
// Below the window and the SANE worker: recognition may wait, a jammed feeder may not.
constexpr int kNiceness = 10;

/// Reads the page of one Recognise, whose pixels are in the memory file that came with it.
void recognise(OcrEngine& engine, const ocrproto::Message& request, QString& error,
               OcrWords& words) {
    const std::optional<ocrproto::PageRequest> page = ocrproto::decodeRecognise(request.body);
    if (!page || page->format < uint8_t(OcrPixelFormat::Mono) ||
        page->format > uint8_t(OcrPixelFormat::Rgb24) || page->height <= 0 ||
        page->bytesPerLine <= 0) {
        error = QStringLiteral("Richiesta di OCR non valida");
        return;
    }
    const uint64_t bytes = uint64_t(page->height) * uint64_t(page->bytesPerLine);
    struct stat st {};
    // A file that could shrink under the mapping would end this process with SIGBUS.
    const int seals = ::fcntl(request.fd, F_GET_SEALS);
    if (::fstat(request.fd, &st) != 0 || uint64_t(st.st_size) < bytes || seals < 0 ||
        !(seals & F_SEAL_SHRINK)) {
        error = QStringLiteral("Dati della pagina per l'OCR incompleti");
        return;
    }
    void* map = ::mmap(nullptr, size_t(bytes), PROT_READ, MAP_SHARED, request.fd, 0);
    if (map == MAP_FAILED) {
        error = QStringLiteral("Dati della pagina per l'OCR illeggibili: %1")
                    .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    OcrPixels pixels;
    pixels.data = static_cast<const uint8_t*>(map);
    pixels.width = page->width;
    pixels.height = page->height;
    pixels.bytesPerLine = page->bytesPerLine;
    pixels.dpi = page->dpi;
    pixels.format = OcrPixelFormat(page->format);
    OcrResult result = engine.recognise(pixels, page->languages, page->timeLimitMs);
    ::munmap(map, size_t(bytes));
    error = result.error;
    words = std::move(result.words);
}

} // namespace

int main(int, char** argv) {
    const char* threads = std::getenv("OMP_THREAD_LIMIT");
    if (!threads || std::strcmp(threads, "1") != 0) {
        ::setenv("OMP_THREAD_LIMIT", "1", 1);
        ::execv("/proc/self/exe", argv);
        std::fprintf(stderr, "scansione-ocr-worker: cannot start again with one thread: %s\n",
                     std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(kSocket, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        std::fprintf(stderr, "scansione-ocr-worker: the Scansione library starts this program "
                             "(it needs its socket as descriptor 3)\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    errno = 0;
    if (::nice(kNiceness) == -1 && errno != 0)
        std::fprintf(stderr, "scansione-ocr-worker: cannot lower priority: %s\n",
                     std::strerror(errno));
    if (!ocrproto::sendMessage(kSocket, ocrproto::helloMessage(int32_t(::getpid()))))
        return 1;
    OcrEngine engine;
    for (;;) {
        ocrproto::Message request;
        QString garbage;
        if (!ocrproto::receiveMessage(kSocket, request, garbage)) {
            if (garbage.isEmpty())
                return 0; // the library closed its end
            std::fprintf(stderr, "scansione-ocr-worker: %s\n", qPrintable(garbage));
            return 1;
        }
        if (request.kind != ocrproto::Kind::Recognise) {
            std::fprintf(stderr, "scansione-ocr-worker: unexpected message\n");
            return 1;
        }
        QString error;
        OcrWords words;
        recognise(engine, request, error, words);
        ::close(request.fd);
        if (!ocrproto::sendMessage(kSocket, ocrproto::wordsMessage(request.id, error, words)))
            return 1;
    }
}
