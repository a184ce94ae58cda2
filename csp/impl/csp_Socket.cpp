#include "csp/csp_Socket.h"

#include "csp_SystemSockets.h"

#include <chrono>

#include "csp/csp_NetworkException.h"
#include "csp/impl/csp_NetworkEx.h"
#include "csp/impl/csp_SocketLayer.h"
#include "foundation/omi_FatalError.h"

// The modes go to the system as they stand.
static_assert(int{csp_Socket::ShutdownReceives} == int{SHUT_RD} && int{csp_Socket::ShutdownSends} == int{SHUT_WR} &&
              int{csp_Socket::ShutdownBoth} == int{SHUT_RDWR});

namespace {
constexpr const char* sourceFile = "generated/csp/impl/csp_Socket";
constexpr auto drainLimit = std::chrono::seconds(5);

// Reads and discards what the peer still sends until it closes, resets or
// stays silent; never longer than the limit in all, so a peer that trickles
// bytes cannot hold the caller.
void drainPeer(int descriptor) {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + drainLimit;
    char discarded[1024];
    for (;;) {
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (left <= 0) return;
        const int ready = csp_SocketLayer::waitReadable(descriptor, static_cast<int>(left));
        if (ready == 0) return;
        if (ready < 0) throw omi_FatalError{"select", csp_SocketLayer::lastError()};
        const int received = csp_SocketLayer::receive(descriptor, discarded, sizeof discarded);
        if (received == 0) return;
        if (received < 0) {
            const int error = csp_SocketLayer::lastError();
            if (csp_SocketLayer::endsConversation(error)) return;
            throw omi_FatalError{"recv", error};
        }
    }
}
}  // namespace

csp_Socket::csp_Socket(int type, int family, int protocol) : descriptor(-1), autoClose(true), state(0) {
    csp_SocketLayer::start();
    descriptor = csp_SocketLayer::open(family, type, protocol);
    if (descriptor == -1) {
        csp_SocketLayer::cleanup();
        csp_raiseSystemCallFailure(sourceFile, "Error in csp_Socket constructor");
    }
}

csp_Socket::csp_Socket(int descriptor) : descriptor(descriptor), autoClose(true), state(0) {
    csp_SocketLayer::start();
}

csp_Socket::csp_Socket(const csp_Socket& other)
    : descriptor(other.descriptor), autoClose(other.autoClose), state(other.state) {
    csp_SocketLayer::start();
}

csp_Socket::csp_Socket(csp_Socket&& other) noexcept
    : descriptor(other.descriptor), autoClose(other.autoClose), state(other.state) {
    other.descriptor = -1;
    csp_SocketLayer::start();
}

csp_Socket::~csp_Socket() {
    if (autoClose) close();
    csp_SocketLayer::cleanup();
}

csp_Socket& csp_Socket::operator=(const csp_Socket& other) {
    if (this == &other) return *this;
    releaseFor(other.descriptor);
    descriptor = other.descriptor;
    autoClose = other.autoClose;
    state = other.state;
    return *this;
}

csp_Socket& csp_Socket::operator=(csp_Socket&& other) noexcept {
    if (this == &other) return *this;
    releaseFor(other.descriptor);
    descriptor = other.descriptor;
    autoClose = other.autoClose;
    state = other.state;
    other.descriptor = -1;
    return *this;
}

void csp_Socket::releaseFor(int incoming) noexcept {
    if (autoClose && descriptor != incoming) close();
}

int csp_Socket::getDescriptor() const { return descriptor; }

void csp_Socket::setDescriptor(int newDescriptor) { descriptor = newDescriptor; }

bool csp_Socket::isOpen() const { return descriptor != -1; }

void csp_Socket::setToAutoClose(bool on) { autoClose = on; }

bool csp_Socket::isAutoClose() const { return autoClose; }

void csp_Socket::close() {
    csp_SocketLayer::close(descriptor);
    descriptor = -1;
}

void csp_Socket::reset(int type, int family, int protocol) {
    close();
    const int fresh = csp_SocketLayer::open(family, type, protocol);
    if (fresh == -1) csp_raiseSystemCallFailure(sourceFile, "Error in csp_Socket::reset");
    descriptor = fresh;
}

void csp_Socket::bind(const csp_SocketAddress& local) {
    const sockaddr_in record = local;
    if (::bind(descriptor, reinterpret_cast<const sockaddr*>(&record), sizeof record) == -1)
        csp_raiseSystemCallFailure(sourceFile, "Error in csp_Socket::bind");
}

