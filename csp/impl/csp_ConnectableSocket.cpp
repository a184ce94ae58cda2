#include "csp/csp_ConnectableSocket.h"

#include <atomic>
#include <chrono>
#include <optional>

#include "csp/csp_NetworkException.h"
#include "csp/impl/csp_NetworkEx.h"
#include "csp/impl/csp_SocketLayer.h"

namespace {
constexpr const char* sourceFile = "generated/csp/impl/csp_ConnectableSocket";
// A listener host that does not answer must not hold the job for minutes.
std::atomic<int> connectWaitMilliseconds{10000};
}  // namespace

csp_ConnectableSocket::csp_ConnectableSocket(int type, int family, int protocol) : csp_Socket(type, family, protocol) {}

csp_ConnectableSocket::csp_ConnectableSocket(int descriptor) : csp_Socket(descriptor) {}

csp_ConnectableSocket::csp_ConnectableSocket(const csp_ConnectableSocket& other) = default;

csp_ConnectableSocket::csp_ConnectableSocket(csp_ConnectableSocket&& other) noexcept = default;

csp_ConnectableSocket::~csp_ConnectableSocket() = default;

csp_ConnectableSocket& csp_ConnectableSocket::operator=(const csp_ConnectableSocket& other) = default;

csp_ConnectableSocket& csp_ConnectableSocket::operator=(csp_ConnectableSocket&& other) noexcept = default;

void csp_ConnectableSocket::connectTo(const csp_SocketAddress& peer) {
    sockaddr_in record = peer;
    connectTo(reinterpret_cast<sockaddr*>(&record), sizeof record);
}

void csp_ConnectableSocket::setConnectTimeout(int milliseconds) { connectWaitMilliseconds.store(milliseconds); }

void csp_ConnectableSocket::connectTo(sockaddr* record, int length) {
    if (csp_SocketLayer::connect(getDescriptor(), record, static_cast<socklen_t>(length),
                                 connectWaitMilliseconds.load()) == -1)
        csp_raiseSystemCallFailure(sourceFile, "Error in csp_ConnectableSocket::connectTo");
    setStateBits(stateBits() & ThrowAtEndOfFile);
}

int csp_ConnectableSocket::write(const void* data, int length) {
    if (hasState(Failed)) return -1;
    const int sent = csp_SocketLayer::send(getDescriptor(), data, length);
    if (sent < 0) {
        setStateBits(stateBits() | Failed);
        csp_throwNetworkError(write_failed, "socket_error");
    }
    setStateBits(stateBits() & ~EndOfFile);
    return sent;
}

// Sends first, and reads the clock and waits only when the socket is full:
// the usual write costs one system call (reading the clock may cost one too).
void csp_ConnectableSocket::writeAll(const void* data, int length, int timeoutMilliseconds) {
    using namespace std::chrono;
    std::optional<steady_clock::time_point> deadline;
    const char* next = static_cast<const char*>(data);
    for (int left = length; left > 0;) {
        if (hasState(Failed)) csp_throwNetworkError(write_failed, "socket_error");
        const int sent = csp_SocketLayer::sendAvailable(getDescriptor(), next, left);
        if (sent >= 0) {
            next += sent;
            left -= sent;
            continue;
        }
        if (!csp_SocketLayer::wouldBlock(csp_SocketLayer::lastError())) {
            setStateBits(stateBits() | Failed);
            csp_throwNetworkError(write_failed, "socket_error");
        }
        if (!deadline) deadline = steady_clock::now() + milliseconds(timeoutMilliseconds);
        const auto wait = duration_cast<milliseconds>(*deadline - steady_clock::now()).count();
        if (wait <= 0 || csp_SocketLayer::waitWritable(getDescriptor(), static_cast<int>(wait)) <= 0) {
            setStateBits(stateBits() | Failed);
            csp_throwNetworkError(write_failed, "timed out");
        }
    }
    setStateBits(stateBits() & ~EndOfFile);
}

