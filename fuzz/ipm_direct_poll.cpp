// The direct mechanism's Poll on whatever the listener sends. One mechanism,
// connected once over loopback TCP to a listening socket made here, serves
// the whole run: each input is written from the listener's side, then Poll
// runs until the mechanism's socket holds nothing more. Every read takes the
// next 2000 bytes, so the kill signal must be raised exactly when one of
// those blocks holds "Kill".

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <thread>

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

sockaddr_in LoopbackAddress(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
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
        const int listening = Check(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address = LoopbackAddress(0);
        Check(::bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address));
        Check(::listen(listening, 1));
        const uint16_t port = ntohs(LocalAddress(listening).sin_port);
        thr_GlobalSingleton<utl_CommandLine>::Instance().SetArguments(
            {"listener_name=127.0.0.1", "direct_port=" + std::to_string(port)});
        if (!mechanism.Initialize()) std::abort();
        listener = Check(::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC));
        // Each input goes out at once, not held back for the previous one's acknowledgement.
        const int on = 1;
        Check(::setsockopt(listener, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on));
        ::close(listening);
        mechanismSide = DescriptorConnectedTo(listener);
    }

    // The listener leaves first, so the mechanism's farewell ends at once.
    ~Connection() { ::close(listener); }

    // Returns once every byte sits in the mechanism's socket, which held
    // nothing before.
    void Send(std::span<const uint8_t> bytes) const {
        fuzz_sendAll(listener, bytes);
        while (fuzz_pendingBytes(mechanismSide) < static_cast<int>(bytes.size())) std::this_thread::yield();
    }

    ipm_DirectMechanism mechanism;
    int listener = -1;
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
