#include "worker_process/SaneMessages.h"

namespace workerproto::sane::field {

void put(Encoder& e, bool v) {
    e.u8(v ? 1 : 0);
}
void put(Encoder& e, uint8_t v) {
    e.u8(v);
}
void put(Encoder& e, uint16_t v) {
    e.u16(v);
}
void put(Encoder& e, uint32_t v) {
    e.u32(v);
}
void put(Encoder& e, int32_t v) {
    e.i32(v);
}
void put(Encoder& e, int64_t v) {
    e.i64(v);
}
void put(Encoder& e, double v) {
    e.f64(v);
}
void put(Encoder& e, const QString& v) {
    e.text(v);
}
void put(Encoder& e, const DeviceStatus& v) {
    e.status(v);
}
void put(Encoder& e, const DeviceInfo& v) {
    e.text(v.id).text(v.name);
}
void put(Encoder& e, const AcquireRequest& v) {
    put(e, v.feeder);
    put(e, v.duplex);
    put(e, v.maxImages);
}
void put(Encoder& e, const std::optional<Capability>& v) {
    put(e, v.has_value());
    if (v)
        e.capability(*v);
}
void put(Encoder& e, Phase v) {
    e.u8(uint8_t(v));
}
void put(Encoder& e, PixelFormat v) {
    e.u8(uint8_t(v));
}

void take(Reader& r, bool& v) {
    v = r.decoder.u8() != 0;
}
void take(Reader& r, uint8_t& v) {
    v = r.decoder.u8();
}
void take(Reader& r, uint16_t& v) {
    v = r.decoder.u16();
}
void take(Reader& r, uint32_t& v) {
    v = r.decoder.u32();
}
void take(Reader& r, int32_t& v) {
    v = r.decoder.i32();
}
void take(Reader& r, int64_t& v) {
    v = r.decoder.i64();
}
void take(Reader& r, double& v) {
    v = r.decoder.f64();
}
void take(Reader& r, QString& v) {
    v = r.decoder.text();
}
void take(Reader& r, DeviceStatus& v) {
    v = r.decoder.status();
}
void take(Reader& r, DeviceInfo& v) {
    take(r, v.id);
    take(r, v.name);
}
void take(Reader& r, AcquireRequest& v) {
    take(r, v.feeder);
    take(r, v.duplex);
    take(r, v.maxImages);
}
void take(Reader& r, std::optional<Capability>& v) {
    bool present = false;
    take(r, present);
    if (present)
        v = r.decoder.capability();
}
void take(Reader& r, Phase& v) {
    v = Phase(r.decoder.u8());
}
void take(Reader& r, PixelFormat& v) {
    const uint8_t code = r.decoder.u8();
    v = PixelFormat(code);
    if (!qimageFormat(code))
        r.refused = true;
}

} // namespace workerproto::sane::field
