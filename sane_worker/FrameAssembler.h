#pragma once
#include <QImage>
#include <QString>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <utility>

/// The parameters of one SANE frame, in the layer's own terms (no SANE types here, so that
/// odd frames can be assembled in tests without a device).
struct FrameParameters {
    enum Format { Gray, RGB, Red, Green, Blue };
    Format format = Gray;
    bool lastFrame = true;
    int bytesPerLine = 0;
    int pixelsPerLine = 0;
    int lines = 0; ///< -1 when the device does not know the height in advance
    int depth = 8; ///< bits per sample: 1, 8 or 16
};

/// Where a frame's bytes live: the heap unless the assembler is given another. The SANE worker
/// gives memory it can hand to another process as it is, so that a page is never copied there.
class FrameMemory {
public:
    virtual ~FrameMemory() = default;
    /// A block of `bytes`; null when there is no room.
    virtual uint8_t* allocate(size_t bytes) = 0;
    /// `block` (of `oldBytes`) grown to `bytes`, moved if need be; null, the block untouched,
    /// when there is no room.
    virtual uint8_t* grow(uint8_t* block, size_t oldBytes, size_t bytes) = 0;
    /// Gives back a block of `bytes`.
    virtual void release(uint8_t* block, size_t bytes) = 0;
};

/// Gives a frame's block back to its FrameMemory, or to the heap.
struct FrameBlockDeleter {
    FrameMemory* memory = nullptr; ///< null: the heap
    size_t bytes = 0;
    void operator()(uint8_t* p) const {
        if (memory)
            memory->release(p, bytes);
        else
            std::free(p);
    }
};

/// Turns the frames of one page (one grey or RGB frame, or three single-colour frames) into a
/// QImage. Bytes are written straight into the assembler's buffer: ask writable() for room,
/// fill it, then commit() what was filled. Pure and single-threaded.
class FrameAssembler {
public:
    /// Frames go into `memory` (null: the heap), which must outlive the assembler and the
    /// images it hands out.
    explicit FrameAssembler(FrameMemory* memory = nullptr) : m_memory(memory) {}

    /// The largest frame accepted, in bytes; a larger announcement is refused, not allocated.
    static constexpr int64_t kMaxFrameBytes = int64_t(3) << 30;

    /// Starts a frame. False (with error()) when the parameters describe something that cannot
    /// be assembled: an unknown depth, lines shorter than their pixels, a colour frame that does
    /// not fit the earlier ones of the page.
    bool beginFrame(const FrameParameters& parameters);
    /// Where the next bytes of the current frame go and how many fit there (at most `wanted`,
    /// at least 1); {null, 0} when a frame of unknown height would outgrow kMaxFrameBytes.
    /// Once a frame of known size is full, the room is a scratch area whose bytes commit()
    /// drops (a device that sends more than it announced).
    std::pair<uint8_t*, size_t> writable(size_t wanted);
    /// Records `bytes` (no more than the room given) written at the last writable().
    void commit(size_t bytes);
    /// Ends the frame. False (with error()) when it is cut short: fewer bytes than its lines
    /// need, or, height unknown, not one complete line.
    bool endFrame();
    /// True once the last frame of the page ended complete.
    bool pageComplete() const { return m_pageComplete; }
    /// The page as an image: Format_Mono (1 = black), Grayscale8, Grayscale16, RGB888 or
    /// RGBX64. Null before pageComplete(). Moves the page out and resets the assembler.
    QImage takeImage();
    /// Bytes received in the current frame so far (dropped excess not counted).
    int64_t receivedBytes() const { return static_cast<int64_t>(m_received); }
    /// Bytes the current frame should carry, 0 when its height is unknown.
    int64_t expectedBytes() const { return m_expected; }
    /// Why the last beginFrame()/endFrame() failed.
    const QString& error() const { return m_error; }
    /// Forgets everything; the next beginFrame() starts a new page.
    void reset();

private:
    using BlockDeleter = FrameBlockDeleter;
    using Buffer = std::unique_ptr<uint8_t, BlockDeleter>;
    struct Plane {
        Buffer data;
        int lines = 0;
        int bytesPerLine = 0;
    };
    bool fail(const QString& why);
    bool reserve(size_t bytes);
    QImage singleFrameImage();
    QImage threePassImage();

    FrameMemory* m_memory;
    FrameParameters m_params;
    FrameParameters m_pageParams; // the first colour frame's, to check the others against
    bool m_inFrame = false;
    bool m_pageComplete = false;
    Buffer m_buffer; // the current frame
    size_t m_capacity = 0;
    size_t m_received = 0;
    int64_t m_expected = 0;
    bool m_scratchHandedOut = false; // the last writable() gave the scratch area
    std::unique_ptr<uint8_t[]> m_scratch;
    size_t m_scratchSize = 0;
    Plane m_single;
    Plane m_planes[3]; // red, green, blue of a three-pass page
    QString m_error;
};
