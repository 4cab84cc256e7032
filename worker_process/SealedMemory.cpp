#include "worker_process/SealedMemory.h"
#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

int sealedMemoryFile(const char* name, const void* data, size_t bytes) {
    const int fd = ::memfd_create(name, MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        return -1;
    const char* at = static_cast<const char*>(data);
    size_t left = bytes;
    while (left > 0) {
        const ssize_t n = ::write(fd, at, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            ::close(fd);
            errno = error;
            return -1;
        }
        at += n;
        left -= size_t(n);
    }
    if (::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

SealedMapping::SealedMapping(int fd, size_t bytes) {
    struct stat st {};
    const int seals = ::fcntl(fd, F_GET_SEALS);
    if (bytes == 0 || ::fstat(fd, &st) != 0 || uint64_t(st.st_size) < bytes || seals < 0 ||
        !(seals & F_SEAL_SHRINK)) {
        m_error = EINVAL;
        return;
    }
    void* map = ::mmap(nullptr, bytes, PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        m_error = errno;
        return;
    }
    m_data = static_cast<const uint8_t*>(map);
    m_bytes = bytes;
}

SealedMapping::~SealedMapping() {
    if (m_data)
        ::munmap(const_cast<uint8_t*>(m_data), m_bytes);
}
