// Every message of the SANE worker through the one encoder and decoder both ends use: what is
// encoded comes back field for field, and a body cut short or with a byte too many is refused.
#include "worker_process/SaneMessages.h"
#include "worker_process/SaneStatus.h"
#include <functional>
#include <gtest/gtest.h>

using namespace workerproto;

namespace {

template <typename M> QByteArray bodyOf(const M& m) {
    return sane::encode(m, 7).body();
}

/// One message: its body, and the body encoded again from what decoding it gives (nullopt
/// when the decoder refuses it). Every field holds a value other than its default in some row,
/// so a field the decoder skips or misreads changes the second body.
struct Row {
    const char* name;
    QByteArray body;
    std::function<std::optional<QByteArray>(const QByteArray&)> again;
};

template <typename M> Row row(const char* name, const M& m) {
    return {name, bodyOf(m), [](const QByteArray& body) -> std::optional<QByteArray> {
                const std::optional<M> decoded = sane::decode<M>(body);
                return decoded ? std::optional<QByteArray>(bodyOf(*decoded)) : std::nullopt;
            }};
}

QList<Row> rows() {
    const DeviceStatus failed =
        sanestatus::status(sanestatus::ValueAdjusted, QStringLiteral("più o meno"));
    Capability capability = Capability::range(0x1118, 300, 150, 75, 1200, 25);
    capability.text = QStringLiteral("risoluzione");
    capability.readOnly = true;
    Capability listed = Capability::enumeration(0x0101, 2, 1, {0, 1, 2});
    const AcquireRequest request{true, true, 9};
    return {
        row("Start", sane::Start()),
        row("Open", sane::Open{QStringLiteral("net:host:piùscanner")}),
        row("Close", sane::Close{0x01020304}),
        row("CapabilityIds", sane::CapabilityIds{5}),
        row("GetCapability", sane::GetCapability{5, 0x1118}),
        row("SetCapability", sane::SetCapability{5, 0x1118, 212.5}),
        row("SetImageLayout", sane::SetImageLayout{5, 0.25, 0.5, 8.5, 11.75}),
        row("Fault", sane::Fault{5}),
        row("SetOption", sane::SetOption{5, QStringLiteral("source"), QStringLiteral("ADF è")}),
        row("SetLimits", sane::SetLimits{5, 25000, 3000, 60000}),
        row("Acquire", sane::Acquire{5, request}),
        row("Cancel", sane::Cancel{5}),
        row("ImageAck", sane::ImageAck{true}),
        row("StatusReply", sane::StatusReply{failed}),
        row("StartReply",
            sane::StartReply{failed, {{"test:0", "Noname frontend-tester"}, {"test:1", "b (c)"}}}),
        row("OpenReply", sane::OpenReply{failed, 3}),
        row("CapabilityIdsReply", sane::CapabilityIdsReply{failed, {0x1118, 0x0101, 0x8005}}),
        row("GetCapabilityReply", sane::GetCapabilityReply{failed, capability}),
        row("GetCapabilityReply listed", sane::GetCapabilityReply{failed, listed}),
        row("GetCapabilityReply absent", sane::GetCapabilityReply{failed, std::nullopt}),
        row("PhaseEvent", sane::PhaseEvent{Phase::Ending, failed}),
        row("ProgressEvent", sane::ProgressEvent{int64_t(5) << 32, int64_t(7) << 32}),
        row("ImageEvent", sane::ImageEvent{2550, 3507, 320, PixelFormat::Mono, {0xFFFFFFFF, 0}}),
        row("EndEvent", sane::EndEvent{failed}),
    };
}

TEST(SaneMessages, EachComesBackAsItWasAndNothingElseDecodes) {
    for (const Row& r : rows()) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(r.again(r.body), std::optional<QByteArray>(r.body));
        for (qsizetype length = 0; length < r.body.size(); ++length)
            EXPECT_FALSE(r.again(r.body.left(length)).has_value()) << "cut at " << length;
        EXPECT_FALSE(r.again(r.body + '\0').has_value()) << "a byte left over";
    }
}

// A pixel format the component could not show is refused with the message, before any size
// in it is believed.
TEST(SaneMessages, AnImageOfAnUnknownPixelFormatIsRefused) {
    QByteArray body = bodyOf(sane::ImageEvent{1, 1, 4, PixelFormat::RGB888, {}});
    ASSERT_TRUE(sane::decode<sane::ImageEvent>(body).has_value());
    body[12] = char(99); // the format, after width, height and bytes per line
    EXPECT_FALSE(sane::decode<sane::ImageEvent>(body).has_value());
}

} // namespace
