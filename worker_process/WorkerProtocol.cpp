#include "worker_process/WorkerProtocol.h"
#include "worker_process/SaneStatus.h"
#include <QImage>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace workerproto {

namespace {

// A reader never holds more passed descriptors than this: each Image takes its own at once.
constexpr size_t kMaxQueuedFds = 4;
constexpr qsizetype kReadChunk = 64 * 1024;

} // namespace

bool isRequest(uint8_t kind) {
    return kind >= uint8_t(Kind::Start) && kind <= uint8_t(Kind::ImageAck);
}

bool isAnswer(uint8_t kind) {
    return kind >= uint8_t(Kind::Hello) && kind <= uint8_t(Kind::End);
}

const StreamKinds kFromWorker{isAnswer, [](uint8_t kind) { return kind == uint8_t(Kind::Image); },
                              kMaxBody, "immagine senza dati"};
const StreamKinds kToWorker{isRequest, [](uint8_t) { return false; }, kMaxBody, ""};

namespace {
// Each pixel code on the wire beside the QImage format it stands for: both directions read
// this one table.
constexpr std::pair<PixelFormat, QImage::Format> kPixelFormats[] = {
    {PixelFormat::Mono, QImage::Format_Mono},
    {PixelFormat::Gray8, QImage::Format_Grayscale8},
    {PixelFormat::Gray16, QImage::Format_Grayscale16},
    {PixelFormat::RGB888, QImage::Format_RGB888},
    {PixelFormat::RGBX64, QImage::Format_RGBX64},
};
} // namespace

std::optional<PixelFormat> pixelFormat(int qimageFormat) {
    for (const auto& [code, format] : kPixelFormats)
        if (format == qimageFormat)
            return code;
    return std::nullopt;
}

std::optional<int> qimageFormat(uint8_t code) {
    for (const auto& [wire, format] : kPixelFormats)
        if (uint8_t(wire) == code)
            return format;
    return std::nullopt;
}

// --- Encoder ---------------------------------------------------------------------------------

Encoder::Encoder(uint8_t kind, uint32_t id) {
    raw<uint32_t>(0); // the body length, filled in by message()
    raw<uint8_t>(kind);
    raw<uint32_t>(id);
}

template <typename T> Encoder& Encoder::raw(T v) {
    m_data.append(reinterpret_cast<const char*>(&v), sizeof v);
    return *this;
}

Encoder& Encoder::text(const QString& v) {
    const QByteArray utf8 = v.toUtf8();
    raw<uint32_t>(uint32_t(utf8.size()));
    m_data.append(utf8);
    return *this;
}

Encoder& Encoder::status(const DeviceStatus& v) {
    return i32(v.code).text(v.text);
}

Encoder& Encoder::capability(const Capability& v) {
    u16(v.id).i32(v.container).f64(v.current).f64(v.defaultValue);
    f64(v.min).f64(v.max).f64(v.step);
    u32(uint32_t(v.items.size()));
    for (double item : v.items)
        f64(item);
    return text(v.text).u8(v.readOnly ? 1 : 0);
}

Encoder& Encoder::append(const QByteArray& fields) {
    m_data.append(fields);
    return *this;
}

QByteArray Encoder::body() const {
    return m_data.mid(kHeaderBytes);
}

QByteArray Encoder::message() const {
    QByteArray out = m_data;
    const uint32_t body = uint32_t(out.size() - kHeaderBytes);
    std::memcpy(out.data(), &body, sizeof body);
    return out;
}

// --- Decoder ---------------------------------------------------------------------------------

template <typename T> T Decoder::raw() {
    T v{};
    if (!m_ok || m_data.size() - m_at < qsizetype(sizeof v)) {
        m_ok = false;
        return T{};
    }
    std::memcpy(&v, m_data.constData() + m_at, sizeof v);
    m_at += qsizetype(sizeof v);
    return v;
}

// A number goes as its bytes in the machine's order; each line names the Encoder and the
// Decoder method of one type, so that the two directions cannot disagree.
#define WORKERPROTO_NUMBER(Type, method)                                                           \
    Encoder& Encoder::method(Type v) {                                                             \
        return raw(v);                                                                             \
    }                                                                                              \
    Type Decoder::method() {                                                                       \
        return raw<Type>();                                                                        \
    }
WORKERPROTO_NUMBER(uint8_t, u8)
WORKERPROTO_NUMBER(uint16_t, u16)
WORKERPROTO_NUMBER(uint32_t, u32)
WORKERPROTO_NUMBER(int32_t, i32)
WORKERPROTO_NUMBER(int64_t, i64)
WORKERPROTO_NUMBER(double, f64)
#undef WORKERPROTO_NUMBER

uint32_t Decoder::count(uint32_t elementBytes) {
    const uint32_t n = u32();
    if (m_ok && uint64_t(n) * elementBytes > uint64_t(m_data.size() - m_at)) {
        m_ok = false;
        return 0;
    }
    return n;
}

