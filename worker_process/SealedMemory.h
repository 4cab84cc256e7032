#pragma once
#include <cstddef>
#include <cstdint>

// Pixels between the component and a worker travel as memory files passed with a message: the
// sender seals the file, so that the receiver may map it without the sender shrinking it under
// the mapping (which would end the receiver with SIGBUS) or changing it while it is read.

/// A memory file (close-on-exec) holding the `bytes` bytes at `data`, sealed against shrinking,
/// growing and writing; -1 with errno set on failure.
int sealedMemoryFile(const char* name, const void* data, size_t bytes);

/// A read-only mapping of the first `bytes` bytes of a memory file that came with a message.
/// The file must be sealed against shrinking and at least that long; else nothing is mapped.
class SealedMapping {
public:
    SealedMapping(int fd, size_t bytes);
    ~SealedMapping();
    SealedMapping(const SealedMapping&) = delete;
    SealedMapping& operator=(const SealedMapping&) = delete;

    /// The bytes; null when the file was not mapped.
    const uint8_t* data() const { return m_data; }
    /// Why not: an errno value, EINVAL for a file shorter than asked or not sealed.
    int error() const { return m_error; }

private:
    const uint8_t* m_data = nullptr;
    size_t m_bytes = 0;
    int m_error = 0;
};
