#pragma once

// A server end on 127.0.0.1 that a test drives by hand: it plays a Jabber
// server, a silent peer or a misbehaving one. Every wait is bounded.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <string_view>

namespace loopback {

constexpr int waitMilliseconds = 5000;

// A connected socket seen from the test's side.
class Peer {
public:
    explicit Peer(int descriptor) : descriptor(descriptor) {}
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    ~Peer() { Close(); }

    void Write(std::string_view bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t sent = ::send(descriptor, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (sent <= 0) throw std::runtime_error("peer write failed");
            done += static_cast<size_t>(sent);
        }
    }

    // Up to `count` bytes, or fewer when the stream ends or nothing comes for a while.
    std::string Read(size_t count) const {
        std::string bytes;
        char buffer[4096];
        while (bytes.size() < count) {
            pollfd watched{descriptor, POLLIN, 0};
            if (::poll(&watched, 1, waitMilliseconds) <= 0) break;
            const ssize_t received = ::recv(descriptor, buffer, std::min(sizeof buffer, count - bytes.size()), 0);
            if (received <= 0) break;
            bytes.append(buffer, static_cast<size_t>(received));
        }
        return bytes;
    }

    std::string ReadToEnd() const { return Read(static_cast<size_t>(-1)); }

    void Close() {
        if (descriptor >= 0) ::close(descriptor);
        descriptor = -1;
    }

    // Closes with a reset instead of an orderly end.
    void Reset() {
        const linger abort{1, 0};
        ::setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        Close();
    }

private:
    int descriptor;
};

// A socket bound to 127.0.0.1 on a free port; it accepts only when listening.
class Listener {
public:
    explicit Listener(bool listening = true) : descriptor(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (descriptor < 0 || ::bind(descriptor, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            (listening && ::listen(descriptor, 4) != 0) ||
            ::getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("cannot set up the loopback listener");
        port = ntohs(address.sin_port);
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    ~Listener() { ::close(descriptor); }

    int Port() const { return port; }

    int Accept() const {
        pollfd watched{descriptor, POLLIN, 0};
        if (::poll(&watched, 1, waitMilliseconds) <= 0) throw std::runtime_error("nobody connected");
        return ::accept(descriptor, nullptr, nullptr);
    }

private:
    int descriptor;
    int port = 0;
};

// Waits until `count` bytes wait unread on `descriptor`, so that one read takes them together.
inline bool WaitForUnread(int descriptor, int count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMilliseconds);
    while (std::chrono::steady_clock::now() < deadline) {
        int unread = 0;
        if (::ioctl(descriptor, FIONREAD, &unread) == 0 && unread >= count) return true;
        ::usleep(1000);
    }
    return false;
}

}  // namespace loopback
