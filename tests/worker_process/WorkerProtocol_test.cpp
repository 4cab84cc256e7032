// The worker protocol's framing and fields, without a worker: whatever bytes arrive, the
// reading side either gets whole messages or says the stream is garbage; it never reads past a
// message, never believes a count the bytes cannot hold, and never crashes.
#include "worker_process/WorkerProtocol.h"
#include <QImage>
#include <cerrno>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace workerproto;

namespace {

Capability sampleCapability() {
    Capability c = Capability::enumeration(twain::ICAP_PIXELTYPE, 2, 1, {0, 1, 2});
    c.text = QStringLiteral("Colore è");
    return c;
}

/// A Reply as the worker sends one for GetCapability.
QByteArray capabilityReply(uint32_t id) {
    return Encoder(Kind::Reply, id)
        .status({0, QString()})
        .u8(1)
        .capability(sampleCapability())
        .message();
}

/// A socket pair: bytes written to `in` come out of `out`.
class Wire : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, m_ends), 0); }
    void TearDown() override {
        ::close(m_ends[0]);
        ::close(m_ends[1]);
    }
    void write(const QByteArray& bytes) {
        ASSERT_EQ(::write(m_ends[0], bytes.constData(), size_t(bytes.size())), bytes.size());
    }
    /// Everything the stream makes of what was written: whole messages, and the error if any.
    QList<Message> read(MessageStream& stream, QString& error) {
        QList<Message> got;
        EXPECT_EQ(stream.receive(m_ends[1], true), MessageStream::Read::Data);
        Message m;
        while (stream.next(m, error))
            got << m;
        return got;
    }
    int m_ends[2] = {-1, -1};
};

TEST_F(Wire, AWholeMessageComesOutWithItsFields) {
    MessageStream stream(kFromWorker);
    write(capabilityReply(7));
    QString error;
    const QList<Message> got = read(stream, error);
    ASSERT_EQ(got.size(), 1);
    EXPECT_TRUE(error.isEmpty());
    EXPECT_EQ(got[0].kind, Kind::Reply);
    EXPECT_EQ(got[0].id, 7u);
    Decoder d(got[0].body);
    EXPECT_EQ(d.status().code, 0);
    EXPECT_EQ(d.u8(), 1);
    const Capability c = d.capability();
    EXPECT_TRUE(d.finished());
    EXPECT_EQ(c.items, sampleCapability().items);
    EXPECT_EQ(c.text, sampleCapability().text);
    EXPECT_EQ(c.container, twain::Enumeration);
}

// A message cut anywhere is not a message yet: nothing comes out, and the rest completes it.
TEST_F(Wire, AMessageCutShortWaitsForTheRest) {
    const QByteArray whole = capabilityReply(3) + capabilityReply(4);
    for (qsizetype cut = 1; cut < whole.size(); ++cut) {
        SCOPED_TRACE(cut);
        MessageStream stream(kFromWorker);
        QString error;
        write(whole.left(cut));
        const qsizetype first = capabilityReply(3).size();
        EXPECT_EQ(read(stream, error).size(), cut >= first ? 1 : 0);
        write(whole.mid(cut));
        EXPECT_EQ(read(stream, error).size(), cut >= first ? 1 : 2);
        EXPECT_TRUE(error.isEmpty()) << error.toStdString();
    }
}

// Every body cut short, or with bytes left over, fails its decoding.
TEST(Decoder, ABodyCutShortOrTooLongIsRefused) {
    const QByteArray message = capabilityReply(1);
    const QByteArray body = message.mid(kHeaderBytes);
    for (qsizetype length = 0; length <= body.size() + 1; ++length) {
        SCOPED_TRACE(length);
        const QByteArray cut = length <= body.size() ? body.left(length) : body + '\0';
        Decoder d(cut);
        d.status();
        d.u8();
        d.capability();
        EXPECT_EQ(d.finished(), length == body.size());
    }
}

