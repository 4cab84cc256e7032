#include "worker_process/SaneMessages.h"

namespace workerproto::sane::field {

// A number goes as the Encoder method of the same name as the Decoder method that reads it
// back: one line a type, so that the two directions cannot disagree.
#define SCANSIONE_NUMBER_FIELD(Type, method)                                                       \
    void put(Encoder& e, Type v) {                                                                 \
        e.method(v);                                                                               \
    }                                                                                              \
    void take(Reader& r, Type& v) {                                                                \
        v = r.decoder.method();                                                                    \
    }
SCANSIONE_NUMBER_FIELD(uint8_t, u8)
SCANSIONE_NUMBER_FIELD(uint16_t, u16)
SCANSIONE_NUMBER_FIELD(uint32_t, u32)
SCANSIONE_NUMBER_FIELD(int32_t, i32)
SCANSIONE_NUMBER_FIELD(int64_t, i64)
SCANSIONE_NUMBER_FIELD(double, f64)
#undef SCANSIONE_NUMBER_FIELD

void put(Encoder& e, bool v) {
    e.u8(v ? 1 : 0);
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
