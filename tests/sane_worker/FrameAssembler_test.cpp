// The frame assembler with scripted frames, no device: the odd shapes SANE backends send.
#include "acquisition_sane/SaneTestSupport.h"
#include "sane_worker/FrameAssembler.h"
#include <cstring>
#include <gtest/gtest.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

FrameParameters frame(FrameParameters::Format format, int ppl, int bpl, int lines, int depth,
                      bool last = true) {
    return {.format = format,
            .lastFrame = last,
            .bytesPerLine = bpl,
            .pixelsPerLine = ppl,
            .lines = lines,
            .depth = depth};
}

/// Feeds `bytes` in pieces of at most `chunk`, the way sane_read hands them over.
void feed(FrameAssembler& a, const Bytes& bytes, size_t chunk) {
    size_t at = 0;
    while (at < bytes.size()) {
        auto [where, room] = a.writable(std::min(chunk, bytes.size() - at));
        ASSERT_NE(where, nullptr);
        ASSERT_GT(room, 0u);
        const size_t n = std::min(room, bytes.size() - at);
        std::memcpy(where, bytes.data() + at, n);
        a.commit(n);
        at += n;
    }
}

/// One whole frame; returns the image, or a null one when the frame did not complete.
QImage assemble(const FrameParameters& p, const Bytes& bytes, size_t chunk = 4096) {
    FrameAssembler a;
    if (!a.beginFrame(p))
        return QImage();
    feed(a, bytes, chunk);
    if (!a.endFrame() || !a.pageComplete())
        return QImage();
    return a.takeImage();
}

/// `lines` lines of `bpl` bytes where byte i of line y is f(y, i).
template <typename F> Bytes lines(int count, int bpl, F f) {
    Bytes b;
    for (int y = 0; y < count; ++y)
        for (int i = 0; i < bpl; ++i)
            b.push_back(uint8_t(f(y, i)));
    return b;
}

uint8_t sample(int y, int x) {
    return uint8_t(y * 31 + x * 7 + 3);
}

// --- Grey and colour frames of every depth, with and without padded lines ------------------

struct GreyCase {
    const char* name;
    int ppl, bpl;
    size_t chunk;
};

class GreyFrames : public ::testing::TestWithParam<GreyCase> {};

TEST_P(GreyFrames, EightBitGreyKeepsEverySampleAndDropsThePadding) {
    const GreyCase c = GetParam();
    const Bytes data = lines(5, c.bpl, [](int y, int i) { return sample(y, i); });
    const QImage image = assemble(frame(FrameParameters::Gray, c.ppl, c.bpl, 5, 8), data, c.chunk);
    ASSERT_EQ(image.format(), QImage::Format_Grayscale8);
    ASSERT_EQ(image.size(), QSize(c.ppl, 5));
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < c.ppl; ++x)
            ASSERT_EQ(image.constScanLine(y)[x], sample(y, x)) << x << "," << y;
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, GreyFrames,
    ::testing::Values(GreyCase{"Aligned", 8, 8, 4096}, GreyCase{"Odd", 7, 7, 4096},
                      GreyCase{"PaddedToFour", 6, 8, 4096}, GreyCase{"PaddedOdd", 5, 9, 4096},
                      GreyCase{"ByteByByte", 7, 9, 1}, GreyCase{"SplitLines", 6, 8, 3}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FrameAssembler, OneBitGreyIsMonoWithSetBitsBlack) {
    // 10 pixels in 2 bytes, padded to 3; line 0 = 1010000011, line 1 all clear.
    const Bytes data = {0xA0, 0xC0, 0xFF, 0x00, 0x00, 0xFF};
    const QImage image = assemble(frame(FrameParameters::Gray, 10, 3, 2, 1), data);
    ASSERT_EQ(image.format(), QImage::Format_Mono);
    ASSERT_EQ(image.size(), QSize(10, 2));
    const bool black[10] = {1, 0, 1, 0, 0, 0, 0, 0, 1, 1};
    for (int x = 0; x < 10; ++x) {
        EXPECT_EQ(image.pixel(x, 0), black[x] ? qRgb(0, 0, 0) : qRgb(255, 255, 255)) << x;
        EXPECT_EQ(image.pixel(x, 1), qRgb(255, 255, 255)) << x;
    }
}

