#include "csp/impl/csp_SocketLayer.h"

#include <atomic>

namespace {
std::atomic<int> layerUsers{0};

SOCKET handle(int descriptor) { return static_cast<SOCKET>(descriptor); }

// Asks for version 2.0; a layer that grants another major version is
// released at once, and the next call fails for want of it.
void startWinsock() {
    WSADATA granted{};
    if (::WSAStartup(MAKEWORD(2, 0), &granted) == 0 && LOBYTE(granted.wVersion) != 2) ::WSACleanup();
}

// The resolver needs the layer started even when no socket lives.
class ResolverUse {
public:
    ResolverUse() { startWinsock(); }
    ~ResolverUse() { ::WSACleanup(); }
    ResolverUse(const ResolverUse&) = delete;
    ResolverUse& operator=(const ResolverUse&) = delete;
};

// select() for one descriptor: 1 ready, 0 after the time-out, -1 on failure.
// A connection attempt that failed shows in the exception set.
int waitFor(int descriptor, bool forWriting, int timeoutMilliseconds) {
    if (descriptor < 0) {
        ::WSASetLastError(WSAENOTSOCK);
        return -1;
    }
    fd_set watched;
    FD_ZERO(&watched);
    FD_SET(handle(descriptor), &watched);
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(handle(descriptor), &failed);
    const int milliseconds = timeoutMilliseconds > 0 ? timeoutMilliseconds : 0;
    timeval limit{milliseconds / 1000, (milliseconds % 1000) * 1000};
    const int result = ::select(0, forWriting ? nullptr : &watched, forWriting ? &watched : nullptr, &failed, &limit);
    return result == SOCKET_ERROR ? -1 : (result > 0 ? 1 : 0);
}

bool refuseNegative(int length) {
    if (length >= 0) return false;
    ::WSASetLastError(WSAEINVAL);
    return true;
}

int awaitConnection(int descriptor, int timeoutMilliseconds) {
    const int ready = waitFor(descriptor, true, timeoutMilliseconds);
    if (ready < 0) return -1;
    if (ready == 0) {
        ::WSASetLastError(WSAETIMEDOUT);
        return -1;
    }
    int error = 0;
    int length = sizeof error;
    if (::getsockopt(handle(descriptor), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
        return -1;
    if (error != 0) {
        ::WSASetLastError(error);
        return -1;
    }
    return 0;
}

template <class Lookup>
std::optional<csp_Host> resolve(Lookup lookup) {
    ResolverUse use;
    // The entry lives in the thread's own storage until its next resolver
    // call; it is copied first.
    const hostent* found = lookup();
    if (found == nullptr) return std::nullopt;
    return csp_Host(*found);
}
}  // namespace

void csp_SocketLayer::start() {
    startWinsock();
    layerUsers.fetch_add(1);
}

void csp_SocketLayer::cleanup() {
    ::WSACleanup();
    layerUsers.fetch_sub(1);
}

int csp_SocketLayer::users() { return layerUsers.load(); }

int csp_SocketLayer::lastError() { return ::WSAGetLastError(); }

void csp_SocketLayer::setLastError(int error) { ::WSASetLastError(error); }

std::string csp_SocketLayer::errorText(int error) {
    char text[512] = {};
    const DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                          static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
    std::string words(text, length);
    while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == '.')) words.pop_back();
    return words.empty() ? "error " + std::to_string(error) : words;
}

bool csp_SocketLayer::wouldBlock(int error) { return error == WSAEWOULDBLOCK; }

bool csp_SocketLayer::endsConversation(int error) {
    return error == WSAECONNRESET || error == WSAESHUTDOWN || error == WSAECONNABORTED;
}

bool csp_SocketLayer::acceptAgain(int error) { return error == WSAECONNRESET; }

// Windows has no per-process descriptor limit to tell.
std::string csp_SocketLayer::limitNote(int) { return ""; }

int csp_SocketLayer::open(int family, int type, int protocol) {
    const SOCKET created =
        ::WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    return created == INVALID_SOCKET ? -1 : static_cast<int>(created);
}

void csp_SocketLayer::close(int descriptor) { ::closesocket(handle(descriptor)); }

