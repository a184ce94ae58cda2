#include "csp/csp_WakeSignal.h"

#include "csp/impl/csp_SocketLayer.h"

namespace {
SOCKET handle(int descriptor) { return static_cast<SOCKET>(descriptor); }

// A non-blocking datagram socket on the loopback address, connected to
// itself: select() watches nothing but sockets, and a datagram sent to it
// makes it readable.
int openSelfConnected() {
    const int wake = csp_SocketLayer::open(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (wake < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    auto* record = reinterpret_cast<sockaddr*>(&address);
    if (::bind(handle(wake), record, length) != 0 || ::getsockname(handle(wake), record, &length) != 0 ||
        ::connect(handle(wake), record, length) != 0 || !csp_SocketLayer::setBlocking(wake, false)) {
        csp_SocketLayer::close(wake);
        return -1;
    }
    return wake;
}

// The layer's start-up, held by the signal without counting as a socket
// object.
bool startWinsock() {
    WSADATA granted{};
    return ::WSAStartup(MAKEWORD(2, 0), &granted) == 0;
}
}  // namespace

csp_WakeSignal::csp_WakeSignal() {
    if (!startWinsock()) return;
    descriptor = openSelfConnected();
    if (descriptor < 0) ::WSACleanup();
}

csp_WakeSignal::~csp_WakeSignal() {
    if (descriptor < 0) return;
    csp_SocketLayer::close(descriptor);
    ::WSACleanup();
}

// A full queue means it is raised already.
void csp_WakeSignal::raise() {
    const char mark = 1;
    if (descriptor >= 0) static_cast<void>(::send(handle(descriptor), &mark, 1, 0));
}

void csp_WakeSignal::lower() {
    char marks[64];
    if (descriptor >= 0)
        while (::recv(handle(descriptor), marks, sizeof marks, 0) > 0) {
        }
}

csp_WakeSignal::Outcome csp_WakeSignal::waitReadable(int descriptor, int timeoutMilliseconds,
                                                     const csp_WakeSignal* wake) {
    const int milliseconds = timeoutMilliseconds > 0 ? timeoutMilliseconds : 0;
    const int wakeDescriptor = wake ? wake->descriptor : -1;
    if (descriptor < 0 && wakeDescriptor < 0) {
        ::Sleep(static_cast<DWORD>(milliseconds));
        return Outcome::TimedOut;
    }
    fd_set readable;
    FD_ZERO(&readable);
    fd_set failed;
    FD_ZERO(&failed);
    if (descriptor >= 0) {
        FD_SET(handle(descriptor), &readable);
        FD_SET(handle(descriptor), &failed);
    }
    if (wakeDescriptor >= 0) FD_SET(handle(wakeDescriptor), &readable);
    timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
    const int ready = ::select(0, &readable, nullptr, &failed, &limit);
    if (ready == SOCKET_ERROR) return Outcome::Unreadable;
    if (descriptor >= 0 && FD_ISSET(handle(descriptor), &readable)) return Outcome::Readable;
    if (descriptor >= 0 && FD_ISSET(handle(descriptor), &failed)) return Outcome::Unreadable;
    return ready > 0 ? Outcome::Woken : Outcome::TimedOut;
}
