#include "tools/listen/web/ipm_HttpConnection.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

void addressOf(int descriptor, bool remote, std::string& ip, int& port) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    auto* record = reinterpret_cast<sockaddr*>(&address);
    const int got = remote ? ::getpeername(descriptor, record, &length) : ::getsockname(descriptor, record, &length);
    char host[NI_MAXHOST] = {};
    char service[NI_MAXSERV] = {};
    if (got != 0 || ::getnameinfo(record, length, host, sizeof host, service, sizeof service,
                                  NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        ip.clear();
        port = 0;
        return;
    }
    ip = host;
    port = std::atoi(service);
}

}  // namespace

ipm_HttpConnection::ipm_HttpConnection(int descriptor, const Limits& limits)
    : descriptor(descriptor), limits(limits), deadline(Clock::now() + limits.requestTime) {
    int port = 0;
    addressOf(descriptor, true, peer, port);
}

bool ipm_HttpConnection::AwaitRequest(std::chrono::milliseconds idle) {
    if (ending || (begin == end && !Ready(POLLIN, idle))) return false;
    deadline = Clock::now() + limits.requestTime;
    budget = limits.headBytes;
    return true;
}

void ipm_HttpConnection::BeginBody() {
    waiting = false;
    budget = limits.bodyBytes;
}

bool ipm_HttpConnection::Ready(short event, std::chrono::milliseconds most) const {
    pollfd watched{descriptor, event, 0};
    int ready;
    do {
        ready = ::poll(&watched, 1, static_cast<int>(std::max(most, std::chrono::milliseconds(0)).count()));
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

bool ipm_HttpConnection::is_readable() const {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return begin < end || Ready(POLLIN, std::min(limits.wait, left));
}

// The request's deadline covers reading it, not the answer.
bool ipm_HttpConnection::is_writable() const { return Ready(POLLOUT, limits.wait); }

bool ipm_HttpConnection::Fill() {
    if (Clock::now() >= deadline || !is_readable()) return false;
    ssize_t count;
    do {
        count = ::recv(descriptor, buffer, sizeof buffer, 0);
    } while (count < 0 && errno == EINTR);
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
    if (!is_writable()) return -1;
    ssize_t sent;
    do {
        sent = ::send(descriptor, bytes, size, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent;
}

void ipm_HttpConnection::get_remote_ip_and_port(std::string& ip, int& port) const { addressOf(descriptor, true, ip, port); }

void ipm_HttpConnection::get_local_ip_and_port(std::string& ip, int& port) const { addressOf(descriptor, false, ip, port); }
