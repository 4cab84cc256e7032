// The scan loop against a scripted handle, no SANE backend: the devices that are hard to come
// by (an empty feeder found late, a silent one, frames of the wrong size, a cancel mid-page).
#include "acquisition_sane/SaneTestSupport.h"
#include "sane_worker/SaneScanLoop.h"
#include "sane_worker/ScriptedSaneHandle.h"
#include <QThread>
#include <gtest/gtest.h>

namespace {

using Frame = ScriptedSaneHandle::Frame;
using Read = ScriptedSaneHandle::Read;
using Reads = std::vector<Read>;

constexpr int kWidth = 10, kLines = 6; // a grey page of 10 x 6 pixels, 8-bit

/// `bytes` of the pattern in reads of at most `chunk`.
Reads data(int bytes, int chunk = 7) {
    Reads reads;
    for (int at = 0; at < bytes; at += chunk)
        reads.push_back(Read{SANE_STATUS_GOOD, std::min(chunk, bytes - at)});
    return reads;
}

Reads operator+(Reads a, const Reads& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Reads silence(int ms, int times) {
    return {Read{SANE_STATUS_GOOD, 0, ms, false, times}};
}

int bytesPerLine(int depth) {
    return depth == 1 ? (kWidth + 7) / 8 : kWidth * (depth / 8);
}

/// A grey frame announcing `lines` (-1: unknown) at `depth`; its reads carry `sentLines`.
Frame grey(int lines = kLines, int depth = 8, int sentLines = kLines) {
    Frame f;
    f.parameters.format = SANE_FRAME_GRAY;
    f.parameters.last_frame = SANE_TRUE;
    f.parameters.pixels_per_line = kWidth;
    f.parameters.bytes_per_line = bytesPerLine(depth);
    f.parameters.lines = lines;
    f.parameters.depth = depth;
    f.reads = data(sentLines * bytesPerLine(depth));
    return f;
}

Frame withReads(Frame f, Reads reads) {
    f.reads = std::move(reads);
    return f;
}

Frame startFails(SANE_Status status) {
    Frame f = grey();
    f.start = status;
    return f;
}

const int kPage = kLines * bytesPerLine(8);

struct LoopCase {
    const char* name;
    std::vector<Frame> script;
    bool feeder;
    int32_t status;                                 // the batch's end
    int images;                                     // delivered before it
    QImage::Format format = QImage::Format_Invalid; // of each image
    int lines = 0;                                  // of each image
    const char* text = nullptr;                     // of the status, when it matters
    bool cutShort = false;                          // the batch ended in the middle of a frame
};

const LoopCase kCases[] = {
    {"OneGreyPage", {grey()}, false, 0, 1, QImage::Format_Grayscale8, kLines},
    {"FeederBatchEndsWhenTheFeederIsEmpty",
     {grey(), grey()},
     true,
     0,
     2,
     QImage::Format_Grayscale8,
     kLines},
    {"EmptyFeederAtTheStart", {startFails(SANE_STATUS_NO_DOCS)}, true, SANE_STATUS_NO_DOCS, 0},
    // The frame was started, so the backend is cancelled in it.
    {"EmptyFeederFoundAtTheFirstRead",
     {withReads(grey(), {Read{SANE_STATUS_NO_DOCS}})},
     true,
     SANE_STATUS_NO_DOCS,
     0,
     QImage::Format_Invalid,
     0,
     nullptr,
     true},
    {"EmptyFeederAtTheFirstReadOfTheSecondSheet",
     {grey(), withReads(grey(), {Read{SANE_STATUS_NO_DOCS}})},
     true,
     0,
     1,
     QImage::Format_Grayscale8,
     kLines,
     nullptr,
     true},
    {"JamOnTheSecondSheetKeepsTheFirst",
     {grey(), withReads(grey(), data(kPage / 2) + Reads{Read{SANE_STATUS_JAMMED}})},
     true,
     SANE_STATUS_JAMMED,
     1,
     QImage::Format_Grayscale8,
     kLines,
     nullptr,
     true},
    {"SilentDeviceEndsAtTheStallBound",
     {withReads(grey(), data(kPage / 2) + silence(1000, 30))},
     false,
     SANE_STATUS_IO_ERROR,
     0,
     QImage::Format_Invalid,
     0,
     "Errore di ingresso/uscita: il dispositivo non risponde",
     true},
    {"SlowDeviceUnderTheStallBoundIsWaitedFor",
     {withReads(grey(), data(kPage / 2) + silence(1000, 20) + data(kPage - kPage / 2))},
     false,
     0,
     1,
     QImage::Format_Grayscale8,
     kLines},
    {"FrameShorterThanAnnounced", {grey(kLines, 8, kLines - 2)}, false, SANE_STATUS_EOF, 0},
    {"FrameLongerThanAnnouncedIsCut",
     {grey(kLines, 8, kLines + 3)},
     false,
     0,
     1,
     QImage::Format_Grayscale8,
     kLines},
    {"UnknownHeightTakesTheLinesSent", {grey(-1, 8, 4)}, false, 0, 1, QImage::Format_Grayscale8, 4},
    {"OneBitPage", {grey(kLines, 1)}, false, 0, 1, QImage::Format_Mono, kLines},
    {"SixteenBitPage", {grey(kLines, 16)}, false, 0, 1, QImage::Format_Grayscale16, kLines},
    {"CancelInTheMiddleOfAPage",
     {withReads(grey(), data(kPage / 2) + Reads{Read{SANE_STATUS_GOOD, 1, 0, true}} + data(kPage))},
     true,
     0,
     0,
     QImage::Format_Invalid,
     0,
     nullptr,
     true},
};

void PrintTo(const LoopCase& c, std::ostream* os) {
    *os << c.name;
}

class ScanLoopCase : public ::testing::TestWithParam<LoopCase> {};

TEST_P(ScanLoopCase, EndsAsTheDeviceDid) {
    const LoopCase& c = GetParam();
    auto handle = std::make_shared<ScriptedSaneHandle>(c.script);
    SaneScanLoop loop(handle);
    loop.setClock([h = handle.get()] { return h->now(); }); // the product's 25 s stall bound
    handle->onCancel = [&loop] { loop.cancel(); };
    RecordingSink sink;
    SaneScanLoop::Batch batch;
    batch.feeder = c.feeder;
    batch.maxImages = 99;

    const DeviceStatus st = loop.run(batch, sink);

    EXPECT_EQ(st.code, c.status) << st.text.toStdString();
    if (c.text) {
        EXPECT_EQ(st.text, c.text);
    }
    EXPECT_EQ(loop.cutAFrameShort(), c.cutShort);
    EXPECT_GE(handle->cancels(), 1); // every batch ends with a cancel
    EXPECT_FALSE(loop.stuck());
    ASSERT_EQ(sink.images.size(), c.images);
    for (const QImage& image : sink.images) {
        ASSERT_EQ(image.format(), c.format);
        ASSERT_EQ(image.width(), kWidth);
        ASSERT_EQ(image.height(), c.lines);
        const int bpl = bytesPerLine(image.depth());
        for (int y = 0; y < image.height(); ++y)
            for (int i = 0; i < bpl; ++i)
                ASSERT_EQ(image.constScanLine(y)[i],
                          ScriptedSaneHandle::pattern(size_t(y * bpl + i)))
                    << "line " << y << " byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Scripts, ScanLoopCase, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<LoopCase>& info) {
                             return std::string(info.param.name);
                         });

// A backend that never returns from its cancel: the batch ends at the cancel bound, the loop
// says the device is stuck, and the handle stays open until the backend lets go, then closes
// even though the loop is gone.
TEST(ScanLoopStuckCancel, EndsAtItsBoundAndClosesTheHandleWhenTheBackendLetsGo) {
    auto handle = std::make_shared<ScriptedSaneHandle>(std::vector<Frame>{grey()});
    std::weak_ptr<ScriptedSaneHandle> watch = handle;
    handle->holdCancel(true);
    auto loop = std::make_unique<SaneScanLoop>(handle);
    loop->setCancelWaitMs(50, 50);
    RecordingSink sink;
    SaneScanLoop::Batch batch;
    batch.maxImages = 99;
    ScriptedSaneHandle* backend = handle.get();
    handle.reset();

    const DeviceStatus st = loop->run(batch, sink);

    EXPECT_EQ(st.text, "Errore di ingresso/uscita: il dispositivo non risponde");
    EXPECT_EQ(sink.images.size(), 1); // the page before the end stands
    EXPECT_TRUE(loop->stuck());
    loop.reset();
    EXPECT_FALSE(watch.expired()) << "closed while the backend was still in its cancel";
    backend->holdCancel(false);
    for (int i = 0; i < 1000 && !watch.expired(); ++i)
        QThread::msleep(10);
    EXPECT_TRUE(watch.expired());
}

} // namespace
