// The direct mechanism's Poll on whatever the listener sends. One mechanism,
// connected once over loopback TCP to a listening socket made here, serves
// the whole run: each input is written from the listener's side, then Poll
// runs until the mechanism's socket holds nothing more. Every read takes the
// next 2000 bytes, so the kill signal must be raised exactly when one of
// those blocks holds "Kill".

#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "csp/csp_TcpAcceptor.h"
#include "foundation/eli_killsig.h"
#include "foundation/utl_CommandLine.h"
#include "fuzz/support/fuzz_socket.h"
#include "fuzz/support/fuzz_sink.h"
#include "ipm/ipm_DirectMechanism.h"

namespace {

constexpr size_t readSize = 2000;

int Check(int result) {
    if (result < 0) std::abort();
    return result;
}

sockaddr_in LocalAddress(int descriptor) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0) address.sin_family = 0;
    return address;
}

// The mechanism keeps its socket to itself; its descriptor is the one whose
// local address is the listener side's peer.
int DescriptorConnectedTo(int listenerSide) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    Check(::getpeername(listenerSide, reinterpret_cast<sockaddr*>(&peer), &length));
    for (int descriptor = 3; descriptor < 1024; ++descriptor) {
        if (descriptor == listenerSide) continue;
        const sockaddr_in local = LocalAddress(descriptor);
        if (local.sin_family == AF_INET && local.sin_port == peer.sin_port &&
            local.sin_addr.s_addr == peer.sin_addr.s_addr)
            return descriptor;
    }
    std::abort();
}

struct Connection {
    Connection() {
        fuzz_silenceConsole();
        csp_TcpAcceptor listening(csp_SocketAddress(csp_IpAddress(0x7f000001u), 0));
        thr_GlobalSingleton<utl_CommandLine>::Instance().SetArguments(
            {"listener_name=127.0.0.1", "direct_port=" + std::to_string(listening.localAddress().getPort())});
        if (!mechanism.Initialize()) std::abort();
        csp_SocketAddress peer(0);
        std::string failure;
        std::optional<csp_TcpSocket> accepted = listening.acceptConnection(peer, failure, 10000);
        if (!accepted) std::abort();
        listener = std::move(*accepted);
        // Each input goes out at once, not held back for the previous one's acknowledgement.
        const int on = 1;
        Check(::setsockopt(listener.getDescriptor(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on));
        mechanismSide = DescriptorConnectedTo(listener.getDescriptor());
    }

    // Returns once every byte sits in the mechanism's socket, which held
    // nothing before.
    void Send(std::span<const uint8_t> bytes) {
        listener.writeAll(bytes.data(), static_cast<int>(bytes.size()), 10000);
        while (fuzz_pendingBytes(mechanismSide) < static_cast<int>(bytes.size())) std::this_thread::yield();
    }

    ipm_DirectMechanism mechanism;
    // Declared after the mechanism, so that it closes first and the
    // mechanism's farewell ends at once.
    csp_TcpSocket listener{csp_TcpSocket::NoBinding};
    int mechanismSide = -1;
};

bool AnyBlockHoldsKill(std::string_view bytes) {
    for (size_t at = 0; at < bytes.size(); at += readSize)
        if (bytes.substr(at, readSize).find("Kill") != std::string_view::npos) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Connection connection;
    if (size == 0) return 0;
    eli_clearkillsig();
    connection.Send(std::span(data, size));
    while (fuzz_pendingBytes(connection.mechanismSide) > 0) connection.mechanism.Poll();
    const bool raised = eli_killsigRaised();
    eli_clearkillsig();
    if (raised != AnyBlockHoldsKill(std::string_view(reinterpret_cast<const char*>(data), size))) std::abort();
    return 0;
}
