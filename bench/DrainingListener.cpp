#include "bench/DrainingListener.h"

#include <algorithm>
#include <string>

#include "csp/csp_NetworkException.h"

namespace {
csp_SocketAddress loopback(int port) { return csp_SocketAddress(csp_IpAddress(0x7f000001u), port); }

constexpr int acceptWait = 1000;
}  // namespace

DrainingListener::DrainingListener() : listening(loopback(0)), acceptor([this] { Accept(); }) {}

DrainingListener::~DrainingListener() {
    listening.stop();
    acceptor.join();
    HangUp();
    for (std::thread& drainer : drainers) drainer.join();
}

csp_TcpSocket DrainingListener::Connect() const {
    csp_TcpSocket connection(csp_TcpSocket::NoBinding);
    connection.connectTo(loopback(Port()));
    return connection;
}

// Shutting the connections down wakes their drainers, which then abort them;
// a drainer forgets its connection as it closes it.
void DrainingListener::HangUp() {
    std::lock_guard hold(guard);
    for (const auto& connection : connections) {
        try {
            connection->shutdown();
        } catch (const csp_NetworkException&) {
            // The peer has gone already; its drainer is on its way out.
        }
    }
}

// Ends when stop() makes the wait fail.
void DrainingListener::Accept() {
    for (;;) {
        csp_SocketAddress peer(0);
        std::string failure;
        std::optional<csp_TcpSocket> accepted = listening.acceptConnection(peer, failure, acceptWait);
        if (!failure.empty()) return;
        if (!accepted) continue;
        std::lock_guard hold(guard);
        connections.push_back(std::make_unique<csp_TcpSocket>(std::move(*accepted)));
        drainers.emplace_back([this, &connection = *connections.back()] { Drain(connection); });
    }
}

void DrainingListener::Drain(csp_TcpSocket& connection) {
    char received[1 << 16];
    try {
        while (connection.read(received, sizeof received) > 0) {
        }
    } catch (const csp_NetworkException&) {
        // A reset ends the draining as an orderly end does.
    }
    std::lock_guard hold(guard);
    connection.setLinger(true, 0);
    std::erase_if(connections, [&](const auto& held) { return held.get() == &connection; });
}
