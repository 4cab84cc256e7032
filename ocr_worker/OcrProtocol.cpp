#include "ocr_worker/OcrProtocol.h"

namespace ocrproto {

using workerproto::Decoder;
using workerproto::Encoder;

namespace {

// The smallest encoded word: the fixed fields and an empty text.
constexpr uint32_t kWordBytes = 4 * 4 + 6 * 8 + 4 + 8 + 4;

bool isRequest(uint8_t kind) {
    return kind == uint8_t(Kind::Recognise) || kind == uint8_t(Kind::Correct);
}

bool isAnswer(uint8_t kind) {
    return kind >= uint8_t(Kind::Hello) && kind <= uint8_t(Kind::Unchanged);
}

Encoder& layout(Encoder& e, const PageLayout& p) {
    return e.i32(p.width).i32(p.height).i32(p.bytesPerLine).u8(p.format).i32(p.dpi);
}

PageLayout layoutOf(Decoder& d) {
    PageLayout p;
    p.width = d.i32();
    p.height = d.i32();
    p.bytesPerLine = d.i32();
    p.format = d.u8();
    p.dpi = d.i32();
    return p;
}

/// `body` read whole by `read`: nullopt when a field is cut short or bytes are left over.
template <typename T, typename Read> std::optional<T> whole(const QByteArray& body, Read read) {
    Decoder d(body);
    T value;
    read(d, value);
    if (!d.finished())
        return std::nullopt;
    return value;
}

} // namespace

const workerproto::StreamKinds kFromWorker{
    isAnswer, [](uint8_t kind) { return kind == uint8_t(Kind::Corrected); }, kMaxBody,
    "pagina corretta senza dati"};
const workerproto::StreamKinds kToWorker{isRequest, isRequest, kMaxBody, "pagina senza dati"};

bool isReply(uint8_t kind) {
    return kind > uint8_t(Kind::Hello) && kind <= uint8_t(Kind::Unchanged);
}

QByteArray helloMessage() {
    return workerproto::helloMessage(uint8_t(Kind::Hello), kMagic, kVersion);
}

QByteArray recogniseMessage(uint32_t id, const PageRequest& request) {
    Encoder e(uint8_t(Kind::Recognise), id);
    return layout(e, request.page).text(request.languages).i32(request.timeLimitMs).message();
}

QByteArray correctMessage(uint32_t id, const CorrectRequest& request) {
    Encoder e(uint8_t(Kind::Correct), id);
    return layout(e, request.page)
        .u8(request.straighten ? 1 : 0)
        .u8(request.turnUpsideDown ? 1 : 0)
        .message();
}

QByteArray wordsMessage(uint32_t id, const QString& error, const OcrWords& words) {
    Encoder e(uint8_t(Kind::Words), id);
    e.text(error).u32(uint32_t(words.size()));
    for (const OcrWord& word : words) {
        e.i32(word.box.left()).i32(word.box.top()).i32(word.box.width()).i32(word.box.height());
        e.f64(word.baseStart.x()).f64(word.baseStart.y()).f64(word.baseEnd.x());
        e.f64(word.baseEnd.y());
        e.f64(word.angle).f64(word.lineHeight).i32(word.line);
        e.f64(double(word.confidence)).text(word.text);
    }
    return e.message();
}

QByteArray correctedMessage(uint32_t id, const Correction& c) {
    const bool changed = c.changed() && c.error.isEmpty();
    return Encoder(uint8_t(changed ? Kind::Corrected : Kind::Unchanged), id)
        .text(c.error)
        .f64(c.skewDegrees)
        .u8(c.straightened ? 1 : 0)
        .u8(c.turned ? 1 : 0)
        .f64(c.orientationConfidence)
        .i32(changed ? c.width : 0)
        .i32(changed ? c.height : 0)
        .i32(changed ? c.bytesPerLine : 0)
        .message();
}

std::optional<int32_t> decodeHello(const QByteArray& body) {
    Decoder d(body);
    const uint32_t magic = d.u32();
    const uint32_t version = d.u32();
    const int32_t pid = d.i32();
    if (!d.finished() || magic != kMagic || version != kVersion)
        return std::nullopt;
    return pid;
}

std::optional<PageRequest> decodeRecognise(const QByteArray& body) {
    return whole<PageRequest>(body, [](Decoder& d, PageRequest& r) {
        r.page = layoutOf(d);
        r.languages = d.text();
        r.timeLimitMs = d.i32();
    });
}

std::optional<CorrectRequest> decodeCorrect(const QByteArray& body) {
    return whole<CorrectRequest>(body, [](Decoder& d, CorrectRequest& r) {
        r.page = layoutOf(d);
        r.straighten = d.u8() != 0;
        r.turnUpsideDown = d.u8() != 0;
    });
}

bool decodeWords(const QByteArray& body, QString& error, OcrWords& words) {
    Decoder d(body);
    error = d.text();
    // A count beyond what the body can hold is garbage: nothing is reserved for it.
    const uint32_t n = d.count(kWordBytes);
    words.clear();
    if (!d.ok())
        return false;
    words.reserve(n);
    for (uint32_t i = 0; i < n; ++i) {
        OcrWord w;
        const int32_t left = d.i32(), top = d.i32();
        const int32_t width = d.i32(), height = d.i32();
        w.box = QRect(left, top, width, height);
        const double x1 = d.f64(), y1 = d.f64();
        const double x2 = d.f64(), y2 = d.f64();
        w.baseStart = QPointF(x1, y1);
        w.baseEnd = QPointF(x2, y2);
        w.angle = d.f64();
        w.lineHeight = d.f64();
        w.line = d.i32();
        w.confidence = float(d.f64());
        w.text = d.text();
        words.push_back(std::move(w));
    }
    if (!d.finished()) {
        words.clear();
        return false;
    }
    return true;
}

std::optional<Correction> decodeCorrected(const QByteArray& body) {
    return whole<Correction>(body, [](Decoder& d, Correction& c) {
        c.error = d.text();
        c.skewDegrees = d.f64();
        c.straightened = d.u8() != 0;
        c.turned = d.u8() != 0;
        c.orientationConfidence = d.f64();
        c.width = d.i32();
        c.height = d.i32();
        c.bytesPerLine = d.i32();
    });
}

} // namespace ocrproto
