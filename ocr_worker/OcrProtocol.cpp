#include "ocr_worker/OcrProtocol.h"
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace ocrproto {

namespace {

// The wire's fields: fixed-size values as they lie in memory, texts with their length.
class Writer {
public:
    Writer(Kind kind, uint32_t id) {
        put(uint32_t(0));
        put(uint8_t(kind));
        put(id);
    }
    template <typename T> Writer& put(T v) {
        m_bytes.append(reinterpret_cast<const char*>(&v), sizeof v);
        return *this;
    }
    Writer& put(const QString& v) {
        const QByteArray utf8 = v.toUtf8();
        put(uint32_t(utf8.size()));
        m_bytes.append(utf8);
        return *this;
    }
    QByteArray done() {
        const uint32_t body = uint32_t(m_bytes.size() - kHeaderBytes);
        std::memcpy(m_bytes.data(), &body, sizeof body);
        return m_bytes;
    }

private:
    QByteArray m_bytes;
};

// Reads fields in order; one cut short leaves ok() false for good and zeros from then on.
class Reader {
public:
    explicit Reader(const QByteArray& body) : m_body(body) {}
    template <typename T> T get() {
        T v{};
        if (m_ok && m_body.size() - m_at >= qsizetype(sizeof v)) {
            std::memcpy(&v, m_body.constData() + m_at, sizeof v);
            m_at += qsizetype(sizeof v);
        } else {
            m_ok = false;
        }
        return v;
    }
    QString text() {
        const uint32_t n = get<uint32_t>();
        if (!m_ok || n > uint64_t(m_body.size() - m_at)) {
            m_ok = false;
            return QString();
        }
        const QString v = QString::fromUtf8(m_body.constData() + m_at, qsizetype(n));
        m_at += qsizetype(n);
        return v;
    }
    qsizetype left() const { return m_body.size() - m_at; }
    bool whole() const { return m_ok && m_at == m_body.size(); }

private:
    const QByteArray& m_body;
    qsizetype m_at = 0;
    bool m_ok = true;
};

// The smallest encoded word: the fixed fields and an empty text.
constexpr qsizetype kWordBytes = 4 * 4 + 6 * 8 + 4 + 8 + 4;

bool readFully(int socket, char* at, size_t bytes, msghdr* withControl) {
    while (bytes > 0) {
        iovec iov{at, bytes};
        msghdr plain{};
        msghdr& msg = withControl ? *withControl : plain;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        const ssize_t n = ::recvmsg(socket, &msg, MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        // Only the first read may bring the descriptor; later ones bring none.
        withControl = nullptr;
        at += n;
        bytes -= size_t(n);
    }
    return true;
}

} // namespace

QByteArray helloMessage(int32_t pid) {
    return Writer(Kind::Hello, 0).put(kMagic).put(kVersion).put(pid).done();
}

QByteArray recogniseMessage(uint32_t id, const PageRequest& page) {
    return Writer(Kind::Recognise, id)
        .put(page.width)
        .put(page.height)
        .put(page.bytesPerLine)
        .put(page.format)
        .put(page.dpi)
        .put(page.languages)
        .put(page.timeLimitMs)
        .done();
}

QByteArray wordsMessage(uint32_t id, const QString& error, const OcrWords& words) {
    Writer w(Kind::Words, id);
    w.put(error).put(uint32_t(words.size()));
    for (const OcrWord& word : words) {
        w.put(int32_t(word.box.left())).put(int32_t(word.box.top()));
        w.put(int32_t(word.box.width())).put(int32_t(word.box.height()));
        w.put(word.baseStart.x())
            .put(word.baseStart.y())
            .put(word.baseEnd.x())
            .put(word.baseEnd.y());
        w.put(word.angle).put(word.lineHeight).put(int32_t(word.line));
        w.put(double(word.confidence)).put(word.text);
    }
    return w.done();
}

std::optional<int32_t> decodeHello(const QByteArray& body) {
    Reader r(body);
    const uint32_t magic = r.get<uint32_t>();
    const uint32_t version = r.get<uint32_t>();
    const int32_t pid = r.get<int32_t>();
    if (!r.whole() || magic != kMagic || version != kVersion)
        return std::nullopt;
    return pid;
}

std::optional<PageRequest> decodeRecognise(const QByteArray& body) {
    Reader r(body);
    PageRequest p;
    p.width = r.get<int32_t>();
    p.height = r.get<int32_t>();
    p.bytesPerLine = r.get<int32_t>();
    p.format = r.get<uint8_t>();
    p.dpi = r.get<int32_t>();
    p.languages = r.text();
    p.timeLimitMs = r.get<int32_t>();
    if (!r.whole())
        return std::nullopt;
    return p;
}

bool decodeWords(const QByteArray& body, QString& error, OcrWords& words) {
    Reader r(body);
    error = r.text();
    const uint32_t n = r.get<uint32_t>();
    // A count beyond what the body can hold is garbage: nothing is reserved for it.
    if (n > uint64_t(r.left()) / kWordBytes)
        return false;
    words.clear();
    words.reserve(n);
    for (uint32_t i = 0; i < n; ++i) {
        OcrWord w;
        const int32_t left = r.get<int32_t>(), top = r.get<int32_t>();
        const int32_t width = r.get<int32_t>(), height = r.get<int32_t>();
        w.box = QRect(left, top, width, height);
        const double x1 = r.get<double>(), y1 = r.get<double>();
        const double x2 = r.get<double>(), y2 = r.get<double>();
        w.baseStart = QPointF(x1, y1);
        w.baseEnd = QPointF(x2, y2);
        w.angle = r.get<double>();
        w.lineHeight = r.get<double>();
        w.line = r.get<int32_t>();
        w.confidence = float(r.get<double>());
        w.text = r.text();
        words.push_back(std::move(w));
    }
    if (!r.whole()) {
        words.clear();
        return false;
    }
    return true;
}

bool sendMessage(int socket, const QByteArray& message, int fd) {
    const char* at = message.constData();
    size_t left = size_t(message.size());
    while (left > 0) {
        iovec iov{const_cast<char*>(at), left};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
        if (fd >= 0 && at == message.constData()) {
            // The descriptor rides on the first byte of the message.
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            cmsghdr* c = CMSG_FIRSTHDR(&msg);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
        }
        const ssize_t n = ::sendmsg(socket, &msg, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        at += n;
        left -= size_t(n);
    }
    return true;
}

bool receiveMessage(int socket, Message& out, QString& error) {
    error.clear();
    char header[kHeaderBytes];
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)] = {};
    msghdr msg{};
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const bool headerRead = readFully(socket, header, sizeof header, &msg);
    int fd = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        for (size_t i = 0; i < (c->cmsg_len - CMSG_LEN(0)) / sizeof(int); ++i) {
            int passed;
            std::memcpy(&passed, CMSG_DATA(c) + i * sizeof(int), sizeof passed);
            if (fd < 0)
                fd = passed;
            else
                ::close(passed); // one file a message: more is garbage, dropped
        }
    }
    auto fail = [&](const QString& why) {
        if (fd >= 0)
            ::close(fd);
        error = why;
        return false;
    };
    if (!headerRead)
        return fail(QString());
    uint32_t length, id;
    uint8_t kind;
    std::memcpy(&length, header, 4);
    std::memcpy(&kind, header + 4, 1);
    std::memcpy(&id, header + 5, 4);
    if (kind != uint8_t(Kind::Recognise) && kind != uint8_t(Kind::Hello) &&
        kind != uint8_t(Kind::Words))
        return fail(QStringLiteral("messaggio di tipo sconosciuto %1").arg(kind));
    if (length > kMaxBody)
        return fail(QStringLiteral("messaggio di %1 byte").arg(length));
    if ((kind == uint8_t(Kind::Recognise)) != (fd >= 0))
        return fail(QStringLiteral("pagina senza dati"));
    QByteArray body(qsizetype(length), Qt::Uninitialized);
    if (!readFully(socket, body.data(), length, nullptr))
        return fail(QStringLiteral("messaggio troncato"));
    out.kind = Kind(kind);
    out.id = id;
    out.body = std::move(body);
    out.fd = fd;
    return true;
}

} // namespace ocrproto
