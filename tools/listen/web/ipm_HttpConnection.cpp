#include "tools/listen/web/ipm_HttpConnection.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "csp/csp_NetworkException.h"

namespace {

using Clock = std::chrono::steady_clock;

int milliseconds(std::chrono::milliseconds most) { return static_cast<int>(std::max<std::chrono::milliseconds::rep>(most.count(), 0)); }

void addressOf(const csp_TcpSocket& stream, bool remote, std::string& ip, int& port) {
    try {
        const csp_SocketAddress address = remote ? stream.peerAddress() : stream.name();
        ip = address.host();
        port = address.getPort();
    } catch (const csp_NetworkException&) {
        ip.clear();
        port = 0;
    }
}

}  // namespace

ipm_HttpConnection::ipm_HttpConnection(int descriptor, const Limits& limits)
    : stream(descriptor), limits(limits), deadline(Clock::now() + limits.requestTime) {
    int port = 0;
    addressOf(stream, true, peer, port);
}

bool ipm_HttpConnection::AwaitRequest(std::chrono::milliseconds idle) {
    if (ending || (begin == end && !stream.waitReadable(milliseconds(idle)))) return false;
    deadline = Clock::now() + limits.requestTime;
    budget = limits.headBytes;
    return true;
}

void ipm_HttpConnection::BeginBody() {
    waiting = false;
    budget = limits.bodyBytes;
}

bool ipm_HttpConnection::is_readable() const {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return begin < end || stream.waitReadable(milliseconds(std::min(limits.wait, left)));
}

// The request's deadline covers reading it, not the answer.
bool ipm_HttpConnection::is_writable() const { return stream.waitWritable(milliseconds(limits.wait)); }

bool ipm_HttpConnection::Fill() {
    if (Clock::now() >= deadline || !is_readable()) return false;
    std::string failure;
    const int count = stream.readAvailable(buffer, sizeof buffer, failure);
    if (count <= 0) return false;
    begin = 0;
    end = static_cast<std::size_t>(count);
    return true;
}

ssize_t ipm_HttpConnection::read(char* bytes, size_t size) {
    // A request over its bytes or its time is cut off; the library then
    // answers it as bad, and the connection ends.
    if (ending || budget == 0 || (begin == end && !Fill())) {
        ending = true;
        return -1;
    }
    const std::size_t taken = std::min({size, end - begin, budget});
    std::memcpy(bytes, buffer + begin, taken);
    begin += taken;
    budget -= taken;
    return static_cast<ssize_t>(taken);
}

ssize_t ipm_HttpConnection::write(const char* bytes, size_t size) {
    // The library writes again what the socket did not take.
    if (!is_writable()) return -1;
    std::string failure;
    return stream.writeAvailable(bytes, static_cast<int>(std::min<size_t>(size, INT_MAX)), failure);
}

void ipm_HttpConnection::get_remote_ip_and_port(std::string& ip, int& port) const { addressOf(stream, true, ip, port); }

void ipm_HttpConnection::get_local_ip_and_port(std::string& ip, int& port) const { addressOf(stream, false, ip, port); }
