// scansione-ocr-worker: text recognition and the page geometry that needs tesseract run here,
// in a process of their own, so that tesseract crashing, hanging or taking the processor costs
// a page's text and never the scan window, a host application or the document. The Scansione
// library starts this program (worker_process/WorkerProcess.h: its socket as descriptor 3, a
// lower priority, OMP_THREAD_LIMIT=1) and speaks ocr_worker/OcrProtocol.h over it; the program
// ends when the library closes its end. It is not meant to be run by hand.
//
// Tesseract's OpenMP reads OMP_THREAD_LIMIT once, before main. Should a starter of ours have
// left it out or set it otherwise, the program starts itself again with it set, so that
// recognition keeps to one thread whatever the host's environment says.
#include "ocr_worker/OcrEngine.h"
#include "ocr_worker/OcrProtocol.h"
#include "ocr_worker/PageGeometry.h"
#include "worker_process/SealedMemory.h"
#include "worker_process/WorkerProgram.h"
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

using workerprogram::kSocket;

/// A request's pixels, mapped read-only from the sealed memory file that came with it.
class MappedPage {
public:
    MappedPage(const ocrproto::PageLayout& page, int fd)
        : m_map(fd, page.height > 0 && page.bytesPerLine > 0
                        ? size_t(uint64_t(page.height) * uint64_t(page.bytesPerLine))
                        : 0) {
        if (page.format < uint8_t(OcrPixelFormat::Mono) ||
            page.format > uint8_t(OcrPixelFormat::Rgb24) || page.height <= 0 ||
            page.bytesPerLine <= 0) {
            m_error = QStringLiteral("Richiesta di OCR non valida");
        } else if (m_map.error() == EINVAL) {
            m_error = QStringLiteral("Dati della pagina per l'OCR incompleti");
        } else if (!m_map.data()) {
            m_error = QStringLiteral("Dati della pagina per l'OCR illeggibili: %1")
                          .arg(QString::fromLocal8Bit(std::strerror(m_map.error())));
        }
        m_pixels.data = m_map.data();
        m_pixels.width = page.width;
        m_pixels.height = page.height;
        m_pixels.bytesPerLine = page.bytesPerLine;
        m_pixels.dpi = page.dpi;
        m_pixels.format = OcrPixelFormat(page.format);
    }
    const QString& error() const { return m_error; }
    const OcrPixels& pixels() const { return m_pixels; }

private:
    SealedMapping m_map;
    OcrPixels m_pixels;
    QString m_error;
};

/// Reads the page of one Recognise.
QByteArray recognise(OcrEngine& engine, const ocrproto::Message& request) {
    const std::optional<ocrproto::PageRequest> page = ocrproto::decodeRecognise(request.body);
    if (!page)
        return ocrproto::wordsMessage(request.id, QStringLiteral("Richiesta di OCR non valida"),
                                      {});
    const MappedPage mapped(page->page, request.fd);
    if (!mapped.error().isEmpty())
        return ocrproto::wordsMessage(request.id, mapped.error(), {});
    const OcrResult result = engine.recognise(mapped.pixels(), page->languages, page->timeLimitMs);
    return ocrproto::wordsMessage(request.id, result.error, result.words);
}

/// Examines the page of one Correct: straightens it, turns it when upside down. The answer,
/// and the memory file of the corrected pixels in `fd` (-1 when unchanged).
QByteArray correct(OrientationFinder& finder, const ocrproto::Message& request, int& fd) {
    fd = -1;
    ocrproto::Correction c;
    const std::optional<ocrproto::CorrectRequest> ask = ocrproto::decodeCorrect(request.body);
    if (!ask) {
        c.error = QStringLiteral("Richiesta di correzione della pagina non valida");
        return ocrproto::correctedMessage(request.id, c);
    }
    const MappedPage mapped(ask->page, request.fd);
    if (!mapped.error().isEmpty()) {
        c.error = mapped.error();
        return ocrproto::correctedMessage(request.id, c);
    }
    PagePixels corrected;
    if (ask->straighten) {
        Straightening s = straightenPage(mapped.pixels());
        if (!s.error.isEmpty()) {
            c.error = s.error;
            return ocrproto::correctedMessage(request.id, c);
        }
        c.skewDegrees = s.skew.found ? s.skew.angle : 0;
        if (s.turned) {
            corrected = std::move(s.page);
            c.straightened = true;
        }
    }
    if (ask->turnUpsideDown) {
        const OcrPixels current = corrected.empty() ? mapped.pixels() : corrected.view();
        const OrientationFinding f = finder.find(current);
        // Too little text to tell is an answer (leave the page as it lies); missing data is not.
        if (!f.found && !f.tooLittleText) {
            c = ocrproto::Correction();
            c.error = f.error;
            return ocrproto::correctedMessage(request.id, c);
        }
        c.orientationConfidence = f.found ? f.confidence : 0;
        if (f.upsideDown()) {
            PagePixels turned = turnPageHalf(current);
            if (turned.empty()) {
                c = ocrproto::Correction();
                c.error = QStringLiteral("Memoria insufficiente per girare la pagina");
                return ocrproto::correctedMessage(request.id, c);
            }
            corrected = std::move(turned);
            c.turned = true;
        }
    }
    if (c.changed()) {
        c.width = corrected.width;
        c.height = corrected.height;
        c.bytesPerLine = corrected.bytesPerLine;
        fd = sealedMemoryFile("pagina-corretta", corrected.data.data(), corrected.data.size());
        if (fd < 0) {
            c = ocrproto::Correction();
            c.error = QStringLiteral("Memoria insufficiente per la pagina corretta: %1")
                          .arg(QString::fromLocal8Bit(std::strerror(errno)));
        }
    }
    return ocrproto::correctedMessage(request.id, c);
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
    if (!workerprogram::readyToServe("scansione-ocr-worker: the Scansione library starts this "
                                     "program (it needs its socket as descriptor 3)\n"))
        return 2;
    if (!ocrproto::sendMessage(kSocket, ocrproto::helloMessage()))
        return 1;
    // Each loads its data on first use, once for the whole session.
    OcrEngine engine;
    OrientationFinder finder;
    workerproto::MessageStream stream(ocrproto::kToWorker);
    for (;;) {
        ocrproto::Message request;
        QString garbage;
        while (stream.next(request, garbage)) {
            int fd = -1;
            const QByteArray answer = request.kind == ocrproto::Kind::Correct
                                          ? correct(finder, request, fd)
                                          : recognise(engine, request);
            ::close(request.fd);
            const bool sent = ocrproto::sendMessage(kSocket, answer, fd);
            if (fd >= 0)
                ::close(fd);
            if (!sent)
                return 1;
            request = ocrproto::Message();
        }
        if (!garbage.isEmpty()) {
            std::fprintf(stderr, "scansione-ocr-worker: %s\n", qPrintable(garbage));
            return 1;
        }
        const workerproto::MessageStream::Read got = stream.receive(kSocket, false);
        if (got == workerproto::MessageStream::Read::End && stream.pending() == 0)
            return 0; // the library closed its end
        if (got != workerproto::MessageStream::Read::Data) {
            std::fprintf(stderr, "scansione-ocr-worker: %s\n",
                         got == workerproto::MessageStream::Read::End ? "message cut short"
                                                                      : std::strerror(errno));
            return 1;
        }
    }
}
