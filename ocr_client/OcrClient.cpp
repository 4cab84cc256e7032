#include "ocr_client/OcrClient.h"
#include "common/SystemErrorText.h"
#include "ocr_worker/OcrProtocol.h"
#include "worker_process/WorkerProcess.h"
#include "worker_process/SealedMemory.h"
#include "worker_process/WorkerProgram.h"
#include <algorithm>
#include <cerrno>
#include <functional>
#include <cstring>
#include <unistd.h>

namespace {

// An A4 page at 300 dpi, the page the bounds are given for.
constexpr double kA4Pixels = 2481.0 * 3508.0;
// The worker's end once let go: it only has to notice the end of its socket.
constexpr int kReleaseMs = 5000;
// Below the window and the SANE worker: recognition may wait, a jammed feeder may not.
constexpr int kNiceness = 10;

WorkerProcess::Protocol ocrProtocol() {
    WorkerProcess::Protocol p;
    p.magic = ocrproto::kMagic;
    p.version = ocrproto::kVersion;
    p.helloKind = uint8_t(ocrproto::Kind::Hello);
    p.isReply = ocrproto::isReply;
    p.answers = ocrproto::kFromWorker;
    p.programWords = QStringLiteral("il programma di riconoscimento del testo");
    p.notOurs = QStringLiteral("%1 non è il programma di riconoscimento del testo");
    return p;
}

QString seconds(int ms) {
    return QString::number((ms + 999) / 1000);
}

/// A page as it travels: pixels in one of the protocol's formats.
struct WirePage {
    QImage image;
    OcrPixelFormat format = OcrPixelFormat::Gray8;
};

WirePage wirePageOf(const QImage& page) {
    switch (page.format()) {
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB: {
        QImage mono = page.convertToFormat(QImage::Format_Mono);
        // The wire's 1-bit pixels have a set bit black; a table that says otherwise is
        // turned round, pixels and table together, so the page looks as it did.
        if (mono.colorCount() >= 2 && qGray(mono.color(1)) > qGray(mono.color(0))) {
            mono.invertPixels();
            mono.setColorTable({mono.color(1), mono.color(0)});
        }
        return {mono, OcrPixelFormat::Mono};
    }
    case QImage::Format_Grayscale8:
        return {page, OcrPixelFormat::Gray8};
    case QImage::Format_Grayscale16:
        return {page.convertToFormat(QImage::Format_Grayscale8), OcrPixelFormat::Gray8};
    case QImage::Format_Indexed8:
        if (page.allGray())
            return {page.convertToFormat(QImage::Format_Grayscale8), OcrPixelFormat::Gray8};
        break;
    default:
        break;
    }
    return {page.convertToFormat(QImage::Format_RGB888), OcrPixelFormat::Rgb24};
}

/// The corrected pixels the worker sent in memory file `fd`, as a QImage of `format`'s layout;
/// null when the file is not what the answer says.
QImage imageOfFile(int fd, const ocrproto::Correction& c, OcrPixelFormat format) {
    const QImage::Format qformat = format == OcrPixelFormat::Mono    ? QImage::Format_Mono
                                   : format == OcrPixelFormat::Gray8 ? QImage::Format_Grayscale8
                                                                     : QImage::Format_RGB888;
    const int64_t needed = format == OcrPixelFormat::Mono    ? (int64_t(c.width) + 7) / 8
                           : format == OcrPixelFormat::Gray8 ? c.width
                                                             : int64_t(c.width) * 3;
    if (c.width <= 0 || c.height <= 0 || c.bytesPerLine < needed)
        return QImage();
    const SealedMapping map(fd, size_t(uint64_t(c.height) * uint64_t(c.bytesPerLine)));
    QImage image = map.data() ? QImage(c.width, c.height, qformat) : QImage();
    if (image.isNull())
        return image;
    const size_t line = size_t(std::min<int64_t>(image.bytesPerLine(), c.bytesPerLine));
    for (int y = 0; y < c.height; ++y)
        std::memcpy(image.scanLine(y), map.data() + int64_t(y) * c.bytesPerLine, line);
    if (format == OcrPixelFormat::Mono)
        image.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    return image;
}

/// The request for a page of the given layout, of the given id.
using Request = std::function<QByteArray(uint32_t, ocrproto::PageLayout)>;

/// Sends `page` (in `format` as it travels) with `request` to `worker`, waiting at most
/// `boundMs` for the reply; nullopt with `error` saying, of `what` ("il riconoscimento del
/// testo"), why not. A worker that is gone is let go of, so the next call starts a fresh one.
std::optional<workerproto::Message> ask(std::unique_ptr<WorkerProcess>& worker,
                                        const QString& what, const QImage& page,
                                        OcrPixelFormat& format, int boundMs,
                                        const Request& request, QString& error) {
    const WirePage wire = wirePageOf(page);
    format = wire.format;
    const int fd = sealedMemoryFile("pagina", wire.image.constBits(),
                                    size_t(wire.image.sizeInBytes()));
    if (fd < 0) {
        error = QStringLiteral("%1 non ha memoria per la pagina (%2)")
                    .arg(what, systemErrorText(errno));
        return std::nullopt;
    }
    ocrproto::PageLayout layout;
    layout.width = wire.image.width();
    layout.height = wire.image.height();
    layout.bytesPerLine = int32_t(wire.image.bytesPerLine());
    layout.format = uint8_t(wire.format);
    const uint32_t id = worker->newId();
    WorkerProcess::Loss loss;
    std::optional<workerproto::Message> reply =
        worker->call(id, request(id, layout), boundMs, fd, &loss);
    ::close(fd);
    if (!reply) {
        worker.reset();
        error = loss.timedOut
                    ? QStringLiteral("%1 non ha risposto entro %2 s").arg(what, seconds(boundMs))
                    : QStringLiteral("%1 si è interrotto (%2)").arg(what, loss.detail);
    }
    return reply;
}

/// Kills `worker` for an `answer` that makes no sense, `error` saying so.
void refuse(std::unique_ptr<WorkerProcess>& worker, const QString& what, const QString& answer,
            QString& error) {
    const QString why = QStringLiteral("risposta non valida (%1)").arg(answer);
    worker->kill(why);
    worker.reset();
    error = QStringLiteral("%1 si è interrotto (%2)").arg(what, why);
}

} // namespace