TEST(FrameAssembler, OneBitGreyOnAlignedLinesIsTheSame) {
    const Bytes data = {0x80, 0, 0, 0, 0x01, 0, 0, 0}; // 20 pixels, 4-byte lines
    const QImage image = assemble(frame(FrameParameters::Gray, 20, 4, 2, 1), data);
    ASSERT_EQ(image.format(), QImage::Format_Mono);
    EXPECT_EQ(image.pixel(0, 0), qRgb(0, 0, 0));
    EXPECT_EQ(image.pixel(1, 0), qRgb(255, 255, 255));
    EXPECT_EQ(image.pixel(7, 1), qRgb(0, 0, 0));
    EXPECT_EQ(image.pixel(0, 1), qRgb(255, 255, 255));
}

TEST(FrameAssembler, SixteenBitGreyKeepsHostOrderSamples) {
    const uint16_t samples[2][3] = {{0x0000, 0x1234, 0xFFFF}, {0x8000, 0x00FF, 0xFF00}};
    Bytes data(2 * 8, 0xEE); // 3 samples (6 bytes) padded to 8
    for (int y = 0; y < 2; ++y)
        std::memcpy(data.data() + y * 8, samples[y], 6);
    const QImage image = assemble(frame(FrameParameters::Gray, 3, 8, 2, 16), data);
    ASSERT_EQ(image.format(), QImage::Format_Grayscale16);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x)
            EXPECT_EQ(reinterpret_cast<const uint16_t*>(image.constScanLine(y))[x], samples[y][x]);
}

TEST(FrameAssembler, EightBitRgbWithAndWithoutPadding) {
    for (int bpl : {12, 13, 16}) { // 4 pixels: exact and aligned, odd padding, aligned padding
        SCOPED_TRACE(bpl);
        const Bytes data = lines(3, bpl, [](int y, int i) { return sample(y, i); });
        const QImage image = assemble(frame(FrameParameters::RGB, 4, bpl, 3, 8), data);
        ASSERT_EQ(image.format(), QImage::Format_RGB888);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 4; ++x)
                EXPECT_EQ(image.pixel(x, y),
                          qRgb(sample(y, 3 * x), sample(y, 3 * x + 1), sample(y, 3 * x + 2)));
    }
}

TEST(FrameAssembler, SixteenBitRgbBecomesRgbx64) {
    const uint16_t px[2][3] = {{0xFFFF, 0x0000, 0x8080}, {0x0101, 0xFEFE, 0x1234}};
    Bytes data(12);
    std::memcpy(data.data(), px, 12);
    const QImage image = assemble(frame(FrameParameters::RGB, 2, 12, 1, 16), data);
    ASSERT_EQ(image.format(), QImage::Format_RGBX64);
    for (int x = 0; x < 2; ++x) {
        const QRgba64 p = reinterpret_cast<const QRgba64*>(image.constScanLine(0))[x];
        EXPECT_EQ(p.red(), px[x][0]);
        EXPECT_EQ(p.green(), px[x][1]);
        EXPECT_EQ(p.blue(), px[x][2]);
        EXPECT_EQ(p.alpha(), 0xFFFF);
    }
}

// --- Three-pass pages ------------------------------------------------------------------------

TEST(FrameAssembler, ThreePassInAnyOrderMakesOneRgbImage) {
    const int w = 5, h = 3, bpl = 6;
    auto plane = [&](int c) {
        return lines(h, bpl, [c](int y, int x) { return sample(y, x) + c * 50; });
    };
    const FrameParameters::Format order[] = {FrameParameters::Blue, FrameParameters::Red,
                                             FrameParameters::Green};
    FrameAssembler a;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(a.beginFrame(frame(order[i], w, bpl, h, 8, i == 2))) << a.error().toStdString();
        feed(a, plane(int(order[i]) - int(FrameParameters::Red)), 4);
        ASSERT_TRUE(a.endFrame());
        EXPECT_EQ(a.pageComplete(), i == 2);
    }
    const QImage image = a.takeImage();
    ASSERT_EQ(image.format(), QImage::Format_RGB888);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            EXPECT_EQ(image.pixel(x, y), qRgb(sample(y, x), sample(y, x) + 50, sample(y, x) + 100));
}

