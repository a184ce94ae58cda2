#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <span>

#include "fuzz/support/fuzz_socket.h"

// A connected pair of local stream sockets. The local end goes to the code
// under test, which then owns it; the harness writes through the peer end.
// Writes of up to a few kilobytes arrive whole, so one read on the local end
// takes exactly what the last write sent.
class fuzz_SocketPair {
public:
    fuzz_SocketPair() {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) std::abort();
        local = ends[0];
        peer = ends[1];
    }
    ~fuzz_SocketPair() {
        ClosePeer();
        if (local >= 0) ::close(local);
    }
    fuzz_SocketPair(const fuzz_SocketPair&) = delete;
    fuzz_SocketPair& operator=(const fuzz_SocketPair&) = delete;

    // Hands the local end over; this object no longer closes it.
    int TakeLocal() {
        const int taken = local;
        local = -1;
        return taken;
    }

    void Send(std::span<const uint8_t> bytes) const { fuzz_sendAll(peer, bytes); }

    // The code under test then reads the end of the stream instead of waiting.
    void ClosePeer() {
        if (peer >= 0) ::close(peer);
        peer = -1;
    }

private:
    int local;
    int peer;
};
