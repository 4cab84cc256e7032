#pragma once
#include "worker_process/WorkerProtocol.h"
#include <QList>
#include <QRgb>
#include <optional>
#include <tuple>

// The bodies of the SANE worker's messages (the framing is WorkerProtocol.h's), one struct a
// body. The component (acquisition_sane) and the worker (sane_worker) both encode and decode
// them here and nowhere else, through encode() and decode() below.
//
// A struct's tie() names its fields once, in their order on the wire, and both encode() and
// decode() walk that one list: a field cannot be added to one direction only. On the wire a
// field is as its type says, in the machine's byte order: the fixed-width integers and double
// as they are, bool and the enums as u8, a QString as u32 length and UTF-8 bytes, a
// DeviceStatus as i32 code and text, a list as u32 count and its elements, an optional
// capability as u8 present and the capability when present.
//
// Who answers what: every request but Acquire, Cancel and ImageAck gets one Reply of its id,
// whose body is the request's reply type below (StatusReply unless named otherwise); Acquire
// gets PhaseEvent, ProgressEvent and ImageEvent of its id, closed by one EndEvent; Cancel and
// ImageAck get nothing.
namespace workerproto::sane {

// --- The component's requests ----------------------------------------------------------------

/// sane_init (once) and sane_get_devices. Answered by StartReply.
struct Start {
    static constexpr Kind kind = Kind::Start;
    static auto tie(auto&) { return std::tie(); }
};

/// A request about a device that says nothing but which.
template <Kind K> struct HandleOnly {
    static constexpr Kind kind = K;
    uint32_t handle = 0;
    static auto tie(auto& m) { return std::tie(m.handle); }
};
/// sane_close.
using Close = HandleOnly<Kind::Close>;
/// The capabilities the device has. Answered by CapabilityIdsReply.
using CapabilityIds = HandleOnly<Kind::CapabilityIds>;
/// The device's own fault.
using Fault = HandleOnly<Kind::Fault>;
/// Stops the device's acquisition. Not answered: the acquisition's End is.
using Cancel = HandleOnly<Kind::Cancel>;

/// sane_open of `device`. Answered by OpenReply.
struct Open {
    static constexpr Kind kind = Kind::Open;
    QString device;
    static auto tie(auto& m) { return std::tie(m.device); }
};

/// One capability. Answered by GetCapabilityReply.
struct GetCapability {
    static constexpr Kind kind = Kind::GetCapability;
    uint32_t handle = 0;
    uint16_t id = 0;
    static auto tie(auto& m) { return std::tie(m.handle, m.id); }
};

struct SetCapability {
    static constexpr Kind kind = Kind::SetCapability;
    uint32_t handle = 0;
    uint16_t id = 0;
    double value = 0;
    static auto tie(auto& m) { return std::tie(m.handle, m.id, m.value); }
};

/// The scan area.
struct SetImageLayout {
    static constexpr Kind kind = Kind::SetImageLayout;
    uint32_t handle = 0;
    double left = 0, top = 0, right = 0, bottom = 0;
    static auto tie(auto& m) { return std::tie(m.handle, m.left, m.top, m.right, m.bottom); }
};

/// A backend option set by name from its text form.
struct SetOption {
    static constexpr Kind kind = Kind::SetOption;
    uint32_t handle = 0;
    QString name;
    QString value;
    static auto tie(auto& m) { return std::tie(m.handle, m.name, m.value); }
};

/// The worker's bounds for the device: data, and the cancel that ends a batch once the
/// connection is known to be lost and otherwise. Whether they make sense is the worker's to
/// judge, not the decoder's.
struct SetLimits {
    static constexpr Kind kind = Kind::SetLimits;
    uint32_t handle = 0;
    int32_t stallMs = 0, cancelLostMs = 0, cancelMs = 0;
    static auto tie(auto& m) { return std::tie(m.handle, m.stallMs, m.cancelLostMs, m.cancelMs); }
};

/// Starts an acquisition (`request` goes as feeder, duplex, max images). Answered by events
/// of its id, EndEvent last.
struct Acquire {
    static constexpr Kind kind = Kind::Acquire;
    uint32_t handle = 0;
    AcquireRequest request;
    static auto tie(auto& m) { return std::tie(m.handle, m.request); }
};

/// The answer to an image, with the Acquire's id. Not answered.
struct ImageAck {
    static constexpr Kind kind = Kind::ImageAck;
    bool goOn = false;
    static auto tie(auto& m) { return std::tie(m.goOn); }
};

// --- Reply bodies ----------------------------------------------------------------------------

/// A body that says nothing but how it went.
template <Kind K> struct StatusOnly {
    static constexpr Kind kind = K;
    DeviceStatus status;
    static auto tie(auto& m) { return std::tie(m.status); }
};
/// The reply of the requests answered by a status alone.
using StatusReply = StatusOnly<Kind::Reply>;

struct StartReply {
    static constexpr Kind kind = Kind::Reply;
    DeviceStatus status;
    QList<DeviceInfo> devices; ///< each as id, name
    static auto tie(auto& m) { return std::tie(m.status, m.devices); }
};

struct OpenReply {
    static constexpr Kind kind = Kind::Reply;
    DeviceStatus status;
    uint32_t handle = 0; ///< 0 when not opened
    static auto tie(auto& m) { return std::tie(m.status, m.handle); }
};

struct CapabilityIdsReply {
    static constexpr Kind kind = Kind::Reply;
    DeviceStatus status;
    QList<uint16_t> ids;
    static auto tie(auto& m) { return std::tie(m.status, m.ids); }
};

struct GetCapabilityReply {
    static constexpr Kind kind = Kind::Reply;
    DeviceStatus status;
    std::optional<Capability> capability;
    static auto tie(auto& m) { return std::tie(m.status, m.capability); }
};

// --- An acquisition's events -----------------------------------------------------------------

/// What the acquiring worker is about to wait for; with Ending, the status that ended the
/// batch.
struct PhaseEvent {
    static constexpr Kind kind = Kind::Phase;
    Phase phase = Phase::Starting; ///< as sent: a value outside Phase is not refused
    DeviceStatus status;
    static auto tie(auto& m) { return std::tie(m.phase, m.status); }
};

/// Data read of the image under way.
struct ProgressEvent {
    static constexpr Kind kind = Kind::Progress;
    int64_t bytes = 0;
    int64_t expected = 0;
    static auto tie(auto& m) { return std::tie(m.bytes, m.expected); }
};

/// An image, its pixels in the memory file passed with the message. An unknown pixel format
/// is refused; whether the sizes fit the memory file is the receiver's to check.
struct ImageEvent {
    static constexpr Kind kind = Kind::Image;
    int32_t width = 0, height = 0, bytesPerLine = 0;
    PixelFormat format = PixelFormat::Gray8;
    QList<QRgb> colours; ///< empty but for indexed formats
    static auto tie(auto& m) {
        return std::tie(m.width, m.height, m.bytesPerLine, m.format, m.colours);
    }
};

/// The end of an acquisition.
using EndEvent = StatusOnly<Kind::End>;

// --- One field ---------------------------------------------------------------------------

namespace field {

void put(Encoder& e, bool v);
void put(Encoder& e, uint8_t v);
void put(Encoder& e, uint16_t v);
void put(Encoder& e, uint32_t v);
void put(Encoder& e, int32_t v);
void put(Encoder& e, int64_t v);
void put(Encoder& e, double v);
void put(Encoder& e, const QString& v);
void put(Encoder& e, const DeviceStatus& v);
void put(Encoder& e, const DeviceInfo& v);
void put(Encoder& e, const AcquireRequest& v);
void put(Encoder& e, const std::optional<Capability>& v);
void put(Encoder& e, Phase v);
void put(Encoder& e, PixelFormat v);
template <typename T> void put(Encoder& e, const QList<T>& v) {
    e.u32(uint32_t(v.size()));
    for (const T& item : v)
        put(e, item);
}

/// A body being read: Decoder's judgement, and the values this layer refuses besides.
struct Reader {
    Decoder decoder;
    bool refused = false;
};

void take(Reader& r, bool& v);
void take(Reader& r, uint8_t& v);
void take(Reader& r, uint16_t& v);
void take(Reader& r, uint32_t& v);
void take(Reader& r, int32_t& v);
void take(Reader& r, int64_t& v);
void take(Reader& r, double& v);
void take(Reader& r, QString& v);
void take(Reader& r, DeviceStatus& v);
void take(Reader& r, DeviceInfo& v);
void take(Reader& r, AcquireRequest& v);
void take(Reader& r, std::optional<Capability>& v);
void take(Reader& r, Phase& v);
void take(Reader& r, PixelFormat& v);

/// The fewest bytes an element of a list takes, so that a count the body cannot hold is
/// refused before anything is allocated for it.
template <typename T> constexpr uint32_t leastBytes = sizeof(T);
template <> inline constexpr uint32_t leastBytes<DeviceInfo> = 2 * sizeof(uint32_t);

template <typename T> void take(Reader& r, QList<T>& v) {
    v.resize(qsizetype(r.decoder.count(leastBytes<T>)));
    for (T& item : v)
        take(r, item);
}

} // namespace field

/// The message carrying `body` with request id `id`, ready for message() or sending.
template <typename Body> Encoder encode(const Body& body, uint32_t id) {
    Encoder e(Body::kind, id);
    std::apply([&](const auto&... fields) { (field::put(e, fields), ...); }, Body::tie(body));
    return e;
}

/// The message body `bytes` read as a `Body`: nullopt when a field is cut short or out of
/// bounds, or bytes are left over, so that garbage is never half believed.
template <typename Body> std::optional<Body> decode(const QByteArray& bytes) {
    field::Reader r{Decoder(bytes)};
    Body body;
    std::apply([&](auto&... fields) { (field::take(r, fields), ...); }, Body::tie(body));
    if (r.refused || !r.decoder.finished())
        return std::nullopt;
    return body;
}

} // namespace workerproto::sane
