// Whole positional reads and writes of a descriptor: retried after a signal and a short count.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace kvt {

// False on an error or the end of the file before `count` bytes.
inline bool PreadAll(int fd, void* buffer, size_t count, uint64_t offset) {
    auto* p = static_cast<uint8_t*>(buffer);
    while (count > 0) {
        ssize_t n = pread(fd, p, count, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        count -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

inline bool PwriteAll(int fd, const void* buffer, size_t count, uint64_t offset) {
    auto* p = static_cast<const uint8_t*>(buffer);
    while (count > 0) {
        ssize_t n = pwrite(fd, p, count, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        count -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

}  // namespace kvt