// Windows cannot tell a socket's blocking mode; the library's sockets block,
// and are left blocking.
int csp_SocketLayer::connect(int descriptor, const sockaddr* record, socklen_t length, int timeoutMilliseconds) {
    if (!setBlocking(descriptor, false)) return -1;
    int result = ::connect(handle(descriptor), record, length);
    if (result != 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) result = awaitConnection(descriptor, timeoutMilliseconds);
    const int error = ::WSAGetLastError();
    setBlocking(descriptor, true);
    ::WSASetLastError(error);
    return result == 0 ? 0 : -1;
}

int csp_SocketLayer::accept(int descriptor, sockaddr* record, socklen_t* length) {
    const SOCKET accepted = ::accept(handle(descriptor), record, length);
    return accepted == INVALID_SOCKET ? -1 : static_cast<int>(accepted);
}

int csp_SocketLayer::send(int descriptor, const void* data, int length) {
    if (refuseNegative(length)) return -1;
    return ::send(handle(descriptor), static_cast<const char*>(data), length, 0);
}

// Winsock has no per-call non-blocking flag, so the socket is non-blocking
// for this one call; readers wait for data before they receive.
int csp_SocketLayer::sendAvailable(int descriptor, const void* data, int length) {
    if (refuseNegative(length)) return -1;
    if (!setBlocking(descriptor, false)) return -1;
    const int sent = ::send(handle(descriptor), static_cast<const char*>(data), length, 0);
    const int error = ::WSAGetLastError();
    setBlocking(descriptor, true);
    ::WSASetLastError(error);
    return sent;
}

int csp_SocketLayer::receiveAvailable(int descriptor, void* buffer, int length) {
    if (refuseNegative(length)) return -1;
    if (!setBlocking(descriptor, false)) return -1;
    const int received = ::recv(handle(descriptor), static_cast<char*>(buffer), length, 0);
    const int error = ::WSAGetLastError();
    setBlocking(descriptor, true);
    ::WSASetLastError(error);
    return received;
}

int csp_SocketLayer::receive(int descriptor, void* buffer, int length) {
    if (refuseNegative(length)) return -1;
    return ::recv(handle(descriptor), static_cast<char*>(buffer), length, 0);
}

int csp_SocketLayer::receiveFrom(int descriptor, void* buffer, int length, sockaddr* from, socklen_t* fromLength) {
    if (refuseNegative(length)) return -1;
    return ::recvfrom(handle(descriptor), static_cast<char*>(buffer), length, 0, from, fromLength);
}

int csp_SocketLayer::waitReadable(int descriptor, int timeoutMilliseconds) {
    return waitFor(descriptor, false, timeoutMilliseconds);
}

int csp_SocketLayer::waitWritable(int descriptor, int timeoutMilliseconds) {
    return waitFor(descriptor, true, timeoutMilliseconds);
}

int csp_SocketLayer::waitInput(int descriptor, int timeoutMilliseconds, bool& dataWaiting) {
    fd_set watched;
    FD_ZERO(&watched);
    FD_SET(handle(descriptor), &watched);
    timeval limit{timeoutMilliseconds / 1000, (timeoutMilliseconds % 1000) * 1000};
    const int result = ::select(0, &watched, nullptr, nullptr, timeoutMilliseconds < 0 ? nullptr : &limit);
    dataWaiting = result > 0;
    return result == SOCKET_ERROR ? -1 : result;
}

bool csp_SocketLayer::setBlocking(int descriptor, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    return ::ioctlsocket(handle(descriptor), FIONBIO, &nonBlocking) == 0;
}

// Windows resolves the empty name as this machine; here, as elsewhere, it
// names no host.
std::optional<csp_Host> csp_SocketLayer::hostByName(const char* name) {
    if (*name == '\0') return std::nullopt;
    return resolve([&] { return ::gethostbyname(name); });
}

std::optional<csp_Host> csp_SocketLayer::hostByAddress(const in_addr& address) {
    return resolve([&] { return ::gethostbyaddr(reinterpret_cast<const char*>(&address), sizeof address, AF_INET); });
}

bool csp_SocketLayer::hostName(char* buffer, int length) {
    ResolverUse use;
    return ::gethostname(buffer, length) == 0;
}
