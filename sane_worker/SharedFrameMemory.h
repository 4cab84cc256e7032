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
    /// The component has its own copy of `block` and no mapping of it left (it answered the
    /// page): when released, the block may serve the next page of the same size instead of
    /// going back to the kernel. Pages of a batch are alike, and a fresh memory file costs a
    /// zeroed page for each 4 KiB, more than the copy the component makes.
    void returned(const uint8_t* block);

private:
    struct File {
        int fd = -1;
        size_t bytes = 0;
        bool returned = false;
    };
    void unmap(uint8_t* block, const File& file);
    std::mutex m_mutex;
    std::unordered_map<const uint8_t*, File> m_files; // guarded by m_mutex
    uint8_t* m_spare = nullptr;                       // guarded by m_mutex
    File m_spareFile;                                 // guarded by m_mutex
};