int csp_ConnectableSocket::read(void* buffer, int length) {
    if (hasState(Failed)) return -1;
    if (length == 0) return 0;
    const int received = csp_SocketLayer::receive(getDescriptor(), buffer, length);
    if (received < 0) {
        setStateBits(stateBits() | Failed);
        csp_throwNetworkError(read_failed, "socket_error");
    }
    if (received == 0 && !hasState(EndOfFile)) {
        setStateBits(stateBits() | EndOfFile);
        if (throwsAtEndOfFile()) csp_throwNetworkError(eof_encountered, cow_String());
    }
    return received;
}

int csp_ConnectableSocket::readAvailable(void* buffer, int length, std::string& failure) {
    const int received = csp_SocketLayer::receiveAvailable(getDescriptor(), buffer, length);
    if (received >= 0) return received;
    settleFailure(failure);
    return -1;
}

int csp_ConnectableSocket::writeAvailable(const void* data, int length, std::string& failure) {
    const int sent = csp_SocketLayer::sendAvailable(getDescriptor(), data, length);
    if (sent >= 0) return sent;
    settleFailure(failure);
    return failure.empty() ? 0 : -1;
}

void csp_ConnectableSocket::settleFailure(std::string& failure) {
    const int error = csp_SocketLayer::lastError();
    failure.clear();
    if (csp_SocketLayer::wouldBlock(error)) return;
    setStateBits(stateBits() | Failed);
    failure = csp_SocketLayer::errorText(error);
}

int csp_ConnectableSocket::receiveFrom(csp_SocketAddress& from, char* buffer, int length) {
    if (!isGood()) return -1;
    sockaddr_in sender = from;
    socklen_t senderLength = sizeof sender;
    const int received =
        csp_SocketLayer::receiveFrom(getDescriptor(), buffer, length, reinterpret_cast<sockaddr*>(&sender), &senderLength);
    if (received == -1) csp_raiseSystemCallFailure(sourceFile, "Error in receive from");
    return received;
}

bool csp_ConnectableSocket::waitReadable(int timeoutMilliseconds) const {
    return csp_SocketLayer::waitReadable(getDescriptor(), timeoutMilliseconds) > 0;
}

bool csp_ConnectableSocket::waitWritable(int timeoutMilliseconds) const {
    return csp_SocketLayer::waitWritable(getDescriptor(), timeoutMilliseconds) > 0;
}

csp_SocketAddress csp_ConnectableSocket::peerAddress() const {
    sockaddr_in record = csp_SocketAddress(0);
    socklen_t length = sizeof record;
    if (::getpeername(getDescriptor(), reinterpret_cast<sockaddr*>(&record), &length) == -1)
        csp_raiseSystemCallFailure(sourceFile, "Error in peerAddress");
    return csp_SocketAddress(record);
}

bool csp_ConnectableSocket::isConnected() const {
    try {
        peerAddress();
        return true;
    } catch (const csp_NetworkException&) {
        return false;
    }
}

bool csp_ConnectableSocket::isGood() const { return isOpen() && !hasState(Failed); }

bool csp_ConnectableSocket::isReadable() const { return isGood() && !hasState(EndOfFile); }

bool csp_ConnectableSocket::isAtEndOfFile() const { return hasState(EndOfFile); }

bool csp_ConnectableSocket::throwsAtEndOfFile() const { return hasState(ThrowAtEndOfFile); }

void csp_ConnectableSocket::setThrowAtEndOfFile(bool on) {
    setStateBits(on ? stateBits() | ThrowAtEndOfFile : stateBits() & ~ThrowAtEndOfFile);
}

bool csp_ConnectableSocket::hasState(unsigned short bits) const { return (stateBits() & bits) == bits; }

cow_String csp_ConnectableSocket::toString() const {
    cow_String text("ConnectableSocket( ");
    if (!isOpen()) {
        text.append("connection is not currently opened");
    } else {
        text += cow_String(getDescriptor());
        text.append(", ");
        if (isConnected())
            text += peerAddress().toString();
        else
            text.append("connection is not defined");
    }
    return text.append(" )");
}

aio_ostream& operator<<(aio_ostream& stream, const csp_ConnectableSocket& socket) {
    return stream << socket.toString();
}
