#include "sane_worker/SharedFrameMemory.h"
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

/// Gives `bytes` at `block` their pages in one call: a page arrives at hundreds of megabytes a
/// second, and a fault for each of its 4 KiB pages while the device's bytes are copied in
/// costs more than the copy. Best effort: without it the pages come one fault at a time.
void populate(void* block, size_t bytes) {
#ifdef MADV_POPULATE_WRITE
    ::madvise(block, bytes, MADV_POPULATE_WRITE);
#else
    (void)block;
    (void)bytes;
#endif
}

} // namespace

SharedFrameMemory::~SharedFrameMemory() {
    for (auto& [block, file] : m_files) {
        ::munmap(const_cast<uint8_t*>(block), file.bytes);
        ::close(file.fd);
    }
}

uint8_t* SharedFrameMemory::allocate(size_t bytes) {
    const int fd = ::memfd_create("scansione-pagina", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        return nullptr;
    void* block = MAP_FAILED;
    if (::ftruncate(fd, off_t(bytes)) == 0)
        block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (block == MAP_FAILED) {
        ::close(fd);
        return nullptr;
    }
    populate(block, bytes);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_files[static_cast<uint8_t*>(block)] = File{fd, bytes};
    return static_cast<uint8_t*>(block);
}

uint8_t* SharedFrameMemory::grow(uint8_t* block, size_t oldBytes, size_t bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_files.find(block);
    if (it == m_files.end() || it->second.bytes != oldBytes)
        return nullptr;
    if (::ftruncate(it->second.fd, off_t(bytes)) != 0)
        return nullptr;
    void* moved = ::mremap(block, oldBytes, bytes, MREMAP_MAYMOVE);
    if (moved == MAP_FAILED) {
        // The block stays as it was, its file too.
        [[maybe_unused]] const int undone = ::ftruncate(it->second.fd, off_t(oldBytes));
        return nullptr;
    }
    if (bytes > oldBytes)
        populate(static_cast<uint8_t*>(moved) + oldBytes, bytes - oldBytes);
    File file{it->second.fd, bytes};
    m_files.erase(it);
    m_files[static_cast<uint8_t*>(moved)] = file;
    return static_cast<uint8_t*>(moved);
}

void SharedFrameMemory::release(uint8_t* block, size_t bytes) {
    int fd = -1;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_files.find(block);
        if (it == m_files.end())
            return;
        fd = it->second.fd;
        m_files.erase(it);
    }
    ::munmap(block, bytes);
    ::close(fd);
}

int SharedFrameMemory::sealedFile(const uint8_t* block, size_t bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_files.find(block);
    if (it == m_files.end() || it->second.bytes < bytes)
        return -1;
    if (::fcntl(it->second.fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW) != 0)
        return -1;
    return it->second.fd;
}