TEST(FrameAssembler, ThreePassSixteenBitAndUnknownHeightsKeepTheCommonLines) {
    FrameAssembler a;
    const int heights[] = {4, 3, 5}; // bytes received per channel, height unknown up front
    for (int c = 0; c < 3; ++c) {
        const auto format = FrameParameters::Format(FrameParameters::Red + c);
        ASSERT_TRUE(a.beginFrame(frame(format, 2, 4, -1, 16, c == 2)));
        Bytes data(size_t(heights[c]) * 4);
        for (size_t i = 0; i < data.size() / 2; ++i) {
            const uint16_t v = uint16_t(1000 * (c + 1) + i);
            std::memcpy(data.data() + 2 * i, &v, 2);
        }
        feed(a, data, 5);
        ASSERT_TRUE(a.endFrame());
    }
    const QImage image = a.takeImage();
    ASSERT_EQ(image.format(), QImage::Format_RGBX64);
    EXPECT_EQ(image.size(), QSize(2, 3));
    const QRgba64 p = reinterpret_cast<const QRgba64*>(image.constScanLine(2))[1];
    EXPECT_EQ(p.red(), 1005);
    EXPECT_EQ(p.green(), 2005);
    EXPECT_EQ(p.blue(), 3005);
}

// --- Unknown height, short and long frames --------------------------------------------------

TEST(FrameAssembler, UnknownHeightTakesTheWholeLinesReceived) {
    Bytes data = lines(7, 6, [](int y, int i) { return sample(y, i); });
    data.resize(data.size() + 4, 0x55); // a partial eighth line
    const QImage image = assemble(frame(FrameParameters::Gray, 6, 6, -1, 8), data, 10);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(6, 7));
    EXPECT_EQ(image.constScanLine(6)[5], sample(6, 5));
}

TEST(FrameAssembler, UnknownHeightGrowsPastItsFirstBuffer) {
    const int h = 1000; // more lines than the assembler reserves at first
    const Bytes data = lines(h, 3, [](int y, int i) { return sample(y, i); });
    const QImage image = assemble(frame(FrameParameters::Gray, 3, 3, -1, 8), data, 777);
    ASSERT_EQ(image.height(), h);
    EXPECT_EQ(image.constScanLine(h - 1)[2], sample(h - 1, 2));
}

