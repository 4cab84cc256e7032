#include "worker_process/SaneMessages.h"

namespace workerproto::sane {

namespace {

/// `m` when every field read from `d` was whole and nothing is left over.
template <typename T> std::optional<T> whole(const Decoder& d, T m) {
    return d.finished() ? std::optional<T>(std::move(m)) : std::nullopt;
}

/// A body of a handle alone.
template <typename T> std::optional<T> handleOnly(const QByteArray& body) {
    Decoder d(body);
    T m;
    m.handle = d.u32();
    return whole(d, m);
}

/// A body of a status alone.
template <typename T> std::optional<T> statusOnly(const QByteArray& body) {
    Decoder d(body);
    T m;
    m.status = d.status();
    return whole(d, m);
}

} // namespace

// --- The component's requests ----------------------------------------------------------------

void Start::encode(Encoder&) const {}
std::optional<Start> Start::decode(const QByteArray& body) {
    return whole(Decoder(body), Start());
}

void Open::encode(Encoder& e) const {
    e.text(device);
}
std::optional<Open> Open::decode(const QByteArray& body) {
    Decoder d(body);
    Open m;
    m.device = d.text();
    return whole(d, m);
}

void Close::encode(Encoder& e) const {
    e.u32(handle);
}
std::optional<Close> Close::decode(const QByteArray& body) {
    return handleOnly<Close>(body);
}

void CapabilityIds::encode(Encoder& e) const {
    e.u32(handle);
}
std::optional<CapabilityIds> CapabilityIds::decode(const QByteArray& body) {
    return handleOnly<CapabilityIds>(body);
}

void GetCapability::encode(Encoder& e) const {
    e.u32(handle).u16(id);
}
std::optional<GetCapability> GetCapability::decode(const QByteArray& body) {
    Decoder d(body);
    GetCapability m;
    m.handle = d.u32();
    m.id = d.u16();
    return whole(d, m);
}

void SetCapability::encode(Encoder& e) const {
    e.u32(handle).u16(id).f64(value);
}
std::optional<SetCapability> SetCapability::decode(const QByteArray& body) {
    Decoder d(body);
    SetCapability m;
    m.handle = d.u32();
    m.id = d.u16();
    m.value = d.f64();
    return whole(d, m);
}

void SetImageLayout::encode(Encoder& e) const {
    e.u32(handle).f64(left).f64(top).f64(right).f64(bottom);
}
std::optional<SetImageLayout> SetImageLayout::decode(const QByteArray& body) {
    Decoder d(body);
    SetImageLayout m;
    m.handle = d.u32();
    m.left = d.f64();
    m.top = d.f64();
    m.right = d.f64();
    m.bottom = d.f64();
    return whole(d, m);
}

void Fault::encode(Encoder& e) const {
    e.u32(handle);
}
std::optional<Fault> Fault::decode(const QByteArray& body) {
    return handleOnly<Fault>(body);
}

void SetOption::encode(Encoder& e) const {
    e.u32(handle).text(name).text(value);
}
std::optional<SetOption> SetOption::decode(const QByteArray& body) {
    Decoder d(body);
    SetOption m;
    m.handle = d.u32();
    m.name = d.text();
    m.value = d.text();
    return whole(d, m);
}

void SetLimits::encode(Encoder& e) const {
    e.u32(handle).i32(stallMs).i32(cancelLostMs).i32(cancelMs);
}
std::optional<SetLimits> SetLimits::decode(const QByteArray& body) {
    Decoder d(body);
    SetLimits m;
    m.handle = d.u32();
    m.stallMs = d.i32();
    m.cancelLostMs = d.i32();
    m.cancelMs = d.i32();
    return whole(d, m);
}

void Acquire::encode(Encoder& e) const {
    e.u32(handle).u8(request.feeder ? 1 : 0).u8(request.duplex ? 1 : 0).i32(request.maxImages);
}
std::optional<Acquire> Acquire::decode(const QByteArray& body) {
    Decoder d(body);
    Acquire m;
    m.handle = d.u32();
    m.request.feeder = d.u8() != 0;
    m.request.duplex = d.u8() != 0;
    m.request.maxImages = d.i32();
    return whole(d, m);
}

void Cancel::encode(Encoder& e) const {
    e.u32(handle);
}
std::optional<Cancel> Cancel::decode(const QByteArray& body) {
    return handleOnly<Cancel>(body);
}

void ImageAck::encode(Encoder& e) const {
    e.u8(goOn ? 1 : 0);
}
std::optional<ImageAck> ImageAck::decode(const QByteArray& body) {
    Decoder d(body);
    ImageAck m;
    m.goOn = d.u8() != 0;
    return whole(d, m);
}

// --- Reply bodies ----------------------------------------------------------------------------

void StatusReply::encode(Encoder& e) const {
    e.status(status);
}
std::optional<StatusReply> StatusReply::decode(const QByteArray& body) {
    return statusOnly<StatusReply>(body);
}

void StartReply::encode(Encoder& e) const {
    e.status(status).u32(uint32_t(devices.size()));
    for (const DeviceInfo& info : devices)
        e.text(info.id).text(info.name);
}
std::optional<StartReply> StartReply::decode(const QByteArray& body) {
    Decoder d(body);
    StartReply m;
    m.status = d.status();
    m.devices.resize(qsizetype(d.count(2 * sizeof(uint32_t))));
    for (DeviceInfo& info : m.devices) {
        info.id = d.text();
        info.name = d.text();
    }
    return whole(d, m);
}

void OpenReply::encode(Encoder& e) const {
    e.status(status).u32(handle);
}
std::optional<OpenReply> OpenReply::decode(const QByteArray& body) {
    Decoder d(body);
    OpenReply m;
    m.status = d.status();
    m.handle = d.u32();
    return whole(d, m);
}

void CapabilityIdsReply::encode(Encoder& e) const {
    e.status(status).u32(uint32_t(ids.size()));
    for (uint16_t id : ids)
        e.u16(id);
}
std::optional<CapabilityIdsReply> CapabilityIdsReply::decode(const QByteArray& body) {
    Decoder d(body);
    CapabilityIdsReply m;
    m.status = d.status();
    m.ids.resize(qsizetype(d.count(sizeof(uint16_t))));
    for (uint16_t& id : m.ids)
        id = d.u16();
    return whole(d, m);
}

void GetCapabilityReply::encode(Encoder& e) const {
    e.status(status).u8(capability ? 1 : 0);
    if (capability)
        e.capability(*capability);
}
std::optional<GetCapabilityReply> GetCapabilityReply::decode(const QByteArray& body) {
    Decoder d(body);
    GetCapabilityReply m;
    m.status = d.status();
    if (d.u8() != 0)
        m.capability = d.capability();
    return whole(d, m);
}

// --- An acquisition's events -----------------------------------------------------------------

void PhaseEvent::encode(Encoder& e) const {
    e.u8(uint8_t(phase)).status(status);
}
std::optional<PhaseEvent> PhaseEvent::decode(const QByteArray& body) {
    Decoder d(body);
    PhaseEvent m;
    m.phase = Phase(d.u8());
    m.status = d.status();
    return whole(d, m);
}

void ProgressEvent::encode(Encoder& e) const {
    e.i64(bytes).i64(expected);
}
std::optional<ProgressEvent> ProgressEvent::decode(const QByteArray& body) {
    Decoder d(body);
    ProgressEvent m;
    m.bytes = d.i64();
    m.expected = d.i64();
    return whole(d, m);
}

void ImageEvent::encode(Encoder& e) const {
    e.i32(width).i32(height).i32(bytesPerLine).u8(uint8_t(format));
    e.u32(uint32_t(colours.size()));
    for (QRgb c : colours)
        e.u32(c);
}
std::optional<ImageEvent> ImageEvent::decode(const QByteArray& body) {
    Decoder d(body);
    ImageEvent m;
    m.width = d.i32();
    m.height = d.i32();
    m.bytesPerLine = d.i32();
    const uint8_t format = d.u8();
    m.format = PixelFormat(format);
    const uint32_t n = d.count(sizeof(QRgb));
    for (uint32_t i = 0; i < n && d.ok(); ++i)
        m.colours.append(d.u32());
    if (!qimageFormat(format))
        return std::nullopt;
    return whole(d, m);
}

void EndEvent::encode(Encoder& e) const {
    e.status(status);
}
std::optional<EndEvent> EndEvent::decode(const QByteArray& body) {
    return statusOnly<EndEvent>(body);
}

} // namespace workerproto::sane
