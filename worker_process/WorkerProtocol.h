#pragma once
#include "component_base/Capability.h"
#include "component_base/DeviceLayer.h"
#include <QByteArray>
#include <QString>
#include <cstdint>
#include <deque>
#include <optional>

// The framing every worker protocol of ours shares (Encoder, Decoder, sendMessage,
// MessageStream, the Hello every worker opens with), and the protocol between the component and
// the SANE worker program, over one stream socket.
//
// Every message is a header of nine bytes (body length u32, kind u8, request id u32, all in
// the machine's byte order: both ends run on one machine) and a body of at most kMaxBody
// bytes (each protocol sets its own bound). The worker speaks first with Hello (u32 magic,
// u32 protocol version, i32 its process id; each protocol has its own magic and version); the
// component refuses any other. Each request carries an id of the component's choice, and every
// answer to it carries the same id. An Image carries its pixels in a sealed memory file passed
// with the message (SCM_RIGHTS), so a page of tens of megabytes is never copied through the
// socket.
//
// The bodies of the requests and answers, field by field, and which answer goes with which
// request: SaneMessages.h, which both ends encode and decode with.
namespace workerproto {

constexpr uint32_t kMagic = 0x57534353; // "SCSW" read as bytes
constexpr uint32_t kVersion = 1;
constexpr uint32_t kHeaderBytes = 9;
/// No body comes near this; a length beyond it is garbage, refused before anything is read.
constexpr uint32_t kMaxBody = 1u << 20;

enum class Kind : uint8_t {
    // The component's requests.
    Start = 1,
    Open,
    Close,
    CapabilityIds,
    GetCapability,
    SetCapability,
    SetImageLayout,
    Fault,
    SetOption,
    SetLimits,
    Acquire,
    Cancel,
    ImageAck,
    // The worker's answers.
    Hello = 64,
    Reply,
    Phase,
    Progress,
    Image,
    End,
};

/// True for the kinds the component sends; false for the worker's and for unknown values.
bool isRequest(uint8_t kind);
/// True for the kinds the worker sends.
bool isAnswer(uint8_t kind);

/// What one direction of a protocol carries: the kinds valid in it, those that bring a memory
/// file (SCM_RIGHTS) with them, the longest body, and the reason given for such a message that
/// came without its file.
struct StreamKinds {
    bool (*valid)(uint8_t kind) = nullptr;
    bool (*carriesFile)(uint8_t kind) = nullptr;
    uint32_t maxBody = 0;
    const char* withoutFile = "";
};
/// The SANE protocol's directions: the worker's answers, the component's requests.
extern const StreamKinds kFromWorker;
extern const StreamKinds kToWorker;

/// What an acquiring worker is waiting for, so that the component can bound the wait.
enum class Phase : uint8_t {
    Starting = 1, ///< sane_start of the next image (a lamp may warm up)
    Ending = 2,   ///< the cancel that closes the batch; the status that ended it comes along
};

/// The pixel formats an Image may carry (the ones the worker's frames give), and their codes.
enum class PixelFormat : uint8_t { Mono = 1, Gray8, Gray16, RGB888, RGBX64 };

/// The code of a QImage format; nullopt for one the protocol does not carry.
std::optional<PixelFormat> pixelFormat(int qimageFormat);
/// The QImage format of a code; nullopt for an unknown code.
std::optional<int> qimageFormat(uint8_t code);

/// One message as read off the socket, its kind as the protocol `K` names it.
template <typename K> struct BasicMessage {
    K kind{};
    uint32_t id = 0;
    QByteArray body;
    int fd = -1; ///< the memory file that came with it (an Image); its owner closes it
};
using Message = BasicMessage<Kind>;

/// Builds one message: header and body.
class Encoder {
public:
    Encoder(Kind kind, uint32_t id) : Encoder(uint8_t(kind), id) {}
    /// A message of another protocol's kind.
    Encoder(uint8_t kind, uint32_t id);
    Encoder& u8(uint8_t v);
    Encoder& u16(uint16_t v);
    Encoder& u32(uint32_t v);
    Encoder& i32(int32_t v);
    Encoder& i64(int64_t v);
    Encoder& f64(double v);
    Encoder& text(const QString& v);
    Encoder& status(const DeviceStatus& v);
    Encoder& capability(const Capability& v);
    /// Fields encoded elsewhere, as they are.
    Encoder& append(const QByteArray& fields);
    /// The whole message, its length filled in.
    QByteArray message() const;
    /// The fields encoded so far, without the header.
    QByteArray body() const;

private:
    template <typename T> Encoder& raw(T v);
    QByteArray m_data;
};

/// Reads a body field by field. A field cut short or out of bounds makes ok() false for good
/// and gives zeros from then on, so a caller checks once at the end.
class Decoder {
public:
    explicit Decoder(const QByteArray& body) : m_data(body) {}
    uint8_t u8();
    uint16_t u16();
    uint32_t u32();
    int32_t i32();
    int64_t i64();
    double f64();
    QString text();
    DeviceStatus status();
    Capability capability();
    /// A count of elements of at least `elementBytes` each: more than the bytes left is
    /// garbage (0, not ok), so a corrupt count never makes anyone reserve memory for it.
    uint32_t count(uint32_t elementBytes);
    /// True while every field read so far was whole and the body has nothing left over at
    /// the end (call it after the last field).
    bool finished() const { return m_ok && m_at == m_data.size(); }
    bool ok() const { return m_ok; }

private:
    template <typename T> T raw();
    const QByteArray& m_data;
    qsizetype m_at = 0;
    bool m_ok = true;
};

/// Writes all of `message` to `socket`, with `fd` passed along (SCM_RIGHTS) when not -1.
/// Never raises SIGPIPE. A socket that cannot take a byte for `stallMs` counts as dead (-1
/// waits for ever). False on any failure, with errno set.
bool sendMessage(int socket, const QByteArray& message, int fd = -1, int stallMs = -1);

/// A Hello: `magic`, `version` and this process's id.
QByteArray helloMessage(uint8_t helloKind, uint32_t magic, uint32_t version);

/// The bytes and descriptors read from a socket, cut into messages.
class MessageStream {
public:
    /// `kinds`: what the stream carries (kFromWorker, kToWorker, or another protocol's); a
    /// message of another kind is garbage.
    explicit MessageStream(const StreamKinds& kinds) : m_kinds(kinds) {}
    ~MessageStream();
    MessageStream(const MessageStream&) = delete;
    MessageStream& operator=(const MessageStream&) = delete;

    enum class Read { Data, End, Error };
    /// One read of what the socket has (blocking unless `dontWait`): Data, End of stream, or
    /// Error (errno; EAGAIN when there was nothing). Passed descriptors are queued,
    /// close-on-exec.
    Read receive(int socket, bool dontWait);
    /// Takes the next whole message into `out`: true when there was one. Garbage (an unknown
    /// kind, a body beyond the bound, a kind that carries a memory file without one,
    /// descriptors piling up) makes `error` say why; nothing more comes out of the stream then.
    template <typename K> bool next(BasicMessage<K>& out, QString& error) {
        uint8_t kind = 0;
        if (!nextMessage(kind, out.id, out.body, out.fd, error))
            return false;
        out.kind = K(kind);
        return true;
    }
    /// Bytes of a message begun but not whole.
    qsizetype pending() const { return m_buffer.size() - m_start; }

private:
    bool nextMessage(uint8_t& kind, uint32_t& id, QByteArray& body, int& fd, QString& error);
    QByteArray m_buffer;
    qsizetype m_start = 0;
    std::deque<int> m_fds;
    StreamKinds m_kinds;
    bool m_broken = false;
};

} // namespace workerproto