// Counts and lengths the bytes cannot hold are garbage at once, never an allocation.
TEST(Decoder, CountsBeyondTheBytesAreRefused) {
    struct Case {
        const char* name;
        QByteArray body;
        std::function<void(Decoder&)> read;
    };
    const Case cases[] = {
        {"text", Encoder(Kind::Reply, 1).u32(0xFFFFFFF0u).message().mid(kHeaderBytes),
         [](Decoder& d) { d.text(); }},
        {"items", Encoder(Kind::Reply, 1).u32(0x7FFFFFFFu).u32(0).message().mid(kHeaderBytes),
         [](Decoder& d) { d.count(sizeof(double)); }},
        {"container", Encoder(Kind::Reply, 1).u16(1).i32(9).message().mid(kHeaderBytes),
         [](Decoder& d) { d.capability(); }},
        // A status no SANE backend has (left by a broken network reply) is not shown.
        {"status", Encoder(Kind::Reply, 1).i32(-909640790).text({}).message().mid(kHeaderBytes),
         [](Decoder& d) { d.status(); }},
        {"status between the layer's codes",
         Encoder(Kind::Reply, 1).i32(104).text({}).message().mid(kHeaderBytes),
         [](Decoder& d) { d.status(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Decoder d(c.body);
        c.read(d);
        EXPECT_FALSE(d.ok());
        EXPECT_EQ(d.u32(), 0u); // and stays refused
    }
}

// What may never come from the worker: each ends the stream with a reason.
TEST_F(Wire, GarbageEndsTheStream) {
    QByteArray unknownKind = capabilityReply(1);
    unknownKind[4] = char(200);
    QByteArray huge = capabilityReply(1);
    const uint32_t length = kMaxBody + 1;
    std::memcpy(huge.data(), &length, sizeof length);
    const QByteArray request = Encoder(Kind::Open, 1).text(QStringLiteral("test:0")).message();
    const QByteArray imageWithoutMemory =
        Encoder(Kind::Image, 1).i32(1).i32(1).i32(4).u8(3).u32(0).message();
    struct Case {
        const char* name;
        QByteArray bytes;
        const char* says;
    };
    for (const Case& c : {Case{"unknown kind", unknownKind, "sconosciuto"},
                          Case{"longer than any message", huge, "byte"},
                          Case{"a request from the worker", request, "sconosciuto"},
                          Case{"an image without its memory", imageWithoutMemory, "senza dati"}}) {
        SCOPED_TRACE(c.name);
        MessageStream stream(kFromWorker);
        write(c.bytes + capabilityReply(2));
        QString error;
        EXPECT_TRUE(read(stream, error).isEmpty());
        EXPECT_TRUE(error.contains(QLatin1String(c.says))) << error.toStdString();
        Message m;
        EXPECT_FALSE(stream.next(m, error)); // nothing more comes out
    }
}

// The component writes to a worker that may be gone: that must be an error to handle, never
// SIGPIPE, whose default action would end the window or the host with it.
TEST(Sending, ToAPeerThatIsGoneIsAnErrorNotASignal) {
    struct sigaction current {};
    ::sigaction(SIGPIPE, nullptr, &current);
    ASSERT_EQ(current.sa_handler, SIG_DFL); // so that a SIGPIPE would end this test
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    ::close(ends[1]);
    errno = 0;
    EXPECT_FALSE(sendMessage(ends[0], capabilityReply(1)));
    EXPECT_EQ(errno, EPIPE);
    ::close(ends[0]);
}

TEST(PixelFormats, EveryCarriedFormatGoesBothWays) {
    for (QImage::Format f :
         {QImage::Format_Mono, QImage::Format_Grayscale8, QImage::Format_Grayscale16,
          QImage::Format_RGB888, QImage::Format_RGBX64}) {
        const std::optional<PixelFormat> code = pixelFormat(f);
        ASSERT_TRUE(code.has_value()) << f;
        EXPECT_EQ(qimageFormat(uint8_t(*code)), std::optional<int>(f));
    }
    EXPECT_FALSE(pixelFormat(QImage::Format_ARGB32).has_value());
    EXPECT_FALSE(qimageFormat(0).has_value());
    EXPECT_FALSE(qimageFormat(99).has_value());
}

} // namespace
