#pragma once

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <span>

// Writes every byte, however many sends it takes.
inline void fuzz_sendAll(int descriptor, std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(descriptor, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) std::abort();
        bytes = bytes.subspan(static_cast<size_t>(sent));
    }
}

// Bytes waiting to be read on `descriptor`.
inline int fuzz_pendingBytes(int descriptor) {
    int count = 0;
    if (::ioctl(descriptor, FIONREAD, &count) != 0) std::abort();
    return count;
}
