#include "sane_worker/FrameAssembler.h"
#include <QColor>
#include <algorithm>
#include <cstring>

namespace {

int channelIndex(FrameParameters::Format format) {
    switch (format) {
    case FrameParameters::Red:
        return 0;
    case FrameParameters::Green:
        return 1;
    case FrameParameters::Blue:
        return 2;
    default:
        return -1;
    }
}

constexpr size_t kScratchBytes = 64 * 1024;

} // namespace

bool FrameAssembler::fail(const QString& why) {
    m_error = why;
    m_inFrame = false;
    return false;
}

void FrameAssembler::reset() {
    m_inFrame = false;
    m_pageComplete = false;
    m_buffer.reset();
    m_capacity = m_received = 0;
    m_expected = 0;
    m_scratchHandedOut = false;
    m_single = Plane();
    for (Plane& p : m_planes)
        p = Plane();
    m_error.clear();
}

bool FrameAssembler::reserve(size_t bytes) {
    if (bytes <= m_capacity)
        return true;
    uint8_t* grown = nullptr;
    if (!m_memory)
        grown = static_cast<uint8_t*>(std::realloc(m_buffer.get(), bytes));
    else if (m_buffer)
        grown = m_memory->grow(m_buffer.get(), m_capacity, bytes);
    else
        grown = m_memory->allocate(bytes);
    if (!grown)
        return false;
    (void)m_buffer.release(); // the old block is part of the grown one now
    m_buffer = Buffer(grown, BlockDeleter{m_memory, bytes});
    m_capacity = bytes;
    return true;
}

bool FrameAssembler::beginFrame(const FrameParameters& p) {
    if (m_pageComplete)
        reset();
    m_error.clear();
    const int channel = channelIndex(p.format);
    if (p.depth != 1 && p.depth != 8 && p.depth != 16)
        return fail(QStringLiteral("profondità di %1 bit").arg(p.depth));
    if (p.pixelsPerLine <= 0 || p.bytesPerLine <= 0)
        return fail(QStringLiteral("righe vuote"));
    if (p.lines == 0 || p.lines < -1)
        return fail(QStringLiteral("altezza di %1 righe").arg(p.lines));
    const int samples = p.format == FrameParameters::RGB ? 3 : 1;
    const int64_t needed = (int64_t(p.pixelsPerLine) * samples * p.depth + 7) / 8;
    if (p.bytesPerLine < needed)
        return fail(QStringLiteral("%1 byte per riga per %2 pixel")
                        .arg(p.bytesPerLine)
                        .arg(p.pixelsPerLine));
    if (p.format == FrameParameters::RGB && p.depth == 1)
        return fail(QStringLiteral("colore a 1 bit"));
    if (channel >= 0) {
        if (p.depth == 1)
            return fail(QStringLiteral("canale di colore a 1 bit"));
        const bool first = !m_planes[0].data && !m_planes[1].data && !m_planes[2].data;
        if (first) {
            m_pageParams = p;
        } else if (p.pixelsPerLine != m_pageParams.pixelsPerLine || p.depth != m_pageParams.depth) {
            return fail(QStringLiteral("canali di colore di dimensioni diverse"));
        }
        if (m_planes[channel].data)
            return fail(QStringLiteral("canale di colore ripetuto"));
    } else if (m_planes[0].data || m_planes[1].data || m_planes[2].data) {
        return fail(QStringLiteral("immagine intera tra i canali di colore"));
    }
    const int64_t expected = p.lines > 0 ? int64_t(p.bytesPerLine) * p.lines : 0;
    if (expected > kMaxFrameBytes)
        return fail(QStringLiteral("immagine troppo grande"));

    m_params = p;
    m_buffer.reset();
    m_capacity = m_received = 0;
    m_expected = expected;
    m_scratchHandedOut = false;
    const size_t initial = expected > 0 ? size_t(expected) : size_t(p.bytesPerLine) * 64;
    if (!reserve(initial))
        return fail(QStringLiteral("memoria insufficiente"));
    m_inFrame = true;
    return true;
}

std::pair<uint8_t*, size_t> FrameAssembler::writable(size_t wanted) {
    wanted = std::max<size_t>(wanted, 1);
    m_scratchHandedOut = false;
    if (!m_inFrame)
        return {nullptr, 0};
    if (m_expected > 0) {
        const size_t left = size_t(m_expected) - m_received;
        if (left > 0)
            return {m_buffer.get() + m_received, std::min(left, wanted)};
        if (!m_scratch) {
            m_scratch = std::make_unique<uint8_t[]>(kScratchBytes);
            m_scratchSize = kScratchBytes;
        }
        m_scratchHandedOut = true;
        return {m_scratch.get(), std::min(wanted, m_scratchSize)};
    }
    if (m_capacity - m_received < wanted) {
        size_t target = std::max(m_capacity * 2, m_received + wanted);
        if (int64_t(target) > kMaxFrameBytes)
            target = size_t(kMaxFrameBytes);
        if (target <= m_received || !reserve(target))
            return {nullptr, 0};
    }
    return {m_buffer.get() + m_received, std::min(wanted, m_capacity - m_received)};
}

void FrameAssembler::commit(size_t bytes) {
    if (!m_inFrame || m_scratchHandedOut) {
        m_scratchHandedOut = false;
        return;
    }
    m_received = std::min(m_received + bytes, m_capacity);
}

