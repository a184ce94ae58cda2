#pragma once

// Loopback sockets a test drives by hand: a listener, and the peer end of a
// connection that plays a job's listener, a Jabber server, a silent or a
// misbehaving peer. Every wait is bounded.

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "csp/csp_NetworkException.h"
#include "csp/csp_TcpAcceptor.h"
#include "csp/csp_TcpSocket.h"

namespace loopback {

constexpr int waitMilliseconds = 5000;
constexpr int jabberPort = 5222;

inline csp_SocketAddress Address(const std::string& address, int port) {
    return csp_SocketAddress(csp_IpAddress(cow_String(address.c_str())), port);
}

// A client connection from this process to `address`:`port`; nothing when refused.
inline std::optional<csp_TcpSocket> Connect(int port, const std::string& address = "127.0.0.1") {
    try {
        csp_TcpSocket socket(csp_TcpSocket::NoBinding);
        socket.connectTo(Address(address, port));
        return socket;
    } catch (const csp_NetworkException&) {
        return std::nullopt;
    }
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
        try {
            csp_TcpSocket probe(Address(address, jabberPort));
            return address;
        } catch (const csp_NetworkException&) {
        }
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
    explicit Peer(csp_TcpSocket socket) : socket(std::move(socket)) {}
    explicit Peer(std::optional<csp_TcpSocket> socket)
        : socket(socket ? std::move(*socket) : throw std::runtime_error("no connection")) {}
    Peer(Peer&&) = default;
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    int Descriptor() const { return socket.getDescriptor(); }

    void Write(std::string_view bytes) {
        try {
            socket.writeAll(bytes.data(), static_cast<int>(bytes.size()), waitMilliseconds);
        } catch (const csp_NetworkException&) {
            throw std::runtime_error("peer write failed");
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
    bool Idle(int milliseconds) const { return unread.empty() && !Readable(Descriptor(), milliseconds); }

    // The other side sees the end of the stream; what it sends is still taken in.
    void EndSending() { socket.shutdownSocketSends(); }

    void Close() { socket.close(); }

    // Closes with a reset instead of an orderly end.
    void Reset() {
        socket.setLinger(true, 0);
        Close();
    }

private:
    bool ReadMore() {
        if (!Readable(Descriptor())) return false;
        char buffer[4096];
        std::string failure;
        const int received = socket.readAvailable(buffer, sizeof buffer, failure);
        ended = received <= 0;
        if (!ended) unread.append(buffer, static_cast<size_t>(received));
        return !ended;
    }

    std::string Take(size_t count) {
        std::string taken = unread.substr(0, count);
        unread.erase(0, count);
        return taken;
    }

    csp_TcpSocket socket;
    std::string unread;
    bool ended = false;
};

// A socket bound to `address` (on a free port unless one is given); it
// accepts only when listening.
class Listener {
public:
    explicit Listener(bool listening = true, const std::string& address = "127.0.0.1", int port = 0)
        : address(address) {
        try {
            if (listening) {
                acceptor.emplace(loopback::Address(address, port));
                this->port = acceptor->localAddress().getPort();
            } else {
                reserved.emplace(loopback::Address(address, port));
                this->port = reserved->name().getPort();
            }
        } catch (const csp_NetworkException& failure) {
            throw std::runtime_error("cannot listen on " + address + ": " + failure.what());
        }
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // A stand-in for a Jabber server on port 5222 of a fresh loopback address.
    static Listener JabberServer() { return Listener(true, UnusedJabberAddress(), jabberPort); }

    const std::string& Address() const { return address; }
    int Port() const { return port; }

    // Starts accepting, for a socket made not listening, on the port it held.
    void Listen() {
        reserved.reset();
        acceptor.emplace(loopback::Address(address, port));
    }

    // The accepted connection, for a Peer.
    csp_TcpSocket Accept() const {
        csp_SocketAddress peer(0);
        std::string failure;
        std::optional<csp_TcpSocket> accepted =
            acceptor ? acceptor->acceptConnection(peer, failure, waitMilliseconds) : std::nullopt;
        if (!accepted) throw std::runtime_error("nobody connected" + (failure.empty() ? "" : ": " + failure));
        return std::move(*accepted);
    }

private:
    std::string address;
    std::optional<csp_TcpSocket> reserved;
    std::optional<csp_TcpAcceptor> acceptor;
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