TEST(FrameAssembler, FramesThatCannotCompleteGiveNoImage) {
    struct Case {
        const char* name;
        FrameParameters p;
        size_t bytes;
    };
    const Case cases[] = {
        {"short by one byte", frame(FrameParameters::Gray, 4, 4, 3, 8), 11},
        {"nothing at all", frame(FrameParameters::RGB, 4, 12, 3, 8), 0},
        {"unknown height, less than a line", frame(FrameParameters::Gray, 4, 4, -1, 8), 3},
        {"unknown height, nothing", frame(FrameParameters::Gray, 4, 4, -1, 8), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FrameAssembler a;
        ASSERT_TRUE(a.beginFrame(c.p));
        feed(a, Bytes(c.bytes, 1), 64);
        EXPECT_FALSE(a.endFrame());
        EXPECT_FALSE(a.pageComplete());
        EXPECT_FALSE(a.error().isEmpty());
        EXPECT_TRUE(a.takeImage().isNull());
    }
}

TEST(FrameAssembler, BytesBeyondTheAnnouncedFrameAreDropped) {
    Bytes data = lines(2, 4, [](int y, int i) { return sample(y, i); });
    data.resize(data.size() + 100000, 0xAB); // the device sends far more than announced
    FrameAssembler a;
    ASSERT_TRUE(a.beginFrame(frame(FrameParameters::Gray, 4, 4, 2, 8)));
    feed(a, data, 4096);
    EXPECT_EQ(a.receivedBytes(), 8);
    ASSERT_TRUE(a.endFrame());
    const QImage image = a.takeImage();
    ASSERT_EQ(image.size(), QSize(4, 2));
    EXPECT_EQ(image.constScanLine(1)[3], sample(1, 3));
}

TEST(FrameAssembler, ReportsProgressInBytes) {
    FrameAssembler a;
    ASSERT_TRUE(a.beginFrame(frame(FrameParameters::RGB, 10, 30, 4, 8)));
    EXPECT_EQ(a.expectedBytes(), 120);
    feed(a, Bytes(50, 0), 7);
    EXPECT_EQ(a.receivedBytes(), 50);
    ASSERT_TRUE(a.beginFrame(frame(FrameParameters::Gray, 10, 10, -1, 8)));
    EXPECT_EQ(a.expectedBytes(), 0);
}

// --- Parameters the assembler refuses ---------------------------------------------------------

TEST(FrameAssembler, RefusesParametersItCannotAssemble) {
    struct Case {
        const char* name;
        FrameParameters p;
    };
    const Case cases[] = {
        {"depth 4", frame(FrameParameters::Gray, 4, 4, 2, 4)},
        {"depth 0", frame(FrameParameters::Gray, 4, 4, 2, 0)},
        {"lines shorter than their pixels", frame(FrameParameters::RGB, 4, 11, 2, 8)},
        {"16-bit lines too short", frame(FrameParameters::Gray, 4, 7, 2, 16)},
        {"1-bit lines too short", frame(FrameParameters::Gray, 17, 2, 2, 1)},
        {"no pixels", frame(FrameParameters::Gray, 0, 4, 2, 8)},
        {"negative bytes per line", frame(FrameParameters::Gray, 4, -4, 2, 8)},
        {"no lines", frame(FrameParameters::Gray, 4, 4, 0, 8)},
        {"lines -2", frame(FrameParameters::Gray, 4, 4, -2, 8)},
        {"1-bit colour", frame(FrameParameters::RGB, 8, 3, 2, 1)},
        {"1-bit colour pass", frame(FrameParameters::Red, 8, 1, 2, 1)},
        {"larger than any page", frame(FrameParameters::RGB, 100000, 300000, 100000, 8)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FrameAssembler a;
        EXPECT_FALSE(a.beginFrame(c.p));
        EXPECT_FALSE(a.error().isEmpty());
        EXPECT_EQ(a.writable(16).first, nullptr);
        EXPECT_FALSE(a.endFrame());
    }
}

TEST(FrameAssembler, RefusesColourPassesThatDoNotBelongTogether) {
    {
        FrameAssembler a;
        ASSERT_TRUE(a.beginFrame(frame(FrameParameters::Red, 4, 4, 2, 8, false)));
        feed(a, Bytes(8, 1), 8);
        ASSERT_TRUE(a.endFrame());
        EXPECT_FALSE(a.beginFrame(frame(FrameParameters::Red, 4, 4, 2, 8, false))) << "repeated";
        EXPECT_FALSE(a.beginFrame(frame(FrameParameters::Green, 5, 5, 2, 8, false))) << "width";
        EXPECT_FALSE(a.beginFrame(frame(FrameParameters::Green, 4, 8, 2, 16, false))) << "depth";
        EXPECT_FALSE(a.beginFrame(frame(FrameParameters::Gray, 4, 4, 2, 8))) << "whole frame";
    }
    {
        FrameAssembler a; // the last pass arrives with a channel never sent
        ASSERT_TRUE(a.beginFrame(frame(FrameParameters::Red, 4, 4, 2, 8, false)));
        feed(a, Bytes(8, 1), 8);
        ASSERT_TRUE(a.endFrame());
        ASSERT_TRUE(a.beginFrame(frame(FrameParameters::Blue, 4, 4, 2, 8, true)));
        feed(a, Bytes(8, 1), 8);
        EXPECT_FALSE(a.endFrame());
        EXPECT_FALSE(a.pageComplete());
        EXPECT_TRUE(a.takeImage().isNull());
    }
}

TEST(FrameAssembler, StartsEachPageAfresh) {
    FrameAssembler a;
    ASSERT_TRUE(a.beginFrame(frame(FrameParameters::Gray, 2, 2, 1, 8)));
    feed(a, {10, 20}, 2);
    ASSERT_TRUE(a.endFrame());
    const QImage first = a.takeImage();
    ASSERT_TRUE(a.beginFrame(frame(FrameParameters::Gray, 3, 3, 2, 8)));
    feed(a, {1, 2, 3, 4, 5, 6}, 4);
    ASSERT_TRUE(a.endFrame());
    const QImage second = a.takeImage();
    EXPECT_EQ(first.size(), QSize(2, 1));
    EXPECT_EQ(first.constScanLine(0)[1], 20); // the first page's pixels survive the second
    EXPECT_EQ(second.size(), QSize(3, 2));
    EXPECT_EQ(second.constScanLine(1)[2], 6);
}

} // namespace
