#pragma once
#include "worker_process/WorkerProtocol.h"
#include <QList>
#include <QRgb>
#include <QVector>
#include <optional>

// The bodies of the SANE worker's messages (the framing is WorkerProtocol.h's), one struct a
// body. The component (acquisition_sane) and the worker (sane_worker) both encode and decode
// them here and nowhere else, so that a field added to a message is added on both ends at once.
//
// Each struct has its Kind, encode() that appends its fields to an Encoder, and decode() that
// reads a whole body: nullopt when a field is cut short or out of bounds, or bytes are left
// over (as Decoder judges them), so garbage is never half believed.
//
// Who answers what: every request but Acquire, Cancel and ImageAck gets one Reply of its id,
// whose body is the request's reply type below (StatusReply unless named otherwise); Acquire
// gets PhaseEvent, ProgressEvent and ImageEvent of its id, closed by one EndEvent; Cancel and
// ImageAck get nothing. Field types on the wire: status = i32 code and text; text = u32 length
// and UTF-8 bytes; a count = u32 then that many elements.
namespace workerproto::sane {

// --- The component's requests ----------------------------------------------------------------

/// sane_init (once) and sane_get_devices. No fields. Answered by StartReply.
struct Start {
    static constexpr Kind kind = Kind::Start;
    void encode(Encoder& e) const;
    static std::optional<Start> decode(const QByteArray& body);
};

/// sane_open of `device` (text). Answered by OpenReply.
struct Open {
    static constexpr Kind kind = Kind::Open;
    QString device;
    void encode(Encoder& e) const;
    static std::optional<Open> decode(const QByteArray& body);
};

/// sane_close of the device (u32 handle).
struct Close {
    static constexpr Kind kind = Kind::Close;
    uint32_t handle = 0;
    void encode(Encoder& e) const;
    static std::optional<Close> decode(const QByteArray& body);
};

/// The capabilities the device has (u32 handle). Answered by CapabilityIdsReply.
struct CapabilityIds {
    static constexpr Kind kind = Kind::CapabilityIds;
    uint32_t handle = 0;
    void encode(Encoder& e) const;
    static std::optional<CapabilityIds> decode(const QByteArray& body);
};

/// One capability (u32 handle, u16 id). Answered by GetCapabilityReply.
struct GetCapability {
    static constexpr Kind kind = Kind::GetCapability;
    uint32_t handle = 0;
    uint16_t id = 0;
    void encode(Encoder& e) const;
    static std::optional<GetCapability> decode(const QByteArray& body);
};

/// Sets a capability (u32 handle, u16 id, f64 value).
struct SetCapability {
    static constexpr Kind kind = Kind::SetCapability;
    uint32_t handle = 0;
    uint16_t id = 0;
    double value = 0;
    void encode(Encoder& e) const;
    static std::optional<SetCapability> decode(const QByteArray& body);
};

/// Sets the scan area (u32 handle, f64 left, top, right, bottom).
struct SetImageLayout {
    static constexpr Kind kind = Kind::SetImageLayout;
    uint32_t handle = 0;
    double left = 0, top = 0, right = 0, bottom = 0;
    void encode(Encoder& e) const;
    static std::optional<SetImageLayout> decode(const QByteArray& body);
};

/// The device's own fault (u32 handle).
struct Fault {
    static constexpr Kind kind = Kind::Fault;
    uint32_t handle = 0;
    void encode(Encoder& e) const;
    static std::optional<Fault> decode(const QByteArray& body);
};

/// Sets a backend option by name from its text form (u32 handle, text name, text value).
struct SetOption {
    static constexpr Kind kind = Kind::SetOption;
    uint32_t handle = 0;
    QString name;
    QString value;
    void encode(Encoder& e) const;
    static std::optional<SetOption> decode(const QByteArray& body);
};

/// The worker's bounds for the device (u32 handle, i32 stall ms, i32 cancel wait once the
/// connection is lost, i32 cancel wait otherwise). Whether they make sense is the worker's
/// to judge, not the decoder's.
struct SetLimits {
    static constexpr Kind kind = Kind::SetLimits;
    uint32_t handle = 0;
    int32_t stallMs = 0, cancelLostMs = 0, cancelMs = 0;
    void encode(Encoder& e) const;
    static std::optional<SetLimits> decode(const QByteArray& body);
};

/// Starts an acquisition (u32 handle, u8 feeder, u8 duplex, i32 max images). Answered by
/// events of its id, EndEvent last.
struct Acquire {
    static constexpr Kind kind = Kind::Acquire;
    uint32_t handle = 0;
    AcquireRequest request;
    void encode(Encoder& e) const;
    static std::optional<Acquire> decode(const QByteArray& body);
};

/// Stops the device's acquisition (u32 handle). Not answered: the acquisition's End is.
struct Cancel {
    static constexpr Kind kind = Kind::Cancel;
    uint32_t handle = 0;
    void encode(Encoder& e) const;
    static std::optional<Cancel> decode(const QByteArray& body);
};

/// The answer to an image, with the Acquire's id (u8 go on). Not answered.
struct ImageAck {
    static constexpr Kind kind = Kind::ImageAck;
    bool goOn = false;
    void encode(Encoder& e) const;
    static std::optional<ImageAck> decode(const QByteArray& body);
};

// --- Reply bodies ----------------------------------------------------------------------------

/// The reply of requests answered by a status alone (status).
struct StatusReply {
    static constexpr Kind kind = Kind::Reply;
    DeviceStatus status;
    void encode(Encoder& e) const;
    static std::optional<StatusReply> decode(const QByteArray& body);
};

/// The reply to Start (status, count of (text id, text name)).
struct StartReply {
    static constexpr Kind kind = Kind::Reply;
    DeviceStatus status;
    QVector<DeviceInfo> devices;
    void encode(Encoder& e) const;
    static std::optional<StartReply> decode(const QByteArray& body);
};

/// The reply to Open (status, u32 handle; 0 when not opened).
struct OpenReply {
    static constexpr Kind kind = Kind::Reply;
    DeviceStatus status;
    uint32_t handle = 0;
    void encode(Encoder& e) const;
    static std::optional<OpenReply> decode(const QByteArray& body);
};

/// The reply to CapabilityIds (status, count of u16).
struct CapabilityIdsReply {
    static constexpr Kind kind = Kind::Reply;
    DeviceStatus status;
    QVector<uint16_t> ids;
    void encode(Encoder& e) const;
    static std::optional<CapabilityIdsReply> decode(const QByteArray& body);
};

/// The reply to GetCapability (status, u8 present, the capability when present).
struct GetCapabilityReply {
    static constexpr Kind kind = Kind::Reply;
    DeviceStatus status;
    std::optional<Capability> capability;
    void encode(Encoder& e) const;
    static std::optional<GetCapabilityReply> decode(const QByteArray& body);
};

// --- An acquisition's events -----------------------------------------------------------------

/// What the acquiring worker is about to wait for (u8 phase, status: with Ending, the status
/// that ended the batch).
struct PhaseEvent {
    static constexpr Kind kind = Kind::Phase;
    Phase phase = Phase::Starting; ///< as sent: a value outside Phase is not refused
    DeviceStatus status;
    void encode(Encoder& e) const;
    static std::optional<PhaseEvent> decode(const QByteArray& body);
};

/// Data read of the image under way (i64 bytes, i64 bytes expected).
struct ProgressEvent {
    static constexpr Kind kind = Kind::Progress;
    int64_t bytes = 0;
    int64_t expected = 0;
    void encode(Encoder& e) const;
    static std::optional<ProgressEvent> decode(const QByteArray& body);
};

/// An image, its pixels in the memory file passed with the message (i32 width, i32 height,
/// i32 bytes per line, u8 pixel format, count of u32 colours). An unknown pixel format is
/// refused; whether the sizes fit the memory file is the receiver's to check.
struct ImageEvent {
    static constexpr Kind kind = Kind::Image;
    int32_t width = 0, height = 0, bytesPerLine = 0;
    PixelFormat format = PixelFormat::Gray8;
    QList<QRgb> colours; ///< empty but for indexed formats
    void encode(Encoder& e) const;
    static std::optional<ImageEvent> decode(const QByteArray& body);
};

/// The end of an acquisition (status).
struct EndEvent {
    static constexpr Kind kind = Kind::End;
    DeviceStatus status;
    void encode(Encoder& e) const;
    static std::optional<EndEvent> decode(const QByteArray& body);
};

/// The message carrying `body` with request id `id`, ready for message() or sending.
template <typename Body> Encoder encode(const Body& body, uint32_t id) {
    Encoder e(Body::kind, id);
    body.encode(e);
    return e;
}

} // namespace workerproto::sane
