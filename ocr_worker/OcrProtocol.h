#pragma once
#include "common/OcrWord.h"
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

// The protocol between the component and the OCR worker program, over one stream socket
// (descriptor 3 of the worker). Everything about it is in this file and its .cpp, so that it
// can move onto another transport whole.
//
// Every message is a header of nine bytes (body length u32, kind u8, request id u32, in the
// machine's byte order: both ends run on one machine) and a body of at most kMaxBody bytes.
// The worker speaks first with Hello; the component refuses any other version. Each
// Recognise is answered by one Words of the same id, in order. The pixels of a Recognise
// travel as a sealed memory file passed with the message (SCM_RIGHTS), never through the
// socket; the worker only maps it for reading.
//
// Bodies (text = u32 length and UTF-8 bytes):
//   Hello:     u32 magic, u32 version, i32 process id
//   Recognise: i32 width, i32 height, i32 bytes per line, u8 format (OcrPixelFormat),
//              i32 dpi, text languages, i32 time limit in ms (0: none); the memory file
//              holds height × bytes per line bytes
//   Words:     text error (empty when read), u32 n, n × word
//   word:      i32 left, top, width, height; 4 × f64 baseline start x, y, end x, y;
//              f64 angle, f64 line height, i32 line, f64 confidence, text
namespace ocrproto {

constexpr uint32_t kMagic = 0x574f4353; // "SCOW" read as bytes
constexpr uint32_t kVersion = 1;
constexpr uint32_t kHeaderBytes = 9;
/// A page of words is far below this (a dense A4 page: 600 words, 60 KB); a length beyond it
/// is garbage, refused before anything is read.
constexpr uint32_t kMaxBody = 8u << 20;

enum class Kind : uint8_t { Recognise = 1, Hello = 64, Words };

/// A Recognise request without its memory file.
struct PageRequest {
    int32_t width = 0;
    int32_t height = 0;
    int32_t bytesPerLine = 0;
    uint8_t format = 0;
    int32_t dpi = 0;
    QString languages;
    int32_t timeLimitMs = 0; ///< recognition stops with an error past this; 0: no limit
};

struct Message {
    Kind kind = Kind::Hello;
    uint32_t id = 0;
    QByteArray body;
    int fd = -1; ///< the memory file of a Recognise; its receiver closes it
};

QByteArray helloMessage(int32_t pid);
QByteArray recogniseMessage(uint32_t id, const PageRequest& page);
QByteArray wordsMessage(uint32_t id, const QString& error, const OcrWords& words);

/// The process id of a Hello of our magic and version; nullopt for anything else.
std::optional<int32_t> decodeHello(const QByteArray& body);
std::optional<PageRequest> decodeRecognise(const QByteArray& body);
/// False on a body that is not a whole Words (garbage from a broken worker).
bool decodeWords(const QByteArray& body, QString& error, OcrWords& words);

/// Writes all of `message`, with `fd` passed along when not -1. Never raises SIGPIPE. False
/// on failure, with errno set.
bool sendMessage(int socket, const QByteArray& message, int fd = -1);
/// Reads one whole message, waiting for it. False at the end of the stream or on garbage
/// (an unknown kind, a body beyond kMaxBody, a Recognise without its file), `error` then
/// says why (empty at a clean end); a descriptor that came along is then closed.
bool receiveMessage(int socket, Message& out, QString& error);

} // namespace ocrproto