csp_SocketAddress csp_Socket::name() const {
    sockaddr_in record = csp_SocketAddress(0);
    socklen_t length = sizeof record;
    if (::getsockname(descriptor, reinterpret_cast<sockaddr*>(&record), &length) == -1)
        csp_raiseSystemCallFailure(sourceFile, "Error in csp_Socket::name");
    return csp_SocketAddress(record);
}

void csp_Socket::shutdown(csp_SocketShutdownMode mode) {
    if (::shutdown(descriptor, mode) == -1) csp_raiseSystemCallFailure(sourceFile, "Error in csp_Socket::shutdown");
}

void csp_Socket::shutdown() { shutdown(ShutdownBoth); }

void csp_Socket::shutdownSocketReceives() { shutdown(ShutdownReceives); }

void csp_Socket::shutdownSocketSends() { shutdown(ShutdownSends); }

bool csp_Socket::tryShutdown() noexcept { return ::shutdown(descriptor, ShutdownBoth) == 0; }

void csp_Socket::listen(int backlog) {
    if (::listen(descriptor, backlog) == -1) csp_raiseSystemCallFailure(sourceFile, "Error in csp_Socket::listen");
}

void csp_Socket::disconnect() {
    try {
        shutdownSocketSends();
    } catch (const csp_NetworkException&) {
        throw omi_FatalError{"shutdown", csp_SocketLayer::lastError()};
    }
    drainPeer(descriptor);
}

void csp_Socket::setOption(int name, const char* value, int length) {
    if (::setsockopt(descriptor, SOL_SOCKET, name, value, static_cast<socklen_t>(length)) == -1)
        csp_raiseSystemCallFailure(sourceFile, "Error in csp_Socket::setOption");
}

void csp_Socket::getOption(int name, char* value, int* length) const {
    socklen_t systemLength = static_cast<socklen_t>(*length);
    if (::getsockopt(descriptor, SOL_SOCKET, name, value, &systemLength) == -1)
        csp_raiseSystemCallFailure(sourceFile, "Error in csp_Socket::getOption()");
    *length = static_cast<int>(systemLength);
}

int csp_Socket::getIntOption(int name) const {
    int value = 0;
    int length = sizeof value;
    getOption(name, reinterpret_cast<char*>(&value), &length);
    return value;
}

void csp_Socket::setIntOption(int name, int value) {
    setOption(name, reinterpret_cast<const char*>(&value), sizeof value);
}

bool csp_Socket::getBoolOption(int name) const { return getIntOption(name) != 0; }

void csp_Socket::setBoolOption(int name, bool value) { setIntOption(name, value ? 1 : 0); }

int csp_Socket::getReceiveBufferSize() const { return getIntOption(SO_RCVBUF); }

void csp_Socket::setReceiveBufferSize(int size) { setIntOption(SO_RCVBUF, size); }

int csp_Socket::getSendBufferSize() const { return getIntOption(SO_SNDBUF); }

void csp_Socket::setSendBufferSize(int size) { setIntOption(SO_SNDBUF, size); }

bool csp_Socket::getReuseAddress() const { return getBoolOption(SO_REUSEADDR); }

void csp_Socket::setReuseAddress(bool on) { setBoolOption(SO_REUSEADDR, on); }

bool csp_Socket::getRouting() const { return !getBoolOption(SO_DONTROUTE); }

void csp_Socket::setRouting(bool on) { setBoolOption(SO_DONTROUTE, !on); }

bool csp_Socket::getLinger(int& seconds) const {
    linger value{};
    int length = sizeof value;
    getOption(SO_LINGER, reinterpret_cast<char*>(&value), &length);
    seconds = value.l_linger;
    return value.l_onoff != 0;
}

void csp_Socket::setLinger(bool on, int seconds) {
    linger value{};
    value.l_onoff = on ? 1 : 0;
    value.l_linger = static_cast<decltype(value.l_linger)>(seconds);
    setOption(SO_LINGER, reinterpret_cast<const char*>(&value), sizeof value);
}

int csp_Socket::getType() const { return getIntOption(SO_TYPE); }

int csp_Socket::getError() const { return getIntOption(SO_ERROR); }

cow_String csp_Socket::toString() const {
    cow_String text("Socket( ");
    if (isOpen())
        text += cow_String(descriptor);
    else
        text.append("Socket is not open");
    return text.append(" )");
}

unsigned short csp_Socket::stateBits() const { return state; }

void csp_Socket::setStateBits(unsigned short bits) { state = bits; }

aio_ostream& operator<<(aio_ostream& stream, const csp_Socket& socket) { return stream << socket.toString(); }