QString Decoder::text() {
    const uint32_t n = count(1);
    if (!m_ok)
        return QString();
    const QString v = QString::fromUtf8(m_data.constData() + m_at, qsizetype(n));
    m_at += qsizetype(n);
    return v;
}

DeviceStatus Decoder::status() {
    DeviceStatus v;
    v.code = i32();
    // The worker words every status through sanestatus::status: a code outside it is a
    // corrupt message, never a status to show.
    if (!sanestatus::isKnown(v.code))
        m_ok = false;
    v.text = text();
    return v;
}

Capability Decoder::capability() {
    Capability v;
    v.id = u16();
    const int32_t container = i32();
    if (container < twain::OneValue || container > twain::Enumeration)
        m_ok = false;
    v.container = twain::Container(container);
    v.current = f64();
    v.defaultValue = f64();
    v.min = f64();
    v.max = f64();
    v.step = f64();
    const uint32_t n = count(sizeof(double));
    v.items.reserve(n);
    for (uint32_t i = 0; i < n; ++i)
        v.items.append(f64());
    v.text = text();
    v.readOnly = u8() != 0;
    return v;
}

// --- Sending ---------------------------------------------------------------------------------

bool sendMessage(int socket, const QByteArray& message, int fd, int stallMs) {
    const char* at = message.constData();
    size_t left = size_t(message.size());
    bool fdSent = fd < 0;
    while (left > 0) {
        iovec iov{const_cast<char*>(at), left};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        if (!fdSent) {
            // The descriptor rides on the first byte of the message.
            std::memset(control, 0, sizeof control);
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            cmsghdr* c = CMSG_FIRSTHDR(&msg);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
        }
        const ssize_t n = ::sendmsg(socket, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return false;
            // The other end is not reading: wait for room, as long as we may.
            pollfd p{socket, POLLOUT, 0};
            int ready;
            do
                ready = ::poll(&p, 1, stallMs);
            while (ready < 0 && errno == EINTR);
            if (ready <= 0) {
                if (ready == 0)
                    errno = ETIMEDOUT;
                return false;
            }
            continue;
        }
        fdSent = true;
        at += n;
        left -= size_t(n);
    }
    return true;
}

QByteArray helloMessage(uint8_t helloKind, uint32_t magic, uint32_t version) {
    return Encoder(helloKind, 0).u32(magic).u32(version).i32(int32_t(::getpid())).message();
}

// --- Receiving -------------------------------------------------------------------------------

MessageStream::~MessageStream() {
    for (int fd : m_fds)
        ::close(fd);
}

MessageStream::Read MessageStream::receive(int socket, bool dontWait) {
    // Drop what has been consumed before growing the buffer.
    if (m_start > 0) {
        m_buffer.remove(0, m_start);
        m_start = 0;
    }
    const qsizetype had = m_buffer.size();
    m_buffer.resize(had + kReadChunk);
    iovec iov{m_buffer.data() + had, size_t(kReadChunk)};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxQueuedFds)];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do
        n = ::recvmsg(socket, &msg, MSG_CMSG_CLOEXEC | (dontWait ? MSG_DONTWAIT : 0));
    while (n < 0 && errno == EINTR);
    m_buffer.resize(had + std::max<ssize_t>(n, 0));
    if (n < 0)
        return Read::Error;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            m_fds.push_back(fd);
        }
    }
    // Descriptors that did not fit were closed by the kernel: the stream is out of step.
    if (msg.msg_flags & MSG_CTRUNC)
        m_broken = true;
    if (n == 0)
        return Read::End;
    return Read::Data;
}

bool MessageStream::nextMessage(uint8_t& outKind, uint32_t& outId, QByteArray& outBody, int& outFd,
                                QString& error) {
    auto fail = [&](const QString& why) {
        m_broken = true;
        error = why;
        return false;
    };
    if (m_broken)
        return fail(error.isEmpty() ? QStringLiteral("descrittori perduti") : error);
    if (m_fds.size() > kMaxQueuedFds)
        return fail(QStringLiteral("descrittori inattesi"));
    if (pending() < qsizetype(kHeaderBytes))
        return false;
    const char* header = m_buffer.constData() + m_start;
    uint32_t length;
    uint8_t kind;
    uint32_t id;
    std::memcpy(&length, header, 4);
    std::memcpy(&kind, header + 4, 1);
    std::memcpy(&id, header + 5, 4);
    if (!m_kinds.valid(kind))
        return fail(QStringLiteral("messaggio di tipo sconosciuto %1").arg(kind));
    if (length > m_kinds.maxBody)
        return fail(QStringLiteral("messaggio di %1 byte").arg(length));
    if (pending() < qsizetype(kHeaderBytes + length))
        return false;
    outKind = kind;
    outId = id;
    outBody = m_buffer.mid(m_start + kHeaderBytes, length);
    outFd = -1;
    m_start += kHeaderBytes + length;
    if (m_kinds.carriesFile(kind)) {
        if (m_fds.empty())
            return fail(QString::fromUtf8(m_kinds.withoutFile));
        outFd = m_fds.front();
        m_fds.pop_front();
    }
    return true;
}

} // namespace workerproto
