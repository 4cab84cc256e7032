// Frame memory that another process can map: blocks grow keeping their bytes, a finished page
// is handed over as its own file (no copy), sealed so that no reader can lose its pages, and
// the file goes with the image.
#include "sane_worker/FrameAssembler.h"
#include "sane_worker/SharedFrameMemory.h"
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kGrown = 1 << 20;

TEST(SharedFrameMemory, AGrownBlockKeepsItsBytesAndGoesOutSealed) {
    SharedFrameMemory memory;
    uint8_t* block = memory.allocate(4096);
    ASSERT_NE(block, nullptr);
    std::memset(block, 0x5a, 4096);
    block = memory.grow(block, 4096, kGrown);
    ASSERT_NE(block, nullptr);
    block[kGrown - 1] = 7;
    EXPECT_EQ(memory.sealedFile(block + 1, 16), -1);     // not a block of ours
    EXPECT_EQ(memory.sealedFile(block, kGrown + 1), -1); // more than it holds
    const int fd = memory.sealedFile(block, kGrown);
    ASSERT_GE(fd, 0);
    EXPECT_NE(::ftruncate(fd, 100), 0); // a reader's mapping can no longer lose its pages
    void* seen = ::mmap(nullptr, kGrown, PROT_READ, MAP_PRIVATE, fd, 0);
    ASSERT_NE(seen, MAP_FAILED);
    EXPECT_EQ(static_cast<uint8_t*>(seen)[4095], 0x5a);
    EXPECT_EQ(static_cast<uint8_t*>(seen)[kGrown - 1], 7);
    ::munmap(seen, kGrown);
    memory.release(block, kGrown);
    EXPECT_EQ(memory.sealedFile(block, 1), -1);
}

// A frame of unknown height grows as its lines come; the page is the memory file itself, and
// the file is released when the image goes.
TEST(SharedFrameMemory, APageIsAssembledInItsFileAndReleasedWithItsImage) {
    SharedFrameMemory memory;
    FrameAssembler frames(&memory);
    FrameParameters p;
    p.format = FrameParameters::Gray;
    p.pixelsPerLine = 1000;
    p.bytesPerLine = 1000;
    p.lines = -1;
    p.depth = 8;
    ASSERT_TRUE(frames.beginFrame(p));
    const std::vector<uint8_t> line(1000, 0x80);
    for (int y = 0; y < 500; ++y) { // several times the first block
        auto [where, room] = frames.writable(line.size());
        ASSERT_GE(room, line.size());
        std::memcpy(where, line.data(), line.size());
        frames.commit(line.size());
    }
    ASSERT_TRUE(frames.endFrame());
    const uint8_t* bits = nullptr;
    {
        const QImage page = frames.takeImage();
        ASSERT_EQ(page.size(), QSize(1000, 500));
        EXPECT_EQ(page.pixelColor(999, 499).red(), 0x80);
        bits = page.constBits();
        EXPECT_GE(memory.sealedFile(bits, size_t(page.sizeInBytes())), 0);
    }
    EXPECT_EQ(memory.sealedFile(bits, 1), -1);
}

// A block the component gave back serves the next page of its size (no fresh file); one that
// was not given back never does, and a reused block, sealed at its size, still grows by moving
// its bytes to a new file.
TEST(SharedFrameMemory, ABlockGivenBackServesTheNextPageOfItsSize) {
    SharedFrameMemory memory;
    uint8_t* kept = memory.allocate(4096);
    ASSERT_NE(kept, nullptr);
    ASSERT_GE(memory.sealedFile(kept, 4096), 0);
    memory.release(kept, 4096); // not given back: goes
    uint8_t* given = memory.allocate(4096);
    ASSERT_NE(given, nullptr);
    ASSERT_GE(memory.sealedFile(given, 4096), 0);
    given[10] = 42;
    memory.returned(given);
    memory.release(given, 4096);
    EXPECT_NE(memory.allocate(8192), given); // another size: a file of its own
    uint8_t* again = memory.allocate(4096);
    EXPECT_EQ(again, given);
    EXPECT_EQ(again[10], 42);
    uint8_t* grown = memory.grow(again, 4096, kGrown);
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(grown[10], 42);
    grown[kGrown - 1] = 1;
    EXPECT_GE(memory.sealedFile(grown, kGrown), 0);
    EXPECT_EQ(memory.sealedFile(again, 1), -1); // the old block went
}

} // namespace