OcrClient::OcrClient(const QString& program, const OcrBounds& bounds)
    : m_program(program.isEmpty() ? defaultProgram() : program), m_bounds(bounds) {}

OcrClient::~OcrClient() = default;

QString OcrClient::defaultProgram() {
    return workerprogram::find("SCANSIONE_OCR_WORKER", QStringLiteral(SCANSIONE_BUILD_OCR_WORKER),
                               QStringLiteral("scansione-ocr-worker"));
}

pid_t OcrClient::workerPid() const {
    return m_worker && m_worker->alive() ? m_worker->pid() : 0;
}

int OcrClient::boundFor(int baseMs, const QImage& page) {
    const double share = double(page.width()) * double(page.height()) / kA4Pixels;
    return int(std::min(double(baseMs) * std::max(1.0, share), 3600.0 * 1000));
}

WorkerProcess* OcrClient::worker(const QString& what, QString& error) {
    if (m_worker && !m_worker->alive())
        m_worker.reset(); // it ended between two pages: a fresh one
    if (m_worker)
        return m_worker.get();
    WorkerProcess::Options options;
    options.handshakeMs = m_bounds.startMs;
    options.releaseMs = kReleaseMs;
    // Tesseract's OpenMP reads this before the worker's main: on two cores its default threads
    // fight each other and a page takes three times as long.
    options.environment = {QStringLiteral("OMP_THREAD_LIMIT=1")};
    options.niceness = kNiceness;
    QString why;
    m_worker = WorkerProcess::start(m_program, ocrProtocol(), options, why);
    if (!m_worker)
        error = QStringLiteral("%1 non si è avviato (%2)").arg(what, why);
    return m_worker.get();
}