bool FrameAssembler::endFrame() {
    if (!m_inFrame)
        return fail(m_error.isEmpty() ? QStringLiteral("nessuna immagine in corso") : m_error);
    m_inFrame = false;
    const size_t bpl = size_t(m_params.bytesPerLine);
    int lines = m_params.lines;
    if (lines > 0) {
        if (m_received < size_t(m_expected))
            return fail(QStringLiteral("ricevuti %1 byte su %2").arg(m_received).arg(m_expected));
    } else {
        // Height unknown: as many whole lines as arrived; a partial last line is dropped.
        lines = int(m_received / bpl);
        if (lines == 0)
            return fail(QStringLiteral("nessuna riga completa ricevuta"));
    }
    Plane plane;
    plane.data = std::move(m_buffer);
    plane.lines = lines;
    plane.bytesPerLine = int(bpl);
    m_capacity = m_received = 0;
    m_expected = 0;

    const int channel = channelIndex(m_params.format);
    if (channel < 0) {
        m_single = std::move(plane);
        m_pageComplete = true;
        return true;
    }
    m_planes[channel] = std::move(plane);
    const bool all = m_planes[0].data && m_planes[1].data && m_planes[2].data;
    if (all) {
        m_pageComplete = true;
        return true;
    }
    if (m_params.lastFrame)
        return fail(QStringLiteral("canali di colore mancanti"));
    return true;
}

QImage FrameAssembler::takeImage() {
    if (!m_pageComplete)
        return QImage();
    QImage image = m_single.data ? singleFrameImage() : threePassImage();
    reset();
    return image;
}

QImage FrameAssembler::singleFrameImage() {
    const int w = m_params.pixelsPerLine;
    const int h = m_single.lines;
    const int bpl = m_single.bytesPerLine;
    QImage::Format format = QImage::Format_Invalid;
    if (m_params.format == FrameParameters::RGB)
        format = m_params.depth == 16 ? QImage::Format_RGBX64 : QImage::Format_RGB888;
    else
        format = m_params.depth == 1    ? QImage::Format_Mono
                 : m_params.depth == 16 ? QImage::Format_Grayscale16
                                        : QImage::Format_Grayscale8;

    QImage image;
    if (format != QImage::Format_RGBX64 && bpl % 4 == 0) {
        // The device's lines already have the layout and alignment QImage wants: hand the
        // buffer over instead of copying a page that may be tens of megabytes.
        struct Handed {
            uint8_t* data;
            BlockDeleter deleter;
        };
        auto* handed = new Handed{m_single.data.get(), m_single.data.get_deleter()};
        (void)m_single.data.release();
        image = QImage(
            handed->data, w, h, bpl, format,
            [](void* info) {
                auto* h = static_cast<Handed*>(info);
                h->deleter(h->data);
                delete h;
            },
            handed);
    } else {
        image = QImage(w, h, format);
        if (image.isNull())
            return image;
        const uint8_t* src = m_single.data.get();
        if (format == QImage::Format_RGBX64) {
            for (int y = 0; y < h; ++y) {
                const uint8_t* line = src + size_t(y) * bpl;
                auto* out = reinterpret_cast<QRgba64*>(image.scanLine(y));
                for (int x = 0; x < w; ++x) {
                    uint16_t rgb[3];
                    std::memcpy(rgb, line + size_t(x) * 6, 6); // samples in host byte order
                    out[x] = QRgba64::fromRgba64(rgb[0], rgb[1], rgb[2], 0xffff);
                }
            }
        } else {
            const size_t used = std::min<size_t>(size_t(bpl), size_t(image.bytesPerLine()));
            for (int y = 0; y < h; ++y)
                std::memcpy(image.scanLine(y), src + size_t(y) * bpl, used);
        }
    }
    if (format == QImage::Format_Mono)
        image.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)}); // SANE: a set bit is black
    return image;
}

QImage FrameAssembler::threePassImage() {
    const int w = m_pageParams.pixelsPerLine;
    // Channels of unknown height may differ by a line or two: keep what all three cover.
    const int h = std::min({m_planes[0].lines, m_planes[1].lines, m_planes[2].lines});
    const bool wide = m_pageParams.depth == 16;
    QImage image(w, h, wide ? QImage::Format_RGBX64 : QImage::Format_RGB888);
    if (image.isNull())
        return image;
    for (int y = 0; y < h; ++y) {
        const uint8_t* line[3];
        for (int c = 0; c < 3; ++c)
            line[c] = m_planes[c].data.get() + size_t(y) * m_planes[c].bytesPerLine;
        uint8_t* out = image.scanLine(y);
        if (wide) {
            auto* px = reinterpret_cast<QRgba64*>(out);
            for (int x = 0; x < w; ++x) {
                uint16_t s[3];
                for (int c = 0; c < 3; ++c)
                    std::memcpy(&s[c], line[c] + size_t(x) * 2, 2);
                px[x] = QRgba64::fromRgba64(s[0], s[1], s[2], 0xffff);
            }
        } else {
            for (int x = 0; x < w; ++x) {
                out[3 * x] = line[0][x];
                out[3 * x + 1] = line[1][x];
                out[3 * x + 2] = line[2][x];
            }
        }
    }
    return image;
}
