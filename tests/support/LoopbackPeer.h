#pragma once

// Loopback sockets a test drives by hand: a listener, and the peer end of a
// connection that plays a job's listener, a Jabber server, a silent or a
// misbehaving peer. Every wait is bounded.

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
#include <utility>

namespace loopback {

constexpr int waitMilliseconds = 5000;
constexpr int jabberPort = 5222;

inline sockaddr_in Record(const std::string& address, int port) {
    sockaddr_in record{};
    record.sin_family = AF_INET;
    record.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, address.c_str(), &record.sin_addr);
    return record;
}

// A loopback address whose port 5222 nobody has bound, away from the shared
// server's 127.0.0.1; spread over the process id so that programs running at
// once differ.
inline std::string UnusedJabberAddress() {
    const unsigned int seed = static_cast<unsigned int>(::getpid());
    for (unsigned int attempt = 0; attempt < 200; ++attempt) {
        const unsigned int pick = seed * 7919u + attempt * 104729u;
        const std::string address = "127." + std::to_string(10 + pick % 200) + "." +
                                    std::to_string((pick / 200) % 250) + "." + std::to_string(2 + (pick / 50000) % 250);
        const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in record = Record(address, jabberPort);
        const bool free = ::bind(probe, reinterpret_cast<const sockaddr*>(&record), sizeof record) == 0;
        ::close(probe);
        if (free) return address;
    }
    throw std::runtime_error("no free loopback address for port 5222");
}

// False when nothing is readable within the bound.
inline bool Readable(int descriptor, int milliseconds = waitMilliseconds) {
    pollfd watched{descriptor, POLLIN, 0};
    return ::poll(&watched, 1, milliseconds) > 0;
}

// The test's end of one connection.
class Peer {
public:
    explicit Peer(int descriptor) : descriptor(descriptor) {}
    Peer(Peer&& other) noexcept
        : descriptor(std::exchange(other.descriptor, -1)), unread(std::move(other.unread)), ended(other.ended) {}
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    ~Peer() { Close(); }

    int Descriptor() const { return descriptor; }

    void Write(std::string_view bytes) const {
        for (size_t done = 0; done < bytes.size();) {
            const ssize_t sent = ::send(descriptor, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (sent <= 0) throw std::runtime_error("peer write failed");
            done += static_cast<size_t>(sent);
        }
    }

    // Up to `count` bytes, fewer when the stream ends or nothing comes in time.
    std::string Read(size_t count) {
        while (unread.size() < count && ReadMore()) {
        }
        return Take(std::min(count, unread.size()));
    }

    // Everything up to and including the first `marker`; throws when it does not come.
    std::string ReadThrough(std::string_view marker) {
        size_t found;
        while ((found = unread.find(marker)) == std::string::npos)
            if (!ReadMore()) throw std::runtime_error("expected text never came: " + std::string(marker));
        return Take(found + marker.size());
    }

    // Everything until the other side closes; throws when it does not close in time.
    std::string ReadToEnd() {
        while (ReadMore()) {
        }
        if (!ended) throw std::runtime_error("the other side never ended the connection");
        return Take(unread.size());
    }

    // Nothing came within the bound that is not read yet.
    bool Idle(int milliseconds) const { return unread.empty() && !Readable(descriptor, milliseconds); }

    // The other side sees the end of the stream; what it sends is still taken in.
    void EndSending() const { ::shutdown(descriptor, SHUT_WR); }

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
    bool ReadMore() {
        if (!Readable(descriptor)) return false;
        char buffer[4096];
        const ssize_t received = ::recv(descriptor, buffer, sizeof buffer, 0);
        ended = received <= 0;
        if (!ended) unread.append(buffer, static_cast<size_t>(received));
        return !ended;
    }

    std::string Take(size_t count) {
        std::string taken = unread.substr(0, count);
        unread.erase(0, count);
        return taken;
    }

    int descriptor;
    std::string unread;
    bool ended = false;
};

// A socket bound to `address` (on a free port unless one is given); it
// accepts only when listening.
class Listener {
public:
    explicit Listener(bool listening = true, const std::string& address = "127.0.0.1", int port = 0)
        : address(address), descriptor(::socket(AF_INET, SOCK_STREAM, 0)) {
        const int on = 1;
        ::setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in record = Record(address, port);
        socklen_t length = sizeof record;
        if (::bind(descriptor, reinterpret_cast<sockaddr*>(&record), length) != 0 ||
            (listening && ::listen(descriptor, 4) != 0) ||
            ::getsockname(descriptor, reinterpret_cast<sockaddr*>(&record), &length) != 0)
            throw std::runtime_error("cannot listen on " + address);
        this->port = ntohs(record.sin_port);
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    ~Listener() { ::close(descriptor); }

    // A stand-in for a Jabber server on port 5222 of a fresh loopback address.
    static Listener JabberServer() { return Listener(true, UnusedJabberAddress(), jabberPort); }

    const std::string& Address() const { return address; }
    int Port() const { return port; }

    // Starts accepting, for a socket made not listening.
    void Listen() const {
        if (::listen(descriptor, 4) != 0) throw std::runtime_error("cannot listen on " + address);
    }

    // The accepted connection's descriptor, for a Peer.
    int Accept() const {
        if (!Readable(descriptor)) throw std::runtime_error("nobody connected");
        return ::accept(descriptor, nullptr, nullptr);
    }

private:
    std::string address;
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

// A client connection from this process to 127.0.0.1:`port`; -1 when refused.
inline int Connect(int port) {
    const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in record = Record("127.0.0.1", port);
    if (::connect(descriptor, reinterpret_cast<const sockaddr*>(&record), sizeof record) == 0) return descriptor;
    ::close(descriptor);
    return -1;
}

}  // namespace loopback