OcrResult OcrClient::read(const QImage& page, int dpi, const QString& languages) {
    const QString what = QStringLiteral("il riconoscimento del testo");
    OcrResult result;
    if (page.isNull()) {
        result.error = QStringLiteral("%1 non ha una pagina da leggere").arg(what);
        return result;
    }
    if (!worker(what, result.error))
        return result;
    const int boundMs = boundFor(m_bounds.pageMs, page);
    OcrPixelFormat format;
    std::optional<workerproto::Message> reply = ask(
        m_worker, what, page, format, boundMs,
        [&](uint32_t id, ocrproto::PageLayout layout) {
            ocrproto::PageRequest request;
            layout.dpi = dpi;
            request.page = layout;
            request.languages = languages;
            // Tesseract gives up by itself a little before the kill, so that a page that is
            // only slow costs its text but not the loaded language data.
            request.timeLimitMs = boundMs / 4 * 3;
            return ocrproto::recogniseMessage(id, request);
        },
        result.error);
    if (!reply)
        return result;
    if (reply->fd >= 0)
        ::close(reply->fd);
    if (ocrproto::Kind(uint8_t(reply->kind)) != ocrproto::Kind::Words ||
        !ocrproto::decodeWords(reply->body, result.error, result.words)) {
        result.words.clear();
        refuse(m_worker, what, QStringLiteral("parole della pagina"), result.error);
        return result;
    }
    if (!result.ok())
        result.words.clear();
    return result;
}

PageCorrection OcrClient::correct(const QImage& page, int dpi, bool straighten,
                                  bool turnUpsideDown) {
    const QString what = QStringLiteral("l'esame della pagina");
    PageCorrection result;
    if (page.isNull()) {
        result.error = QStringLiteral("%1 non ha una pagina da esaminare").arg(what);
        return result;
    }
    if (!straighten && !turnUpsideDown)
        return result; // nothing asked, nothing to examine
    if (!worker(what, result.error))
        return result;
    OcrPixelFormat format;
    std::optional<workerproto::Message> reply = ask(
        m_worker, what, page, format, boundFor(m_bounds.correctMs, page),
        [&](uint32_t id, ocrproto::PageLayout layout) {
            ocrproto::CorrectRequest request;
            layout.dpi = dpi;
            request.page = layout;
            request.straighten = straighten;
            request.turnUpsideDown = turnUpsideDown;
            return ocrproto::correctMessage(id, request);
        },
        result.error);
    if (!reply)
        return result;
    const auto kind = ocrproto::Kind(uint8_t(reply->kind));
    std::optional<ocrproto::Correction> c;
    if (kind == ocrproto::Kind::Corrected || kind == ocrproto::Kind::Unchanged)
        c = ocrproto::decodeCorrected(reply->body);
    QImage corrected;
    if (c && kind == ocrproto::Kind::Corrected) {
        corrected = imageOfFile(reply->fd, *c, format);
        if (corrected.isNull() || !c->changed())
            c.reset();
    }
    if (reply->fd >= 0)
        ::close(reply->fd);
    if (!c || (kind == ocrproto::Kind::Unchanged && c->changed() && c->error.isEmpty())) {
        refuse(m_worker, what, QStringLiteral("pagina corretta"), result.error);
        return result;
    }
    result.error = c->error;
    if (!result.ok())
        return result;
    result.skewDegrees = c->skewDegrees;
    result.orientationConfidence = float(c->orientationConfidence);
    if (kind == ocrproto::Kind::Corrected) {
        result.straightened = c->straightened;
        result.turned = c->turned;
        // The page's own format comes back (a 16-bit or indexed page as the worker's 8 bits
        // made it), with its resolution.
        result.image = corrected.format() == page.format()
                           ? corrected
                           : corrected.convertToFormat(page.format());
        result.image.setDotsPerMeterX(page.dotsPerMeterX());
        result.image.setDotsPerMeterY(page.dotsPerMeterY());
    }
    return result;
}

PageServices ocrPageServices() {
    PageServices services;
    services.textReader = [] { return std::make_unique<OcrClient>(); };
    services.corrector = [] { return std::make_unique<OcrClient>(); };
    return services;
}
