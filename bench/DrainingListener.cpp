#include "bench/DrainingListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace {
sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Closing with a zero linger time sends a reset instead of an orderly end.
void abort(int connection) {
    const linger immediately{1, 0};
    ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &immediately, sizeof immediately);
    ::close(connection);
}
}  // namespace

DrainingListener::DrainingListener() {
    listening = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (listening < 0 || ::bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listening, 8) != 0 || ::getsockname(listening, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot listen on the loopback interface");
    port = ntohs(address.sin_port);
    acceptor = std::thread([this] { Accept(); });
}

DrainingListener::~DrainingListener() {
    ::shutdown(listening, SHUT_RDWR);
    acceptor.join();
    HangUp();
    for (std::thread& drainer : drainers) drainer.join();
    ::close(listening);
}

int DrainingListener::Connect() const {
    const int connection = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = loopback(port);
    if (connection < 0 || ::connect(connection, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot connect to the draining listener");
    return connection;
}

// Shutting the connections down wakes their drainers, which then abort them;
// a drainer forgets its connection before closing it.
void DrainingListener::HangUp() {
    std::lock_guard hold(guard);
    for (int connection : connections) ::shutdown(connection, SHUT_RDWR);
}

void DrainingListener::Accept() {
    for (;;) {
        const int connection = ::accept(listening, nullptr, nullptr);
        if (connection < 0 && (errno == EINTR || errno == ECONNABORTED)) continue;
        if (connection < 0) return;
        std::lock_guard hold(guard);
        connections.push_back(connection);
        drainers.emplace_back([this, connection] { Drain(connection); });
    }
}

void DrainingListener::Drain(int connection) {
    char received[1 << 16];
    while (::recv(connection, received, sizeof received, 0) > 0) {
    }
    std::lock_guard hold(guard);
    std::erase(connections, connection);
    abort(connection);
}
