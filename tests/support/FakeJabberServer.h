#pragma once

// A stand-in for a Jabber server on the fixed client port 5222 that a test
// scripts by hand. Since the port is fixed, every server takes a loopback
// address of its own (all of 127.0.0.0/8 reaches this machine), never the one
// the suite's real server uses. Every wait is bounded.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace fakejabber {

constexpr int clientPort = 5222;
constexpr int waitMilliseconds = 5000;

inline sockaddr_in loopbackRecord(const std::string& address) {
    sockaddr_in record{};
    record.sin_family = AF_INET;
    record.sin_port = htons(clientPort);
    ::inet_pton(AF_INET, address.c_str(), &record.sin_addr);
    return record;
}

// A loopback address whose port 5222 nobody has bound, away from 127.0.0.1.
// Spread over the process id so that test programs running at once differ.
inline std::string unusedLoopbackAddress() {
    const unsigned int seed = static_cast<unsigned int>(::getpid());
    for (unsigned int attempt = 0; attempt < 200; ++attempt) {
        const unsigned int pick = seed * 7919u + attempt * 104729u;
        const std::string address = "127." + std::to_string(10 + pick % 200) + "." +
                                    std::to_string((pick / 200) % 250) + "." + std::to_string(2 + (pick / 50000) % 250);
        const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in record = loopbackRecord(address);
        const bool free = ::bind(probe, reinterpret_cast<const sockaddr*>(&record), sizeof record) == 0;
        ::close(probe);
        if (free) return address;
    }
    throw std::runtime_error("no free loopback address for port 5222");
}

// The server's end of one accepted client connection.
class Connection {
public:
    explicit Connection(int descriptor) : descriptor(descriptor) {}
    Connection(Connection&& other) noexcept
        : descriptor(std::exchange(other.descriptor, -1)), unread(std::move(other.unread)), ended(other.ended) {}
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() { Close(); }

    void Write(std::string_view bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t sent = ::send(descriptor, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (sent <= 0) throw std::runtime_error("fake server write failed");
            done += static_cast<size_t>(sent);
        }
    }

    // Everything received up to and including the first `marker`; what came
    // after it is kept for the next call. Throws when it does not come in time.
    std::string ReadThrough(std::string_view marker) {
        for (;;) {
            const size_t found = unread.find(marker);
            if (found != std::string::npos) {
                std::string taken = unread.substr(0, found + marker.size());
                unread.erase(0, found + marker.size());
                return taken;
            }
            if (!ReadMore()) throw std::runtime_error("fake server: expected text never came: " + std::string(marker));
        }
    }

    // Everything until the client closes; throws when it does not close in time.
    std::string ReadToEnd() {
        while (ReadMore()) {
        }
        if (!ended) throw std::runtime_error("fake server: the client never ended the connection");
        return std::exchange(unread, std::string());
    }

    // The client's end-of-stream no longer reaches a reader, but what the
    // client sends is still taken in (so its writes do not fail).
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
    // False at the end of the stream or when nothing came in time.
    bool ReadMore() {
        pollfd watched{descriptor, POLLIN, 0};
        if (::poll(&watched, 1, waitMilliseconds) <= 0) return false;
        char buffer[4096];
        const ssize_t received = ::recv(descriptor, buffer, sizeof buffer, 0);
        if (received <= 0) {
            ended = true;
            return false;
        }
        unread.append(buffer, static_cast<size_t>(received));
        return true;
    }

    int descriptor;
    std::string unread;
    bool ended = false;
};

// Listens on port 5222 of a fresh loopback address.
class Server {
public:
    Server() : address(unusedLoopbackAddress()), descriptor(::socket(AF_INET, SOCK_STREAM, 0)) {
        const int on = 1;
        ::setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_in record = loopbackRecord(address);
        if (::bind(descriptor, reinterpret_cast<const sockaddr*>(&record), sizeof record) != 0 ||
            ::listen(descriptor, 4) != 0)
            throw std::runtime_error("cannot listen on " + address + ":5222");
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    ~Server() { ::close(descriptor); }

    const std::string& Address() const { return address; }

    Connection Accept() const {
        pollfd watched{descriptor, POLLIN, 0};
        if (::poll(&watched, 1, waitMilliseconds) <= 0) throw std::runtime_error("nobody connected to the fake server");
        return Connection(::accept(descriptor, nullptr, nullptr));
    }

private:
    std::string address;
    int descriptor;
};

// What a server writes first: its own stream header.
inline std::string streamHeader(const std::string& domain) {
    return "<?xml version='1.0'?><stream:stream xmlns='jabber:client' "
           "xmlns:stream='http://etherx.jabber.org/streams' id='s1' from='" +
           domain + "' version='1.0'>";
}

}  // namespace fakejabber
