#pragma once
#include "common/OcrWord.h"
#include "worker_process/WorkerProtocol.h"
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

// The protocol between the component and the OCR worker program, over one stream socket
// (descriptor 3 of the worker), in the framing of worker_process/WorkerProtocol.h: header of
// nine bytes, body, a memory file passed along (SCM_RIGHTS) by the kinds that carry pixels.
//
// The worker speaks first with Hello (its own magic and version); the component refuses any
// other. Each request is answered by one message of the same id, in order: Recognise by Words,
// Correct by Corrected (the corrected pixels come along) or Unchanged. Pixels always travel as
// a sealed memory file, never through the socket; the receiver only maps it for reading.
//
// Bodies (text = u32 length and UTF-8 bytes; page = i32 width, i32 height, i32 bytes per
// line, u8 format (OcrPixelFormat), i32 dpi; the memory file holds height × bytes per line):
//   Recognise: page, text languages, i32 time limit in ms (0: none)
//   Correct:   page, u8 straighten, u8 turn upside down
//   Words:     text error (empty when read), u32 n, n × word
//   word:      i32 left, top, width, height; 4 × f64 baseline start x, y, end x, y;
//              f64 angle, f64 line height, i32 line, f64 confidence, text
//   Corrected, Unchanged: text error, f64 skew, u8 straightened, u8 turned, f64 orientation
//              confidence, i32 width, i32 height, i32 bytes per line (of the corrected
//              pixels, in the format of the request; 0 in Unchanged)
/// How the pixels of a page are laid out, in the worker and on the wire.
enum class OcrPixelFormat : uint8_t {
    Mono = 1, ///< 1 bit a pixel, most significant bit first, a set bit black (as SANE gives)
    Gray8,    ///< 8 bits a pixel, 0 black
    Rgb24,    ///< 3 bytes a pixel, red first
};

namespace ocrproto {

constexpr uint32_t kMagic = 0x574f4353; // "SCOW" read as bytes
constexpr uint32_t kVersion = 2;
/// A page of words is far below this (a dense A4 page: 600 words, 60 KB); a length beyond it
/// is garbage, refused before anything is read.
constexpr uint32_t kMaxBody = 8u << 20;
using workerproto::kHeaderBytes;
using workerproto::sendMessage;

enum class Kind : uint8_t {
    // The component's requests.
    Recognise = 1,
    Correct,
    // The worker's answers.
    Hello = 64,
    Words,
    Corrected,
    Unchanged,
};

/// The directions of the protocol: the worker's answers, the component's requests.
extern const workerproto::StreamKinds kFromWorker;
extern const workerproto::StreamKinds kToWorker;
/// True for the kinds that answer a request.
bool isReply(uint8_t kind);

using Message = workerproto::BasicMessage<Kind>;

/// The pixels' layout of a request, without its memory file.
struct PageLayout {
    int32_t width = 0;
    int32_t height = 0;
    int32_t bytesPerLine = 0;
    uint8_t format = 0;
    int32_t dpi = 0;
};

/// A Recognise request without its memory file.
struct PageRequest {
    PageLayout page;
    QString languages;
    int32_t timeLimitMs = 0; ///< recognition stops with an error past this; 0: no limit
};

/// A Correct request without its memory file.
struct CorrectRequest {
    PageLayout page;
    bool straighten = false;
    bool turnUpsideDown = false;
};

/// What the worker found on a page it was asked to correct.
struct Correction {
    QString error;
    double skewDegrees = 0; ///< counter-clockwise as seen; 0 when none was found
    bool straightened = false;
    bool turned = false;
    double orientationConfidence = 0;
    /// The corrected pixels' layout (Corrected only; their format is the request's).
    int32_t width = 0, height = 0, bytesPerLine = 0;
    bool changed() const { return straightened || turned; }
};

QByteArray helloMessage();
QByteArray recogniseMessage(uint32_t id, const PageRequest& request);
QByteArray correctMessage(uint32_t id, const CorrectRequest& request);
QByteArray wordsMessage(uint32_t id, const QString& error, const OcrWords& words);
/// Corrected when `c` changed the page (its pixels go along), else Unchanged.
QByteArray correctedMessage(uint32_t id, const Correction& c);

/// The process id of a Hello of our magic and version; nullopt for anything else.
std::optional<int32_t> decodeHello(const QByteArray& body);
std::optional<PageRequest> decodeRecognise(const QByteArray& body);
std::optional<CorrectRequest> decodeCorrect(const QByteArray& body);
/// False on a body that is not a whole Words (garbage from a broken worker).
bool decodeWords(const QByteArray& body, QString& error, OcrWords& words);
/// The body of a Corrected or Unchanged; nullopt on garbage.
std::optional<Correction> decodeCorrected(const QByteArray& body);

} // namespace ocrproto
