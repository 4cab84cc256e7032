#include "sane_worker/SharedFrameMemory.h"
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>

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
    for (auto& [block, file] : m_files)
        unmap(const_cast<uint8_t*>(block), file);
    if (m_spare)
        unmap(m_spare, m_spareFile);
}

void SharedFrameMemory::unmap(uint8_t* block, const File& file) {
    ::munmap(block, file.bytes);
    ::close(file.fd);
}

uint8_t* SharedFrameMemory::allocate(size_t bytes) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_spare && m_spareFile.bytes == bytes) {
            uint8_t* block = std::exchange(m_spare, nullptr);
            m_files[block] = File{m_spareFile.fd, bytes};
            return block;
        }
    }
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
    std::unique_lock<std::mutex> lock(m_mutex);
    auto it = m_files.find(block);
    if (it == m_files.end() || it->second.bytes != oldBytes)
        return nullptr;
    if (::ftruncate(it->second.fd, off_t(bytes)) != 0) {
        if (errno != EPERM)
            return nullptr;
        // A block that served an earlier page is sealed at its size: the bytes move to a new
        // one (a device that sends more than it announced, seldom).
        lock.unlock();
        uint8_t* fresh = allocate(bytes);
        if (!fresh)
            return nullptr;
        std::memcpy(fresh, block, oldBytes);
        release(block, oldBytes);
        return fresh;
    }
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
    File file;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_files.find(block);
        if (it == m_files.end())
            return;
        file = it->second;
        m_files.erase(it);
        if (file.returned && file.bytes == bytes) {
            // Kept for the next page; the one kept before (another size) goes.
            std::swap(block, m_spare);
            std::swap(file, m_spareFile);
            if (!block)
                return;
        }
    }
    unmap(block, file);
}

void SharedFrameMemory::returned(const uint8_t* block) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_files.find(block);
    if (it != m_files.end())
        it->second.returned = true;
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
