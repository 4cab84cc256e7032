#pragma once
#include "sane_worker/FrameAssembler.h"
#include <mutex>
#include <unordered_map>

/// Frame memory in memory files (memfd) mapped here: a finished page goes to the component as
/// the file itself, passed with its message, so that the worker never copies a page to hand it
/// over. Thread-safe: acquisitions on several devices may use one.
class SharedFrameMemory : public FrameMemory {
public:
    ~SharedFrameMemory() override;
    uint8_t* allocate(size_t bytes) override;
    uint8_t* grow(uint8_t* block, size_t oldBytes, size_t bytes) override;
    void release(uint8_t* block, size_t bytes) override;
    /// The memory file of `block` when it is one of ours and holds at least `bytes`, sealed
    /// against shrinking and growing (so that a reader's mapping can never lose its pages);
    /// -1 otherwise. The file stays ours: it is closed when the block is released.
    int sealedFile(const uint8_t* block, size_t bytes);

private:
    struct File {
        int fd = -1;
        size_t bytes = 0;
    };
    std::mutex m_mutex;
    std::unordered_map<const uint8_t*, File> m_files; // guarded by m_mutex
};
